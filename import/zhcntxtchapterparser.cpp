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

bool isOpeningBracket(QChar c)
{
    return c == QChar(0x3010) || c == QLatin1Char('(') || c == QChar(0xFF08); // 【 ( （
}

// One line of the text, [start, end) without its terminator; lines end at
// LF, CRLF or a lone CR. `next` is where the following line starts.
struct Line
{
    int start;
    int end;
    int next;
};

Line lineAt(const QString &text, int from, int n)
{
    const QChar *p = text.constData();
    int end = from;
    while (end < n && !isLineBreak(p[end]))
        ++end;
    int next = end;
    if (next < n)
        next += p[next] == QLatin1Char('\r') && next + 1 < n && p[next + 1] == QLatin1Char('\n') ? 2 : 1;
    return {from, end, next};
}

int skipSpaces(const QString &text, int from, int to)
{
    while (from < to && text.at(from).isSpace())
        ++from;
    return from;
}

// The value of a chapter number: 12, １２, 十二, 一百零五, 一〇五, 两千.
// Digits shift the pending value, so positional forms need no case of
// their own.
int chapterNumber(const QStringRef &digits)
{
    static const QString chinese = QString::fromUtf8("零一二三四五六七八九");
    qint64 total = 0, section = 0, pending = 0;
    for (const QChar c : digits) {
        int digit = -1;
        if (c >= QLatin1Char('0') && c <= QLatin1Char('9'))
            digit = c.unicode() - '0';
        else if (c.unicode() >= 0xFF10 && c.unicode() <= 0xFF19)   // full-width
            digit = c.unicode() - 0xFF10;
        else if (c == QChar(0x3007))                                // 〇
            digit = 0;
        else if (c == QChar(0x4E24))                                // 两
            digit = 2;
        else
            digit = chinese.indexOf(c);
        if (digit >= 0) {
            pending = qMin<qint64>(pending * 10 + digit, 1000000000);
            continue;
        }
        const ushort u = c.unicode();
        const int unit = u == 0x5341 ? 10 : u == 0x767E ? 100 : u == 0x5343 ? 1000 : 0; // 十百千
        if (unit) {
            section += (pending == 0 ? 1 : pending) * unit;
            pending = 0;
        } else if (u == 0x4E07) {                                   // 万
            total += (section + pending == 0 ? 1 : section + pending) * 10000;
            section = pending = 0;
        }
    }
    return int(qMin<qint64>(total + section + pending, 1000000000));
}

// The volume part of a line such as 第一卷 离乡 第一章 归途.
const QRegularExpression &volumePrefix()
{
    static const QRegularExpression expression(
        QString::fromUtf8(R"re(第\s*[零〇一二两三四五六七八九十百千万0-9０-９]+\s*卷)re"),
        QRegularExpression::UseUnicodePropertiesOption);
    return expression;
}

// A heading found on a line: the heading text runs from `start` (the line's
// first non-space character) to `end`; `number` is the chapter's number.
struct Heading
{
    int start = -1;
    int end = -1;
    int number = -1;
    bool found() const { return start >= 0; }
};

// Whether the expression matches at `at` and runs to the line's end.
bool matchAt(const QRegularExpression &expression, const QString &text, int at, int to,
             Heading *heading)
{
    const QRegularExpressionMatch match =
        expression.match(QStringRef(&text, at, to - at), 0, QRegularExpression::NormalMatch,
                         QRegularExpression::AnchoredMatchOption);
    if (!match.hasMatch())
        return false;
    heading->end = at + match.capturedEnd(0);
    heading->number = chapterNumber(match.capturedRef(1));
    return true;
}

// A heading is found at the line's first non-space character, after an
// opening bracket (part of the patterns), after a leading 正文 or 正文卷
// word, or after a volume heading on the same line; the heading text is
// then the whole line, prefix included. A body line such as 第二天，他翻到了第三章
// does not count because a heading appears inside it.
Heading findHeading(const QRegularExpression &expression, const QString &text, int from, int to)
{
    Heading heading;
    const int first = skipSpaces(text, from, to);
    if (!ZhCnTxtChapterParser::startsWithHeadingChar(text, first, to))
        return heading;

    int starts[2] = {first, -1};
    if (text.at(first) == Zheng && first + 1 < to && text.at(first + 1) == QChar(0x6587)) { // 正文
        int after = first + 2;
        if (after < to && text.at(after) == QChar(0x5377))                                    // 卷
            ++after;
        after = skipSpaces(text, after, to);
        if (after < to)
            starts[1] = after;
    }
    for (const int at : starts) {
        if (at < 0)
            continue;
        if (matchAt(expression, text, at, to, &heading)) {
            heading.start = first;
            return heading;
        }
        const QRegularExpressionMatch volume =
            volumePrefix().match(QStringRef(&text, at, to - at), 0,
                                 QRegularExpression::NormalMatch,
                                 QRegularExpression::AnchoredMatchOption);
        if (!volume.hasMatch())
            continue;
        // The chapter heading may follow the volume's own title: try each
        // word that starts after white space, or right after the volume.
        const int afterVolume = at + volume.capturedEnd(0);
        for (int j = afterVolume; j < to; ++j) {
            if (text.at(j).isSpace() || (j > afterVolume && !text.at(j - 1).isSpace()))
                continue;
            if (matchAt(expression, text, j, to, &heading)) {
                heading.start = first;
                return heading;
            }
        }
    }
    return heading;
}

// The heading on [from, to) as a chapter title, or an empty string.
QString headingTitle(const QRegularExpression &expression, const QString &text, int from, int to,
                     Heading *heading)
{
    *heading = findHeading(expression, text, from, to);
    if (!heading->found())
        return QString();
    const QString title = text.mid(heading->start, heading->end - heading->start).trimmed();
    return title.size() <= ZhCnTxtChapterParser::MaxTitleLength ? title : QString();
}

bool isBlank(const QString &text, int from, int to)
{
    return skipSpaces(text, from, to) >= to;
}

// Chapter numbers only grow, but a new volume starts again at one (or zero).
bool goesBackwards(int number, int previous)
{
    return previous >= 0 && number >= 0 && number < previous && number > 1;
}

// A table of contents is this many headings or more in a row, nothing
// between them.
constexpr int MinContentsRun = 3;

// Letters and digits only: 第三十八回 林潇湘 and 第三十八回林潇湘—— are one title.
QString titleLetters(const QString &title)
{
    QString out;
    out.reserve(title.size());
    for (const QChar c : title) {
        if (c.isLetterOrNumber())
            out += c;
    }
    return out;
}

// Whether a heading with the previous heading's number is that heading again
// (the title written once more at the top of the chapter) rather than the
// next part of it (第十章 上, 第十章 下).
bool repeatsTitle(const QString &title, const QString &previous)
{
    const QString a = titleLetters(title);
    const QString b = titleLetters(previous);
    return a.startsWith(b) || b.startsWith(a);
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
         QString::fromUtf8(R"re(\s*[【(（]?第\s*([零〇一二两三四五六七八九十百千万0-9０-９]+)\s*章[】)）]?[:：]?\s*([^\n]*?)\s*$)re")},
        {QString::fromUtf8("第X节格式"),
         QString::fromUtf8(R"re(\s*(?:[【(（])?第\s*([零〇一二两三四五六七八九十百千万0-9０-９]+)\s*节(?:[】)）])?(?:[：:])?\s*?([^\n]*)\s*$)re")},
        {QString::fromUtf8("第X回格式"),
         QString::fromUtf8(R"re(\s*(?:[【(（])?第\s*([零〇一二两三四五六七八九十百千万0-9０-９]+)\s*回(?:[】)）])?(?:[：:])?\s*?([^\n]*)\s*$)re")},
        {QString::fromUtf8("第X卷格式"),
         QString::fromUtf8(R"re(\s*(?:[【(（])?第\s*([零〇一二两三四五六七八九十百千万0-9０-９]+)\s*卷(?:[】)）])?(?:[：:])?\s*?([^\n]*)\s*$)re")},
        {QString::fromUtf8("正文X格式"),
         QString::fromUtf8(R"re(\s*(?:[【(（])?正文\s*([零〇一二两三四五六七八九十百千万0-9０-９]+)\s*(?:[】)）])?(?:[：:])?\s*?([^\n]*)\s*$)re")},
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
    qint64 i = qMax<qint64>(from, 0);
    while (i < to && p[i].isSpace())
        ++i;
    if (i < to && isOpeningBracket(p[i])) {
        ++i;
        while (i < to && p[i].isSpace())
            ++i;
    }
    return i < to && (p[i] == Di || p[i] == Zheng);
}

bool ZhCnTxtChapterParser::isChapterTitle(const QString &line)
{
    if (line.size() < 2 || line.size() > MaxTitleLength)
        return false;
    static const QVector<QRegularExpression> expressions = [] {
        QVector<QRegularExpression> list;
        for (const auto &row : builtinPatterns())
            list.append(QRegularExpression(row.second, QRegularExpression::UseUnicodePropertiesOption));
        return list;
    }();
    const QString trimmed = line.trimmed();
    Heading heading;
    for (const QRegularExpression &expression : expressions) {
        if (!headingTitle(expression, trimmed, 0, trimmed.size(), &heading).isEmpty())
            return true;
    }
    return false;
}

ChapterRegexDto *ZhCnTxtChapterParser::chooseRegex(const QString &text, int limit) const
{
    if (text.isEmpty() || m_regexes.isEmpty())
        return nullptr;
    const int count = qMin(limit, text.size());

    // Lines whose first non-space character may open a heading; a line of
    // white space before a heading is a line of its own.
    QVector<QPair<int, int>> candidates;
    candidates.reserve(128);
    for (int at = 0; at < count;) {
        const Line line = lineAt(text, at, count);
        if (startsWithHeadingChar(text, line.start, line.end))
            candidates.append({line.start, line.end});
        at = line.next;
    }
    if (candidates.isEmpty())
        return nullptr;

    QVector<QPair<ChapterRegexDto *, int>> records;
    Heading heading;
    for (ChapterRegexDto *dto : m_regexes) {
        if (!dto->isValid())
            continue;
        const QRegularExpression expression = dto->regex();
        int matches = 0;
        for (const auto &candidate : qAsConst(candidates)) {
            if (!headingTitle(expression, text, candidate.first, candidate.second, &heading).isEmpty())
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
    const int n = text.size();

    // The headings, in order: where each starts, where its chapter's text
    // begins and its number.
    struct Found
    {
        int pos;
        int bodyStart;
        QString title;
        int number;
    };
    QVector<Found> headings;
    int previousNumber = -1;
    Heading heading;
    for (int at = 0; at < n;) {
        const Line line = lineAt(text, at, n);
        at = line.next;
        const QString title = headingTitle(expression, text, line.start, line.end, &heading);
        if (title.isEmpty() || goesBackwards(heading.number, previousNumber))
            continue;
        // The heading repeated inside its own chapter is body text.
        if (!headings.isEmpty() && heading.number == previousNumber
            && repeatsTitle(title, headings.last().title))
            continue;
        previousNumber = heading.number;
        headings.append({heading.start, heading.start + int(title.size()), title, heading.number});
    }
    QVector<ChapterInfo *> chapters;
    if (headings.isEmpty())
        return chapters;

    const QString now = currentTimeString();
    // Each chapter runs to right before the next one starts.
    auto append = [&](const QString &title, int startOffset, int pos) {
        if (!chapters.isEmpty()) {
            ChapterInfo *previous = chapters.last();
            previous->setEndOffset(pos - 1);
            previous->setWordCount(previous->endOffset() - previous->startOffset());
        }
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
        chapters.append(chapter);
    };

    // A prologue (楔子, 序章, a banner with the book's name ...) before the
    // first heading is part of the book too, titled by its first line with
    // a word in it rather than a rule of dashes.
    const int firstHeading = headings.first().pos;
    const int prologue = skipSpaces(text, 0, firstHeading);
    if (prologue < firstHeading) {
        QString title;
        for (int at = prologue; at < firstHeading && title.isEmpty();) {
            const Line line = lineAt(text, at, firstHeading);
            const QStringRef words(&text, line.start, line.end - line.start);
            if (std::any_of(words.cbegin(), words.cend(), [](QChar c) { return c.isLetter(); }))
                title = words.trimmed().left(MaxTitleLength).toString();
            at = line.next;
        }
        if (title.isEmpty()) {
            const Line line = lineAt(text, prologue, firstHeading);
            title = text.mid(line.start, line.end - line.start).trimmed().left(MaxTitleLength);
        }
        append(title, prologue, firstHeading);
    }

    auto nextPos = [&](int k) { return k + 1 < headings.size() ? headings[k + 1].pos : n; };
    auto emptyBody = [&](int k) { return isBlank(text, headings[k].bodyStart, nextPos(k)); };
    // At most a couple of short lines: a contents entry the pattern did not
    // take (第十七至十八回), a page number.
    auto shortBody = [&](int k) {
        int lines = 0;
        for (int at = headings[k].bodyStart; at < nextPos(k);) {
            const Line line = lineAt(text, at, nextPos(k));
            at = line.next;
            if (isBlank(text, line.start, line.end))
                continue;
            if (++lines > 2 || line.end - line.start > MaxTitleLength)
                return false;
        }
        return true;
    };
    for (int k = 0; k < headings.size(); ++k) {
        // A run of headings with nothing between them is a table of
        // contents: one chapter holding its lines, not dozens of empty ones.
        int last = k;
        while (last < headings.size() && emptyBody(last))
            ++last;
        // A list interrupted by lines of its own is one too, when the
        // chapters it lists follow it: their numbers start again.
        int listed = k;
        int blank = 0;
        while (listed < headings.size() && shortBody(listed))
            blank += emptyBody(listed++) ? 1 : 0;
        if (listed > last && blank >= MinContentsRun && listed < headings.size()
            && headings[listed].number <= headings[k].number)
            last = listed;
        if (last - k >= MinContentsRun) {
            append(QString::fromUtf8("目录"), headings[k].pos, headings[k].pos);
            k = last - 1;
            continue;
        }
        append(headings[k].title, headings[k].bodyStart, headings[k].pos);
    }

    ChapterInfo *lastChapter = chapters.last();
    lastChapter->setEndOffset(n - 1);
    lastChapter->setWordCount(n - 1 - lastChapter->startOffset());
    for (int i = 0; i < chapters.size(); ++i) {
        chapters[i]->setChapterIndex(i);
        if (i > 0) {
            chapters[i]->setPrevChapter(chapters[i - 1]->id());
            chapters[i - 1]->setNextChapter(chapters[i]->id());
        }
    }
    return chapters;
}
