#pragma once

#include "bookfolderstage.h"
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
    bool finishImport(bool success) override;
    BookFolderStage *folderStage() override { return &m_stage; }

private:
    // The chapters and the meta file name the book's data folder; the
    // content step still reads from the stage.
    bool nameFinalPaths(const QVector<ChapterInfo *> &chapters);

    EpubNovelParser *m_novelParser;
    EpubChapterParser *m_chapterParser;
    BookFolderStage m_stage;
};
