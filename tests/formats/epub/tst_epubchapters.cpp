// The chapter list of EPUB books: spine, table of contents, the chapter walk
// and the files the chapter step leaves in the data folder.

#include "chapterinfo.h"
#include "epubchapterparser.h"
#include "epubfixture.h"
#include "epubparser.h"
#include "keys.h"
#include "novelinfo.h"
#include "testenvironment.h"

#include <QDir>
#include <QFile>
#include <QtTest>

#include <memory>

namespace {

using Fixture = std::function<void(EpubFixture &)>;

// "title|start|end|anchor|endAnchor" per chapter.
QStringList describe(const QVector<ChapterInfo *> &chapters)
{
    QStringList rows;
    for (const ChapterInfo *chapter : chapters) {
        rows << QStringLiteral("%1|%2|%3|%4|%5")
                    .arg(chapter->title(), chapter->property("epubStartIdx").toString(),
                         chapter->property("epubEndIdx").toString(),
                         chapter->property("epubAnchor").toString(),
                         chapter->property("epubEndAnchor").toString());
    }
    return rows;
}

QStringList titles(const QVector<ChapterInfo *> &chapters)
{
    QStringList list;
    for (const ChapterInfo *chapter : chapters)
        list << chapter->title();
    return list;
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

// Three documents a.xhtml, b.xhtml, c.xhtml in OEBPS.
void threeDocuments(EpubFixture &epub)
{
    epub.addDocument(QStringLiteral("a"), QStringLiteral("a.xhtml"), QStringLiteral("Doc A"));
    epub.addDocument(QStringLiteral("b"), QStringLiteral("b.xhtml"), QStringLiteral("Doc B"));
    epub.addDocument(QStringLiteral("c"), QStringLiteral("c.xhtml"), QStringLiteral("Doc C"));
}

Fixture withNcx(const QString &points)
{
    return [points](EpubFixture &epub) {
        threeDocuments(epub);
        epub.addNcx(QStringLiteral("toc.ncx"), EpubFixture::ncx(points));
    };
}

Fixture withNav(const QString &body, const QString &version = QStringLiteral("3.0"))
{
    return [body, version](EpubFixture &epub) {
        threeDocuments(epub);
        epub.version = version;
        epub.addNav(QStringLiteral("nav.xhtml"), EpubFixture::nav(body));
    };
}

// "1", "1 - 2", ... for the levels kept, then the two documents no entry names.
QStringList nestedTitles(int levels)
{
    QStringList list{QStringLiteral("1")};
    for (int level = 2; level <= levels; ++level)
        list << list.last() + QStringLiteral(" - ") + QString::number(level);
    return list << QStringLiteral("Doc B") << QStringLiteral("Doc C");
}

QString nested(int levels, bool nav)
{
    QString inner;
    for (int level = levels; level >= 1; --level) {
        const QString src = QStringLiteral("a.xhtml#l%1").arg(level);
        inner = nav ? QStringLiteral("<ol>%1</ol>").arg(link(QString::number(level), src, inner))
                    : point(QString::number(level), src, inner);
    }
    return inner;
}

}

Q_DECLARE_METATYPE(Fixture)

class TestEpubChapters : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TestEnvironment> env;

    QString bookPath(const QString &name = QStringLiteral("book.epub"))
    {
        return env->root() + QLatin1Char('/') + name;
    }

    // The chapters of the book at path through both steps; the book is kept.
    QVector<ChapterInfo *> chapters(const QString &path, std::unique_ptr<NovelInfo> *book = nullptr,
                                    QString *error = nullptr)
    {
        EpubParser parser;
        const ParseResult info = parser.parseBookInfo(path);
        if (!info.success)
            return {};
        std::unique_ptr<NovelInfo> novel(info.novel);
        const ParseResult list = parser.parseChapters(path, novel.get());
        if (error)
            *error = list.errorMessage;
        if (book)
            *book = std::move(novel);
        return list.chapters;
    }

    QVector<ChapterInfo *> chapters(const Fixture &build)
    {
        EpubFixture epub;
        build(epub);
        if (!epub.write(bookPath()))
            return {};
        return chapters(bookPath());
    }

private slots:
    void init()
    {
        env.reset(new TestEnvironment);
    }

    void cleanup()
    {
        env.reset();
    }

    // Which spine range and anchors each chapter gets.
    void chapterWalk_data()
    {
        QTest::addColumn<Fixture>("build");
        QTest::addColumn<QStringList>("expected");

        QTest::newRow("uncovered documents titled from their title or file name")
            << Fixture([](EpubFixture &epub) {
                   epub.addDocument(QStringLiteral("cover"), QStringLiteral("cover.xhtml"), QStringLiteral("Cover"));
                   epub.addDocument(QStringLiteral("toc"), QStringLiteral("toc.xhtml"), QString());
                   epub.addDocument(QStringLiteral("c1"), QStringLiteral("ch1.xhtml"), QStringLiteral("x"));
                   epub.addDocument(QStringLiteral("c2"), QStringLiteral("ch2.xhtml"), QStringLiteral("y"));
                   epub.addNcx(QStringLiteral("toc.ncx"), EpubFixture::ncx(
                       point(QStringLiteral("One"), QStringLiteral("ch1.xhtml"))
                       + point(QStringLiteral("Two"), QStringLiteral("ch2.xhtml"))));
               })
            << QStringList{"Cover|0|0||", "toc|1|1||", "One|2|2||", "Two|3|3||"};
        QTest::newRow("two anchors in one document; its lead-in joins the first")
            << withNcx(point(QStringLiteral("A1"), QStringLiteral("a.xhtml#x"))
                       + point(QStringLiteral("A2"), QStringLiteral("a.xhtml#y")))
            << QStringList{"A1|0|0||y", "A2|0|0|y|", "Doc B|1|1||", "Doc C|2|2||"};
        QTest::newRow("text before an anchor runs on from the chapter before")
            << withNcx(point(QStringLiteral("A"), QStringLiteral("a.xhtml"))
                       + point(QStringLiteral("B"), QStringLiteral("b.xhtml#mid"))
                       + point(QStringLiteral("C"), QStringLiteral("c.xhtml")))
            << QStringList{"A|0|1||mid", "B|1|1|mid|", "C|2|2||"};
        QTest::newRow("a repeated anchor or a bare link merges")
            << withNcx(point(QStringLiteral("A"), QStringLiteral("a.xhtml#x"))
                       + point(QStringLiteral("again"), QStringLiteral("a.xhtml#x"))
                       + point(QStringLiteral("bare"), QStringLiteral("a.xhtml")))
            << QStringList{"A|0|0||", "Doc B|1|1||", "Doc C|2|2||"};
        QTest::newRow("a bare link then an anchor splits")
            << withNcx(point(QStringLiteral("B"), QStringLiteral("b.xhtml"))
                       + point(QStringLiteral("B2"), QStringLiteral("b.xhtml#z")))
            << QStringList{"Doc A|0|0||", "B|1|1||z", "B2|1|1|z|", "Doc C|2|2||"};
        QTest::newRow("a link that misses the spine matches by file name")
            << Fixture([](EpubFixture &epub) {
                   epub.addDocument(QStringLiteral("c1"), QStringLiteral("Text/ch1.xhtml"), QStringLiteral("x"));
                   epub.addNcx(QStringLiteral("ncx/toc.ncx"), EpubFixture::ncx(
                       point(QStringLiteral("One"), QStringLiteral("Text/ch1.xhtml"))));
               })
            << QStringList{"One|0|0||"};
        QTest::newRow("percent-encoded names and anchors")
            << Fixture([](EpubFixture &epub) {
                   epub.addDocument(QStringLiteral("c1"), QStringLiteral("Chapter%201.xhtml"), QStringLiteral("x"));
                   epub.addDocument(QStringLiteral("c2"), QStringLiteral("%E7%AC%AC2.xhtml?v=1"), QStringLiteral("y"));
                   epub.addNcx(QStringLiteral("toc.ncx"), EpubFixture::ncx(
                       point(QStringLiteral("One"), QStringLiteral("Chapter%201.xhtml"))
                       + point(QStringLiteral("Two"), QStringLiteral("%E7%AC%AC2.xhtml#%E8%8A%82"))));
                   // The archive holds the decoded names.
                   epub.items[1].entry = QStringLiteral("OEBPS/第2.xhtml");
               })
            << QStringList{"One|0|1||节", "Two|1|1|节|"};
        QTest::newRow("an idref missing from the manifest is skipped")
            << Fixture([](EpubFixture &epub) {
                   epub.spine << QStringLiteral("ghost");
                   threeDocuments(epub);
               })
            << QStringList{"Doc A|0|0||", "Doc B|1|1||", "Doc C|2|2||"};
        QTest::newRow("a link outside the spine is dropped")
            << withNcx(point(QStringLiteral("Elsewhere"), QStringLiteral("gone.xhtml"))
                       + point(QStringLiteral("http"), QStringLiteral("http://example.com/a.xhtml")))
            << QStringList{"Doc A|0|0||", "Doc B|1|1||", "Doc C|2|2||"};
    }

    void chapterWalk()
    {
        QFETCH(Fixture, build);
        QFETCH(QStringList, expected);
        const QVector<ChapterInfo *> list = chapters(build);
        QCOMPARE(describe(list), expected);
        qDeleteAll(list);
    }

    // Titles the two table-of-contents readers give, and which one is read.
    void tableOfContents_data()
    {
        QTest::addColumn<Fixture>("build");
        QTest::addColumn<QStringList>("expected");

        QTest::newRow("nested NCX points")
            << withNcx(point(QStringLiteral("Part I"), QStringLiteral("a.xhtml"),
                             point(QStringLiteral("Chapter 1"), QStringLiteral("b.xhtml"),
                                   point(QStringLiteral("Scene"), QStringLiteral("c.xhtml")))))
            << QStringList{"Part I", "Part I - Chapter 1", "Part I - Chapter 1 - Scene"};
        QTest::newRow("fragment-only and unlabelled NCX points are not listed")
            << withNcx(point(QStringLiteral("Volume"), QStringLiteral("#v"),
                             point(QStringLiteral("One"), QStringLiteral("a.xhtml")))
                       + point(QString(), QStringLiteral("b.xhtml"),
                               point(QStringLiteral("Two"), QStringLiteral("c.xhtml"))))
            << QStringList{"Volume - One", "Doc B", "Two"};
        QTest::newRow("EPUB 3 reads nav before the NCX")
            << Fixture([](EpubFixture &epub) {
                   withNav(tocNav(link(QStringLiteral("Nav A"), QStringLiteral("a.xhtml"))))(epub);
                   epub.addNcx(QStringLiteral("toc.ncx"), EpubFixture::ncx(point(QStringLiteral("Ncx A"), QStringLiteral("a.xhtml"))));
               })
            << QStringList{"Nav A", "Doc B", "Doc C"};
        QTest::newRow("EPUB 2 reads the NCX before nav")
            << Fixture([](EpubFixture &epub) {
                   withNav(tocNav(link(QStringLiteral("Nav A"), QStringLiteral("a.xhtml"))),
                           QStringLiteral("2.0"))(epub);
                   epub.addNcx(QStringLiteral("toc.ncx"), EpubFixture::ncx(point(QStringLiteral("Ncx A"), QStringLiteral("a.xhtml"))));
               })
            << QStringList{"Ncx A", "Doc B", "Doc C"};
        QTest::newRow("nav without a toc falls back to the NCX")
            << Fixture([](EpubFixture &epub) {
                   withNav(tocNav(link(QStringLiteral("Nav A"), QStringLiteral("a.xhtml")),
                                  QStringLiteral("landmarks")))(epub);
                   epub.addNcx(QStringLiteral("toc.ncx"), EpubFixture::ncx(point(QStringLiteral("Ncx A"), QStringLiteral("a.xhtml"))));
               })
            << QStringList{"Ncx A", "Doc B", "Doc C"};
        QTest::newRow("an NCX with an XML error falls back to nav")
            << Fixture([](EpubFixture &epub) {
                   withNav(tocNav(link(QStringLiteral("Nav A"), QStringLiteral("a.xhtml"))),
                           QStringLiteral("2.0"))(epub);
                   epub.addNcx(QStringLiteral("toc.ncx"), "<ncx><navMap>" + point(QStringLiteral("Ncx A"), QStringLiteral("a.xhtml")).toUtf8() + "<navPoint></navMap></ncx>");
               })
            << QStringList{"Nav A", "Doc B", "Doc C"};
        QTest::newRow("page lists skipped, a second word of type counts")
            << withNav(tocNav(link(QStringLiteral("Page"), QStringLiteral("a.xhtml")), QStringLiteral("page-list"))
                       + tocNav(link(QStringLiteral("Toc B"), QStringLiteral("b.xhtml")), QStringLiteral("landmarks toc")))
            << QStringList{"Doc A", "Toc B", "Doc C"};
        QTest::newRow("nav headings and skipped levels")
            << withNav(tocNav(QStringLiteral("<li><span>Part</span><ol>%1</ol></li>")
                                  .arg(link(QStringLiteral("P1"), QStringLiteral("a.xhtml")))
                              + link(QStringLiteral("A"), QStringLiteral("b.xhtml"),
                                     QStringLiteral("<ol><li><span>x</span><ol>%1</ol></li></ol>")
                                         .arg(link(QStringLiteral("<b>Deep</b>\n B"), QStringLiteral("c.xhtml"))))))
            << QStringList{"P1", "A", "A -  - Deep B"};
        QTest::newRow("an NCX nested 40 deep keeps 32 levels")
            << withNcx(nested(40, false)) << nestedTitles(32);
        QTest::newRow("nav nested 40 deep keeps 32 levels")
            << withNav(QStringLiteral("<nav epub:type=\"toc\">%1</nav>").arg(nested(40, true)))
            << nestedTitles(32);
        QTest::newRow("titles end at 500 characters")
            << withNcx(point(QString(600, QLatin1Char('x')), QStringLiteral("a.xhtml")))
            << QStringList{QString(500, QLatin1Char('x')), "Doc B", "Doc C"};
    }

    void tableOfContents()
    {
        QFETCH(Fixture, build);
        QFETCH(QStringList, expected);
        const QVector<ChapterInfo *> list = chapters(build);
        QCOMPARE(titles(list), expected);
        qDeleteAll(list);
    }

    void entryLimit()
    {
        QString items;
        for (int i = 0; i < 100010; ++i)
            items += QStringLiteral("<li><a href=\"a.xhtml#%1\">%1</a></li>").arg(i);
        const QVector<ChapterInfo *> list = chapters(withNav(tocNav(items)));
        QCOMPARE(list.size(), 100000 + 2);
        QCOMPARE(list.at(99999)->title(), QStringLiteral("99999"));
        QVERIFY(list.last()->path().endsWith(QStringLiteral("/chapter_100001.xhtml")));
        qDeleteAll(list);
    }

    void numberingAndFiles()
    {
        EpubFixture epub;
        for (int i = 0; i < 5; ++i)
            epub.addDocument(QStringLiteral("d%1").arg(i), QStringLiteral("d%1.xhtml").arg(i), QStringLiteral("T%1").arg(i));
        // A user's file name holding "::" must not reach image sources.
        const QString path = bookPath(QStringLiteral("a::b.epub"));
        QVERIFY(epub.write(path));
        std::unique_ptr<NovelInfo> novel;
        const QVector<ChapterInfo *> list = chapters(path, &novel);
        QCOMPARE(list.size(), 5);
        const QString id = md5Hex(path);
        const QString dir = novel->dataDir();
        QVERIFY(dir.endsWith(QLatin1Char('/') + id + QLatin1Char('/')));
        QStringList got;
        for (const ChapterInfo *chapter : list) {
            got << QStringLiteral("%1 %2 %3 %4 %5 %6").arg(chapter->id(), chapter->path().mid(dir.size()),
                        chapter->prevChapter(), chapter->nextChapter(),
                        QString::number(chapter->chapterIndex()), QString::number(chapter->novelProcess()));
        }
        const QString x = id;
        QCOMPARE(got, (QStringList{
            x + "_0 chapter_0000.xhtml  " + x + "_1 0 0",
            x + "_1 chapter_0001.xhtml " + x + "_0 " + x + "_2 1 0.25",
            x + "_2 chapter_0002.xhtml " + x + "_1 " + x + "_3 2 0.5",
            x + "_3 chapter_0003.xhtml " + x + "_2 " + x + "_4 3 0.75",
            x + "_4 chapter_0004.xhtml " + x + "_3  4 1"}));
        qDeleteAll(list);

        QFile meta(dir + QStringLiteral(".epub_meta"));
        QVERIFY(meta.open(QIODevice::ReadOnly));
        const QStringList lines = QString::fromUtf8(meta.readAll()).split(QLatin1Char('\n'));
        QCOMPARE(lines, (QStringList{dir + "book.epub", "OEBPS/content.opf", "OEBPS/d0.xhtml",
                                     "OEBPS/d1.xhtml", "OEBPS/d2.xhtml", "OEBPS/d3.xhtml",
                                     "OEBPS/d4.xhtml", QString()}));
        QFile copy(dir + QStringLiteral("book.epub"));
        QFile original(path);
        QVERIFY(copy.open(QIODevice::ReadOnly) && original.open(QIODevice::ReadOnly));
        QCOMPARE(copy.readAll(), original.readAll());

        // Importing the copy itself keeps it.
        const QVector<ChapterInfo *> again = chapters(dir + QStringLiteral("book.epub"));
        QCOMPARE(again.size(), 5);
        qDeleteAll(again);
        QVERIFY(QFileInfo(dir + QStringLiteral("book.epub")).size() > 0);
    }

    // What fails the chapter step, with the message the user sees.
    void failures_data()
    {
        QTest::addColumn<Fixture>("build");
        QTest::addColumn<QString>("blockedFile");   // made a folder so it cannot be written
        QTest::addColumn<QString>("message");

        QTest::newRow("empty spine") << Fixture([](EpubFixture &epub) {
            epub.addItem(QStringLiteral("a"), QStringLiteral("a.xhtml"), QStringLiteral("application/xhtml+xml"), "x");
        }) << QString() << QStringLiteral("未解析到章节");
        QTest::newRow("malformed package") << Fixture([](EpubFixture &epub) {
            threeDocuments(epub);
            epub.metadata = QStringLiteral("<dc:title>");
        }) << QString() << QStringLiteral("未解析到章节");
        QTest::newRow("sidecar cannot be written") << Fixture(&threeDocuments)
            << QStringLiteral(".epub_meta") << QStringLiteral("保存书籍文件失败");
    }

    void failures()
    {
        QFETCH(Fixture, build);
        QFETCH(QString, blockedFile);
        QFETCH(QString, message);
        EpubFixture epub;
        build(epub);
        QVERIFY(epub.write(bookPath()));
        if (!blockedFile.isEmpty()) {
            const QString dir = env->dataHome() + QStringLiteral("/com.tivex/harbour-Quillora/")
                                + md5Hex(bookPath()) + QLatin1Char('/');
            QVERIFY(QDir().mkpath(dir + blockedFile + QStringLiteral("/keep")));
        }
        QString error;
        const QVector<ChapterInfo *> list = chapters(bookPath(), nullptr, &error);
        QVERIFY(list.isEmpty());
        QCOMPARE(error, message);
    }
};

QTEST_MAIN(TestEpubChapters)
#include "tst_epubchapters.moc"
