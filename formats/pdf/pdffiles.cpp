#include "pdffiles.h"

#include <QFileInfo>
#include <QGuiApplication>
#include <QScreen>

namespace PdfFiles {

QString bookTitle(const QString &title, const QString &filePath)
{
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
