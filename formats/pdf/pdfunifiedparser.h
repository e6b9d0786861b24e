#pragma once

#include <QSizeF>
#include <QString>
#include <QVector>

class ChapterInfo;
class UnifiedChunkDao;
class UnifiedParagraphDao;

// The content of a PDF book: one image paragraph per page, named by a
// "pdf://<path>?page=<index>&dpi=<dpi>" source that the renderer draws when
// the page is read. Nothing is rendered or extracted here.
class PdfUnifiedParser
{
public:
    // Stores the book's page paragraphs in place of its old ones, in one
    // transaction on the calling thread's connection (a savepoint inside the
    // import's). Path and dpi come from the first chapter's properties. True
    // when committed with at least one paragraph. pagePoints holds every
    // page's size in points already read (index = page), so the file is not
    // read again; empty: read by the decoding helper.
    static bool parseAndStore(const QVector<ChapterInfo *> &chapters, const QString &novelId,
                              UnifiedParagraphDao *paragraphDao, UnifiedChunkDao *chunkDao,
                              const QVector<QSizeF> &pagePoints);

    static constexpr qint64 PageProgressWeight = 1200;
};
