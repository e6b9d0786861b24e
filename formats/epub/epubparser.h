#pragma once

#include "bookfolderbackup.h"
#include "iformatparser.h"

#include <QString>

class EpubChapterParser;
class EpubNovelParser;

// EPUB books: the book record from the package, the chapters from the spine
// and the table of contents.
class EpubParser : public IFormatParser
{
public:
    EpubParser();
    ~EpubParser() override;
    EpubParser(const EpubParser &) = delete;
    EpubParser &operator=(const EpubParser &) = delete;

    static IFormatParser *create();

    ParseResult parseBookInfo(const QString &filePath) override;
    ParseResult parseChapters(const QString &filePath, NovelInfo *novel) override;
    // Converts and stores the chapters inside the import's transaction.
    bool parseUnified(const QVector<ChapterInfo *> &chapters, const QString &novelId,
                      UnifiedParagraphDao *paragraphDao, UnifiedChunkDao *chunkDao) override;
    // A failed import removes the data folder when this import created it,
    // and puts back an earlier import's files otherwise.
    bool finishImport(bool success) override;

private:
    EpubNovelParser *m_novelParser;
    EpubChapterParser *m_chapterParser;
    QString m_createdDataDir;
    BookFolderBackup m_previousFiles;
};
