#pragma once

#include "applicationcore.h"
#include "layoutengine.h"
#include "pagerenderer.h"
#include "paragraphutils.h"
#include "unifiedchunkdao.h"
#include "unifiedparagraphdao.h"

#include <QElapsedTimer>

#include <ctime>

// The floor of opening a reflowable book: fetch the chapter, lay it out and
// draw its first page, in milliseconds; what any open must do.
inline double textPageFloorMs(ApplicationCore *core, const QString &bookId, const QString &chapter,
                              int width, int height)
{
    const LayoutConfig config = core->readingConfig(bookId, 20, 0, width, height,
                                                    QStringLiteral("#202020"),
                                                    QStringLiteral("#fdf8ee"),
                                                    QStringLiteral("#fdf8ee"), false);
    QElapsedTimer timer;
    timer.start();
    QVector<QString> rows;
    QVector<Paragraph> stored = UnifiedParagraphDao().loadParagraphs(bookId, chapter, &rows);
    const auto chunks = UnifiedChunkDao().loadChunks(bookId, chapter);
    QVector<Paragraph> paragraphs;
    for (int i = 0; i < stored.size(); ++i) {
        stored[i].chunks = chunks.value(rows.at(i));
        paragraphs += normalizeWhitespace(stored[i]);
    }
    const QVector<PageLayout> pages = LayoutEngine().layoutChapter(paragraphs, config, 0, chapter);
    const QImage image = PageRenderer::forCurrentThread().renderPageSimple(pages.value(0), config);
    const double ms = timer.nsecsElapsed() / 1e6;
    if (image.isNull())
        qWarning("floor: no page image");
    return ms;
}

// CPU time of the calling thread: what an open costs the UI thread, however
// busy the machine is.
inline double threadCpuMs()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}
