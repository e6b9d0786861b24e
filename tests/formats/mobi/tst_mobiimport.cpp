// MOBI, AZW3 and combined books made by calibre, imported through the core.

#include "coresession.h"
#include "dbtestutils.h"
#include "fontregistry.h"
#include "importoutcome.h"
#include "mobifixture.h"
#include "mobiparser.h"
#include "readingpages.h"

#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

using DbTestUtils::column;

class TestMobiImport : public QObject, private CoreSession
{
    Q_OBJECT

private slots:
    void init() { QVERIFY(open()); }
    void cleanup() { close(); }

    void books_data();
    void books();
    void links_data();
    void links();
    void imagesAndFonts();
    void refused_data();
    void refused();
    void bombs_data();
    void bombs();
};

void TestMobiImport::books_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("fileType");
    // "title|phrase it holds|phrase of another chapter it must not hold"
    QTest::addColumn<QStringList>("expected");
    // calibre ends a book with its table of contents (in KF8 a part that no
    // entry names): it stays with the last chapter.
    const QStringList chapters{"第一章 山路|他沿着山路|夜里下起了雨", "第二章 夜雨|夜里下起了雨|庙里只有",
                               "庙中|庙里只有一盏灯|天亮时"};
    const QStringList mobi6 = chapters + QStringList("第三章 归来|天亮时他回到了城里|夜里下起了雨");
    // Nested NCX entries carry their parent's title, as in EPUB books.
    QStringList kf8 = mobi6;
    kf8[2] = "第二章 夜雨 - 庙中|庙里只有一盏灯|天亮时";
    QTest::newRow("MOBI 6, inline table of contents") << "mobi6.mobi" << "MOBI" << mobi6;
    QTest::newRow("AZW3, one chapter per NCX segment") << "kf8.azw3" << "AZW3" << kf8;
    QTest::newRow("joint file reads its KF8 part") << "joint.mobi" << "AZW3" << kf8;
    QTest::newRow("joint file, damaged KF8 part") << "damaged" << "AZW3" << mobi6;
    QTest::newRow("AZW3 without NCX: one chapter per part")
        << "no NCX" << "AZW3"
        << QStringList{"山路夜雨 1|他沿着山路|夜里下起了雨", "山路夜雨 2|夜里下起了雨|庙里只有", "山路夜雨 3|庙里只有|天亮时",
                       "山路夜雨 4|天亮时他回到了城里|Table of Contents", "山路夜雨 5|Table of Contents|天亮时"};
    QTest::newRow("MOBI 6 by headings, text before the first kept")
        << "headings" << "MOBI"
        << QStringList{"山路夜雨|Foreword.|One text", "One|One text|Two text", "Two|Two text|One text"};
    QStringList many;
    for (int i = 1; i <= 40; ++i)
        many << QStringLiteral("第%1章|第%1章的正文。Chapter %1 text.|节 %1。").arg(i)
             << QStringLiteral("第%1章 - 第%1节|节 %1。|Chapter %1 text").arg(i);
    QTest::newRow("AZW3, 80 parts and their NCX entries") << "toc.azw3" << "AZW3" << many;
    // Untitled title page first; a chapter over two parts; an entry that
    // leads to a blank page gives no chapter; nested entries carry their parent's title.
    QTest::newRow("AZW3, chapters by the nested NCX, not by part")
        << "nested.azw3" << "AZW3"
        << QStringList{"山路夜雨|小狐狸,0:林川 著|春天", "第一部 春|春天来了|出门", "第一部 春 - 第一章 出门|小狐狸出门了|河边",
                       "第一部 春 - 第二章 过河|它来到河边。,0:河水很凉|秋天",
                       "第二部 秋 - 第三章 回家|秋天它回家了|狐狸是一种动物", "注释|狐狸是一种动物|秋天"};
    QTest::newRow("AZW3, NCX label over two indented lines")
        << "label.azw3" << "AZW3"
        << QStringList{"Глава 1 Согласование противоположностей|Первая глава|Вторая", "Глава 2|Вторая глава|Первая"};
}

void TestMobiImport::books()
{
    QFETCH(QString, file);
    QFETCH(QString, fileType);
    QFETCH(QStringList, expected);
    QString path;
    if (file == QLatin1String("damaged") || file == QLatin1String("no NCX")) {
        // The KF8 skeleton index loses its signature: the KF8 text cannot be
        // rebuilt; or the KF8 header names no NCX.
        const bool damaged = file == QLatin1String("damaged");
        path = damaged ? copyTestBook("mobi/joint.mobi", "damaged.mobi") : copyTestBook("mobi/kf8.azw3", "plain.azw3");
        PalmDbBook book;
        QVERIFY(MobiParser::openPalmDb(book, path));
        const MobiContentSection &kf8 = book.kf8Section;
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadWrite)
                && file.seek(damaged ? book.recordOffsets.at(kf8.startRecord + int(kf8.skeletonIndexRecord))
                                     : book.recordOffsets.at(kf8.startRecord) + 244)
                && file.write(damaged ? "XXXX" : "\xff\xff\xff\xff", 4) == 4);
    } else if (file == QLatin1String("headings")) {
        MobiFixture::Header header;
        header.compression = 1;
        header.fullName = "山路夜雨";
        const QByteArray text = "<html><body><p>Foreword.</p><h1 id=\"a\">One</h1><p>One text</p>"
                                "<h1 id=\"b\">Two</h1><p>Two text &amp; more</p></body></html>";
        header.textLength = quint32(text.size());
        path = env->root() + "/headings.mobi";
        QVERIFY(Paths::writeFile(path, MobiFixture::palmDb("headings", {MobiFixture::headerRecord(header), text})));
    } else {
        path = copyTestBook("mobi/" + file);
    }
    QCOMPARE(importOutcome(*core, path), QStringLiteral("ok"));
    const QString id = md5Hex(path);
    QCOMPARE(column("SELECT title FROM novel_info WHERE id = ?", id), QStringList("山路夜雨"));
    QCOMPARE(column("SELECT file_type FROM novel_info WHERE id = ?", id), QStringList(fileType));
    const QStringList rows = DbTestUtils::chapterDump(id);
    QCOMPARE(rows.size(), expected.size());
    for (int i = 0; i < rows.size(); ++i) {
        const QStringList want = expected.at(i).split('|');
        const QString text = rows.at(i).section('=', 1);
        QCOMPARE(rows.at(i).section('=', 0, 0), want.at(0));
        QVERIFY2(text.contains(want.at(1)) && !text.contains(want.at(2)), qPrintable(text));
    }
}

void TestMobiImport::links_data()
{
    QTest::addColumn<QString>("file");
    QTest::newRow("AZW3") << "nested.azw3";
    QTest::newRow("joint file") << "nested.mobi";
}

// kindle:pos links lead to the element ids of the book's own documents, as
// an EPUB book's links do: note, back to the reference, another part, the same part.
void TestMobiImport::links()
{
    QFETCH(QString, file);
    const QString path = copyTestBook("mobi/" + file);
    QCOMPARE(importOutcome(*core, path), QStringLiteral("ok"));
    const QStringList links = column(
        "SELECT k.text || '>' || k.anchor_href FROM unified_chunk k JOIN unified_paragraph p ON p.id = k.para_id "
        "JOIN chapter_info c ON c.id = p.chapter_id WHERE p.novel_id = ? AND k.anchor_href != '' "
        "ORDER BY c.chapter_index, p.para_index, k.chunk_index", md5Hex(path));
    QCOMPARE(links.mid(0, 4), (QStringList{"[1]>kf8-document-7.xhtml#n1", "第一章>kf8-document-2.xhtml#c1",
                                           "直到最后>kf8-document-6.xhtml#end", "[1]>kf8-document-2.xhtml#r1"}));
    // calibre's own table of contents, at the end.
    QCOMPARE(links.mid(4, 2), (QStringList{"第一部 春>kf8-document-1.xhtml#p1", "第一章 出门>kf8-document-2.xhtml#c1"}));
    QCOMPARE(links.filter("kindle:"), QStringList());
}

void TestMobiImport::imagesAndFonts()
{
    const QString images = copyTestBook("mobi/images.mobi");
    const QString font = copyTestBook("mobi/font.azw3");
    QCOMPARE(importOutcome(*core, images), QStringLiteral("ok"));
    QCOMPARE(importOutcome(*core, font), QStringLiteral("ok"));

    const QStringList cover = column("SELECT cover_path FROM novel_info WHERE id = ?", md5Hex(images));
    QCOMPARE(cover.size(), 1);
    QVERIFY2(cover.first().startsWith(dataDir(images)) && QImage(cover.first()).width() == 60,
             qPrintable(cover.first()));
    const QStringList pictures = column(
        "SELECT image_id FROM unified_paragraph WHERE novel_id = ? AND image_id != ''", md5Hex(images));
    QVERIFY(!pictures.isEmpty());
    for (const QString &picture : pictures)
        QVERIFY2(picture.startsWith(dataDir(images)) && !QImage(picture).isNull(), qPrintable(picture));

    // The chapter with the picture reads page by page.
    const QString chapter = column("SELECT chapter_id FROM unified_paragraph WHERE novel_id = ? "
                                   "AND image_id != ''", md5Hex(images)).value(0);
    const int pages = readingPages(*core, md5Hex(images), chapter).size();
    QVERIFY(pages > 0);
    QCOMPARE(pages, core->getChapterPageCount(chapter));

    // The font is in the manifest and registers again from it.
    QFile manifest(dataDir(font) + "fonts/manifest.json");
    QVERIFY(manifest.open(QIODevice::ReadOnly));
    const QJsonObject entry =
        QJsonDocument::fromJson(manifest.readAll()).object().value("fonts").toArray().at(0).toObject();
    QCOMPARE(entry.value("cssFamily").toString(), QStringLiteral("Mono"));
    QVERIFY(QFileInfo(entry.value("resourcePath").toString()).size() > 1000);
    FontRegistry &registry = FontRegistry::instance();
    registry.setActiveBook(QString());
    QVERIFY(registry.loadManifest(md5Hex(font), dataDir(font)));
    QCOMPARE(registry.resolveStyledFamily("Mono", 400, false), entry.value("alias").toString());
}

void TestMobiImport::refused_data()
{
    QTest::addColumn<int>("encryption");
    QTest::addColumn<int>("compression");
    QTest::addColumn<QString>("message");
    QTest::newRow("DRM") << 2 << 1 << "不支持带 DRM 的 MOBI 文件";
    QTest::newRow("no readable text") << 0 << 1 << "MOBI 正文 HTML 无法解析";
}

// Nothing is left behind: no book, no data folder.
void TestMobiImport::refused()
{
    QFETCH(int, encryption);
    QFETCH(int, compression);
    QFETCH(QString, message);
    MobiFixture::Header header;
    header.encryption = quint16(encryption);
    header.compression = quint16(compression);
    header.textLength = 4;
    const QString path = env->root() + "/refused.azw3";
    QVERIFY(Paths::writeFile(
        path, MobiFixture::palmDb("refused", {MobiFixture::headerRecord(header), " \n \n"})));
    QCOMPARE(importOutcome(*core, path), message);
    QVERIFY(!QFileInfo::exists(dataDir(path)));
    QVERIFY(DbTestUtils::allRows().filter(QStringLiteral("novel_info|")).isEmpty());
}

void TestMobiImport::bombs_data()
{
    QTest::addColumn<QByteArray>("book");
    QTest::addColumn<QString>("message");
    const QString expanded = QStringLiteral("MOBI 正文解压后异常膨胀（超过压缩数据的 8 倍），文件可能已损坏");
    // 20 MB from 37 KB refused before decoding; a KF8 text past its header's
    // small claim once it passes the bound; 16 bytes to 512 KiB within the floor.
    QTest::newRow("MOBI 6, HUFF/CDIC") << MobiFixture::huffCdicBomb(300) << expanded;
    QTest::newRow("KF8, past a small claim") << MobiFixture::huffCdicBomb(300, 8, 100) << expanded;
    QTest::newRow("within the floor") << MobiFixture::huffCdicBomb(8) << "ok";
}

void TestMobiImport::bombs()
{
    QFETCH(QByteArray, book);
    const QString path = env->root() + "/bomb.azw3";
    QVERIFY(Paths::writeFile(path, book));
    QTEST(importOutcome(*core, path), "message");
}

QTEST_MAIN(TestMobiImport)
#include "tst_mobiimport.moc"
