#pragma once

#include "txtbaseparser.h"

// Plain-text books in simplified Chinese: chapters split at their heading
// lines, title and author read from the file name and the book's head.
class TxtZhCnParser : public TxtBaseParser
{
public:
    TxtZhCnParser();

    ParseResult parseBookInfo(const QString &filePath) override;
    ParseResult parseChapters(const QString &filePath, NovelInfo *novel) override;
    bool parseUnified(const QVector<ChapterInfo *> &chapters, const QString &novelId,
                      UnifiedParagraphDao *paragraphDao, UnifiedChunkDao *chunkDao) override;

    bool isChapterTitle(const QString &line) override;
};
