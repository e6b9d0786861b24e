#include "pdffiles.h"

#include "keys.h"
#include "paths.h"

#include <poppler-qt5.h>

#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QScreen>

namespace PdfFiles {

QString bookId(const QString &filePath)
{
    const QString id = md5Hex(filePath);
    return id.isEmpty() ? filePath : id;
}

QString dataDir(const QString &bookId)
{
    return QDir(Paths::dataLocation()).absoluteFilePath(bookId + QLatin1Char('/'));
}

QString bookTitle(Poppler::Document *document, const QString &filePath)
{
    const QString title = document ? document->info(QStringLiteral("Title")) : QString();
    return title.isEmpty() ? QFileInfo(filePath).baseName() : title;
}

int screenFitDpi(double pointsWide, int low, int high, int fallback)
{
    const QScreen *screen = qobject_cast<QGuiApplication *>(QCoreApplication::instance())
        ? QGuiApplication::primaryScreen()
        : nullptr;
    const double inches = pointsWide / 72.0;
    if (!screen || screen->size().width() <= 0 || !(inches > 0))
        return fallback;
    return qBound(low, qRound(screen->size().width() / inches), high);
}

}
