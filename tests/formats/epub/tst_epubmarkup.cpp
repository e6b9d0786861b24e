// EPUB books as tools and people make them: markup that is not well-formed,
// other encodings, tables of contents with entities, fallbacks and chapter
// cuts that must neither lose nor repeat text.

#include "applicationcore.h"
#include "databaseconnection.h"
#include "epubfixture.h"
#include "importoutcome.h"
#include "keys.h"
#include "testenvironment.h"

#include <QRandomGenerator>
#include <QSqlQuery>
#include <QTextCodec>
#include <QtTest>

#include <memory>

namespace {

// "title: kind:text / kind:text" per chapter in order.
QStringList chapters(const QString &novelId)
{
    QSqlQuery q(DatabaseConnection::database());
    q.prepare(QStringLiteral(
        "SELECT c.chapter_index, c.title, p.kind || ':' || coalesce(t.text, '') FROM chapter_info c "
        "LEFT JOIN unified_paragraph p ON p.chapter_id = c.id "
        "LEFT JOIN (SELECT para_id, group_concat(text, '') AS text FROM unified_chunk "
        "GROUP BY para_id) t ON t.para_id = p.id "
        "WHERE c.novel_id = ? ORDER BY c.chapter_index, p.para_index"));
    q.addBindValue(novelId);
    q.exec();
    QStringList rows;
    for (int chapter = -1; q.next();) {
        const QString paragraph = q.value(2).toString();
        if (q.value(0).toInt() == chapter)
            rows.last() += QStringLiteral(" / ") + paragraph;
        else
            rows << q.value(1).toString() + QStringLiteral(": ") + paragraph;
        chapter = q.value(0).toInt();
    }
    return rows;
}

QByteArray document(const QString &body, const QString &title = QStringLiteral("T"))
{
    return QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<html xmlns=\"http://www.w3.org/1999/xhtml\">"
                          "<head><title>%1</title></head><body>%2</body></html>").arg(title, body).toUtf8();
}

void addRaw(EpubFixture &epub, const QString &id, const QByteArray &data)
{
    epub.addItem(id, id + QStringLiteral(".xhtml"), QStringLiteral("application/xhtml+xml"), data);
    epub.spine << id;
}

QByteArray encoded(const char *codec, const QString &text)
{
    return QTextCodec::codecForName(codec)->fromUnicode(text);
}

void build(const QString &kind, EpubFixture &epub)
{
    if (kind == "not well-formed") {
        addRaw(epub, "a", "<?xml version=\"1.0\"?><html><head><title>T</title></head><body>"
                          "<p>Fish & chips<br>again<p>open <img src=\"x.png\" alt=\"pic\">"
                          "<span epub:type=\"pagebreak\">page</span></body></html>");
    } else if (kind == "encodings") {
        const QString text = QString::fromUtf8("<p>Café 中文</p>");
        QByteArray utf16 = QTextCodec::codecForName("UTF-16LE")->fromUnicode(
            QString::fromUtf8(document(text)).replace("UTF-8", "UTF-16"));
        addRaw(epub, "a", "\xFF\xFE" + utf16);
        addRaw(epub, "b", encoded("ISO-8859-1", QString::fromUtf8(document("<p>Café</p>")).replace("UTF-8", "ISO-8859-1")));
        addRaw(epub, "c", encoded("GBK", QString::fromUtf8(document(QString::fromUtf8("<p>中文</p>"))).replace("UTF-8", "GBK")));
    } else if (kind.endsWith("with entities")) {
        epub.addDocument("a", "a.xhtml", "A", "<p>one</p>");
        epub.addDocument("b", "b.xhtml", "B", "<p>two</p>");
        if (kind.startsWith("nav")) {
            epub.version = "3.0";
            epub.addNav("nav.xhtml", EpubFixture::nav("<nav epub:type=\"toc\"><ol><li><a href=\"a.xhtml\">It&rsquo;s"
                                                      "</a></li><li><a href=\"b.xhtml\">&hellip;</a></li></ol></nav>"));
        } else {
            epub.addNcx("toc.ncx", EpubFixture::ncx(EpubFixture::navPoint("It&rsquo;s", "a.xhtml")
                                                    + EpubFixture::navPoint("&hellip;", "b.xhtml")));
        }
    } else if (kind == "fallbacks") {
        epub.addDocument("a", "a.xhtml", "A", "<p>one</p>");
        epub.addItem("img", "p.png", "image/png", "not read");
        epub.items.last().fallback = "alt";
        epub.spine << "img";
        epub.addItem("alt", "alt.xhtml", "application/xhtml+xml", document("<p>instead</p>", "Alt"));
        epub.addItem("lone", "q.png", "image/png", "no fallback");
        epub.spine << "lone";
    } else if (kind == "titles from headings") {
        epub.addDocument("a", "a.xhtml", "Fixture", "<h2>First <i>one</i></h2><p>x</p>");
        epub.addDocument("b", "b.xhtml", "", "<h1>Second&#160;part</h1><p>y</p>");
        epub.addDocument("c", "c.xhtml", "Own", "<h1>Not this</h1><p>z</p>");
    } else if (kind == "anchors in blocks") {
        epub.addDocument("a", "a.xhtml", "A",
                         "<p>lead</p><h2>Two <a id=\"h\"/>heading</h2><p>text</p>"
                         "<table><tr><td>c1</td><td><span id=\"t\"/>c2</td></tr></table><p>end</p>");
        epub.addNcx("toc.ncx", EpubFixture::ncx(EpubFixture::navPoint("One", "a.xhtml")
                                                + EpubFixture::navPoint("H", "a.xhtml#h")
                                                + EpubFixture::navPoint("T", "a.xhtml#t")));
    } else if (kind == "entries out of order") {
        epub.addDocument("a", "a.xhtml", "A", "<p id=\"x\">one</p><p id=\"y\">two</p><p id=\"z\">three</p>");
        epub.addNcx("toc.ncx", EpubFixture::ncx(EpubFixture::navPoint("X", "a.xhtml#x")
                                                + EpubFixture::navPoint("Z", "a.xhtml#z")
                                                + EpubFixture::navPoint("Y", "a.xhtml#y")));
    }
}

}

class TestEpubMarkup : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestEnvironment> env;

    QString import(const EpubFixture &epub, QString *novelId)
    {
        const QString path = env->root() + QStringLiteral("/book.epub");
        if (!epub.write(path))
            return QStringLiteral("not written");
        *novelId = md5Hex(path);
        ApplicationCore core;
        return importOutcome(core, path);
    }

private slots:
    void init()
    {
        env.reset(new TestEnvironment);
        QVERIFY(env->openDatabase());
    }
    void cleanup()
    {
        TestEnvironment::closeDatabase();
        env.reset();
    }

    void books_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("not well-formed") << "not well-formed" << QStringList{
            "T: 0:Fish & chips / 3: / 0:again / 0:open picpage"};
        QTest::newRow("encodings") << "encodings" << QStringList{
            QString::fromUtf8("T: 0:Café 中文"), QString::fromUtf8("T: 0:Café"), QString::fromUtf8("T: 0:中文")};
        for (const char *toc : {"nav with entities", "ncx with entities"})
            QTest::newRow(toc) << toc << QStringList{QString::fromUtf8("It\u2019s: 0:one"),
                                                     QString::fromUtf8("\u2026: 0:two")};
        QTest::newRow("fallbacks") << "fallbacks" << QStringList{"A: 0:one", "Alt: 0:instead"};
        QTest::newRow("titles from headings") << "titles from headings" << QStringList{
            "First one: 1:First one / 0:x", QString::fromUtf8("Second part: 1:Second\u00a0part / 0:y"),
            "Own: 1:Not this / 0:z"};
        // The heading goes on as a heading; the table goes whole to its chapter.
        QTest::newRow("anchors in blocks") << "anchors in blocks" << QStringList{
            "One: 0:lead / 1:Two ", "H: 1:heading / 0:text", "T: 8:c1 / 8:c2 / 0:end"};
        QTest::newRow("entries out of order") << "entries out of order" << QStringList{
            "X: 0:one", "Z: 0:two", "Y: 0:three"};
    }
    void books()
    {
        QFETCH(QString, kind);
        EpubFixture epub;
        build(kind, epub);
        QString novelId;
        QCOMPARE(import(epub, &novelId), QStringLiteral("ok"));
        QTEST(chapters(novelId), "expected");
    }

    // Every word of every document lands in exactly one chapter, wherever the
    // table of contents points: anchors in paragraphs, spans, headings and
    // cells, missing ones, entries out of order.
    void everyWordOnce()
    {
        QRandomGenerator random(20261209);
        for (int round = 0; round < 12; ++round) {
            EpubFixture epub;
            QStringList words;
            QStringList targets;
            const int documents = 1 + random.bounded(4);
            for (int d = 0; d < documents; ++d) {
                QString body;
                const QString file = QStringLiteral("d%1.xhtml").arg(d);
                targets << file;
                for (int b = 0; b < 3 + random.bounded(12); ++b) {
                    const QString word = QStringLiteral("w%1x%2").arg(d).arg(b);
                    const QString id = QStringLiteral("a%1x%2").arg(d).arg(b);
                    words << word << word + QLatin1Char('b');
                    static const char *const forms[] = {
                        "<p id=\"%1\">%2 %2b</p>", "<p>%2 <span id=\"%1\">%2b</span></p>",
                        "<h2>%2 <a id=\"%1\"/>%2b</h2>",
                        "<table><tr><td>%2</td><td id=\"%1\">%2b</td></tr></table>"};
                    body += QString::fromLatin1(forms[random.bounded(4)]).arg(id, word);
                    targets << file + QLatin1Char('#') + id;
                }
                targets << file + QStringLiteral("#missing");
                epub.addDocument(QStringLiteral("d%1").arg(d), file, QStringLiteral("D"), body);
            }
            QString points;
            for (int e = 0; e < 2 + random.bounded(10); ++e)
                points += EpubFixture::navPoint(QStringLiteral("E%1").arg(e),
                                                targets.at(random.bounded(targets.size())));
            epub.addNcx("toc.ncx", EpubFixture::ncx(points));
            QString novelId;
            QCOMPARE(import(epub, &novelId), QStringLiteral("ok"));

            QSqlQuery q(DatabaseConnection::database());
            q.prepare("SELECT t.text FROM unified_chunk t JOIN unified_paragraph p ON t.para_id = p.id "
                      "WHERE p.novel_id = ?");
            q.addBindValue(novelId);
            QVERIFY(q.exec());
            QStringList stored;
            while (q.next())
                stored += q.value(0).toString().split(QLatin1Char(' '), Qt::SkipEmptyParts);
            std::sort(stored.begin(), stored.end());
            std::sort(words.begin(), words.end());
            QCOMPARE(stored, words);
        }
    }
};

QTEST_MAIN(TestEpubMarkup)
#include "tst_epubmarkup.moc"
