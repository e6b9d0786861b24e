// A parser that only registers itself: no symbol of this file is referenced
// by the test that looks for it.
#include "iformatparser.h"
#include "parserregistry.h"

namespace {

class SelfTestParser : public IFormatParser
{
public:
    ParseResult parseBookInfo(const QString &) override
    {
        ParseResult result;
        result.errorMessage = QStringLiteral("selftest-parser");
        return result;
    }
    ParseResult parseChapters(const QString &, NovelInfo *) override { return {}; }
    bool parseUnified(const QVector<ChapterInfo *> &, const QString &, UnifiedParagraphDao *,
                      UnifiedChunkDao *) override
    {
        return false;
    }
};

IFormatParser *createSelfTestParser()
{
    return new SelfTestParser;
}

const ParserRegistration registration("qselftest", &createSelfTestParser);

}
