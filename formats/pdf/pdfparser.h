#pragma once

#include "bookfolderstage.h"
#include "iformatparser.h"

#include <QString>

class PdfChapterParser;
class PdfNovelParser;

// PDF books: the book record from the document information, the chapters
// from the outline or a printed contents page, one image paragraph a page.
class PdfParser : public IFormatParser
{
public:
    PdfParser();
    ~PdfParser() override;
    PdfParser(const PdfParser &) = delete;
    PdfParser &operator=(const PdfParser &) = delete;

    static IFormatParser *create();

    ParseResult parseBookInfo(const QString &filePath) override;
    ParseResult parseChapters(const QString &filePath, NovelInfo *novel) override;
    // Stores inside the import's transaction on the calling thread.
    bool parseUnified(const QVector<ChapterInfo *> &chapters, const QString &novelId,
                      UnifiedParagraphDao *paragraphDao, UnifiedChunkDao *chunkDao) override;
    bool finishImport(bool success) override;
    // The cover, the book copy and the images folder are staged.
    BookFolderStage *folderStage() override { return &m_stage; }

private:
    PdfNovelParser *m_novelParser;
    PdfChapterParser *m_chapterParser;
    BookFolderStage m_stage;
};
