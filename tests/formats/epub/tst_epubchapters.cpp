// The chapter list of EPUB books: spine, table of contents, the chapter walk
// and the files the chapter step leaves in the data folder.

#include "chapterinfo.h"
#include "epubfixture.h"
#include "epubparser.h"
#include "keys.h"
#include "novelinfo.h"
#include "testenvironment.h"

#include <QDir>
#include <QtTest>

#include <functional>
#include <memory>

namespace {

using Fixture = std::function<void(EpubFixture &)>;

// "title|start|end|anchor|endAnchor" per chapter, or the titles only.
QStringList describe(const QVector<ChapterInfo *> &chapters, bool titlesOnly)
{
    QStringList rows;
    for (const ChapterInfo *c : chapters) {
        rows << (titlesOnly ? c->title()
                            : QStringList{c->title(), c->property("epubStartIdx").toString(),
                                          c->property("epubEndIdx").toString(), c->property("epubAnchor").toString(),
                                          c->property("epubEndAnchor").toString()}.join(QLatin1Char('|')));
    }
    return rows;
}

QString point(const QString &label, const QString &src, const QString &children = QString())
{
    return EpubFixture::navPoint(label, src, children);
}

QString link(const QString &text, const QString &href, const QString &children = QString())
{
    return QStringLiteral("<li><a href=\"%1\">%2</a>%3</li>").arg(href, text, children);
}

QString tocNav(const QString &items, const QString &type = QStringLiteral("toc"))
{
    return QStringLiteral("<nav epub:type=\"%1\"><ol>%2</ol></nav>").arg(type, items);
}

// a.xhtml, b.xhtml and c.xhtml titled "Doc A" ... in OEBPS.
void threeDocuments(EpubFixture &epub)
{
    for (const char *name : {"a", "b", "c"})
        epub.addDocument(name, name + QStringLiteral(".xhtml"), "Doc " + QString(name).toUpper());
}

Fixture withNcx(const QString &points, const Fixture &more = {})
{
    return [=](EpubFixture &epub) {
        threeDocuments(epub);
        epub.addNcx("toc.ncx", EpubFixture::ncx(points));
        if (more)
            more(epub);
    };
}

// Three documents with a nav, and an NCX naming a.xhtml "Ncx A" when asked.
Fixture withNav(const QString &body, const QString &version = "3.0", bool ncxToo = false)
{
    return [=](EpubFixture &epub) {
        threeDocuments(epub);
        epub.version = version;
        epub.addNav("nav.xhtml", EpubFixture::nav(body));
        if (ncxToo)
            epub.addNcx("toc.ncx", EpubFixture::ncx(point("Ncx A", "a.xhtml")));
    };
}

QString nested(int levels, bool nav)
{
    QString inner;
    for (int level = levels; level >= 1; --level) {
        const QString src = QStringLiteral("a.xhtml#l%1").arg(level);
        inner = nav ? "<ol>" + link(QString::number(level), src, inner) + "</ol>"
                    : point(QString::number(level), src, inner);
    }
    return inner;
}

// "1", "1 - 2", ... for the levels kept, then the two documents no entry names.
QStringList nestedTitles(int levels)
{
    QStringList list{"1"};
    for (int level = 2; level <= levels; ++level)
        list << list.last() + " - " + QString::number(level);
    return list << "Doc B" << "Doc C";
}

}

Q_DECLARE_METATYPE(Fixture)

class TestEpubChapters : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TestEnvironment> env;

    QString bookPath(const QString &name = QStringLiteral("book.epub")) { return env->root() + '/' + name; }

    // The chapters of the book at path through both steps; blocked is made a
    // folder in the stage before the chapter step.
    QVector<ChapterInfo *> chapters(const QString &path, std::unique_ptr<NovelInfo> *book = nullptr,
                                    QString *error = nullptr, const QString &blocked = QString())
    {
        EpubParser parser;
        const ParseResult info = parser.parseBookInfo(path);
        if (error)
            *error = info.errorMessage;
        if (!info.success)
            return {};
        std::unique_ptr<NovelInfo> novel(info.novel);
        if (!blocked.isEmpty())
            QDir().mkpath(parser.folderStage()->stageDir() + blocked + "/keep");
        const ParseResult list = parser.parseChapters(path, novel.get());
        if (error)
            *error = list.errorMessage;
        // As after the import's commit: the staged files are the book's.
        if (list.success)
            parser.folderStage()->swapIn();
        if (book)
            *book = std::move(novel);
        return list.chapters;
    }

    void check(bool titlesOnly)
    {
        QFETCH(Fixture, build);
        QFETCH(QStringList, expected);
        EpubFixture epub;
        build(epub);
        QVERIFY(epub.write(bookPath()));
        const QVector<ChapterInfo *> list = chapters(bookPath());
        QCOMPARE(describe(list, titlesOnly), expected);
        qDeleteAll(list);
    }

private slots:
    void init() { env.reset(new TestEnvironment); }
    void cleanup() { env.reset(); }

    // Which spine range and anchors each chapter gets.
    void chapterWalk_data()
    {
        QTest::addColumn<Fixture>("build");
        QTest::addColumn<QStringList>("expected");

        QTest::newRow("uncovered documents titled from their title or file name") << Fixture([](EpubFixture &epub) {
            epub.addDocument("cover", "cover.xhtml", "Cover");
            epub.addDocument("toc", "toc.xhtml", QString());
            epub.addDocument("c1", "ch1.xhtml", "x");
            epub.addDocument("c2", "ch2.xhtml", "y");
            epub.addNcx("toc.ncx", EpubFixture::ncx(point("One", "ch1.xhtml") + point("Two", "ch2.xhtml")));
        }) << QStringList{"Cover|0|0||", "toc|1|1||", "One|2|2||", "Two|3|3||"};
        QTest::newRow("two anchors in one document; its lead-in joins the first")
            << withNcx(point("A1", "a.xhtml#x") + point("A2", "a.xhtml#y"))
            << QStringList{"A1|0|0||y", "A2|0|0|y|", "Doc B|1|1||", "Doc C|2|2||"};
        QTest::newRow("text before an anchor runs on from the chapter before")
            << withNcx(point("A", "a.xhtml") + point("B", "b.xhtml#mid") + point("C", "c.xhtml"))
            << QStringList{"A|0|1||mid", "B|1|1|mid|", "C|2|2||"};
        QTest::newRow("a repeated anchor or a bare link merges")
            << withNcx(point("A", "a.xhtml#x") + point("again", "a.xhtml#x") + point("bare", "a.xhtml"))
            << QStringList{"A|0|0||", "Doc B|1|1||", "Doc C|2|2||"};
        QTest::newRow("a bare link then an anchor splits")
            << withNcx(point("B", "b.xhtml") + point("B2", "b.xhtml#z"))
            << QStringList{"Doc A|0|0||", "B|1|1||z", "B2|1|1|z|", "Doc C|2|2||"};
        QTest::newRow("a link that misses the spine matches by file name") << Fixture([](EpubFixture &epub) {
            epub.addDocument("c1", "Text/ch1.xhtml", "x");
            epub.addNcx("ncx/toc.ncx", EpubFixture::ncx(point("One", "Text/ch1.xhtml")));
        }) << QStringList{"One|0|0||"};
        QTest::newRow("percent-encoded names and anchors") << Fixture([](EpubFixture &epub) {
            epub.addDocument("c1", "Chapter%201.xhtml", "x");
            epub.addDocument("c2", "%E7%AC%AC2.xhtml?v=1", "y");
            epub.addNcx("toc.ncx", EpubFixture::ncx(point("One", "Chapter%201.xhtml")
                                                    + point("Two", "%E7%AC%AC2.xhtml#%E8%8A%82")));
            epub.items[1].entry = QStringLiteral("OEBPS/第2.xhtml");   // the archive holds decoded names
        }) << QStringList{"One|0|1||节", "Two|1|1|节|"};
        QTest::newRow("an idref missing from the manifest is skipped") << Fixture([](EpubFixture &epub) {
            epub.spine << "ghost";
            threeDocuments(epub);
        }) << QStringList{"Doc A|0|0||", "Doc B|1|1||", "Doc C|2|2||"};
        QTest::newRow("a link outside the spine is dropped")
            << withNcx(point("Elsewhere", "gone.xhtml") + point("http", "http://example.com/a.xhtml"))
            << QStringList{"Doc A|0|0||", "Doc B|1|1||", "Doc C|2|2||"};
    }
    void chapterWalk() { check(false); }

    // Titles the two table-of-contents readers give, and which one is read.
    void tableOfContents_data()
    {
        QTest::addColumn<Fixture>("build");
        QTest::addColumn<QStringList>("expected");
        const QString navA = tocNav(link("Nav A", "a.xhtml"));

        QTest::newRow("nested NCX points")
            << withNcx(point("Part I", "a.xhtml", point("Chapter 1", "b.xhtml", point("Scene", "c.xhtml"))))
            << QStringList{"Part I", "Part I - Chapter 1", "Part I - Chapter 1 - Scene"};
        QTest::newRow("fragment-only and unlabelled NCX points are not listed")
            << withNcx(point("Volume", "#v", point("One", "a.xhtml")) + point("", "b.xhtml", point("Two", "c.xhtml")))
            << QStringList{"Volume - One", "Doc B", "Two"};
        QTest::newRow("EPUB 3 reads nav before the NCX") << withNav(navA, "3.0", true)
                                                         << QStringList{"Nav A", "Doc B", "Doc C"};
        QTest::newRow("EPUB 2 reads the NCX before nav") << withNav(navA, "2.0", true)
                                                         << QStringList{"Ncx A", "Doc B", "Doc C"};
        QTest::newRow("nav without a toc falls back to the NCX")
            << withNav(tocNav(link("Nav A", "a.xhtml"), "landmarks"), "3.0", true)
            << QStringList{"Ncx A", "Doc B", "Doc C"};
        QTest::newRow("an NCX with an XML error falls back to nav") << Fixture([navA](EpubFixture &epub) {
            withNav(navA, "2.0")(epub);
            epub.addNcx("toc.ncx", "<ncx><navMap>" + point("Ncx A", "a.xhtml").toUtf8() + "<navPoint></navMap></ncx>");
        }) << QStringList{"Nav A", "Doc B", "Doc C"};
        QTest::newRow("page lists skipped, a second word of type counts")
            << withNav(tocNav(link("Page", "a.xhtml"), "page-list") + tocNav(link("Toc B", "b.xhtml"), "landmarks toc"))
            << QStringList{"Doc A", "Toc B", "Doc C"};
        QTest::newRow("nav headings and skipped levels")
            << withNav(tocNav("<li><span>Part</span><ol>" + link("P1", "a.xhtml") + "</ol></li>"
                              + link("A", "b.xhtml", "<ol><li><span>x</span><ol>" + link("<b>Deep</b>\n B", "c.xhtml")
                                                         + "</ol></li></ol>")))
            << QStringList{"P1", "A", "A -  - Deep B"};
        QTest::newRow("an NCX nested 40 deep keeps 32 levels") << withNcx(nested(40, false)) << nestedTitles(32);
        QTest::newRow("nav nested 40 deep keeps 32 levels")
            << withNav("<nav epub:type=\"toc\">" + nested(40, true) + "</nav>") << nestedTitles(32);
        QTest::newRow("NCX label over indented lines") << withNcx(point("Part\r\n    One &amp;\tTwo", "a.xhtml"))
                                                                   << QStringList{"Part One & Two", "Doc B", "Doc C"};
        QTest::newRow("titles end at 500 characters") << withNcx(point(QString(600, 'x'), "a.xhtml"))
                                                      << QStringList{QString(500, 'x'), "Doc B", "Doc C"};
    }
    void tableOfContents() { check(true); }

    void entryLimit()
    {
        QString items;
        for (int i = 0; i < 100010; ++i)
            items += QStringLiteral("<li><a href=\"a.xhtml#%1\">%1</a></li>").arg(i);
        EpubFixture epub;
        withNav(tocNav(items))(epub);
        QVERIFY(epub.write(bookPath()));
        const QVector<ChapterInfo *> list = chapters(bookPath());
        QCOMPARE(list.size(), 100000 + 2);
        QCOMPARE(list.at(99999)->title(), QStringLiteral("99999"));
        QVERIFY(list.last()->path().endsWith(QStringLiteral("/chapter_100001.xhtml")));
        qDeleteAll(list);
    }

    void numberingAndFiles()
    {
        EpubFixture epub;
        for (int i = 0; i < 3; ++i)
            epub.addDocument(QStringLiteral("d%1").arg(i), QStringLiteral("d%1.xhtml").arg(i), "T");
        // A user's file name holding "::" must not reach image sources.
        const QString path = bookPath(QStringLiteral("a::b.epub"));
        QVERIFY(epub.write(path));
        std::unique_ptr<NovelInfo> novel;
        const QVector<ChapterInfo *> list = chapters(path, &novel);
        const QString x = md5Hex(path);
        const QString dir = novel->dataDir();
        QVERIFY(dir.endsWith('/' + x + '/'));
        QStringList got;
        for (const ChapterInfo *c : list) {
            got << QStringList{c->id(), c->path().mid(dir.size()), c->prevChapter(), c->nextChapter(),
                               QString::number(c->chapterIndex()), QString::number(c->novelProcess())}.join(' ');
        }
        qDeleteAll(list);
        QCOMPARE(got, (QStringList{x + "_0 chapter_0000.xhtml  " + x + "_1 0 0",
                                   x + "_1 chapter_0001.xhtml " + x + "_0 " + x + "_2 1 0.5",
                                   x + "_2 chapter_0002.xhtml " + x + "_1  2 1"}));

        QFile meta(dir + ".epub_meta");
        QVERIFY(meta.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(meta.readAll()).split('\n'),
                 (QStringList{dir + "book.epub", "OEBPS/content.opf", "OEBPS/d0.xhtml", "OEBPS/d1.xhtml",
                              "OEBPS/d2.xhtml", ""}));
        QFile copy(dir + "book.epub"), original(path);
        QVERIFY(copy.open(QIODevice::ReadOnly) && original.open(QIODevice::ReadOnly));
        QCOMPARE(copy.readAll(), original.readAll());

        // Importing the copy itself keeps it.
        const QVector<ChapterInfo *> again = chapters(dir + "book.epub");
        QCOMPARE(again.size(), 3);
        qDeleteAll(again);
        QVERIFY(QFileInfo(dir + "book.epub").size() > 0);
    }

    // What fails the book-information or chapter step, with the message the user sees.
    void failures_data()
    {
        QTest::addColumn<Fixture>("build");
        QTest::addColumn<QString>("blockedFile");   // made a folder so it cannot be written; "/": the book folder
        QTest::addColumn<QString>("message");

        QTest::newRow("empty spine") << Fixture([](EpubFixture &epub) {
            epub.addItem("a", "a.xhtml", "application/xhtml+xml", "x");
        }) << QString() << QStringLiteral("未解析到章节");
        QTest::newRow("malformed package") << Fixture([](EpubFixture &epub) {
            threeDocuments(epub);
            epub.metadata = "<dc:title>";
        }) << QString() << QStringLiteral("未解析到章节");
        QTest::newRow("book folder cannot be made") << Fixture(&threeDocuments) << "/"
                                                    << QStringLiteral("无法保留书籍原有文件");
        QTest::newRow("sidecar cannot be written") << Fixture(&threeDocuments) << ".epub_meta"
                                                   << QStringLiteral("保存书籍文件失败");
    }
    void failures()
    {
        QFETCH(Fixture, build);
        QFETCH(QString, blockedFile);
        QFETCH(QString, message);
        EpubFixture epub;
        build(epub);
        QVERIFY(epub.write(bookPath()));
        const QString folder = env->dataHome() + "/com.tivex/harbour-Quillora/" + md5Hex(bookPath());
        if (blockedFile == "/")
            QVERIFY(QDir().mkpath(QFileInfo(folder).path()) && QFile(folder).open(QIODevice::WriteOnly));
        QString error;
        QVERIFY(chapters(bookPath(), nullptr, &error, blockedFile).isEmpty());
        QCOMPARE(error, message);
    }
};

QTEST_MAIN(TestEpubChapters)
#include "tst_epubchapters.moc"
