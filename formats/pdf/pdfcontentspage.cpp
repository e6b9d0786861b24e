// The printed contents page of a PDF without outline.

#include "pdfchapterparser.h"

#include "logmanager.h"

#include <poppler-qt5.h>

#include <QHash>
#include <QRegularExpression>

#include <memory>

namespace {

// Two readings of a page: every word box a line of its own, and the lines
// poppler joins the boxes into (a contents line is often several boxes:
// number, title, leader, page; a page in two columns is only right in the
// first). The whole page's text when it has no boxes.
QStringList pageReadings(Poppler::Page *page)
{
    QString boxes;
    QString lines;
    const QList<Poppler::TextBox *> words = page->textList();
    for (Poppler::TextBox *box : words) {
        if (!box->text().isEmpty())
            boxes += box->text() + QLatin1Char('\n');
        lines += box->text();
        if (!box->nextWord())
            lines += QLatin1Char('\n');
        else if (box->hasSpaceAfter())
            lines += QLatin1Char(' ');
    }
    qDeleteAll(words);
    if (boxes.trimmed().isEmpty())
        return {page->text(QRectF())};
    return {boxes, lines};
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

}

QVector<PdfTocEntry> PdfChapterParser::detectTocInText(Poppler::Document *document, int *contentsPage)
{
    static const QRegularExpression numbered(
        QStringLiteral("(第[零一二三四五六七八九十百千\\d]+[章节回卷集篇部]).*?(\\d{1,4})\\s*$"));
    static const QRegularExpression keyword(
        QStringLiteral("(序言|前言|楔子|引子|尾声|后记|番外[一二三四五六七八九十\\d]*|附录|跋|终章|大结局|完本感言|上架感言"
                       "|Prologue|Epilogue|Foreword|Preface|Introduction|Afterword|Appendix|Extra|Special|Bonus)"
                       ".*?(\\d{1,4})\\s*$"),
        QRegularExpression::CaseInsensitiveOption);
    // "1 模板介绍 …… 4", "2.3 Methods ........ 17": a section number, a title
    // that starts with neither a digit nor a leader, a leader of two or more
    // dots, then the page.
    static const QRegularExpression sectioned(
        QStringLiteral("^\\d{1,2}(?:\\.\\d{1,2}){0,3}\\.?\\s*[^\\d\\s.．…⋯·].*?\\s*[.．…⋯·]{2,}\\s*(\\d{1,4})\\s*$"));
    static const QRegularExpression leader(QStringLiteral("\\s*[\\.．…⋯·\\-]+\\.?\\s*\\d{1,4}\\s*$"));
    static const QRegularExpression lineBreaks(QStringLiteral("[\\r\\n]+"));

    if (contentsPage)
        *contentsPage = -1;
    if (!document)
        return {};
    const int scan = qMin(document->numPages(), ContentsScanPages);
    for (int i = 0; i < scan; ++i) {
        const std::unique_ptr<Poppler::Page> page(document->page(i));
        if (!page)
            continue;
        for (const QString &reading : pageReadings(page.get())) {
            const QString text = withIdeographs(reading);
            if (text.trimmed().isEmpty())
                continue;
            QLOG_DEBUG().noquote() << "[PdfChapterParser] 目录扫描 第" << i << "页文本长度:" << text.size()
                                   << "前200字:" << text.left(200);

            QVector<PdfTocEntry> entries;
            const QStringList lines = text.split(lineBreaks, Qt::SkipEmptyParts);
            for (const QString &raw : lines) {
                const QString line = raw.trimmed();
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
                entries.append(PdfTocEntry{title.trimmed(), number > 0 ? number - 1 : 0, 0});
            }
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
    QHash<int, QString> texts;
    const auto pageText = [&](int index) -> const QString & {
        auto it = texts.find(index);
        if (it == texts.end()) {
            const std::unique_ptr<Poppler::Page> page(document->page(index));
            it = texts.insert(index, page ? withoutSpaces(page->text(QRectF())) : QString());
        }
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
                if (pageText(page).contains(title)) {
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
    QLOG_DEBUG().noquote() << "[PdfChapterParser] 目录页码偏移:" << offset;
    return true;
}
