#include "chaptercontentstore.h"

#include "chapterinfo.h"
#include "contentrows.h"
#include "databaseconnection.h"
#include "paragraphutils.h"
#include "transaction.h"
#include "unifiedchunkdao.h"
#include "unifiedparagraphdao.h"

#include <limits>

namespace {

// Paragraphs of a chapter stored together.
const int StorePieceParagraphs = 8192;

}

void finalizeChapter(ChapterInfo *chapter, QVector<Paragraph> &paragraphs)
{
    qint64 words = 0;
    for (const Paragraph &p : qAsConst(paragraphs))
        words += p.plainTextLength();
    const ParagraphTotals totals = finalizeParagraphs(paragraphs);
    chapter->setWordCount(int(qMin<qint64>(words, std::numeric_limits<int>::max())));
    chapter->setGlyphCount(totals.totalGlyphs);
    chapter->setProgressTotal(totals.totalProgress);
}

bool storeChapterContent(const QVector<ChapterInfo *> &chapters, const QString &novelId,
                         UnifiedParagraphDao *paragraphDao, UnifiedChunkDao *chunkDao,
                         const std::function<QVector<Paragraph> &(int)> &paragraphsOf)
{
    // Pieces are shallow copies of the chapter's paragraphs, taken in order.
    int chapter = -1;
    int position = 0;
    ChapterPieceSource source;
    source.paragraphCount = [&](int i) { return qint64(paragraphsOf(i).size()); };
    source.chunkCount = [&](int i) {
        qint64 count = 0;
        for (const Paragraph &p : paragraphsOf(i))
            count += p.chunks.size();
        return count;
    };
    source.nextPiece = [&](int i, int count) {
        if (i != chapter) {
            chapter = i;
            position = 0;
        }
        const QVector<Paragraph> piece = paragraphsOf(i).mid(position, count);
        position += piece.size();
        return piece;
    };
    return storeChapterPieces(chapters, novelId, paragraphDao, chunkDao, source);
}

bool storeChapterPieces(const QVector<ChapterInfo *> &chapters, const QString &novelId,
                        UnifiedParagraphDao *paragraphDao, UnifiedChunkDao *chunkDao,
                        const ChapterPieceSource &source)
{
    if (!paragraphDao || !chunkDao)
        return false;
    Transaction transaction(DatabaseConnection::database());
    if (!transaction.isActive())
        return false;
    if (!chunkDao->removeByNovelId(novelId) || !paragraphDao->removeByNovelId(novelId)) {
        transaction.rollback();
        return false;
    }
    qint64 paragraphCount = 0;
    qint64 chunkCount = 0;
    for (int i = 0; i < chapters.size(); ++i) {
        paragraphCount += source.paragraphCount(i);
        chunkCount += source.chunkCount(i);
    }
    AscendingRowIds paragraphIds(paragraphCount);
    AscendingRowIds chunkIds(chunkCount);
    for (int i = 0; i < chapters.size(); ++i) {
        ChapterInfo *chapter = chapters.at(i);
        if (!chapter || source.paragraphCount(i) == 0) {
            transaction.rollback();
            return false;
        }
        // Each piece numbered from where the one before it ended.
        qint64 words = 0;
        ParagraphTotals totals;
        int from = 0;
        for (;;) {
            QVector<Paragraph> piece = source.nextPiece(i, StorePieceParagraphs);
            if (piece.isEmpty())
                break;
            for (const Paragraph &p : qAsConst(piece))
                words += p.plainTextLength();
            const ParagraphTotals pieceTotals = finalizeParagraphs(piece);
            for (Paragraph &p : piece) {
                p.firstGlyphIndex += totals.totalGlyphs;
                p.startProgressIndex += totals.totalProgress;
            }
            totals.totalGlyphs += pieceTotals.totalGlyphs;
            totals.totalProgress += pieceTotals.totalProgress;
            QByteArray ids;
            if (!paragraphDao->insertParagraphRowsLocked(novelId, chapter->id(), piece.constData(),
                                                         piece.size(), from, &paragraphIds, &ids)
                || !chunkDao->insertParagraphChunks(ids, piece.constData(), piece.size(),
                                                    &chunkIds)) {
                transaction.rollback();
                return false;
            }
            from += piece.size();
        }
        chapter->setWordCount(int(qMin<qint64>(words, std::numeric_limits<int>::max())));
        chapter->setGlyphCount(totals.totalGlyphs);
        chapter->setProgressTotal(totals.totalProgress);
    }
    if (!transaction.commit()) {
        transaction.rollback();
        return false;
    }
    return true;
}
