#pragma once

#include "paragraph.h"

#include <QString>
#include <QVector>

#include <functional>

class ChapterInfo;
class UnifiedChunkDao;
class UnifiedParagraphDao;

// Numbers the chapter's paragraphs (finalizeParagraphs) and sets its word,
// glyph and progress counts from them.
void finalizeChapter(ChapterInfo *chapter, QVector<Paragraph> &paragraphs);

// The store step of importers that hold every chapter's paragraphs before
// storing: in one transaction on the calling thread's connection (nested in
// the import's own), the book's earlier content is removed and each chapter's
// paragraphs are numbered and stored with their chunks; each chapter gets its
// word, glyph and progress counts. paragraphsOf(i) are the paragraphs of
// chapters[i]. False, with the transaction rolled back, for a missing data
// access object, a null chapter, a chapter without paragraphs or a failed
// statement.
bool storeChapterContent(const QVector<ChapterInfo *> &chapters, const QString &novelId,
                         UnifiedParagraphDao *paragraphDao, UnifiedChunkDao *chunkDao,
                         const std::function<QVector<Paragraph> &(int)> &paragraphsOf);

// Chapters an importer keeps in another form, read back a piece at a time.
struct ChapterPieceSource
{
    std::function<qint64(int)> paragraphCount;
    std::function<qint64(int)> chunkCount;
    // The chapter's next paragraphs in order, at most count of them.
    std::function<QVector<Paragraph>(int, int)> nextPiece;
};

// storeChapterContent with the paragraphs decoded a piece at a time: the
// same rows and counts, without a whole chapter held as paragraphs.
bool storeChapterPieces(const QVector<ChapterInfo *> &chapters, const QString &novelId,
                        UnifiedParagraphDao *paragraphDao, UnifiedChunkDao *chunkDao,
                        const ChapterPieceSource &source);
