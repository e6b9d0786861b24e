#include "quilloraimageprovider.h"

QuilloraImageProvider::QuilloraImageProvider()
    : QQuickImageProvider(QQmlImageProviderBase::Image)
{
}

QImage QuilloraImageProvider::requestImage(const QString &id, QSize *size, const QSize &requestedSize)
{
    Q_UNUSED(id)
    Q_UNUSED(size)
    Q_UNUSED(requestedSize)
    return QImage();
}
