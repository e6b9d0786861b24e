#include "sailfishapp.h"

#include <QDir>
#include <QQuickView>

namespace SailfishApp {

namespace {

QString dataRoot()
{
    const QString fromEnv = qEnvironmentVariable("QUILLORA_DATA_ROOT");
    if (!fromEnv.isEmpty())
        return fromEnv;
    const QString installed = QStringLiteral(QUILLORA_INSTALLED_DATA);
    if (QDir(installed).exists(QStringLiteral("qml")))
        return installed;
    return QStringLiteral(QUILLORA_SOURCE_ROOT);
}

}

QQuickView *createView()
{
    auto *view = new QQuickView;
    view->setResizeMode(QQuickView::SizeRootObjectToView);
    return view;
}

QUrl pathTo(const QString &relative)
{
    return QUrl::fromLocalFile(QDir::cleanPath(dataRoot() + QLatin1Char('/') + relative));
}

}
