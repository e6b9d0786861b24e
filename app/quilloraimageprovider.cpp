#include "quilloraimageprovider.h"

#include "applicationcore.h"
#include "logmanager.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QReadLocker>

QuilloraImageProvider::QuilloraImageProvider()
    : QQuickImageProvider(QQmlImageProviderBase::Image)
{
}

QImage QuilloraImageProvider::requestImage(const QString &id, QSize *size, const QSize &requestedSize)
{
    Q_UNUSED(requestedSize)  // pages come back at the size they were rendered
    QImage image;
    QElapsedTimer timer;
    {
        // From loading the pointer to copying the image: the core cannot be
        // destroyed in between (its destructor takes the write lock).
        QReadLocker lock(&ApplicationCore::instanceLock());
        const ApplicationCore *core = ApplicationCore::instance();
        if (!core)
            return QImage();
        timer.start();
        image = core->imageForId(id);
    }
    if (size)
        *size = image.size();
    QLOG_DEBUG() << "[PdfPerf] imageProvider" << "id=" << id
                 << "elapsedUs=" << timer.nsecsElapsed() / 1000 << "pixels=" << image.size();
    return image;
}
