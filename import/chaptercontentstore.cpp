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
    if (!paragraphDao || !chunkDao)
        return false;
    Transaction transaction(DatabaseConnection::database());
    if (!transaction.isActive())
        return false;
    if (!chunkDao->removeByNovelId(novelId) || !paragraphDao->removeByNovelId(novelId)) {
        transaction.rollback();
        return false;
    }
    // The whole book's ids at once, ascending in the order the rows go in.
    qint64 paragraphCount = 0;
    qint64 chunkCount = 0;
    for (int i = 0; i < chapters.size(); ++i) {
        const QVector<Paragraph> &paragraphs = paragraphsOf(i);
        paragraphCount += paragraphs.size();
        for (const Paragraph &p : paragraphs)
            chunkCount += p.chunks.size();
    }
    AscendingRowIds paragraphIds(paragraphCount);
    AscendingRowIds chunkIds(chunkCount);
    for (int i = 0; i < chapters.size(); ++i) {
        ChapterInfo *chapter = chapters.at(i);
        QVector<Paragraph> &paragraphs = paragraphsOf(i);
        if (!chapter || paragraphs.isEmpty()) {
            transaction.rollback();
            return false;
        }
        finalizeChapter(chapter, paragraphs);
        // A piece at a time, each piece's chunks after its paragraphs: each
        // table's rows go in in the same order as whole, and only a piece's
        // ids are held.
        for (int from = 0; from < paragraphs.size(); from += StorePieceParagraphs) {
            const int count = qMin(StorePieceParagraphs, paragraphs.size() - from);
            const Paragraph *piece = paragraphs.constData() + from;
            QByteArray ids;
            if (!paragraphDao->insertParagraphRowsLocked(novelId, chapter->id(), piece, count, from,
                                                         &paragraphIds, &ids)
                || !chunkDao->insertParagraphChunks(ids, piece, count, &chunkIds)) {
                transaction.rollback();
                return false;
            }
        }
    }
    if (!transaction.commit()) {
        transaction.rollback();
        return false;
    }
    return true;
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
