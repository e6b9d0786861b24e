#include "zhcntxtchapterparser.h"

#include "chapterinfo.h"
#include "chapterregexdto.h"
#include "keys.h"
#include "logmanager.h"

#include <QUuid>

#include <algorithm>

namespace {

const QChar Di(0x7B2C);    // 第
const QChar Zheng(0x6B63); // 正

bool isLineBreak(QChar c)
{
    return c == QLatin1Char('\n') || c == QLatin1Char('\r');
}

// Where a heading found in a line starts and ends (indexes into the text).
struct LineMatch
{
    int start = -1;
    int end = -1;
    bool hasMatch() const { return start >= 0; }
};

// The volume part of a line such as 第一卷 离乡 第一章 归途.
const QRegularExpression &volumePrefix()
{
    static const QRegularExpression expression(
        QString::fromUtf8(R"re(第\s*[零一二两三四五六七八九十百千万\d]+\s*卷)re"));
    return expression;
}

// A heading's match begins at the line's first non-space character: a body
// line such as 第二天，他翻到了第三章 must not count because a heading appears
// inside it. A line that opens with a volume heading may carry the chapter
// heading after it; the heading is then the whole line, volume included.
// (The patterns' own \s does not cover the full-width indent U+3000.)
LineMatch matchLine(const QRegularExpression &expression, const QString &text, int from, int to)
{
    while (from < to && text.at(from).isSpace())
        ++from;
    auto endOfMatchAt = [&](int pos) {
        const QRegularExpressionMatch match =
            expression.match(QStringRef(&text, pos, to - pos), 0,
                             QRegularExpression::NormalMatch,
                             QRegularExpression::AnchoredMatchOption);
        return match.hasMatch() ? pos + match.capturedEnd(0) : -1;
    };
    LineMatch found;
    int end = endOfMatchAt(from);
    if (end >= 0) {
        found.start = from;
        found.end = end;
        return found;
    }
    const QRegularExpressionMatch volume =
        volumePrefix().match(QStringRef(&text, from, to - from), 0,
                             QRegularExpression::NormalMatch,
                             QRegularExpression::AnchoredMatchOption);
    if (!volume.hasMatch())
        return found;
    const int afterVolume = from + volume.capturedEnd(0);
    for (int j = afterVolume; j < to; ++j) {
        if (text.at(j).isSpace() || (j > afterVolume && !text.at(j - 1).isSpace()))
            continue;
        end = endOfMatchAt(j);
        if (end >= 0) {
            found.start = from;
            found.end = end;
            return found;
        }
    }
    return found;
}

bool matchesLine(const QRegularExpression &expression, const QString &text, int from, int to)
{
    return matchLine(expression, text, from, to).hasMatch();
}

}

ZhCnTxtChapterParser::ZhCnTxtChapterParser(QObject *parent) : FallbackChapterParser(parent)
{
    loadBuiltinRegexes();
}

ZhCnTxtChapterParser::~ZhCnTxtChapterParser()
{
    qDeleteAll(m_regexes);
    m_regexes.clear();
}

const QVector<QPair<QString, QString>> &ZhCnTxtChapterParser::builtinPatterns()
{
    static const QVector<QPair<QString, QString>> table = {
        {QString::fromUtf8("第X章格式"),
         QString::fromUtf8(R"re(\s*[【(]?第\s*([零一二两三四五六七八九十百千万\d]+)\s*章[】)]?[:：]?\s*([^\n]*?)\s*$)re")},
        {QString::fromUtf8("第X节格式"),
         QString::fromUtf8(R"re(\s*(?:[【(])?第\s*([零一二两三四五六七八九十百千万\d]+)\s*节(?:[】)])?(?:[：:])?\s*?([^\n]*)\s*$)re")},
        {QString::fromUtf8("第X回格式"),
         QString::fromUtf8(R"re(\s*(?:[【(])?第\s*([零一二两三四五六七八九十百千万\d]+)\s*回(?:[】)])?(?:[：:])?\s*?([^\n]*)\s*$)re")},
        {QString::fromUtf8("第X卷格式"),
         QString::fromUtf8(R"re(\s*(?:[【(])?第\s*([零一二两三四五六七八九十百千万\d]+)\s*卷(?:[】)])?(?:[：:])?\s*?([^\n]*)\s*$)re")},
        {QString::fromUtf8("正文X格式"),
         QString::fromUtf8(R"re(\s*(?:[【(])?正文\s*([零一二两三四五六七八九十百千万\d]+)\s*(?:[】)])?(?:[：:])?\s*?([^\n]*)\s*$)re")},
    };
    return table;
}

void ZhCnTxtChapterParser::loadBuiltinRegexes()
{
    for (const auto &row : builtinPatterns()) {
        auto *dto = new ChapterRegexDto(this);
        dto->setName(row.first);
        dto->setPatternStr(row.second);
        m_regexes.append(dto);
    }
}

QVector<ChapterInfo *> ZhCnTxtChapterParser::splitChapters(const QString &text,
                                                           const QString &chapterDir,
                                                           const QString &novelId)
{
    if (ChapterRegexDto *dto = chooseRegex(text, 10000)) {
        QLOG_INFO().noquote() << "[ZhCnTxtChapterParser] 使用正则:" << dto->name();
        const QVector<ChapterInfo *> chapters =
            splitByRegex(text, dto->regex(), chapterDir, novelId);
        if (!chapters.isEmpty())
            return chapters;
    }
    QLOG_DEBUG().noquote() << "[ZhCnTxtChapterParser] 启用兜底章节切分";
    return splitBySize(text, chapterDir, novelId);
}

QString ZhCnTxtChapterParser::defaultChapterTitle(int index)
{
    return QString::fromUtf8("第%1章").arg(index + 1);
}

QString ZhCnTxtChapterParser::splitParagraphLines(const QString &title, const QString &text,
                                                  qint64 start, qint64 end)
{
    return FallbackChapterParser::splitParagraphLines(title, text, start, end);
}

bool ZhCnTxtChapterParser::startsWithHeadingChar(const QString &text, qint64 from, qint64 to)
{
    to = qMin<qint64>(to, text.size());
    const QChar *p = text.constData();
    for (qint64 i = qMax<qint64>(from, 0); i < to; ++i) {
        if (p[i].isSpace())
            continue;
        return p[i] == Di || p[i] == Zheng;
    }
    return false;
}

bool ZhCnTxtChapterParser::isChapterTitle(const QString &line)
{
    if (line.size() < 2 || line.size() > MaxTitleLength)
        return false;
    static const QVector<QRegularExpression> expressions = [] {
        QVector<QRegularExpression> list;
        for (const auto &row : builtinPatterns())
            list.append(QRegularExpression(row.second));
        return list;
    }();
    const QString trimmed = line.trimmed();
    for (const QRegularExpression &expression : expressions) {
        if (matchesLine(expression, trimmed, 0, trimmed.size()))
            return true;
    }
    return false;
}

ChapterRegexDto *ZhCnTxtChapterParser::chooseRegex(const QString &text, int limit) const
{
    if (text.isEmpty() || m_regexes.isEmpty())
        return nullptr;
    const int count = qMin(limit, text.size());
    const QChar *p = text.constData();

    QVector<int> candidates;
    candidates.reserve(128);
    int i = 0;
    while (i < count) {
        while (i < count && isLineBreak(p[i]))
            ++i;
        if (i >= count)
            break;
        const int lineStart = i;
        while (i < count && p[i].isSpace())
            ++i;
        if (i >= count)
            break;
        if (p[i] == Di || p[i] == Zheng)
            candidates.append(lineStart);
        while (i < count && !isLineBreak(p[i]))
            ++i;
    }
    if (candidates.isEmpty())
        return nullptr;

    // Where each candidate's line ends, as seen by the choice.
    QVector<int> lineEnds;
    lineEnds.reserve(candidates.size());
    for (int start : candidates) {
        int end = start;
        while (end < count && !isLineBreak(p[end]))
            ++end;
        lineEnds.append(end);
    }

    QVector<QPair<ChapterRegexDto *, int>> records;
    for (ChapterRegexDto *dto : m_regexes) {
        if (!dto->isValid())
            continue;
        const QRegularExpression expression = dto->regex();
        int matches = 0;
        for (int k = 0; k < candidates.size(); ++k) {
            if (matchesLine(expression, text, candidates[k], lineEnds[k]))
                ++matches;
        }
        if (matches > 0)
            records.append({dto, matches});
    }
    if (records.isEmpty())
        return nullptr;
    std::stable_sort(records.begin(), records.end(),
                     [](const QPair<ChapterRegexDto *, int> &a,
                        const QPair<ChapterRegexDto *, int> &b) { return a.second > b.second; });
    return records.first().first;
}

QVector<ChapterInfo *> ZhCnTxtChapterParser::splitByRegex(const QString &text,
                                                          const QRegularExpression &expression,
                                                          const QString &chapterDir,
                                                          const QString &novelId)
{
    QVector<ChapterInfo *> chapters;
    const int n = text.size();
    const QString now = currentTimeString();

    auto newChapter = [&](const QString &title, int startOffset) {
        auto *chapter = new ChapterInfo;
        chapter->setId(QUuid::createUuid().toString());
        chapter->setNovelId(novelId);
        chapter->setPath(chapterDir + chapter->id() + QStringLiteral(".html"));
        chapter->setTitle(title);
        chapter->setStartOffset(startOffset);
        chapter->setEndOffset(-1);
        chapter->setStatus(0);
        chapter->setLoadStatus(0);
        chapter->setCreateTime(now);
        chapter->setUpdateTime(now);
        return chapter;
    };
    // Closes the previous chapter right before `pos` and links the new one.
    auto append = [&](ChapterInfo *chapter, int pos) {
        if (!chapters.isEmpty()) {
            ChapterInfo *previous = chapters.last();
            previous->setEndOffset(pos - 1);
            previous->setWordCount(previous->endOffset() - previous->startOffset());
            previous->setNextChapter(chapter->id());
            chapter->setPrevChapter(previous->id());
        }
        chapter->setChapterIndex(chapters.size());
        chapters.append(chapter);
    };

    int firstHeading = -1;
    int lineStart = 0;
    while (lineStart < n) {
        int lineEnd = text.indexOf(QLatin1Char('\n'), lineStart);
        const bool last = lineEnd < 0;
        if (last)
            lineEnd = n;

        if (startsWithHeadingChar(text, lineStart, lineEnd)) {
            const QStringRef line(&text, lineStart, lineEnd - lineStart);
            const LineMatch match = matchLine(expression, text, lineStart, lineEnd);
            if (match.hasMatch()) {
                const QString title = text.mid(match.start, match.end - match.start).trimmed();
                if (title.size() <= MaxTitleLength) {
                    const int inLine = line.indexOf(title);
                    const int pos = lineStart + qMax(inLine, 0);
                    if (firstHeading < 0) {
                        firstHeading = pos;
                        // A prologue (楔子, 序章, 内容简介 ...) before the first
                        // heading is part of the book too.
                        int first = 0;
                        while (first < pos && text.at(first).isSpace())
                            ++first;
                        if (first < pos) {
                            int firstLineEnd = first;
                            while (firstLineEnd < pos && !isLineBreak(text.at(firstLineEnd)))
                                ++firstLineEnd;
                            const QString prefaceTitle =
                                text.mid(first, firstLineEnd - first).trimmed().left(MaxTitleLength);
                            append(newChapter(prefaceTitle, first), pos);
                        }
                    }
                    append(newChapter(title, pos + title.size()), pos);
                }
            }
        }

        if (last)
            break;
        lineStart = lineEnd + 1;
        if (lineStart < n && text.at(lineStart) == QLatin1Char('\r'))
            ++lineStart;
    }

    if (!chapters.isEmpty()) {
        ChapterInfo *lastChapter = chapters.last();
        lastChapter->setEndOffset(n - 1);
        lastChapter->setWordCount(n - 1 - lastChapter->startOffset());
    }
    return chapters;
}
