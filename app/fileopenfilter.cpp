#include "fileopenfilter.h"

#include <QEvent>

bool FileOpenFilter::eventFilter(QObject *watched, QEvent *event)
{
    return QObject::eventFilter(watched, event);
}

void handleOpenRequest(const QString &pathOrUrl)
{
    Q_UNUSED(pathOrUrl)
}
