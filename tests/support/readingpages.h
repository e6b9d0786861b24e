#pragma once

#include "applicationcore.h"
#include "quilloraimageprovider.h"
#include "renderpool.h"

#include <QImage>
#include <QUrl>
#include <QtTest>

// Pages 0..last of a chapter (last -1: all) as the reading page gets them:
// the book opened for reading at 360 x 480, the pages turned one by one and
// each image asked of the image provider. Stops short when a step does not come.
// Header-only: the support library does not link the application core.
inline QVector<QImage> readingPages(ApplicationCore &core, const QString &bookId, const QString &chapter,
                                    int last = -1)
{
    QVector<QImage> pages;
    const QString token = core.openBookForReading(bookId, chapter, 0, -1.0f, 20, 0, 360, 480,
                                                  QStringLiteral("#000000"),
                                                  QStringLiteral("#ffffff"), QString());
    if (token.isEmpty() || !QTest::qWaitFor([&] { return core.getChapterPageCount(chapter) > 0; }, 10000))
        return pages;
    const int target = last < 0 ? core.getChapterPageCount(chapter) - 1 : last;
    QuilloraImageProvider provider;
    for (int at = 0; at <= target; ++at) {
        if (at > 0)
            core.poolReportPageTurn(chapter, at, token);
        const QString key =
            QString::fromUtf8(QUrl::toPercentEncoding(RenderPool::makeKey(chapter, at)));
        QImage image;
        if (!QTest::qWaitFor([&] { return !(image = provider.requestImage(key, nullptr, QSize())).isNull(); },
                             10000))
            break;
        pages << image;
    }
    return pages;
}

// Page `index` of a chapter (-1: its last), as readingPages gets it; null
// when a step does not come.
inline QImage readingPage(ApplicationCore &core, const QString &bookId, const QString &chapter,
                          int index)
{
    const QVector<QImage> pages = readingPages(core, bookId, chapter, index);
    return index >= 0 && pages.size() != index + 1 ? QImage() : pages.value(pages.size() - 1);
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
