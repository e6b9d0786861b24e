#include "txtzhcnparser.h"

#include "parserregistry.h"
#include "zhcntxtchapterparser.h"
#include "zhcntxtnovelparser.h"

namespace {

IFormatParser *createTxtZhCnParser()
{
    return new TxtZhCnParser;
}

const ParserRegistration registration("txt_zh_CN", &createTxtZhCnParser);

}

TxtZhCnParser::TxtZhCnParser()
    : TxtBaseParser(new ZhCnTxtNovelParser, new ZhCnTxtChapterParser)
{
}

ParseResult TxtZhCnParser::parseBookInfo(const QString &filePath)
{
    return TxtBaseParser::parseBookInfo(filePath);
}

ParseResult TxtZhCnParser::parseChapters(const QString &filePath, NovelInfo *novel)
{
    return TxtBaseParser::parseChapters(filePath, novel);
}

bool TxtZhCnParser::parseUnified(const QVector<ChapterInfo *> &chapters, const QString &novelId,
                                 UnifiedParagraphDao *paragraphDao, UnifiedChunkDao *chunkDao)
{
    return TxtBaseParser::parseUnified(chapters, novelId, paragraphDao, chunkDao);
}

bool TxtZhCnParser::isChapterTitle(const QString &line)
{
    return ZhCnTxtChapterParser::isChapterTitle(line);
}
