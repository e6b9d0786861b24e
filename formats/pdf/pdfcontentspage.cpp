// The printed contents page of a PDF without outline.

#include "pdfchapterparser.h"

#include "logmanager.h"

#include <poppler-qt5.h>

#include <QHash>
#include <QRegularExpression>

#include <algorithm>
#include <memory>

namespace {

// Three readings of a page: every word box a line of its own; the lines
// poppler joins the boxes into (a contents line is often several boxes:
// number, title, leader, page); and the boxes that share a baseline, left to
// right, so that a contents page in two columns gives lines holding an entry
// of each column. The whole page's text when it has no boxes.
QStringList pageReadings(Poppler::Page *page)
{
    QString boxes;
    QString lines;
    QVector<QPair<QRectF, QString>> words;
    const QList<Poppler::TextBox *> list = page->textList();
    for (Poppler::TextBox *box : list) {
        if (!box->text().isEmpty()) {
            boxes += box->text() + QLatin1Char('\n');
            words.append({box->boundingBox(), box->text()});
        }
        lines += box->text();
        if (!box->nextWord())
            lines += QLatin1Char('\n');
        else if (box->hasSpaceAfter())
            lines += QLatin1Char(' ');
    }
    qDeleteAll(list);
    if (boxes.trimmed().isEmpty())
        return {page->text(QRectF())};

    std::stable_sort(words.begin(), words.end(), [](const auto &a, const auto &b) {
        return a.first.center().y() < b.first.center().y();
    });
    QString rows;
    for (int first = 0; first < words.size();) {
        // A box belongs to the row when its middle lies within the first box's height.
        const QRectF &head = words.at(first).first;
        int end = first + 1;
        while (end < words.size() && words.at(end).first.center().y() <= head.bottom())
            ++end;
        std::stable_sort(words.begin() + first, words.begin() + end, [](const auto &a, const auto &b) {
            return a.first.left() < b.first.left();
        });
        for (int k = first; k < end; ++k)
            rows += words.at(k).second + QLatin1Char(k + 1 < end ? ' ' : '\n');
        first = end;
    }
    return {boxes, lines, rows};
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

// A line of its own that names the page a table of contents ("目 录",
// "Table of Contents"), in either reading of the page.
bool hasContentsHeading(Poppler::Document *document, int index)
{
    static const QStringList headings{QStringLiteral("目录"), QStringLiteral("contents"),
                                      QStringLiteral("tableofcontents"), QStringLiteral("inhalt"),
                                      QStringLiteral("содержание")};
    const std::unique_ptr<Poppler::Page> page(index >= 0 ? document->page(index) : nullptr);
    if (!page)
        return false;
    for (const QString &reading : pageReadings(page.get())) {
        for (const QString &line : reading.split(QLatin1Char('\n'))) {
            if (line.size() <= 40 && headings.contains(withoutSpaces(line).toLower()))
                return true;
        }
    }
    return false;
}

// A page's text without white space, whole and its first lines only.
struct PageText
{
    QString whole;
    QString top;
};

PageText readPageText(Poppler::Document *document, int index)
{
    // Room for a running head and a title over two lines.
    constexpr int TopLines = 4;
    const std::unique_ptr<Poppler::Page> page(document->page(index));
    if (!page)
        return {};
    const QString text = page->text(QRectF());
    QStringList top;
    for (const QString &line : text.split(QLatin1Char('\n'))) {
        if (top.size() >= TopLines)
            break;
        if (!line.trimmed().isEmpty())
            top << line;
    }
    return {withoutSpaces(text), withoutSpaces(top.join(QString()))};
}

}

QVector<PdfTocEntry> PdfChapterParser::detectTocInText(Poppler::Document *document, int *contentsPage,
                                                       int firstPage)
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
    // them), then the page.
    static const QRegularExpression sectioned(
        QStringLiteral("^\\d{1,2}(?:\\.\\d{1,2}){0,3}\\.?\\s*[^\\d\\s.．…⋯·].*?\\s*[.．…⋯·](?:\\s*[.．…⋯·])+"
                       "\\s*(\\d{1,4})\\s*$"));
    static const QRegularExpression leader(QStringLiteral("\\s*(?:[\\.．…⋯·\\-]\\s*)+\\d{1,4}\\s*$"));
    // A leader and page number with more text after them: the line holds
    // the entries of two columns side by side.
    static const QRegularExpression entryEnd(
        QStringLiteral("[.．…⋯·](?:\\s*[.．…⋯·])+\\s*\\d{1,4}(?=\\s+\\S)"));
    static const QRegularExpression lineBreaks(QStringLiteral("[\\r\\n]+"));

    if (contentsPage)
        *contentsPage = -1;
    if (!document)
        return {};
    const int scan = qMin(document->numPages(), ContentsScanPages);
    for (int i = qMax(0, firstPage); i < scan; ++i) {
        const std::unique_ptr<Poppler::Page> page(document->page(i));
        if (!page)
            continue;
        for (const QString &reading : pageReadings(page.get())) {
            const QString text = withIdeographs(reading);
            if (text.trimmed().isEmpty())
                continue;
            QLOG_DEBUG().noquote() << "[PdfChapterParser] 目录扫描 第" << i << "页文本长度:" << text.size()
                                   << "前200字:" << text.left(200);

            // Entries by column: a page in two columns is read down the
            // first column, then down the second.
            QVector<QVector<PdfTocEntry>> columns;
            const QStringList lines = text.split(lineBreaks, Qt::SkipEmptyParts);
            for (const QString &raw : lines) {
                QStringList parts;
                int from = 0;
                QRegularExpressionMatchIterator ends = entryEnd.globalMatch(raw);
                while (ends.hasNext() && parts.size() < MaxContentsColumns - 1) {
                    const int end = ends.next().capturedEnd();
                    parts << raw.mid(from, end - from);
                    from = end;
                }
                parts << raw.mid(from);
                for (int column = 0; column < parts.size(); ++column) {
                    const QString line = parts.at(column).trimmed();
                    if (line.size() < 3)
                        continue;
                    QRegularExpressionMatch match = numbered.match(line);
                    if (!match.hasMatch())
                        match = keyword.match(line);
                    if (!match.hasMatch())
                        match = sectioned.match(line);
                    if (!match.hasMatch())
                        continue;
                    const int number = match.captured(match.lastCapturedIndex()).toInt();
                    QString title = line;
                    title.remove(leader);
                    if (columns.size() <= column)
                        columns.resize(column + 1);
                    columns[column].append(PdfTocEntry{title.trimmed(), number > 0 ? number - 1 : 0, 0});
                }
            }
            QVector<PdfTocEntry> entries;
            for (const QVector<PdfTocEntry> &column : qAsConst(columns))
                entries += column;
            // Sections may share a page with their chapter, but the page
            // numbers never fall and name at least three pages.
            int pages = entries.isEmpty() ? 0 : 1;
            bool increasing = true;
            for (int k = 1; increasing && k < entries.size(); ++k) {
                increasing = entries.at(k).startPage >= entries.at(k - 1).startPage;
                pages += entries.at(k).startPage > entries.at(k - 1).startPage ? 1 : 0;
            }
            if (increasing && pages >= 3) {
                QLOG_DEBUG().noquote() << "[PdfChapterParser] 在第" << i << "页检测到目录，" << entries.size() << "条";
                if (contentsPage)
                    *contentsPage = i;
                return entries;
            }
        }
    }
    return {};
}

bool PdfChapterParser::alignPrintedPages(Poppler::Document *document, int contentsPage,
                                         QVector<PdfTocEntry> *entries)
{
    if (!document || !entries || entries->isEmpty())
        return false;
    const int pageCount = document->numPages();
    QHash<int, PageText> texts;
    const auto pageText = [&](int index) -> const PageText & {
        auto it = texts.find(index);
        if (it == texts.end())
            it = texts.insert(index, readPageText(document, index));
        return it.value();
    };

    static const QRegularExpression sectionNumber(QStringLiteral("^\\d{1,2}(?:\\.\\d{1,2}){0,3}\\.?(?=\\D)"));
    // The nearest page that shows an entry's title gives the offset; a few
    // entries are tried, since a title may be drawn differently on its page.
    constexpr int EntriesTried = 3;
    bool found = false;
    int offset = 0;
    for (int e = 0; e < entries->size() && e < EntriesTried && !found; ++e) {
        // A section number may be printed otherwise on the page ("第1章").
        const QString title = withoutSpaces(entries->at(e).title).remove(sectionNumber);
        if (title.isEmpty())
            continue;
        for (int distance = 0; distance <= OffsetSearchPages && !found; ++distance) {
            for (const int shift : {-distance, distance}) {
                const int page = entries->at(e).startPage + shift;
                if (page < 0 || page >= pageCount || page == contentsPage)
                    continue;
                if (pageText(page).whole.contains(title)) {
                    found = true;
                    offset = shift;
                    break;
                }
            }
        }
    }
    if (!found) {
        QLOG_DEBUG().noquote() << "[PdfChapterParser] 目录页码无法对应到页面，放弃目录";
        return false;
    }
    for (int k = 0; k < entries->size(); ++k) {
        PdfTocEntry &entry = (*entries)[k];
        entry.startPage += offset;
        if (entry.startPage < 0 || entry.startPage >= pageCount
            || (k > 0 && entry.startPage < entries->at(k - 1).startPage)) {
            QLOG_DEBUG().noquote() << "[PdfChapterParser] 目录页码偏移" << offset << "后超出页面范围，放弃目录";
            return false;
        }
    }
    // Numbered lists with leaders (a price list) are no contents: without a
    // contents heading, most titles must head their pages.
    if (!hasContentsHeading(document, contentsPage)) {
        int heading = 0;
        for (const PdfTocEntry &entry : qAsConst(*entries)) {
            const QString title = withoutSpaces(entry.title).remove(sectionNumber);
            heading += !title.isEmpty() && pageText(entry.startPage).top.contains(title) ? 1 : 0;
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
