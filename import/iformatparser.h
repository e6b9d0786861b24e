#pragma once

#include <QString>
#include <QVector>

class BookFolderStage;
class NovelInfo;
class ChapterInfo;
class UnifiedParagraphDao;
class UnifiedChunkDao;

// What the first two import steps hand back. The caller owns `novel` and
// every entry of `chapters`; a failed step hands back none.
struct ParseResult
{
    bool success = false;
    QString errorMessage;
    NovelInfo *novel = nullptr;
    QVector<ChapterInfo *> chapters;

    // A failed step, a step that read the book record, one that read the chapters.
    static ParseResult failed(const QString &message)
    {
        ParseResult result;
        result.errorMessage = message;
        return result;
    }
    static ParseResult ofNovel(NovelInfo *novel)
    {
        ParseResult result;
        result.success = true;
        result.novel = novel;
        return result;
    }
    static ParseResult ofChapters(const QVector<ChapterInfo *> &chapters)
    {
        ParseResult result;
        result.success = true;
        result.chapters = chapters;
        return result;
    }
};

// One import of one book file: book information, chapter list, unified
// content, finish. One object per import, every step on the same object.
class IFormatParser
{
public:
    virtual ~IFormatParser() = default;

    virtual ParseResult parseBookInfo(const QString &filePath) = 0;
    // filePath is the same book file path as for parseBookInfo.
    virtual ParseResult parseChapters(const QString &filePath, NovelInfo *novel) = 0;
    // Stores the book's paragraphs and chunks and fills each chapter's glyph
    // and progress counts.
    virtual bool parseUnified(const QVector<ChapterInfo *> &chapters, const QString &novelId,
                              UnifiedParagraphDao *paragraphDao, UnifiedChunkDao *chunkDao) = 0;

    // A parser answering true runs its storage on the thread that owns the
    // database connection, opening the transaction in beginImport and ending
    // it in finishImport (commit on true, roll back on false).
    virtual bool hasImportTransaction() { return false; }
    virtual bool beginImport() { return true; }
    virtual bool finishImport(bool success)
    {
        Q_UNUSED(success);
        return true;
    }
    // Where a parser that writes files into the book's folder stages them;
    // the import swaps them in once its transaction has committed.
    virtual BookFolderStage *folderStage() { return nullptr; }
};
