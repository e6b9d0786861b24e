// FB2 books imported through the core: real-looking books in several
// encodings, the parts of one richer book, and hostile or broken files.

#include "coresession.h"
#include "dbtestutils.h"
#include "fb2parser.h"
#include "fb2xml.h"
#include "fontregistry.h"
#include "importoutcome.h"
#include "installedfonts.h"
#include "novelinfo.h"
#include "readingpages.h"

#include <QDir>
#include <QtTest>

namespace {

QString query(const QString &sql, const QString &bookId)
{
    return DbTestUtils::column(sql, bookId).join(QLatin1Char('|'));
}

const QByteArray Png = QByteArray::fromBase64(
    "iVBORw0KGgoAAAANSUhEUgAAAAQAAAADCAIAAAA7ljmRAAAAEElEQVR4nGP4z8AARww4OQD1MQv1NXv7ggAAAABJRU5ErkJggg==");

QString writeBook(const QString &path, const QByteArray &content)
{
    return Paths::writeFile(path, content) ? path : QString();
}

QByteArray book(const QByteArray &body, const QByteArray &tail = QByteArray())
{
    return "<?xml version=\"1.0\"?><FictionBook><body>" + body + "</body>" + tail + "</FictionBook>";
}

}

class TestFb2Import : public QObject, private CoreSession
{
    Q_OBJECT

private slots:
    void init() { QVERIFY(open()); }
    void cleanup() { close(); }

    void realBooks_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QStringList>("chapters");
        QTest::newRow("calibre, nested sections") << "calibre.fb2" << "山路夜雨" << QStringList{
            "第一章 山路=1:第一章 山路,0:他沿着山路走了很久，回头看那座城。,0:The road climbed on through the pines.",
            "第二章 夜雨=1:第二章 夜雨,0:夜里下起了雨，他在破庙里避雨。,0:Rain fell all night on the old temple.",
            "庙中=1:庙中,0:庙里只有一盏灯。", "第三章 归来=1:第三章 归来,0:天亮时他回到了城里。"};
        const QStringList russian{"Глава первая=1:Глава первая,0:Море было серым."};
        QTest::newRow("windows-1251") << "cp1251.fb2" << "Маяк" << russian;
        QTest::newRow("KOI8-R") << "koi8r.fb2" << "Маяк" << russian;
        const QStringList chinese{"第一章=1:第一章,0:海是灰色的，喆。"};
        QTest::newRow("GBK") << "gbk.fb2" << "灯塔" << chinese;
        QTest::newRow("GB2312 declared, GBK inside") << "gb2312.fb2" << "灯塔" << chinese;
        QTest::newRow("UTF-16") << "utf16.fb2" << "灯塔" << chinese;
        QTest::newRow("sections, notes, tables, images") << "library.fb2" << "灯塔" << QStringList{
            "第一部=1:灯塔,1:第一部,0:海是灰的。,0:无名",
            "第一章 启航=1:第一章 启航,0:Hello big world [1],0:Lead bold2,1:小标题,7:一行诗,3:,0:A,2:,0:B",
            "第二章 表格=1:第二章 表格,8:名,8:值,8:注,8:跨列,8:,8:,8:a,8:b c,2:,8:",
            "第 4 章=2:", "第 5 章=0:无题的一章。",
            "1=1:注释,1:1,6:第一条注释。", "2=1:2,6:第二条注释。"};
    }
    void realBooks()
    {
        QFETCH(QString, file);
        const QString path = copyTestBook("fb2/" + file);
        QVERIFY(!path.isEmpty());
        QCOMPARE(importOutcome(*core, path), QStringLiteral("ok"));
        QTEST(query("SELECT title FROM novel_info WHERE id = ?", md5Hex(path)), "title");
        QTEST(DbTestUtils::chapterDump(md5Hex(path)), "chapters");
    }

    // Headings, table cells (padded to full rows) and titles: "book title#chapter;chapter".
    void structure_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("dump");
        QTest::newRow("titles of bodies and of sections holding only sections")
            << book("<title><p>Book</p></title><section><title><p>Part</p></title><section><p>x</p></section>"
                    "</section><section><title><p>Last</p></title></section>")
            << "b#Part=1:Book,1:Part,0:x;Last=1:Last";
        QTest::newRow("pictures in their cells, above or below the text")
            << book("<section><table><tr><td>a<image href=\"#p\"/></td><td><image href=\"#p\"/></td></tr>"
                    "<tr><td>c</td></tr></table></section>",
                    "<binary id=\"p\" content-type=\"image/png\">" + Png.toBase64() + "</binary>")
            << "b#第 1 章=8:a,2:,2:,8:,8:c,8:";
        QTest::newRow("colspan and rowspan keep columns, capped")
            << book("<section><table><tr><td colspan=\"2\">a</td><td rowspan=\"2\">b</td></tr><tr><td>c</td>"
                    "<td>d</td></tr></table><table><tr><td colspan=\"99\">e</td></tr></table></section>")
            << "b#第 1 章=8:a,8:,8:b,8:c,8:d,8:,8:e" + QString(",8:").repeated(63);
        QTest::newRow("paragraphs of a cell kept apart")
            << book("<section><table><tr><td><p>one</p><p>two</p></td></tr></table></section>")
            << "b#第 1 章=8:one two";
        QTest::newRow("markup in the book title") << book("<section><p>t</p></section>", "<description><title-info>"
            "<book-title>a <emphasis>b</emphasis></book-title></title-info></description>") << "a b#第 1 章=0:t";
        QTest::newRow("note marker left out of the chapter title")
            << book("<section><title><p>Poems<a href=\"#n1\">[1]</a></p><p><a href=\"#n2\">*</a></p></title>"
                    "<p>x</p></section>")
            << "b#Poems=1:Poems[1],1:*,0:x";
        QTest::newRow("note marker between words of the chapter title")
            << book("<section><title><p>Poems <a href=\"#n1\">[1]</a>\n of May</p></title><p>x</p></section>")
            << "b#Poems of May=1:Poems [1] of May,0:x";
    }
    void structure()
    {
        QFETCH(QByteArray, content);
        const QString path = writeBook(env->root() + "/b.fb2", content);
        QCOMPARE(importOutcome(*core, path), QStringLiteral("ok"));
        QTEST(query("SELECT title FROM novel_info WHERE id = ?", md5Hex(path)) + '#'
                  + DbTestUtils::chapterDump(md5Hex(path)).join(';'), "dump");
    }

    // A notes section longer than a stored piece: numbered on across pieces,
    // every paragraph a note of its section, in order after its title.
    void longNotesSection()
    {
        const QString path = writeBook(env->root() + "/long.fb2",
            "<FictionBook><body><section><p>x</p></section></body><body name=\"notes\">"
            "<section id=\"n1\"><title><p>T</p></title>"
            + QByteArray("<p>ab <emphasis>c</emphasis></p>").repeated(9000) + "</section></body></FictionBook>");
        QCOMPARE(importOutcome(*core, path), QStringLiteral("ok"));
        const QString chapter = md5Hex(path) + "_fb2_1";
        QCOMPARE(query("SELECT count(*) || ',' || min(para_index) || ',' || max(para_index) || ',' || count(DISTINCT "
                       "para_index) FROM unified_paragraph WHERE chapter_id = ? AND kind = 6 AND footnote_id = 'n1' "
                       "AND first_glyph_index = 1 + 3 * (para_index - 1) AND start_progress_index = "
                       "1 + 4 * (para_index - 1) AND progress_weight = 4", chapter),
                 QStringLiteral("9000,1,9000,9000"));
        QCOMPARE(query("SELECT count(*) FROM unified_chunk WHERE para_id IN (SELECT id FROM unified_paragraph "
                       "WHERE chapter_id = ?)", chapter), "18001");
        QCOMPARE(query("SELECT word_count || ',' || glyph_count || ',' || progress_total FROM chapter_info WHERE id = ?",
                       chapter), QStringLiteral("36001,27001,36001"));
        QCOMPARE(DbTestUtils::chapterDump(md5Hex(path)).value(1).left(19), QStringLiteral("T=1:T,6:ab c,6:ab c"));
    }

    // The richer book in detail: metadata, cover, styles, notes, tables and its
    // font, then read page by page.
    void libraryBook()
    {
        const QString path = env->root() + "/library.fb2";
        QFile source(QStringLiteral(QUILLORA_TEST_DATA_DIR "/fb2/library.fb2"));
        QVERIFY(source.open(QIODevice::ReadOnly));
        const QByteArray font = installedFontData(QStringLiteral("DejaVuSans.ttf"));
        QVERIFY2(!font.isEmpty(), "fonts-dejavu-core is not installed");
        const QByteArray content = source.readAll().replace("</FictionBook>", "<binary id=\"sans.ttf\" content-type=\"font/ttf\">"
                                                              + font.toBase64() + "</binary></FictionBook>");
        writeBook(path, content);
        QCOMPARE(importOutcome(*core, path), QStringLiteral("ok"));
        const QString id = md5Hex(path);
        const QString dir = dataDir(path);

        QCOMPARE(query("SELECT author || '/' || description || '/' || category || '/' || tags || '/' || language "
                       "|| '/' || publisher || '/' || publish_date || '/' || isbn || '/' || cover_path "
                       "FROM novel_info WHERE id = ?", id),
                 "Анна Ли, Q/第一段。 Second./sf/sf,adventure/zh/Quill/2021/978-7-0000/" + dir + "images/"
                     + md5Hex("cover.png") + ".png");
        QCOMPARE(QDir(dir + "images").entryList(QDir::Files), QStringList{md5Hex("cover.png") + ".png"});
        QVERIFY(!QFileInfo::exists(dir + "images.importing"));

        const QString alias = FontRegistry::aliasFamily(id, "Book Sans", 400, false);
        QVERIFY(QFileInfo::exists(dir + "fonts/" + alias + "-0"));
        QVERIFY(QFileInfo::exists(dir + "fonts/manifest.json"));
        // Chunks of chapter 1, "text/bold/italic/scale/vertAlign/href/color/family".
        QCOMPARE(query("SELECT printf('%s/%d/%d/%.1f/%d/%s/%s/%d', k.text, k.bold, k.italic, k.font_scale, "
                       "k.vert_align, k.anchor_href, k.color, k.font_family = '" + alias + "') FROM unified_chunk k "
                       "JOIN unified_paragraph p ON k.para_id = p.id WHERE p.chapter_id = ? || '_fb2_1' "
                       "AND p.kind IN (0, 1) ORDER BY p.para_index, k.chunk_index", id),
                 "第一章 /0/0/1.5/0///1|启航/0/1/1.5/0///1|Hello /0/0/1.0/0///1|big/0/1/1.0/0///1"
                 "| world /0/0/1.0/0///1|[1]/0/0/1.0/0/#n1//1|Lead bold/1/0/1.0/0//#333/1"
                 "|2/1/0/0.8/1//#333/1|小标题/0/0/1.5/0///1|A/0/0/1.0/0///1|B/0/0/1.0/0///1");
        QCOMPARE(query("SELECT heading_lv FROM unified_paragraph WHERE chapter_id = ? || '_fb2_1' AND kind = 1 "
                       "ORDER BY para_index", id), "0|3");
        QCOMPARE(query("SELECT table_id || ':' || table_row || ':' || table_column || ':' || table_column_count "
                       "|| ':' || table_header || ':' || alignment FROM unified_paragraph "
                       "WHERE chapter_id = ? || '_fb2_2' AND kind = 8 ORDER BY para_index LIMIT 2", id),
                 "0:0:0:3:1:1|0:0:1:3:1:0");
        QCOMPARE(query("SELECT image_width || 'x' || image_height || ':' || horizontal_center FROM unified_paragraph "
                       "WHERE chapter_id = ? || '_fb2_3'", id), "4x3:1");
        // The cell's picture is part of its table, in its cell, at its size.
        QCOMPARE(query("SELECT table_id || ':' || table_row || ':' || table_column || ':' || table_column_count "
                       "|| ':' || image_width || 'x' || image_height FROM unified_paragraph "
                       "WHERE chapter_id = ? || '_fb2_2' AND kind = 2", id), "0:2:1:3:4x3");
        QCOMPARE(query("SELECT footnote_id FROM unified_paragraph WHERE novel_id = ? AND kind = 6", id), "n1|n2");

        // Read page by page as the reading page does; opening brings the book's font back.
        const QImage picture = readingPage(*core, id, id + "_fb2_3", 0);
        QVERIFY(pixelsOf(picture, qRgb(255, 0, 0)) > 100);
        // The cell's 4 x 3 picture is drawn in its cell, not across the page.
        const int inCell = pixelsOf(readingPage(*core, id, id + "_fb2_2", 0), qRgb(255, 0, 0));
        QVERIFY2(inCell > 0 && inCell <= 12, qPrintable(QString::number(inCell)));
        const QImage text = readingPage(*core, id, id + "_fb2_1", -1);
        QVERIFY(!text.isNull() && pixelsOf(text, qRgb(255, 255, 255)) < text.width() * text.height());
        QVERIFY(!QFont::substitutes(alias).isEmpty());
    }

    // A re-import that fails keeps the book's earlier images, fonts and rows together.
    void failedReimportKeepsImages()
    {
        const QString path = env->root() + "/book.fb2";
        writeBook(path, book("<section><image href=\"#old\"/></section>",
                             "<binary id=\"old\" content-type=\"image/png\">" + Png.toBase64() + "</binary>"));
        QCOMPARE(importOutcome(*core, path), QStringLiteral("ok"));
        const QStringList before = QDir(dataDir(path) + "images").entryList(QDir::Files);
        writeBook(path, book("<section><p> </p></section>",
                             "<binary id=\"new\" content-type=\"image/png\">" + Png.toBase64() + "</binary>"
                             "<binary id=\"f\" content-type=\"font/ttf\">"
                             + installedFontData(QStringLiteral("DejaVuSans.ttf")).toBase64() + "</binary>")
                            .replace("<body>", "<stylesheet>@font-face{font-family:F;src:url(#f)}</stylesheet><body>"));
        QCOMPARE(importOutcome(*core, path), QStringLiteral("FB2 中没有可阅读正文"));
        QCOMPARE(QDir(dataDir(path) + "images").entryList(QDir::Files), before);
        // Neither the images nor the fonts of the failed import were kept.
        QCOMPARE(QDir(dataDir(path)).entryList(QDir::Dirs | QDir::NoDotAndDotDot).join(','), "images");
    }

    // Binaries saved by sniffed type, unknown ones and fonts not as images;
    // a swap of the image folder that was cut short is repaired.
    void bookStep_data()
    {
        QTest::addColumn<bool>("interruptedSwap");   // "images.backup" left without "images"
        QTest::newRow("fresh") << false;
        QTest::newRow("interrupted swap repaired") << true;
    }
    void bookStep()
    {
        QFETCH(bool, interruptedSwap);
        const QString path = writeBook(env->root() + "/b.fb2", book("<section><p>t</p></section>",
            "<binary id=\"a\" content-type=\"application/octet-stream\">" + Png.toBase64()
            + "</binary><binary id=\"b\" content-type=\"x/unknown\">AAAA</binary>"
              "<binary id=\"c\" content-type=\"font/ttf\">AAAA</binary><binary content-type=\"image/png\">AAAA</binary>"));
        if (interruptedSwap)
            QVERIFY(QDir().mkpath(dataDir(path) + "images.backup"));
        QCOMPARE(importOutcome(*core, path), QStringLiteral("ok"));
        QStringList extensions;
        for (const QFileInfo &file : QDir(dataDir(path) + "images").entryInfoList(QDir::Files))
            extensions << file.suffix();
        extensions.sort();
        QCOMPARE(extensions, QStringList({"img", "png"}));
        QCOMPARE(QDir(dataDir(path)).entryList({"images.*"}, QDir::Dirs), QStringList());
    }

    // Hostile, huge or broken files: a clear message or the text kept, no crash.
    void bounds_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("content");   // "big" and "huge" are written in steps
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<QString>("text");      // a text the stored book holds

        QTest::newRow("binary over 50 MiB") << "big" << QByteArray() << "ok" << "0:text";
        QTest::newRow("100k nested sections") << "sections"
            << book(QByteArray("<section><p>outer</p>") + QByteArray("<section>").repeated(100000) + "deep<p>in</p>"
                    + QByteArray("</section>").repeated(100001)) << "ok" << "0:deepin";
        QTest::newRow("100k nested emphasis") << "inlines"
            << book("<section><p>a" + QByteArray("<emphasis>").repeated(100000) + "b"
                    + QByteArray("</emphasis>").repeated(100000) + "</p></section>") << "ok" << "0:ab";
        QTest::newRow("100k nested containers") << "containers"
            << book("<section><cite>" + QByteArray("<epigraph>").repeated(100000) + "<p>x</p>"
                    + QByteArray("</epigraph>").repeated(100000) + "</cite></section>") << "ok" << "0:x";
        QTest::newRow("20,000 columns and rows") << "table"
            << book("<section><table><tr>" + QByteArray("<td>c</td>").repeated(20000) + "</tr>"
                    + QByteArray("<tr><td>r</td></tr>").repeated(20000) + "</table></section>") << "ok" << "0:r";
        QTest::newRow("over 2 million paragraphs in one container") << "paragraphs"
            << book("<section><cite>" + QByteArray("<p>a</p>").repeated(Fb2Parser::MaxBookParagraphs + 1)
                    + "</cite></section>") << "FB2 段落过多" << "";
        QTest::newRow("truncated") << "truncated" << book("<section><p>a</p></section>").left(60)
                                   << "FB2 XML 结构无效" << "";
        QTest::newRow("element inside a text field") << "field"
            << QByteArray("<FictionBook><description><title-info><book-title>a<emphasis>b</emphasis></book-title>"
                          "</title-info></description><body><section><p>t</p></section></body></FictionBook>")
            << "ok" << "0:t";
        QTest::newRow("no FictionBook") << "other" << QByteArray("<book><body><section><p>t</p></section></body></book>")
                                        << "FB2 XML 结构无效" << "";
        QByteArray dtd = "<?xml version=\"1.0\"?><!DOCTYPE FictionBook [<!ENTITY a0 \"ha\">";
        for (int i = 1; i < 12; ++i)
            dtd += QString("<!ENTITY a%1 \"%2\">").arg(i).arg(QString("&a%1;").arg(i - 1).repeated(10)).toUtf8();
        QTest::newRow("billion laughs") << "laughs"
            << dtd + "]><FictionBook><body><section><p>&a11;</p></section></body></FictionBook>"
            << "FB2 XML 结构无效" << "";
        QTest::newRow("external entity") << "external"
            << QByteArray("<?xml version=\"1.0\"?><!DOCTYPE FictionBook [<!ENTITY e SYSTEM \"file://" QUILLORA_TEST_DATA_DIR
                          "/fb2/source-chinese.xml\">]><FictionBook><body><section><p>a&e;b</p></section></body></FictionBook>")
            << "ok" << "=0:ab";
        QTest::newRow("over 512 MiB") << "huge" << book("<section><p>a</p></section>")
                                      << "FB2 文件过大（超过 512 MiB）" << "";
    }
    void bounds()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, content);
        QFETCH(QString, text);
        const QString path = env->root() + '/' + name + ".fb2";
        {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            if (name == QLatin1String("big")) {
                file.write(book("<section><p>text</p><image href=\"#big\"/></section>",
                                "<binary id=\"big\" content-type=\"image/png\">").chopped(14));
                for (int i = 0; i < 67; ++i)
                    file.write(QByteArray(1 << 20, 'A'));
                content = "</binary></FictionBook>";
            }
            file.write(content);
            if (name == QLatin1String("huge"))
                QVERIFY(file.resize(Fb2Parser::MaxFileBytes + 1));
        }
        QTEST(importOutcome(*core, path), "outcome");
        const QString dump = DbTestUtils::chapterDump(md5Hex(path)).join(';');
        QVERIFY2(dump.contains(text), qPrintable(dump.left(200)));
        if (name == QLatin1String("table"))
            QCOMPARE(query("SELECT count(*) FROM unified_paragraph WHERE novel_id = ?", md5Hex(path)), "20001");
        if (name == QLatin1String("big"))
            QVERIFY(QDir(dataDir(path) + "images").isEmpty());
    }

    // The XML reader holds a text node whole: bytes past the bound (counted from
    // the last "<") never reach it.
    void longTextRunsAreCut()
    {
        const QString path = writeBook(env->root() + "/run.xml", "<a>" + QByteArray(100, 'x') + "<b/>" + QByteArray(5, 'y') + "</a>");
        Fb2BoundedFile file(path, 10);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QXmlStreamReader reader(&file);
        reader.readNextStartElement();
        QCOMPARE(reader.readElementText(QXmlStreamReader::IncludeChildElements), QString(8, 'x') + "yyyyy");
        QVERIFY(!reader.hasError());
    }

    void styleSheetTextIsBounded()
    {
        const QString path = env->root() + "/css.fb2";
        writeBook(path, "<FictionBook><stylesheet>" + QByteArray("p{}").repeated(2 << 20)
                            + "</stylesheet><body/></FictionBook>");
        Fb2Parser parser;
        const ParseResult result = parser.parseBookInfo(path);
        delete result.novel;
        QVERIFY(result.success);
        QCOMPARE(parser.styleSheetText.size(), Fb2Parser::MaxStyleSheetChars + 1);
    }
};

QTEST_MAIN(TestFb2Import)
#include "tst_fb2import.moc"
