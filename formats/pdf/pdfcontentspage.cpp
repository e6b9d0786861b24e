// The printed contents page of a PDF without outline.

#include "pdfchapterparser.h"

#include "logmanager.h"
#include "pdfbook.h"

#include <QHash>
#include <QRegularExpression>
#include <QtMath>

#include <algorithm>
#include <cmath>

namespace {

using Word = QPair<QRectF, QString>;

// Boxes that share a baseline, left to right, a line per row.
QString rowsOf(QVector<Word> words)
{
    std::stable_sort(words.begin(), words.end(), [](const Word &a, const Word &b) {
        return a.first.center().y() < b.first.center().y();
    });
    QString rows;
    for (int first = 0; first < words.size();) {
        // A box belongs to the row when its middle lies within the first box's height.
        const QRectF &head = words.at(first).first;
        int end = first + 1;
        while (end < words.size() && words.at(end).first.center().y() <= head.bottom())
            ++end;
        std::stable_sort(words.begin() + first, words.begin() + end, [](const Word &a, const Word &b) {
            return a.first.left() < b.first.left();
        });
        for (int k = first; k < end; ++k)
            rows += words.at(k).second + QLatin1Char(k + 1 < end ? ' ' : '\n');
        first = end;
    }
    return rows;
}

bool hasLetter(const QString &text)
{
    return std::any_of(text.cbegin(), text.cend(), [](QChar c) { return c.isLetter(); });
}

// The page's words by column: split at vertical gutters, x ranges that
// start in the page's middle, that no box crosses but three (a running
// head, a heading over the columns, a centred page number) and at least 1.2 line heights wide,
// widest first while each column keeps words of text. A box goes with the
// column it starts in. One column when there is no gutter.
QVector<QVector<Word>> columnsOf(const QVector<Word> &words)
{
    constexpr int Bins = 400;
    constexpr int Crossing = 3;
    constexpr int MinColumnWords = 3;
    qreal left = words.isEmpty() ? 0 : words.first().first.left();
    qreal right = left;
    QVector<qreal> heights;
    for (const Word &word : words) {
        left = qMin(left, word.first.left());
        right = qMax(right, word.first.right());
        heights.append(word.first.height());
    }
    const qreal bin = (right - left) / Bins;
    if (words.size() < 2 * MinColumnWords || !std::isfinite(bin) || bin <= 0)
        return {words};
    std::nth_element(heights.begin(), heights.begin() + heights.size() / 2, heights.end());
    const int minBins = qMax(1, qCeil(1.2 * heights.at(heights.size() / 2) / bin));
    // Boxes over each bin, from the differences at the boxes' edges.
    QVector<int> cover(Bins + 1, 0);
    for (const Word &word : words) {
        ++cover[qBound(0, int((word.first.left() - left) / bin), Bins)];
        --cover[qBound(0, qCeil((word.first.right() - left) / bin), Bins)];
    }
    for (int k = 1; k <= Bins; ++k)
        cover[k] += cover[k - 1];
    QVector<QPair<int, qreal>> gaps;   // width in bins, start
    for (int k = 0; k < Bins;) {
        int end = k;
        while (end < Bins && cover.at(end) <= Crossing)
            ++end;
        if (end - k >= minBins && k >= Bins / 5 && k < Bins - Bins / 5)
            gaps.append({end - k, left + k * bin});
        k = qMax(end, k + 1);
    }
    std::stable_sort(gaps.begin(), gaps.end(), [](const auto &a, const auto &b) { return a.first > b.first; });
    // The widest few: a gutter is among them.
    gaps.resize(qMin(int(gaps.size()), 8));

    const auto split = [&](const QVector<qreal> &starts) {
        QVector<QVector<Word>> columns(starts.size() + 1);
        for (const Word &word : words) {
            const int column = int(std::upper_bound(starts.cbegin(), starts.cend(), word.first.left()) - starts.cbegin());
            columns[column].append(word);
        }
        return columns;
    };
    QVector<qreal> starts;
    QVector<QVector<Word>> columns{words};
    for (const auto &gap : qAsConst(gaps)) {
        if (starts.size() >= PdfChapterParser::MaxContentsColumns - 1)
            break;
        QVector<qreal> tried = starts;
        tried.insert(std::upper_bound(tried.begin(), tried.end(), gap.second), gap.second);
        const QVector<QVector<Word>> parts = split(tried);
        const bool text = std::all_of(parts.cbegin(), parts.cend(), [](const QVector<Word> &column) {
            return std::count_if(column.cbegin(), column.cend(), [](const Word &w) { return hasLetter(w.second); })
                   >= MinColumnWords;
        });
        if (text) {
            starts = tried;
            columns = parts;
        }
    }
    return columns;
}

// Three readings of a page: every word box a line of its own; the lines
// poppler joins the boxes into (a contents line is often several boxes:
// number, title, leader, page); and the boxes that share a baseline, left to
// right, column after column where the page has gutters, else entries of
// each column side by side on one line. The whole page's text when it has
// no boxes.
struct PageReadings
{
    QStringList texts;
    int columns = 1;
};

PageReadings pageReadings(const PdfAnswers::PageText &page)
{
    QString boxes;
    QString lines;
    QVector<Word> words;
    for (const PdfAnswers::Word &box : page.words) {
        if (!box.text.isEmpty()) {
            boxes += box.text + QLatin1Char('\n');
            words.append({box.box, box.text});
        }
        lines += box.text;
        if (box.lineEnd)
            lines += QLatin1Char('\n');
        else if (box.spaceAfter)
            lines += QLatin1Char(' ');
    }
    if (boxes.trimmed().isEmpty())
        return {{page.text}, 1};
    QString rows;
    const QVector<QVector<Word>> columns = columnsOf(words);
    for (const QVector<Word> &column : columns)
        rows += rowsOf(column);
    return {{boxes, lines, rows}, int(columns.size())};
}

// CJK fonts often map an ideograph's glyph back to the Kangxi radical that
// looks the same (U+2F00 for 一), so extracted text is read as the ideograph.
QString withIdeographs(QString text)
{
    for (QChar &c : text) {
        if (c.unicode() >= 0x2E80 && c.unicode() <= 0x2FDF) {
            const QString plain = c.decomposition();
            if (plain.size() == 1)
                c = plain.at(0);
        }
    }
    return text;
}

QString withoutSpaces(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : withIdeographs(text)) {
        if (!c.isSpace())
            out.append(c);
    }
    return out;
}

// Lines of their own that name a list, in any reading of the page.
bool hasHeading(const QStringList &readings, const QStringList &headings)
{
    for (const QString &reading : readings) {
        for (const QString &line : reading.split(QLatin1Char('\n'))) {
            if (line.size() <= 40 && headings.contains(withoutSpaces(line).toLower()))
                return true;
        }
    }
    return false;
}

// "目 录", "Table of Contents".
const QStringList ContentsHeadings{QStringLiteral("目录"), QStringLiteral("contents"),
                                   QStringLiteral("tableofcontents"), QStringLiteral("inhalt"),
                                   QStringLiteral("содержание")};
// The lists that may follow the contents: figures and tables.
const QStringList OtherListHeadings{QStringLiteral("插图清单"), QStringLiteral("附表清单"),
                                    QStringLiteral("表格索引"), QStringLiteral("listoffigures"),
                                    QStringLiteral("listoftables"), QStringLiteral("listofillustrations"),
                                    QStringLiteral("indexoftables")};

bool hasContentsHeading(PdfBook &book, int index)
{
    return index >= 0 && index < book.pageCount() && !book.overBudget()
           && hasHeading(pageReadings(book.pageWords(index)).texts, ContentsHeadings);
}

// A page's text without white space, whole and its first lines only.
struct PageText
{
    QString whole;
    QString top;
};

PageText readPageText(PdfBook &book, int index)
{
    // Room for a running head and a title over two lines.
    constexpr int TopLines = 4;
    const QString &text = book.pageText(index);
    QStringList top;
    for (const QString &line : text.split(QLatin1Char('\n'))) {
        if (top.size() >= TopLines)
            break;
        if (!line.trimmed().isEmpty())
            top << line;
    }
    return {withoutSpaces(text), withoutSpaces(top.join(QString()))};
}

// "7.5.3 …" → {7, 5, 3}; empty without a section number.
QVector<int> sectionOf(const QString &title)
{
    static const QRegularExpression number(QStringLiteral("^(\\d{1,2}(?:\\.\\d{1,2}){0,3})(?=\\D|$)"));
    QVector<int> parts;
    const QRegularExpressionMatch match = number.match(title);
    if (match.hasMatch()) {
        for (const QString &part : match.captured(1).split(QLatin1Char('.')))
            parts.append(part.toInt());
    }
    return parts;
}

// Section numbers in reading order: 4 before 4.1 before 4.1.2 before 5.
bool sectionBefore(const QVector<int> &a, const QVector<int> &b)
{
    return std::lexicographical_compare(a.cbegin(), a.cend(), b.cbegin(), b.cend());
}

bool isWide(QChar c)
{
    return c.unicode() >= 0x2E80;
}

// A title wrapped onto the next line: Latin words are joined by a space,
// Chinese characters directly.
QString joinWrapped(const QString &head, const QString &rest)
{
    if (head.isEmpty() || rest.isEmpty() || isWide(head.back()) || isWide(rest.front()))
        return head + rest;
    return head + QLatin1Char(' ') + rest;
}

struct Candidate
{
    PdfTocEntry entry;
    // Without a leader: kept only when its neighbours confirm it.
    bool bare = false;
    // The leader's first character; none without one.
    QChar leader;
};

// An entry without leader stands between its neighbours in both section
// number and page: the kept entry before it (this page's or the earlier
// contents pages') and the next entry with a leader. At least one of them
// has a section number.
QVector<Candidate> confirmed(const QVector<Candidate> &candidates, const QVector<PdfTocEntry> &before)
{
    QVector<Candidate> kept;
    for (int k = 0; k < candidates.size(); ++k) {
        const PdfTocEntry &entry = candidates.at(k).entry;
        if (candidates.at(k).bare) {
            const PdfTocEntry *previous = !kept.isEmpty() ? &kept.last().entry : !before.isEmpty() ? &before.last() : nullptr;
            const PdfTocEntry *next = nullptr;
            for (int n = k + 1; n < candidates.size() && !next; ++n)
                next = candidates.at(n).bare ? nullptr : &candidates.at(n).entry;
            const QVector<int> section = sectionOf(entry.title);
            bool numbered = false;
            bool inOrder = previous || next;
            if (previous) {
                const QVector<int> other = sectionOf(previous->title);
                numbered = numbered || !other.isEmpty();
                inOrder = inOrder && previous->startPage <= entry.startPage
                          && (other.isEmpty() || sectionBefore(other, section));
            }
            if (next) {
                const QVector<int> other = sectionOf(next->title);
                numbered = numbered || !other.isEmpty();
                inOrder = inOrder && entry.startPage <= next->startPage
                          && (other.isEmpty() || sectionBefore(section, other));
            }
            if (!numbered || !inOrder)
                continue;
        }
        kept.append(candidates.at(k));
    }
    return kept;
}

// The entries of one reading of a page, each column read down in turn.
QVector<Candidate> readEntries(const QString &text)
{
    static const QRegularExpression numbered(
        QStringLiteral("(第[零一二三四五六七八九十百千\\d]+[章节回卷集篇部]).*?(\\d{1,4})\\s*$"));
    static const QRegularExpression keyword(
        QStringLiteral("(序言|前言|楔子|引子|尾声|后记|番外[一二三四五六七八九十\\d]*|附录|跋|终章|大结局|完本感言|上架感言"
                       "|Prologue|Epilogue|Foreword|Preface|Introduction|Afterword|Appendix|Extra|Special|Bonus)"
                       ".*?(\\d{1,4})\\s*$"),
        QRegularExpression::CaseInsensitiveOption);
    // "1 模板介绍 …… 4", "2.3 Methods ........ 17", "3.1 Data . . . . 5": a
    // section number, a title that starts with neither a digit nor a leader,
    // a leader of two or more dots, middle dots or ellipses (TeX spaces
    // them), or the single dot TeX leaves after a long title
    // ("7.5.8 浮动对象：插图和表格 . 68"), then the page.
    static const QRegularExpression sectioned(
        QStringLiteral("^\\d{1,2}(?:\\.\\d{1,2}){0,3}\\.?\\s*[^\\d\\s.．…⋯·].*?(?:\\s*[.．…⋯·](?:\\s*[.．…⋯·])+|\\s[.．])"
                       "\\s*(\\d{1,4})\\s*$"));
    // "1   模板介绍   4": the same without a leader.
    static const QRegularExpression bare(
        QStringLiteral("^\\d{1,2}(?:\\.\\d{1,2}){0,3}\\.?\\s*[^\\d\\s.．…⋯·].*[^\\d\\s.．…⋯·]\\s+(\\d{1,4})$"));
    // A line that opens an entry: a section or chapter number.
    static const QRegularExpression opening(
        QStringLiteral("^(?:\\d{1,2}(?:\\.\\d{1,2}){0,3}\\.?\\s*[^\\d\\s.．…⋯·]|第[零一二三四五六七八九十百千\\d]+[章节回卷集篇部])"));
    static const QRegularExpression pageAtEnd(QStringLiteral("\\d\\s*$"));
    static const QRegularExpression leader(QStringLiteral("\\s*(?:[\\.．…⋯·\\-]\\s*)+\\d{1,4}\\s*$"));
    // A leader and page number with more text after them: the line holds
    // the entries of two columns side by side.
    static const QRegularExpression entryEnd(
        QStringLiteral("[.．…⋯·](?:\\s*[.．…⋯·])+\\s*\\d{1,4}(?=\\s+\\S)"));
    static const QRegularExpression lineBreaks(QStringLiteral("[\\r\\n]+"));
    // A title wraps onto two more lines at most.
    constexpr int MaxWrappedLines = 3;

    QVector<QVector<Candidate>> columns;
    // Per column: the lines of an entry whose page number has not come yet.
    QVector<QPair<QString, int>> pending;
    const auto add = [&](int column, const QString &line, const QRegularExpressionMatch &match, bool isBare) {
        const int number = match.captured(match.lastCapturedIndex()).toInt();
        const QString lead = leader.match(line).captured().trimmed();
        QString title = line;
        title.remove(leader);
        if (isBare)
            title.chop(match.capturedLength(1));
        columns[column].append({PdfTocEntry{title.trimmed(), number > 0 ? number - 1 : 0, 0}, isBare,
                                lead.isEmpty() ? QChar() : lead.front()});
        pending[column] = {};
    };
    const QStringList lines = text.split(lineBreaks, Qt::SkipEmptyParts);
    for (const QString &raw : lines) {
        QStringList parts;
        int from = 0;
        QRegularExpressionMatchIterator ends = entryEnd.globalMatch(raw);
        while (ends.hasNext() && parts.size() < PdfChapterParser::MaxContentsColumns - 1) {
            const int end = ends.next().capturedEnd();
            parts << raw.mid(from, end - from);
            from = end;
        }
        parts << raw.mid(from);
        for (int column = 0; column < parts.size(); ++column) {
            const QString line = parts.at(column).trimmed();
            if (line.size() < 3)
                continue;
            if (columns.size() <= column) {
                columns.resize(column + 1);
                pending.resize(column + 1);
            }
            // A section number without leader ("7 附录说明 12") is bare
            // before it is a keyword's.
            QRegularExpressionMatch match = numbered.match(line);
            if (!match.hasMatch())
                match = sectioned.match(line);
            if (!match.hasMatch() && !bare.match(line).hasMatch())
                match = keyword.match(line);
            if (match.hasMatch()) {
                add(column, line, match, false);
                continue;
            }
            QPair<QString, int> &wrapped = pending[column];
            if (!wrapped.first.isEmpty() && !opening.match(line).hasMatch()) {
                const QString joined = joinWrapped(wrapped.first, line);
                match = numbered.match(joined);
                if (!match.hasMatch())
                    match = sectioned.match(joined);
                if (match.hasMatch()) {
                    add(column, joined, match, false);
                } else if (wrapped.second + 1 < MaxWrappedLines && !pageAtEnd.match(line).hasMatch()) {
                    wrapped = {joined, wrapped.second + 1};
                } else {
                    wrapped = {};
                }
                continue;
            }
            match = bare.match(line);
            if (match.hasMatch())
                add(column, line, match, true);
            else if (opening.match(line).hasMatch() && !pageAtEnd.match(line).hasMatch()
                     && line.size() <= PdfChapterParser::MaxTitleLength)
                wrapped = {line, 1};
            else
                wrapped = {};
        }
    }
    QVector<Candidate> entries;
    for (const QVector<Candidate> &column : qAsConst(columns))
        entries += column;
    return entries;
}

// Page numbers never fall, within the page and from the contents pages
// before it. A first contents page names at least three pages; one that
// continues the contents holds two entries or more.
bool readsAsContents(const QVector<PdfTocEntry> &entries, const QVector<PdfTocEntry> &before)
{
    if (entries.isEmpty() || (!before.isEmpty() && entries.first().startPage < before.last().startPage))
        return false;
    int pages = 1;
    for (int k = 1; k < entries.size(); ++k) {
        if (entries.at(k).startPage < entries.at(k - 1).startPage)
            return false;
        pages += entries.at(k).startPage > entries.at(k - 1).startPage ? 1 : 0;
    }
    return before.isEmpty() ? pages >= 3 : entries.size() >= 2;
}

// One page read as contents: its entries, the leaders they use, its columns.
struct ContentsPage
{
    QVector<PdfTocEntry> entries;
    QString leaders;
    int columns = 1;
    // Headed by a list of figures or tables.
    bool otherList = false;
};

// The entries of the page's reading that reads as contents with the most
// of them; none when no reading does.
ContentsPage contentsEntries(PdfBook &book, int index, const QVector<PdfTocEntry> &before)
{
    const PdfAnswers::PageText &page = book.pageWords(index);
    if (book.overBudget())
        return {};
    const PageReadings readings = pageReadings(page);
    ContentsPage best;
    best.columns = readings.columns;
    best.otherList = hasHeading(readings.texts, OtherListHeadings);
    for (const QString &reading : readings.texts) {
        const QString text = withIdeographs(reading);
        if (text.trimmed().isEmpty())
            continue;
        QLOG_DEBUG().noquote() << "[PdfChapterParser] 目录扫描 第" << index << "页文本长度:" << text.size()
                               << "前200字:" << text.left(200);
        QVector<PdfTocEntry> entries;
        QString leaders;
        for (const Candidate &candidate : confirmed(readEntries(text), before)) {
            entries.append(candidate.entry);
            if (!candidate.leader.isNull() && !leaders.contains(candidate.leader))
                leaders += candidate.leader;
        }
        if (entries.size() > best.entries.size() && readsAsContents(entries, before)) {
            best.entries = entries;
            best.leaders = leaders;
        }
    }
    return best;
}

// A title as its page may print it: without spaces, and without the section
// number, which may be printed otherwise there ("第1章").
QString printedTitle(const QString &title)
{
    static const QRegularExpression sectionNumber(QStringLiteral("^\\d{1,2}(?:\\.\\d{1,2}){0,3}\\.?(?=\\D)"));
    return withoutSpaces(title).remove(sectionNumber);
}

// Pages' texts, each read once.
class PageTexts
{
public:
    explicit PageTexts(PdfBook &book) : m_book(book) {}
    int pageCount() const { return m_book.pageCount(); }
    const PageText &at(int index)
    {
        auto it = m_texts.find(index);
        if (it == m_texts.end())
            it = m_texts.insert(index, readPageText(m_book, index));
        return it.value();
    }

private:
    PdfBook &m_book;
    QHash<int, PageText> m_texts;
};

// Printed page number to page index: the shift to the nearest page, outside
// the contents pages, that shows an entry's title. A few entries are tried,
// since a title may be drawn differently on its page.
bool printedOffset(PageTexts &texts, const QVector<PdfTocEntry> &entries, int contentsPage, int lastContentsPage,
                   int *offset)
{
    constexpr int EntriesTried = 3;
    for (int e = 0; e < entries.size() && e < EntriesTried; ++e) {
        const QString title = printedTitle(entries.at(e).title);
        if (title.isEmpty())
            continue;
        for (int distance = 0; distance <= PdfChapterParser::OffsetSearchPages; ++distance) {
            for (const int shift : {-distance, distance}) {
                const int page = entries.at(e).startPage + shift;
                if (page < 0 || page >= texts.pageCount() || (page >= contentsPage && page <= lastContentsPage))
                    continue;
                if (texts.at(page).whole.contains(title)) {
                    *offset = shift;
                    return true;
                }
            }
        }
    }
    return false;
}

// A page continues the contents as a reader would take it: headed by no
// other list, its entries go on where they stopped (section numbers and
// pages) and stay in the book, with their leaders and no more columns (their
// last page may fill fewer).
bool continues(const ContentsPage &page, const ContentsPage &contents, int offset, int pageCount)
{
    if (page.entries.isEmpty() || page.otherList || page.columns > contents.columns
        || page.entries.last().startPage + offset >= pageCount)
        return false;
    for (const QChar leader : page.leaders) {
        if (!contents.leaders.contains(leader))
            return false;
    }
    const auto numbered = [](const PdfTocEntry &entry) { return !sectionOf(entry.title).isEmpty(); };
    const auto last = std::find_if(contents.entries.crbegin(), contents.entries.crend(), numbered);
    const auto next = std::find_if(page.entries.cbegin(), page.entries.cend(), numbered);
    return last == contents.entries.crend() || next == page.entries.cend()
           || sectionBefore(sectionOf(last->title), sectionOf(next->title));
}

// Entries moved onto page indexes, with the contents pages as given; see
// alignPrintedPages.
bool alignEntries(PdfBook &book, int contentsPage, int lastContentsPage, QVector<PdfTocEntry> *entries)
{
    PageTexts texts(book);
    int offset = 0;
    if (!printedOffset(texts, *entries, contentsPage, lastContentsPage, &offset)) {
        QLOG_DEBUG().noquote() << "[PdfChapterParser] 目录页码无法对应到页面，放弃目录";
        return false;
    }
    for (int k = 0; k < entries->size(); ++k) {
        PdfTocEntry &entry = (*entries)[k];
        entry.startPage += offset;
        if (entry.startPage < 0 || entry.startPage >= texts.pageCount()
            || (k > 0 && entry.startPage < entries->at(k - 1).startPage)) {
            QLOG_DEBUG().noquote() << "[PdfChapterParser] 目录页码偏移" << offset << "后超出页面范围，放弃目录";
            return false;
        }
    }
    // Numbered lists with leaders (a price list) are no contents: without a
    // contents heading, most titles must head their pages.
    if (!hasContentsHeading(book, contentsPage)) {
        int heading = 0;
        for (const PdfTocEntry &entry : qAsConst(*entries)) {
            const QString title = printedTitle(entry.title);
            heading += !title.isEmpty() && texts.at(entry.startPage).top.contains(title) ? 1 : 0;
        }
        if (2 * heading <= entries->size()) {
            QLOG_DEBUG().noquote() << "[PdfChapterParser] 目录页无标题，且仅" << heading << "/" << entries->size()
                                   << "条标题位于页首，放弃目录";
            return false;
        }
    }
    QLOG_DEBUG().noquote() << "[PdfChapterParser] 目录页码偏移:" << offset;
    return true;
}

}

QVector<PdfTocEntry> PdfChapterParser::detectTocInText(PdfBook &book, int *contentsPage,
                                                       int firstPage, int *lastContentsPage)
{
    if (contentsPage)
        *contentsPage = -1;
    if (lastContentsPage)
        *lastContentsPage = -1;
    const int pageCount = book.pageCount();
    const int scan = qMin(pageCount, ContentsScanPages);
    for (int i = qMax(0, firstPage); i < scan && !book.overBudget(); ++i) {
        ContentsPage contents = contentsEntries(book, i, {});
        if (contents.entries.isEmpty())
            continue;
        // The pages after it that continue it. Each comes before the first
        // page after the contents that the entries point to, found with that
        // page taken for contents (a later contents page may list a title
        // again: "4.1 Introduction"); a preface printed before the contents
        // bounds nothing.
        PageTexts texts(book);
        int last = i;
        for (int offset = 0; last + 1 < pageCount && last + 1 - i < MaxContentsPages; ++last) {
            if (!printedOffset(texts, contents.entries, i, last + 1, &offset))
                break;
            const auto after = std::find_if(contents.entries.cbegin(), contents.entries.cend(),
                                            [&](const PdfTocEntry &entry) { return entry.startPage + offset > i; });
            if (after == contents.entries.cend() || last + 1 >= after->startPage + offset)
                break;
            const ContentsPage more = contentsEntries(book, last + 1, contents.entries);
            if (!continues(more, contents, offset, pageCount))
                break;
            contents.entries += more.entries;
        }
        if (book.overBudget())
            return {};
        QLOG_DEBUG().noquote() << "[PdfChapterParser] 在第" << i << "-" << last << "页检测到目录，"
                               << contents.entries.size() << "条";
        if (contentsPage)
            *contentsPage = i;
        if (lastContentsPage)
            *lastContentsPage = last;
        return contents.entries;
    }
    return {};
}

bool PdfChapterParser::alignPrintedPages(PdfBook &book, int contentsPage, int lastContentsPage,
                                         QVector<PdfTocEntry> *entries)
{
    if (!entries || entries->isEmpty() || book.overBudget())
        return false;
    QVector<PdfTocEntry> aligned = *entries;
    bool found = alignEntries(book, contentsPage, lastContentsPage, &aligned);
    if (!found && lastContentsPage > contentsPage && !book.overBudget()) {
        // The pages that continued the contents are left out, never the
        // first page's chapters.
        QLOG_DEBUG().noquote() << "[PdfChapterParser] 目录续页无法对应，仅保留第" << contentsPage << "页目录";
        aligned = contentsEntries(book, contentsPage, {}).entries;
        found = alignEntries(book, contentsPage, contentsPage, &aligned);
    }
    if (found && !book.overBudget())
        *entries = aligned;
    return found && !book.overBudget();
}
