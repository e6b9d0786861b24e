#pragma once

#include "iformatparser.h"

#include <QString>
#include <QVector>

class ChapterInfo;
class ChapterParser;
class NovelParser;

// Plain-text books. The book record comes from a novel parser, the chapter
// split from a chapter parser; each chapter is stored as one raw text block
// that the reader expands into lines when it opens the chapter.
class TxtBaseParser : public IFormatParser
{
public:
    TxtBaseParser();
    ~TxtBaseParser() override;

    TxtBaseParser(const TxtBaseParser &) = delete;
    TxtBaseParser &operator=(const TxtBaseParser &) = delete;

    ParseResult parseBookInfo(const QString &filePath) override;
    // Keeps the decoded text for parseUnified, which must run on this object.
    ParseResult parseChapters(const QString &filePath, NovelInfo *novel) override;
    bool parseUnified(const QVector<ChapterInfo *> &chapters, const QString &novelId,
                      UnifiedParagraphDao *paragraphDao, UnifiedChunkDao *chunkDao) override;

    virtual bool isChapterTitle(const QString &line);

    // Merges near-empty duplicates of the same title (the dropped chapters
    // are deleted), then numbers the chapters and sets each one's share of
    // the book before it. Lists of fewer than two chapters are left alone.
    static void normalizeChapters(QVector<ChapterInfo *> &chapters);

protected:
    // Takes ownership of both companions.
    TxtBaseParser(NovelParser *novelParser, ChapterParser *chapterParser);

    QString text;

private:
    NovelParser *m_novelParser;
    ChapterParser *m_chapterParser;
};
