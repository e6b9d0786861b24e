#pragma once

#include "applicationcore.h"
#include "quilloraimageprovider.h"
#include "renderpool.h"

#include <QImage>
#include <QUrl>
#include <QtTest>

// Page `index` of a chapter (-1: its last) as the reading page gets it: the
// book opened for reading at 360 x 480, the pages turned one by one and each
// image asked of the image provider. Null when a step does not come.
// Header-only: the support library does not link the application core.
inline QImage readingPage(ApplicationCore &core, const QString &bookId, const QString &chapter,
                          int index)
{
    const QString token = core.openBookForReading(bookId, chapter, 0, -1.0f, 20, 0, 360, 480,
                                                  QStringLiteral("#000000"),
                                                  QStringLiteral("#ffffff"), QString());
    if (token.isEmpty())
        return QImage();
    if (!QTest::qWaitFor([&] { return core.getChapterPageCount(chapter) > 0; }, 10000))
        return QImage();
    const int target = index < 0 ? core.getChapterPageCount(chapter) - 1 : index;
    QuilloraImageProvider provider;
    QImage image;
    for (int at = 0; at <= target; ++at) {
        if (at > 0)
            core.poolReportPageTurn(chapter, at, token);
        const QString key =
            QString::fromUtf8(QUrl::toPercentEncoding(RenderPool::makeKey(chapter, at)));
        const bool served = QTest::qWaitFor([&] {
            image = provider.requestImage(key, nullptr, QSize());
            return !image.isNull();
        }, 10000);
        if (!served)
            return QImage();
    }
    return image;
}

// Pixels of exactly this colour.
inline int pixelsOf(const QImage &page, QRgb colour)
{
    int count = 0;
    const QImage image = page.convertToFormat(QImage::Format_RGB32);
    for (int y = 0; y < image.height(); ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x)
            count += line[x] == colour ? 1 : 0;
    }
    return count;
}
