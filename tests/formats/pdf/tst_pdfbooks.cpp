// PDF books through the registry and the real import task: chapters from an
// outline (pages shared by entries stored once), a printed Chinese contents
// page and page ranges; page paragraphs;
// refused files, and fonts naming a file outside the book; reading the first
// page through the core.

#include "coresession.h"
#include "dbtestutils.h"
#include "decodeservice.h"
#include "filesizelimit.h"
#include "importoutcome.h"
#include "openwatch.h"
#include "paths.h"
#include "pdfchapterparser.h"
#include "pdfpageloader.h"
#include "readingpages.h"

#include <QPainter>
#include <QPdfWriter>
#include <QProcess>
#include <QScopeGuard>
#include <QSettings>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>

#include <thread>

#ifdef QUILLORA_SANITIZED_TESTS
// Poppler under a sanitizer does this work many times slower and unevenly
// with the machine's load: whether it fits the helper's budget is not what a
// sanitized run tells.
#define SKIP_BUDGET_EDGE() QSKIP("poppler's speed under a sanitizer decides this row")
#else
#define SKIP_BUDGET_EDGE() do {} while (false)
#endif

namespace {

const QString Hostile = QStringLiteral(QUILLORA_TEST_DATA_DIR "/pdf/make-hostile.py");
const QString Heavy = QStringLiteral(QUILLORA_TEST_DATA_DIR "/pdf/make-heavy.py");

const QColor Ink(200, 30, 60);

// Pages of the given size in points, each headed by its text (a Chinese font
// throughout); the second page lists contents lines when there are any.
bool writeBook(const QString &path, const QStringList &heads, const QSizeF &points = QSizeF(595.28, 841.89),
               const QStringList &contents = {}, const QString &title = QString())
{
    QPdfWriter writer(path);
    writer.setTitle(title);
    writer.setResolution(72);
    writer.setPageMargins(QMarginsF());
    writer.setPageSize(QPageSize(points, QPageSize::Point, {}, QPageSize::ExactMatch));
    QPainter painter(&writer);
    QFont font(QStringLiteral("Noto Sans CJK SC"));
    font.setPixelSize(24);
    painter.setFont(font);
    for (int i = 0; i < heads.size(); ++i) {
        if (i > 0 && !writer.newPage())
            return false;
        painter.fillRect(QRectF(60, 200, 200, 100), Ink);
        painter.drawText(QPointF(60, 120), heads.at(i));
        for (int k = 0; i == 1 && k < contents.size(); ++k)
            painter.drawText(QPointF(60, 340 + 40 * k), contents.at(k));
    }
    return painter.end();
}

QStringList pages(int count)
{
    QStringList heads;
    for (int i = 0; i < count; ++i)
        heads << QStringLiteral("Page %1").arg(i + 1);
    return heads;
}

// A cover, a contents page, then chapters whose printed page 1 is the third page.
bool writeContentsBook(const QString &path, int lastPrinted)
{
    return writeBook(path, {"山海之间", "目录", "第一章 开端", "山风", "第二章 发展", "海浪", "第三章 高潮", "雷声", "尾声", "完"},
                     QSizeF(595.28, 841.89),
                     {"第一章开端……1", "第二章发展……3", "第三章高潮……5", QStringLiteral("尾声……%1").arg(lastPrinted)},
                     "山海之间");
}


// `pages` pages and one outline entry "E<i>" (or the PDF string titles[i])
// per destination, written by hand (QPdfWriter writes no outline). A
// destination is a page index, "s<page>" a string looked up in the name tree
// through a GoTo action, "n<page>" a name of the catalog's /Dests, "i<page>"
// a page number, ">k" page 0 with the next item being item k, or "-" for an
// item that is no dictionary.
QByteArray outlinePdf(int pages, const QByteArrayList &dests, const QByteArrayList &titles = {})
{
    const auto n = [](int value) { return QByteArray::number(value); };
    const auto fit = [&](const QByteArray &page) { return "[" + n(4 + page.toInt()) + " 0 R /Fit]"; };
    // The first half of the pages hangs from a node of its own, the rest from the root.
    const int half = pages / 2, node = 4 + pages + int(dests.size());
    QByteArray kids = half > 0 ? n(node) + " 0 R " : QByteArray(), nodeKids, names, named;
    for (int i = 0; i < pages; ++i)
        (i < half ? nodeKids : kids) += n(4 + i) + " 0 R ";
    for (const QByteArray &dest : dests) {
        if (dest.startsWith('s'))
            names += "(" + dest + ") " + fit(dest.mid(1)) + " ";
        else if (dest.startsWith('n'))
            named += "/" + dest + " " + fit(dest.mid(1)) + " ";
    }
    const int items = dests.size();
    QByteArrayList objects{"<< /Type /Catalog /Pages 2 0 R /Outlines 3 0 R /Names << /Dests << /Names [" + names
                               + "] >> >> /Dests << " + named + ">> >>",
                           "<< /Type /Pages /Kids [" + kids + "] /Count " + n(pages) + " >>",
                           "<< /Type /Outlines /First " + n(4 + pages) + " 0 R /Last " + n(3 + pages + items)
                               + " 0 R /Count " + n(items) + " >>"};
    for (int i = 0; i < pages; ++i)
        objects << "<< /Type /Page /Parent " + n(i < half ? node : 2) + " 0 R /MediaBox [0 0 200 200] >>";
    for (int i = 0; i < items; ++i) {
        const QByteArray &dest = dests.at(i);
        const int next = dest.startsWith('>') ? dest.mid(1).toInt() : i + 1;
        objects << (dest == "-" ? "(damaged)"
                    : "<< /Title " + (i < titles.size() ? titles.at(i) : "(E" + n(i) + ")") + " /Parent 3 0 R "
                       + (dest.startsWith('s') ? "/A << /S /GoTo /D (" + dest + ") >>"
                          : dest.startsWith('n') ? "/Dest /" + dest
                          : dest.startsWith('i') ? "/Dest [" + dest.mid(1) + " /Fit]" : "/Dest " + fit(dest))
                       + (i > 0 ? " /Prev " + n(3 + pages + i) + " 0 R" : QByteArray())
                       + (next < items ? " /Next " + n(4 + pages + next) + " 0 R" : QByteArray()) + " >>");
    }
    objects << "<< /Type /Pages /Parent 2 0 R /Kids [" + nodeKids + "] /Count " + n(half) + " >>";
    QByteArray pdf = "%PDF-1.4\n";
    QByteArray xref = "xref\n0 " + n(objects.size() + 1) + "\n0000000000 65535 f \n";
    for (int i = 0; i < objects.size(); ++i) {
        xref += n(pdf.size()).rightJustified(10, '0') + " 00000 n \n";
        pdf += n(i + 1) + " 0 obj\n" + objects.at(i) + "\nendobj\n";
    }
    return pdf + xref + "trailer\n<< /Size " + n(objects.size() + 1) + " /Root 1 0 R >>\nstartxref\n"
           + n(pdf.size()) + "\n%%EOF\n";
}
}

// Grows a PDF by an update that adds one stream no page uses.
bool padPdf(const QString &path, int bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite))
        return false;
    const QByteArray pdf = file.readAll();
    const int at = pdf.lastIndexOf("startxref");
    if (at < 0)
        return false;
    const QByteArray previous = pdf.mid(at + 9).trimmed().split('\n').value(0).trimmed();
    const QByteArray object = "\n900 0 obj\n<< /Length " + QByteArray::number(bytes) + " >>\nstream\n"
        + QByteArray(bytes, 'q') + "\nendstream\nendobj\n";
    const qint64 xref = pdf.size() + object.size();
    return file.write(object + "xref\n900 1\n" + QByteArray::number(pdf.size() + 1).rightJustified(10, '0')
                      + " 00000 n \ntrailer\n<< /Size 901 /Root 1 0 R /Prev " + previous + " >>\nstartxref\n"
                      + QByteArray::number(xref) + "\n%%EOF\n") > 0;
}

// Files may grow to this size while an import copies a book larger than it.
constexpr int CopyRoom = 8 << 20;
constexpr int BigBook = 12 << 20;

class TestPdfBooks : public QObject, private CoreSession
{
    Q_OBJECT

    QString file(const QString &name) const { return env->root() + QLatin1Char('/') + name; }
    // "title|first page|last page" per chapter, from the stored rows and the pages' ids.
    QStringList storedChapters(const QString &path)
    {
        QStringList got;
        for (const QString &row : DbTestUtils::column(
                 "SELECT c.title || '|' || count(p.id) || '|' || (SELECT image_id FROM unified_paragraph f "
                 "WHERE f.chapter_id = c.id AND f.para_index = 0) FROM chapter_info c JOIN unified_paragraph p "
                 "ON p.chapter_id = c.id WHERE c.novel_id = ? GROUP BY c.id ORDER BY c.chapter_index", md5Hex(path))) {
            const int first = PdfPageLoader::parsePdfUrl(row.section('|', 2)).page;
            got << QStringLiteral("%1|%2|%3").arg(row.section('|', 0, 0)).arg(first)
                       .arg(first + row.section('|', 1, 1).toInt() - 1);
        }
        return got;
    }

private slots:
    void init() { QVERIFY(open()); }
    void cleanup() { close(); }

    void chapters_data()
    {
        QTest::addColumn<QString>("book");
        QTest::addColumn<QStringList>("chapters");
        QTest::newRow("outline, front matter, item without destination")
            << "outline" << QStringList{"The Lighthouse Keeper|0|1", "Chapter One|2|2", "A Storm|3|4",
                                        "Chapter Two|5|7", "Chapter Three|8|11"};
        QTest::newRow("printed contents, page numbers offset by the front matter")
            << "contents 7" << QStringList{"山海之间|0|1", "第一章开端|2|3", "第二章发展|4|5",
                                           "第三章高潮|6|7", "尾声|8|9"};
        QTest::newRow("outline entries sharing pages, named and action destinations")
            << "dests 6 1 s1 n1 3 3 5" << QStringList{"book|0|0", "E0 / E1 / E2|1|2", "E3 / E4|3|4", "E5|5|5"};
        QString targets = "dests 1200";   // last page first: the order is the sort's
        QStringList pageAfterPage;
        for (int i = 0; i < 1200; ++i) {
            targets += QStringLiteral(" %1").arg(1199 - i);
            pageAfterPage << QStringLiteral("E%1|%2|%2").arg(1199 - i).arg(i);
        }
        QTest::newRow("long outline") << targets << pageAfterPage;
        QTest::newRow("printed contents with section numbers and dot leaders")
            << "sections" << QStringList{"论文模板|0|1", "1 模板介绍 / 1.1 使用说明|2|3", "2 排版要求|4|5",
                                          "3 参考文献|6|7"};
        QTest::newRow("printed contents pointing past the end") << "contents 40" << QStringList{"第1-10页|0|9"};
        // Made by make-contents.py: no contents heading, every title heads its page.
        const QStringList farm{"1 Introduction|2|3", "2 The Farm|4|5", "3 Weather|6|7", "4 The Harvest|8|9",
                               "5 Winter|10|11"};
        QTest::newRow("adjacent dot leaders") << "adjacent.pdf" << QStringList("adjacent|0|1") + farm;
        QTest::newRow("spaced dots, middle dots and ellipses") << "spaced.pdf" << QStringList("spaced|0|1") + farm;
        QTest::newRow("contents in two columns, spaced leaders")
            << "two-column.pdf" << QStringList{"two-column|0|1", "1 Method / 1.1 Sampling|2|2", "1.2 Counting|3|3",
                                               "2 Results / 2.1 Spring|4|4", "2.2 Summer|5|5", "3 Discussion|6|6",
                                               "3.1 Errors / 3.2 Outlook|7|7", "4 Summary|8|9"};
        QTest::newRow("price list with dot leaders is no contents") << "price.pdf" << QStringList{"第1-14页|0|13"};
        QTest::newRow("Chinese text through a predefined CMap, font not embedded")
            << "cmap.pdf" << QStringList{"cmap|0|1", "第一章 山风|2|3", "第二章 海浪|4|5", "第三章 雷声|6|7"};
        // Top-level entries without leaders; printed page 1 is the fifth page.
        const QStringList opening{
            "1 模板介绍 / 1.1 使用说明 / 1.2 文件结构|4|4", "2 排版要求 / 2.1 页面设置 / 2.2 字体字号|5|5", "2.3 行距|6|6",
            "3 图表格式 / 3.1 插图 / 3.2 表格|7|7", "3.3 公式|8|8", "4 论文结构 / 4.1 封面 / 4.2 摘要|9|9",
            "4.3 目录 / 4.4 正文|10|10"};
        QTest::newRow("contents over two pages in two columns, a wrapped title")
            << "thesis.pdf" << QStringList("thesis|0|3") + opening + QStringList{
                   "4.5 致谢 / 4.6 名单 / 4.6.1 指导小组、公开评阅人和答辩委员会名单 / 4.6.2 评阅意见|11|11", "4.7 声明|12|12",
                   "5 参考文献 / 5.1 著录格式 / 5.2 引用方式|13|13", "6 常见问题 / 6.1 编译错误|14|14",
                   "7 附录说明 / 7.1 附录格式 / 7.2 附录编号|15|15", "7.3 附录图表 / 7.4 附录公式|16|16",
                   "7.5 附录细则 / 7.5.1 细则第1条 / 7.5.2 细则第2条|17|17",
                   "7.5.3 细则第3条 / 7.5.4 细则第4条 / 7.5.5 细则第5条|18|18",
                   "7.5.6 细则第6条 / 7.5.7 细则第7条 / 7.5.8 细则第8条|19|19",
                   "7.5.9 细则第9条 / 7.5.10 细则第10条 / 7.5.11 细则第11条|20|20",
                   "7.5.12 细则第12条 / 7.5.13 细则第13条 / 7.5.14 细则第14条|21|21",
                   "7.5.15 细则第15条 / 7.5.16 细则第16条 / 7.5.17 细则第17条 / 7.6 附录排序|22|22",
                   "7.7 附录字体 / 7.8 附录页眉|23|23", "7.9 附录页码 / 7.10 附录目录|24|24",
                   "7.11 附录引用 / 7.12 附录结尾|25|25", "8 结论|26|27"};
        QTest::newRow("contents over three pages, heading on the first only")
            << "three-pages.pdf" << QStringList("three-pages|0|3") + opening + QStringList{
                   "4.5 致谢 / 4.6 名单|11|11", "4.7 声明|12|12", "5 参考文献 / 5.1 著录格式 / 5.2 引用方式|13|13",
                   "6 常见问题 / 6.1 编译错误|14|14", "7 附录说明 / 7.1 附录格式 / 7.2 附录编号|15|15",
                   "7.3 附录图表 / 7.4 附录公式|16|16", "7.5 附录细则|17|21", "7.6 附录排序|22|22",
                   "7.7 附录字体 / 7.8 附录页眉|23|23", "7.9 附录页码 / 7.10 附录目录|24|24",
                   "7.11 附录引用 / 7.12 附录结尾|25|25", "8 结论|26|27"};
        // A page after the contents joins them only as their continuation.
        const QStringList report{"1 Introduction|2|4", "2 Methods|5|7", "3 Results|8|10", "4 Discussion|11|23"};
        QTest::newRow("results list with leaders on the first chapter page")
            << "results.pdf" << QStringList("results|0|1") + report;
        QTest::newRow("results list pointing past the end")
            << "results-past.pdf" << QStringList("results-past|0|1") + report;
        QTest::newRow("list of figures going on from the contents")
            << "figures.pdf" << QStringList{"figures|0|2", "1 Introduction|3|4", "2 The Farm|5|6", "3 Weather|7|8",
                                            "4 The Harvest|9|10", "5 Winter|11|12"};
        QTest::newRow("second contents page going on from the first, naming the first title again")
            << "continued.pdf" << QStringList{"continued|0|2", "1 Method / 1.1 Sampling|3|3", "1.2 Counting|4|4",
                                              "2 Results / 2.1 Spring|5|5", "2.2 Summer|6|6", "3 Discussion|7|7",
                                              "3.1 Method errors / 3.2 Outlook|8|8", "4 Summary|9|10"};
        QTest::newRow("contents over two pages, the first entry a preface printed before them")
            << "preface.pdf" << QStringList{"preface|0|0", "Preface|1|3", "1 Method|4|4", "2 Results|5|5",
                                            "3 Discussion|6|6", "4 Errors|7|7", "5 Outlook|8|8", "6 Summary|9|10"};
        QTest::newRow("single leader dot after a long title")
            << "single-dot.pdf" << QStringList{"single-dot|0|1", "1 绪论 / 1.1 研究背景|2|3", "2 浮动对象 / 2.1 插图|4|4",
                                               "2.2 浮动对象：插图和表格|5|5", "2.3 表格|6|6", "3 结论|7|8"};
        QTest::newRow("entries without leaders, none with one to confirm them")
            << "no leaders" << QStringList{"第1-8页|0|7"};
        QTest::newRow("entries without leaders kept between entries in order, one out of order left")
            << "leaders and none" << QStringList{"论文模板|0|1", "1 模板介绍 / 1.1 使用说明|2|3", "2 排版要求|4|5",
                                                 "3 参考文献|6|7"};
        QTest::newRow("75 pages in ranges")
            << "75" << QStringList{"第1-30页|0|29", "第31-60页|30|59", "第61-75页|60|74"};
    }
    void chapters()
    {
        // Contents lines of a thesis drawn by QPainter.
        static const QHash<QString, QStringList> sectionLines{
            {"sections", {"1 模板介绍 …… 1", "1.1 使用说明 …… 1", "2 排版要求 …… 3", "3 参考文献 …… 5"}},
            {"no leaders", {"1 模板介绍 1", "1.1 使用说明 1", "2 排版要求 3", "3 参考文献 5"}},
            {"leaders and none", {"1 模板介绍 1", "1.1 使用说明 …… 1", "9 正文 2", "2 排版要求 …… 3", "3 参考文献 5"}}};
        QFETCH(QString, book);
        QFETCH(QStringList, chapters);
        QString path = file("book.pdf");
        if (book == "outline" || book.endsWith(".pdf"))
            path = copyTestBook("pdf/" + (book == "outline" ? "outline.pdf" : book));
        else if (book.startsWith("dests"))
            QVERIFY(Paths::writeFile(path, outlinePdf(book.section(' ', 1, 1).toInt(), book.section(' ', 2).toLatin1().split(' '))));
        else if (sectionLines.contains(book))
            QVERIFY(writeBook(path, {"论文模板", "目录", "1 模板介绍", "正文", "2 排版要求", "正文", "3 参考文献", "完"},
                              QSizeF(595.28, 841.89), sectionLines.value(book), "论文模板"));
        else if (book.startsWith("contents"))
            QVERIFY(writeContentsBook(path, book.section(' ', 1).toInt()));
        else
            QVERIFY(writeBook(path, pages(book.toInt())));
        QCOMPARE(importOutcome(*core, path), QStringLiteral("ok"));
        QCOMPARE(storedChapters(path), chapters);
    }

    // Book record, cover, and the page paragraphs at the configured quality.
    void bookAndPages_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("quality");
        QTest::addColumn<QString>("record");   // title|author|description
        QTest::addColumn<QSize>("page");       // first page's pixels
        QTest::newRow("ghostscript information, 150 dpi") << "outline.pdf" << 1
            << "The Lighthouse Keeper|Mara Quill|A short novel of the sea" << QSize(1240, 1754);
        QTest::newRow("no information, odd name, 200 dpi") << "What is Life?.pdf" << 2
            << "What is Life?|未知作者|未知简介" << QSize(1653, 2339);
        QTest::newRow("quality not a number: lowest step, 100 dpi") << "a.b.pdf" << -1
            << "a|未知作者|未知简介" << QSize(826, 1169);
        QTest::newRow("poster page: dpi and cover bounded") << "poster.v2.pdf" << 1
            << "poster|未知作者|未知简介" << QSize(8000, 8000);
    }
    void bookAndPages()
    {
        QFETCH(QString, name);
        QFETCH(int, quality);
        QFETCH(QString, record);
        QFETCH(QSize, page);
        QSettings(Paths::settingsFile(), QSettings::NativeFormat)
            .setValue("READ_SETTING/PDF_DPI", quality < 0 ? QVariant("high") : QVariant(quality));
        const QString path = name == "outline.pdf" ? copyTestBook("pdf/" + name) : file(name);
        if (name.startsWith("poster"))
            QVERIFY(writeBook(path, pages(2), QSizeF(14400, 14400)));
        else if (name != "outline.pdf")
            QVERIFY(writeBook(path, pages(3)));
        QCOMPARE(importOutcome(*core, path), QStringLiteral("ok"));

        const QVariantMap novel = DbTestUtils::storedRow("novel_info", md5Hex(path));
        QCOMPARE(QStringList({novel.value("title").toString(), novel.value("author").toString(),
                              novel.value("description").toString()}).join('|'), record);
        const QImage cover(novel.value("cover_path").toString());
        QVERIFY(!cover.isNull() && qMax(cover.width(), cover.height()) <= 1600);

        // The first two pages: "image id|width|height|start progress|kind".
        const QStringList rows = DbTestUtils::column(
            "SELECT image_id || '|' || image_width || '|' || image_height || '|' || start_progress_index || '|' || kind "
            "FROM unified_paragraph WHERE novel_id = ? ORDER BY chapter_id, para_index LIMIT 2", md5Hex(path));
        QCOMPARE(rows.size(), 2);
        const QString id = rows.first().section('|', 0, 0);
        QCOMPARE(QSize(rows.first().section('|', 1, 1).toInt(), rows.first().section('|', 2, 2).toInt()), page);
        QCOMPARE(rows.first().section('|', 4), QStringLiteral("2"));
        QCOMPARE(rows.last().section('|', 3, 3), QStringLiteral("1200"));
        QCOMPARE(id.section('?', 0, -2), "pdf://" + dataDir(path) + "/book.pdf");
        const PdfPageUrl url = PdfPageLoader::parsePdfUrl(id);
        QCOMPARE(url.page, 0);
        QCOMPARE(PdfPageLoader::pageSize(url.path, url.page, url.dpi), page);
        if (name.startsWith("poster"))
            return;
        // The recorded page drawn whole: the box painted at 60..260 x 200..300 points.
        PdfPageLoader loader;
        const QImage drawn = loader.renderPage(id, page, QRect(QPoint(), page), 1.0f);
        QCOMPARE(drawn.size(), page);
        const QColor box = drawn.pixelColor(160 * url.dpi / 72, 250 * url.dpi / 72);
        QCOMPARE(box == Ink, name != "outline.pdf");
    }

    void dpiForQuality_data()
    {
        QTest::addColumn<int>("quality");
        QTest::addColumn<int>("fitDpi");
        QTest::addColumn<int>("dpi");
        QTest::newRow("0, small screen") << 0 << 100 << 72;
        QTest::newRow("0") << 0 << 150 << 100;
        QTest::newRow("1") << 1 << 217 << 217;
        QTest::newRow("unknown step as 1") << 9 << 217 << 217;
        QTest::newRow("2") << 2 << 300 << 400;
        QTest::newRow("2, capped") << 2 << 700 << 800;
        QTest::newRow("3") << 3 << 300 << 600;
        QTest::newRow("3, capped") << 3 << 700 << 1200;
    }
    void dpiForQuality()
    {
        QFETCH(int, quality);
        QFETCH(int, fitDpi);
        QFETCH(int, dpi);
        QCOMPARE(PdfChapterParser::dpiForQuality(quality, fitDpi), dpi);
    }

    // Refused files and failed stores leave the library and the data folders
    // as they were, an earlier import of the same path included.
    void refused_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("message");
        QTest::newRow("password") << "locked" << "PDF 文件有密码保护，请先解除密码再导入";
        QTest::newRow("truncated") << "truncated" << "PDF 文件已损坏或不完整（可能没有下载完），请重新获取该文件";
        QTest::newRow("a page past the page bound") << "pages" << "PDF 页数过多";
        QTest::newRow("200,000-page tree, 1.8 MB") << "200,000-page tree" << "PDF 页数过多";
        QTest::newRow("book read past the helper's budget") << "crash" << "PDF 文件过于复杂，超出处理预算，无法导入";
        QTest::newRow("helper's answer unreadable") << "garbage" << "无法打开 PDF 文件";
        QTest::newRow("re-import of a changed book, store fails") << "store" << "构建排版数据失败";
        QTest::newRow("re-import, no room for the copy") << "nocopy" << "无法复制 PDF 文件";
    }
    void refused()
    {
        QFETCH(QString, kind);
        QFETCH(QString, message);
        const QString path = copyTestBook("pdf/outline.pdf", "book.pdf");
        if (kind == "nocopy")
            QVERIFY(padPdf(path, BigBook));
        if (kind == "store" || kind == "nocopy")
            QCOMPARE(importOutcome(*core, path), QStringLiteral("ok"));
        if (kind == "store") {
            DbTestUtils::execSql("CREATE TRIGGER full BEFORE INSERT ON unified_paragraph BEGIN SELECT RAISE(ABORT, 'full'); END");
        }
        const auto files = [&] {
            QStringList sums;
            const QDir dir(dataDir(path));
            for (const QString &name : dir.entryList(QDir::Files)) {
                QFile file(dir.filePath(name));
                sums << name + ' ' + (file.open(QIODevice::ReadOnly) ? md5Hex(QString::fromLatin1(file.readAll().toHex())) : "");
            }
            return sums;
        };
        const QStringList rows = DbTestUtils::allRows();
        const QStringList before = files();
        QFile::remove(path);
        if (kind == "store") {
            QVERIFY(writeBook(path, pages(3)));
        } else if (kind == "truncated") {
            copyTestBook("pdf/outline.pdf", "book.pdf");
            QFile(path).resize(900);
        } else if (kind == "pages") {
            QVERIFY(Paths::writeFile(path, outlinePdf(PdfChapterParser::MaxPages + 1, {})));
        } else if (kind == "nocopy") {
            copyTestBook("pdf/outline.pdf", "book.pdf");
            QVERIFY(padPdf(path, BigBook + 1));
        } else if (kind.contains("tree")) {
            SKIP_BUDGET_EDGE();
            QCOMPARE(QProcess::execute("python3", {Heavy, kind, path}), 0);
        } else if (kind == "crash" || kind == "garbage") {
            copyTestBook("pdf/outline.pdf", "book.pdf");
            DecodeService::setHelperPath(QStringLiteral(QUILLORA_STANDIN_HELPER));
            qputenv("QUILLORA_STANDIN_PAYLOAD", kind.toLatin1());
        } else {
            copyTestBook("pdf/locked.pdf", "book.pdf");
        }
        const auto helper = qScopeGuard([] { DecodeService::setHelperPath(QStringLiteral(QUILLORA_DECODE_HELPER)); });
        const FileSizeLimit room(kind == "nocopy" ? CopyRoom : RLIM_INFINITY);
        QCOMPARE(importOutcome(*core, path), message);
        QCOMPARE(DbTestUtils::allRows(), rows);
        QCOMPARE(files(), before);
    }

    // A first import whose copy finds no room reads the book where it is.
    void firstImportWithoutRoomForTheCopy()
    {
        const QString path = copyTestBook("pdf/outline.pdf");
        QVERIFY(padPdf(path, BigBook));
        {
            const FileSizeLimit room(CopyRoom);
            QCOMPARE(importOutcome(*core, path), QStringLiteral("ok"));
        }
        const QStringList sources = DbTestUtils::column(
            "SELECT DISTINCT substr(image_id, 1, instr(image_id, '?') - 1) FROM unified_paragraph WHERE novel_id = ?",
            md5Hex(path));
        QCOMPARE(sources, QStringList("pdf://" + path));
        QVERIFY(!QFile::exists(dataDir(path) + "book.pdf"));
    }

    // "title|page" per entry as read from the outline, in page order.
    void outlineEntries_data()
    {
        QTest::addColumn<int>("pages");
        QTest::addColumn<QByteArrayList>("dests");
        QTest::addColumn<QByteArrayList>("titles");
        QTest::addColumn<QStringList>("entries");
        QTest::newRow("titles: UTF-16BE with a surrogate pair, PDFDocEncoding, blank")
            << 1 << QByteArrayList{"0", "0", "0", "0", "0"}
            << QByteArrayList{"<FEFF4E0A6D77>", "<FEFFD83DDE00>", "(Caf\\351 \\200 \\223ne)", "(  Spaced  )", "(  )"}
            << QStringList{"上海|0", "\U0001F600|0", "Café • ﬁne|0", "Spaced|0"};
        QTest::newRow("page numbers; a damaged item ends its list, earlier entries kept")
            << 3 << QByteArrayList{"i2", "1", "-", "0"} << QByteArrayList{} << QStringList{"E1|1", "E0|2"};
        QTest::newRow("page numbers at INT_MAX and below 1 point at no page")
            << 2 << QByteArrayList{"i2147483647", "i-1", "i0", "1"} << QByteArrayList{} << QStringList{"E2|0", "E3|1"};
        QTest::newRow("items in a loop read once") << 2 << QByteArrayList{"1", "0", ">0"} << QByteArrayList{}
                                                   << QStringList{"E1|0", "E2|0", "E0|1"};
    }
    void outlineEntries()
    {
        QFETCH(int, pages);
        QFETCH(QByteArrayList, dests);
        QFETCH(QByteArrayList, titles);
        const QString path = file("outline.pdf");
        QVERIFY(Paths::writeFile(path, outlinePdf(pages, dests, titles)));
        QStringList got;
        for (const PdfTocEntry &entry : PdfChapterParser::extractTocFromOutline(path))
            got << QStringLiteral("%1|%2").arg(entry.title).arg(entry.startPage);
        QTEST(got, "entries");
    }

    // However many entries a small file's outline holds, the chapters are bounded.
    void outlineBounded()
    {
        SKIP_BUDGET_EDGE();
        const QString path = file("outline.pdf");
        QVERIFY(Paths::writeFile(path, outlinePdf(1, QVector<QByteArray>(PdfChapterParser::MaxTocEntries + 5, "0").toList())));
        QCOMPARE(PdfChapterParser::extractTocFromOutline(path).size(), PdfChapterParser::MaxTocEntries);
    }

    // A font naming a file or FIFO outside the book, in every place and
    // spelling the script knows, is refused before poppler opens it: at
    // import, and when a stored copy turns hostile, for reading.
    void namesOutsideTheBook_data()
    {
        QTest::addColumn<QString>("place");
        QTest::addColumn<QString>("target");
        QProcess places;
        places.start("python3", {Hostile, "--places"});
        QVERIFY(places.waitForFinished());
        for (const QString &place : QString::fromUtf8(places.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts)) {
            QTest::newRow(qPrintable(place + ", file")) << place << "secret";
            QTest::newRow(qPrintable(place + ", FIFO")) << place << "fifo";
        }
    }
    void namesOutsideTheBook()
    {
        QFETCH(QString, place);
        QFETCH(QString, target);
        const QString outside = file("outside"), path = file("book.pdf");
        QVERIFY(QDir().mkpath(outside) && Paths::writeFile(outside + "/secret", "secret"));
        QCOMPARE(mkfifo(QFile::encodeName(outside + "/fifo").constData(), 0600), 0);
        QCOMPARE(QProcess::execute("python3", {Hostile, place, outside + '/' + target, path}), 0);
        const QStringList rows = DbTestUtils::allRows();
        // A reader stuck on the FIFO is let go after a failure, so that the test ends.
        bool passed = false;
        const auto release = qScopeGuard([&passed, fifo = QFile::encodeName(outside + "/fifo")] {
            if (!passed)
                std::thread([fifo] {
                    for (int i = 0; i < 600; ++i, QThread::msleep(100))
                        ::close(::open(fifo.constData(), O_RDWR | O_NONBLOCK));
                }).detach();
        });
        const OpenWatch watch(outside);
        QCOMPARE(importOutcome(*core, path, 20000), QStringLiteral("PDF 文件引用了它以外的文件（可能是恶意文件），为安全起见无法导入"));
        QCOMPARE(DbTestUtils::allRows(), rows);
        const QString page = "pdf://" + path + "?page=0&dpi=72";
        // Read in the helper, which gets the book as an open file and reaches
        // no other: drawn without the named file, or refused, never past it.
        PdfPageLoader().renderPage(page, QSize(595, 842), QRect(0, 0, 595, 842), 1.0f);
        PdfPageLoader::imageForUrl(page);
        QCOMPARE(watch.opened(), QStringList());
        passed = true;
    }

    // Files that cost poppler far more than their size: each imports within
    // the import's wait, with its cover when its first page may be drawn
    // within the helper's budget;
    // "drawn" or "refused" per page of the stored copy, whose verdict is kept
    // beside it.
    void heavyForms_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("cover");
        QTest::addColumn<QStringList>("pages");
        QTest::newRow("Flate image past the pixel bound") << "Flate image 60000x60000, second page" << true
                                                           << QStringList{"drawn", "refused"};
        QTest::newRow("JPEG 2000 image past the pixel bound, first page")
            << "JPEG 2000 image 60000x60000, first page" << false << QStringList{"refused", "drawn"};
        QTest::newRow("Flate image within the bound") << "Flate image 4000x4000, second page" << true
                                                      << QStringList{"drawn", "drawn"};
        QTest::newRow("PostScript function shading, over budget at any size")
            << "PostScript function shading, ten times as long" << false << QStringList{"refused"};
        QTest::newRow("20,000 overlapping text operators, contents scan over budget")
            << "20,000 overlapping text operators" << true << QStringList{"drawn"};
        QTest::newRow("form XObjects nested deep, 10^7 fills")
            << "form XObjects seven deep by ten" << false << QStringList{"refused"};
        QTest::newRow("objects round-robin over six object streams")
            << "objects round-robin over six object streams, 276 KB" << true << QStringList{"drawn"};
    }
    void heavyForms()
    {
        QFETCH(QString, kind);
        QFETCH(bool, cover);
        QFETCH(QStringList, pages);
        SKIP_BUDGET_EDGE();
        const QString path = file("heavy.pdf");
        QCOMPARE(QProcess::execute("python3", {Heavy, kind, path}), 0);
        QCOMPARE(importOutcome(*core, path, 20000 * DecodeWire::kSlowdown), QStringLiteral("ok"));
        QCOMPARE(!DbTestUtils::storedRow("novel_info", md5Hex(path)).value("cover_path").toString().isEmpty(), cover);
        // One page: a chapter by size, whatever the contents scan made of it.
        if (pages.size() == 1)
            QCOMPARE(storedChapters(path), QStringList("第1-1页|0|0"));
        const QString copy = dataDir(path) + "book.pdf";
        QVERIFY(QFile::exists(copy + ".check"));
        QStringList got;
        for (int i = 0; i < pages.size(); ++i) {
            const QString id = QStringLiteral("pdf://%1?page=%2&dpi=72").arg(copy).arg(i);
            const bool drawn = !PdfPageLoader().renderPage(id, QSize(595, 842), QRect(0, 0, 595, 842), 1.0f).isNull();
            QCOMPARE(!PdfPageLoader::imageForUrl(id).isNull(), drawn);
            got << (drawn ? "drawn" : "refused");
        }
        QCOMPARE(got, pages);
    }

    // Chinese text through a predefined CMap is drawn (poppler-data's CMaps,
    // fontconfig's CJK font): ink where the contents titles stand.
    void cmapTextDrawn()
    {
        const QString path = copyTestBook("pdf/cmap.pdf");
        const QString id = "pdf://" + path + "?page=1&dpi=72";
        const QImage page = PdfPageLoader().renderPage(id, QSize(595, 842), QRect(0, 0, 595, 842), 1.0f);
        int ink = 0;
        for (int y = 108; y < 186; ++y) {
            for (int x = 72; x < 140; ++x)
                ink += qGray(page.pixel(x, y)) < 128 ? 1 : 0;
        }
        QVERIFY2(ink > 300, qPrintable(QString::number(ink)));
    }

    // The reading page shows the first page as the PDF draws it: the ink block in place.
    void readFirstPage()
    {
        const QString path = file("read.pdf");
        QVERIFY(writeBook(path, pages(2)));
        QCOMPARE(importOutcome(*core, path), QStringLiteral("ok"));
        const int ink = pixelsOf(readingPage(*core, md5Hex(path), md5Hex(path) + "_0", 0), Ink.rgb());
        QVERIFY2(ink > 360 * 480 / 40, qPrintable(QString::number(ink)));
    }
};

QTEST_MAIN(TestPdfBooks)
#include "tst_pdfbooks.moc"
