// EPUB content through the real import task into a temporary library: what
// each chapter stores, its images and fonts, and that every failure leaves the
// library as it was.

#include "applicationcore.h"
#include "importoutcome.h"
#include "databaseconnection.h"
#include "dbtestutils.h"
#include "epubfixture.h"
#include "fontregistry.h"
#include "imagefixtures.h"
#include "installedfonts.h"
#include "keys.h"
#include "pageimageloader.h"
#include "testenvironment.h"

#include <QCryptographicHash>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlQuery>
#include <QtTest>

#include <memory>

namespace {

// Per chapter in order, one line per stored paragraph: its text, an image's
// entry and size, or a table cell's table id and text.
QStringList chapterRows(const QString &novelId)
{
    QSqlQuery q(DatabaseConnection::database());
    q.prepare(QStringLiteral(
        "SELECT c.chapter_index || ' ' || CASE WHEN p.id IS NULL THEN 'empty' "
        "WHEN p.kind = 2 THEN 'image ' || substr(p.image_id, instr(p.image_id, '::') + 2) || ' ' "
        "|| p.image_width || 'x' || p.image_height "
        "WHEN p.kind = 8 THEN 'table ' || p.table_id || ' ' || t.text ELSE t.text END "
        "FROM chapter_info c LEFT JOIN unified_paragraph p ON p.chapter_id = c.id "
        "LEFT JOIN (SELECT para_id, group_concat(text, '') AS text FROM unified_chunk "
        "GROUP BY para_id) t ON t.para_id = p.id "
        "WHERE c.novel_id = ? ORDER BY c.chapter_index, p.para_index"));
    q.addBindValue(novelId);
    q.exec();
    QStringList rows;
    while (q.next())
        rows << q.value(0).toString();
    return rows;
}

QByteArray png(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::darkGreen);
    return encodedImage(image, "PNG");
}

const QString Table = QStringLiteral("<table><tr><td>%1</td></tr></table>");

}

class TestEpubContent : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestEnvironment> env;

    QString bookPath(const QString &name) const { return env->root() + QLatin1Char('/') + name; }

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

    // One book with every kind of chapter the content step meets.
    void chaptersStored()
    {
        EpubFixture epub;
        epub.addDocument("d1", "text/one.xhtml", "One",
                         "<h1>One</h1><p>Alpha text.</p><img src=\"../images/p.png\" width=\"300\"/>"
                         + Table.arg("a1"));
        epub.addDocument("d2", "text/two.xhtml", "Two",
                         Table.arg("b1") + "<h2 id=\"mid\">Mid</h2><p>Beta.</p>" + Table.arg("c1"));
        epub.addDocument("d3", "text/three.xhtml", "Three", "<p>Gamma.</p>");
        epub.items.last().entry = "OEBPS/Text/THREE.xhtml";   // the package names it in another case
        epub.addDocument("d4", "text/four.xhtml", "Four", "");
        epub.addDocument("d5", "text/five.xhtml", "Five", "<p>Delta.</p><p id=\"x\">Epsilon.</p>");
        epub.addItem("img", "images/p.png", "image/png", png(600, 400));
        epub.addNcx("toc.ncx", EpubFixture::ncx(
            EpubFixture::navPoint("One", "text/one.xhtml") + EpubFixture::navPoint("Mid", "text/two.xhtml#mid")
            + EpubFixture::navPoint("Three", "text/three.xhtml") + EpubFixture::navPoint("Four", "text/four.xhtml")
            + EpubFixture::navPoint("Five", "text/five.xhtml") + EpubFixture::navPoint("X", "text/five.xhtml#x")
            + EpubFixture::navPoint("Lost", "text/five.xhtml#nosuch")));
        const QString path = bookPath("book.epub");
        QVERIFY(epub.write(path));
        ApplicationCore core;
        QCOMPARE(importOutcome(core, path), QStringLiteral("ok"));

        QCOMPARE(chapterRows(md5Hex(path)), (QStringList{
            // Two documents, each with its table 0: the chapter numbers them 0 and 1;
            // the image keeps its width and takes its height from its natural size.
            "0 One", "0 Alpha text.", "0 image OEBPS/images/p.png 300x200", "0 table 0 a1", "0 table 1 b1",
            "1 Mid", "1 Beta.", "1 table 0 c1",
            "2 Gamma.",
            "3 empty",
            // One document cut at its anchors; one that never comes ends the
            // chapter before it at the document's end and starts its own at the start.
            "4 Delta.", "5 Epsilon.", "6 Delta.", "6 Epsilon."}));

        QSqlQuery q(DatabaseConnection::database());
        q.exec("SELECT word_count, glyph_count FROM chapter_info WHERE chapter_index = 2");
        QVERIFY(q.next() && q.value(0).toInt() == 6 && q.value(1).toInt() == 2);
        QSqlQuery image(DatabaseConnection::database());
        image.exec(QStringLiteral("SELECT image_id FROM unified_paragraph WHERE kind = 2"));
        QVERIFY(image.next());
        QVERIFY(image.value(0).toString().startsWith("zip://" + env->dataHome()));
        QCOMPARE(PageImageLoader::imageSize(image.value(0).toString()), QSize(600, 400));
        const QString imageId = image.value(0).toString();

        // Imported again, the copy the image loader holds open is replaced.
        epub.items[5].data = png(600, 200);
        QVERIFY(epub.write(path));
        QCOMPARE(importOutcome(core, path), QStringLiteral("ok"));
        const QImage again = PageImageLoader::loadImage(imageId);
        QVERIFY(qAbs(again.width() - again.height() * 3) < 8);
        QCOMPARE(QThreadPool::globalInstance()->maxThreadCount(), QThread::idealThreadCount());
    }

    // An IDPF-obfuscated font is registered under the book's alias and kept
    // in the manifest, which registers it again later.
    void embeddedFonts()
    {
        const QByteArray font = installedFontData(QStringLiteral("DejaVuSans.ttf"));
        QVERIFY(!font.isEmpty());
        const QString uid = QStringLiteral("urn:uuid:0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0");
        const QByteArray key = QCryptographicHash::hash(uid.toUtf8(), QCryptographicHash::Sha1);
        EpubFixture epub;
        epub.metadata += QStringLiteral("<dc:identifier id=\"id\">%1</dc:identifier>").arg(uid);
        epub.addDocument("d1", "one.xhtml", "One",
                         "<p style=\"font-family: Book\">Text.</p>");
        epub.addItem("css", "style.css", "text/css",
                     "@font-face { font-family: Book; src: url(fonts/book.ttf); }");
        epub.addItem("font", "fonts/book.ttf", "application/x-font-ttf",
                     FontRegistry::deobfuscate(font, key, 1040));
        epub.addItem("enc", "../META-INF/encryption.xml", "application/xml", QByteArray(
            "<encryption xmlns=\"urn:oasis:names:tc:opendocument:xmlns:container\" "
            "xmlns:enc=\"http://www.w3.org/2001/04/xmlenc#\"><enc:EncryptedData>"
            "<enc:EncryptionMethod Algorithm=\"http://www.idpf.org/2008/embedding\"/>"
            "<enc:CipherData><enc:CipherReference URI=\"OEBPS/fonts/book.ttf\"/></enc:CipherData>"
            "</enc:EncryptedData></encryption>"));
        const QString path = bookPath("fonts.epub");
        QVERIFY(epub.write(path));
        ApplicationCore core;
        QCOMPARE(importOutcome(core, path), QStringLiteral("ok"));

        const QString alias = FontRegistry::aliasFamily(md5Hex(path), "Book", 400, false);
        FontRegistry &registry = FontRegistry::instance();
        // The text was converted with the book's font; no book is open, so
        // the registry holds none once the import has ended.
        QSqlQuery chunk(DatabaseConnection::database());
        QVERIFY(chunk.exec("SELECT font_family FROM unified_chunk WHERE text = 'Text.'") && chunk.next());
        QCOMPARE(chunk.value(0).toString(), alias);
        QCOMPARE(registry.activeBookId(), QString());
        const QString dataDir = env->dataHome() + "/com.tivex/harbour-Quillora/" + md5Hex(path) + "/";
        QFile manifest(dataDir + "fonts/manifest.json");
        QVERIFY(manifest.open(QIODevice::ReadOnly));
        const QJsonObject record =
            QJsonDocument::fromJson(manifest.readAll()).object().value("fonts").toArray().first().toObject();
        QCOMPARE(record.value("obfuscation").toString(), QStringLiteral("idpf"));
        QCOMPARE(record.value("resourcePath").toString(), QStringLiteral("OEBPS/fonts/book.ttf"));

        QVERIFY(registry.loadManifest(md5Hex(path), dataDir));
        QCOMPARE(registry.resolveStyledFamily("Book", 400, false), alias);
    }

    // Books that reach the content step and cannot be stored: the library keeps
    // what it had, earlier import of the same file included.
    void failuresLeaveLibrary_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("no chapter has content") << "empty";
        QTest::newRow("document over the entry cap") << "large document";
        QTest::newRow("content over the book cap") << "bomb";
        QTest::newRow("store refused") << "store";
    }
    void failuresLeaveLibrary()
    {
        QFETCH(QString, kind);
        ApplicationCore core;
        const QString path = bookPath("fail.epub");
        EpubFixture good;
        good.addDocument("d1", "one.xhtml", "One", "<p>Kept text.</p>");
        QVERIFY(good.write(path));
        QCOMPARE(importOutcome(core, path), QStringLiteral("ok"));
        const QStringList before = DbTestUtils::allRows();

        EpubFixture epub;
        if (kind == QLatin1String("empty")) {
            epub.addDocument("d1", "one.xhtml", "One", "");
            epub.addDocument("d2", "two.xhtml", "Two", "<div> </div>");
        } else if (kind == QLatin1String("large document")) {
            epub.addDocument("d1", "one.xhtml", "One", QString(21 * 1024 * 1024, QLatin1Char('a')));
        } else if (kind == QLatin1String("bomb")) {
            epub.addDocument("d0", "d0.xhtml", "Z",
                             QStringLiteral("<p>%1</p>").arg(QString(19 * 1024 * 1024, QLatin1Char('z'))));
            for (int i = 1; i < 28; ++i) {
                epub.addItem(QStringLiteral("d%1").arg(i), QStringLiteral("d%1.xhtml").arg(i),
                             "application/xhtml+xml", epub.items.first().data);
                epub.spine << QStringLiteral("d%1").arg(i);
            }
        } else {
            epub.addDocument("d1", "one.xhtml", "One", "<p>New text.</p>");
            QSqlQuery(DatabaseConnection::database())
                .exec("CREATE TRIGGER refuse BEFORE INSERT ON unified_chunk "
                      "BEGIN SELECT RAISE(ABORT, 'refused'); END");
        }
        QVERIFY(epub.write(path));
        const qint64 rssBefore = peakMemoryKiB();
        QCOMPARE(importOutcome(core, path), QStringLiteral("构建排版数据失败"));
        QCOMPARE(DbTestUtils::allRows(), before);
        // Nothing near the book's inflated size was held.
        QVERIFY2(peakMemoryKiB() - rssBefore < 200 * 1024, qPrintable(QString::number(peakMemoryKiB() - rssBefore)));
    }
};

QTEST_MAIN(TestEpubContent)
#include "tst_epubcontent.moc"
