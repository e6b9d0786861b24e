// CBZ books made here with minizip and comics made by the zip and 7z tools
// (tests/data/comic), imported through the core: scan rules, page order,
// cover, limits, re-import, reading.

#include "cbzparser.h"
#include "chapterinfo.h"
#include "coresession.h"
#include "dbtestutils.h"
#include "imagefixtures.h"
#include "importoutcome.h"
#include "readingpages.h"
#include "unifiedparagraphdao.h"
#include "zipimageloader.h"

#include <QTextCodec>
#include <QtTest>
#include <zip.h>

namespace {

const QStringList Colours{"red", "green", "blue", "yellow"};

// Entry "name|content|flags": content a colour, "bad", "big", "huge", "bomb", "x"
// or "xml:<text>"; flags "gbk" (name stored as GBK), "utf8", "enc", "lie".
// A first entry "raw:<text>" writes the text alone; no entries, no file.
bool writeCbz(const QString &path, const QStringList &entries)
{
    QFile file(path);
    if (entries.isEmpty() || entries.first().startsWith("raw:"))
        return entries.isEmpty() || (file.open(QIODevice::WriteOnly) && file.write(entries.first().toUtf8()) > 0);
    zipFile zip = zipOpen64(QFile::encodeName(path).constData(), 0);
    for (const QString &spec : entries) {
        const QStringList f = spec.split('|');
        const QString content = f.value(1), flags = f.value(2);
        QByteArray data = content.startsWith("xml:") ? content.mid(4).toUtf8() : QByteArray(content == "x" ? "x" : "garbage!");
        if (Colours.contains(content) || content == "big") {
            QImage page(content == "big" ? QSize(4000, 3000) : QSize(30, 40), QImage::Format_RGB32);
            page.fill(QColor(content == "big" ? "blue" : content));
            data = encodedImage(page, QFileInfo(f[0]).suffix().toUpper().toLatin1(), 100);
        } else if (content == "huge") {
            data = QByteArray(int(CbzParser::MaxPageBytes) + 1, '\0');
        } else if (content == "bomb") {
            data = pngBomb(20000, 10000);
        }
        const QByteArray name = flags.contains("gbk") ? QTextCodec::codecForName("GBK")->fromUnicode(f[0]) : f[0].toUtf8();
        const uLong crc = crc32(0, reinterpret_cast<const Bytef *>(data.constData()), uInt(data.size()));
        zip_fileinfo info{};
        const bool lie = flags.contains("lie");
        if (zipOpenNewFileInZip4_64(zip, name.constData(), &info, nullptr, 0, nullptr, 0, nullptr, lie ? 0 : Z_DEFLATED, 6, lie,
                                    -MAX_WBITS, DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY, flags.contains("enc") ? "pw" : nullptr,
                                    crc, 0, flags.contains("utf8") ? 0x800 : 0, 0) != ZIP_OK
            || zipWriteInFileInZip(zip, data.constData(), unsigned(data.size())) != ZIP_OK)
            return false;
        if (lie ? zipCloseFileInZipRaw64(zip, 8, crc) : zipCloseFileInZip(zip))
            return false;
    }
    return zipClose(zip, nullptr) == ZIP_OK;
}

QString colourOf(const QImage &image)
{
    for (const QString &name : Colours) {
        if (image.size() == QSize(30, 40) && image.pixel(0, 0) == QColor(name).rgb())
            return name;
    }
    return QStringLiteral("%1x%2").arg(image.width()).arg(image.height());
}

}

class TestCbzImport : public QObject, private CoreSession
{
    Q_OBJECT

    // Page names in stored order, "!" after those of unknown size.
    QStringList pages(const QString &path)
    {
        QStringList names;
        const QString id = md5Hex(path);
        QVector<QString> rowIds;
        const QVector<Paragraph> paragraphs = UnifiedParagraphDao().loadParagraphs(id, id + "_cbz_0", &rowIds);
        for (int i = 0; i < paragraphs.size(); ++i) {
            const Paragraph &p = paragraphs.at(i);
            if (p.imageId.isEmpty()) {   // a page left out says so, in words
                names << DbTestUtils::column("SELECT text FROM unified_chunk WHERE para_id = ?", rowIds.at(i)).join("");
                continue;
            }
            const QByteArray raw = QByteArray::fromBase64(p.imageId.section("::", 1).toLatin1());
            QString name = QString::fromUtf8(raw);
            if (name.contains(QChar::ReplacementCharacter))
                name = QTextCodec::codecForName("GB18030")->toUnicode(raw);
            names << name + (p.imageWidth > 0 ? "" : "!");
        }
        return names;
    }

private slots:
    void init() { QVERIFY(open()); }
    void cleanup() { close(); }

    void bookSteps_data()
    {
        QTest::addColumn<QStringList>("entries");
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<QString>("pageList");   // "#n": only the count
        QTest::addColumn<QString>("cover");
        QTest::addColumn<QString>("title");

        const QString info = "ComicInfo.xml|xml:<ComicInfo><Title>%1</Title>%2</ComicInfo>";
        QTest::newRow("natural order") << QStringList{"page10.png|red", "page2.png|green", "Page1.png|blue", "b.png|x", "B.png|x"}
                                       << "ok" << "B.png!,b.png!,Page1.png,page2.png,page10.png" << "blue" << "case";
        QTest::newRow("not pages") << QStringList{"__MACOSX/a.png|red", "__macosx/b.png|red", ".c.png|red", "d/.e.png|red",
                                                  "dir/|x", "enc.png|red|enc", "t.txt|x", "z.png|green", "z.png|red",
                                                  "x/__MACOSX/f.png|yellow"}
                                   << "ok" << "x/__MACOSX/f.png,z.png" << "yellow" << "case";
        QTest::newRow("front cover by ordinal") << QStringList{"a.png|red", ".b.png|red", "__MACOSX/c.png|red", "d.gif|x", "e.png|green",
                                                               info.arg("Storm", "<Pages><Page Image=\"4\" Type=\"FrontCover\"/></Pages>")}
                                                << "ok" << "a.png,d.gif!,e.png" << "green" << "Storm";
        QTest::newRow("front cover undecodable") << QStringList{"a.png|bad", "b.png|green", "c.png|red",
                                                                 info.arg("Storm", "<Pages><Page Image=\"0\" Type=\"FrontCover\"/></Pages>")}
                                                 << "ok" << "a.png!,b.png,c.png" << "green" << "Storm";
        QTest::newRow("size lie, bomb, big") << QStringList{"a.png|red|lie", "b.png|bomb", "c.png|big"}
                                             << "ok" << "a.png!,b.png,c.png" << "1600x1200" << "case";
        QTest::newRow("a page too large") << QStringList{"a.png|red", "b.png|huge", "c.png|green"}
                                          << "ok" << "a.png,此页过大，未导入：b.png,c.png" << "red" << "case";
        QTest::newRow("WebP and TIFF pages") << QStringList{"1.webp|red", "2.tif|green"} << "ok" << "1.webp,2.tif" << "red" << "case";
        QTest::newRow("GBK and UTF-8 names") << QStringList{"第10页.png|red|gbk", "第2页.png|green|gbk", "第1页.png|blue|utf8"}
                                             << "ok" << "第1页.png,第2页.png,第10页.png" << "blue" << "case";
        QTest::newRow("top ComicInfo after nested") << QStringList{"p.png|red", "x/" + info.arg("Nested", ""), info.arg("Top", "")}
                                                   << "ok" << "p.png" << "red" << "Top";
        QTest::newRow("top ComicInfo first") << QStringList{"p.png|red", info.arg("Top", ""), "x/" + info.arg("Nested", "")}
                                             << "ok" << "p.png" << "red" << "Top";
        QTest::newRow("nested ComicInfo") << QStringList{"p.png|red", "a/" + info.arg("A", ""), "b/" + info.arg("B", "")}
                                          << "ok" << "p.png" << "red" << "A";
        QTest::newRow("not a ZIP") << QStringList{"raw:PK not a zip"}
                                   << "文件不是 CBZ 格式，而是纯文本；请把扩展名改为 .txt 后再导入" << "" << "" << "";
        QTest::newRow("missing file") << QStringList() << "文件不存在" << "" << "" << "";
        QTest::newRow("no page") << QStringList{"a.txt|x"} << "CBZ 中没有支持的图片" << "" << "" << "";
        QTest::newRow("nothing decodes") << QStringList{"a.png|bad", "b.png|bomb"} << "CBZ 中没有可解码的图片" << "" << "" << "";
        QStringList many{"a.png|red"};
        for (int i = 1; i < 20000; ++i)
            many << QStringLiteral("p%1.png|x").arg(i);
        QTest::newRow("20000 pages") << many << "ok" << "#20000" << "red" << "case";
        QTest::newRow("20001 pages") << many + QStringList{"q.png|x"} << "无法打开 CBZ 文件" << "" << "" << "";
    }

    void bookSteps()
    {
        QFETCH(QStringList, entries);
        QFETCH(QString, outcome);
        QFETCH(QString, pageList);
        QFETCH(QString, cover);
        QFETCH(QString, title);
        const QString path = env->root() + "/case.cbz";
        QVERIFY(writeCbz(path, entries));
        QCOMPARE(importOutcome(*core, path), outcome);
        QCOMPARE(DbTestUtils::column("SELECT title FROM novel_info WHERE id = ?", md5Hex(path)).value(0), title);
        if (outcome != "ok") {
            QVERIFY(!QFileInfo::exists(dataDir(path)));
            return;
        }
        const QStringList got = pages(path);
        QCOMPARE(pageList.startsWith('#') ? "#" + QString::number(got.size()) : got.join(','), pageList);
        QCOMPARE(colourOf(QImage(dataDir(path) + "cover.png")), cover);
        QCOMPARE(QDir(dataDir(path)).entryList(QDir::Files), QStringList({"book.cbz", "cover.png"}));
    }

    // A second import of the same path while the loader holds the old copy
    // open; one whose store fails keeps the old copy and cover.
    void reimport_data()
    {
        QTest::addColumn<bool>("commit");
        QTest::newRow("stored") << true;
        QTest::newRow("store fails") << false;
    }

    void reimport()
    {
        QFETCH(bool, commit);
        const QString path = env->root() + "/again.cbz", copy = dataDir(path) + "book.cbz";
        QVERIFY(writeCbz(path, {"old.png|red"}));
        QCOMPARE(importOutcome(*core, path), QStringLiteral("ok"));
        const QString oldName = QString::fromLatin1(QByteArray("old.png").toBase64());
        QVERIFY(!ZipImageLoader::readEntry(copy, oldName, true).isEmpty());
        QFile::remove(path);
        QVERIFY(writeCbz(path, {"new.png|green"}));
        if (!commit)
            DbTestUtils::execSql("CREATE TRIGGER full BEFORE INSERT ON unified_paragraph BEGIN SELECT RAISE(ABORT, 'full'); END");
        QCOMPARE(importOutcome(*core, path) == "ok", commit);

        const QString kept = commit ? "new.png" : "old.png";
        QCOMPARE(colourOf(QImage(dataDir(path) + "cover.png")), commit ? "green" : "red");
        QVERIFY(!ZipImageLoader::readEntry(copy, QString::fromLatin1(kept.toLatin1().toBase64()), true).isEmpty());
        QCOMPARE(QDir(dataDir(path)).entryList(QDir::Files), QStringList({"book.cbz", "cover.png"}));
        ZipImageLoader::releaseZip(copy);
    }

    // Real books through the core: import, open, the pages in order.
    void readThroughCore_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QStringList>("colours");
        const QStringList pages{"#c81e1e", "#1ea03c", "#1e3cc8"};
        QTest::newRow("zip tool") << "zip-tool.cbz" << "Harbour Tales #1" << pages;
        QTest::newRow("7z tool") << "7z-tool.cbz" << "7z-tool" << pages;
        QTest::newRow("7z tool, CB7") << "tool-made.cb7" << "工具做的漫画" << QStringList{"#c81e1e", "#1ea028", "#283cc8"};
        QTest::newRow("bsdtar CBT, names differing only in normalisation")
            << "normalisation.cbt" << "normalisation" << QStringList{"#c81e1e", "#1ea028", "#283cc8"};
    }

    void readThroughCore()
    {
        QFETCH(QString, file);
        QFETCH(QString, title);
        QFETCH(QStringList, colours);
        const QString path = copyTestBook("comic/" + file);
        QCOMPARE(importOutcome(*core, path), QStringLiteral("ok"));
        const QList<QObject *> chapters = core->getChaptersByNovelId(md5Hex(path));
        QCOMPARE(chapters.size(), 1);
        QCOMPARE(qobject_cast<ChapterInfo *>(chapters.first())->title(), title);
        const QString chapter = qobject_cast<ChapterInfo *>(chapters.first())->id();
        qDeleteAll(chapters);
        QStringList shown;
        for (const QImage &image : readingPages(*core, md5Hex(path), chapter))
            shown << QColor(image.pixel(image.width() / 2, image.height() / 2)).name();
        QCOMPARE(shown, colours);
        ZipImageLoader::releaseZip(dataDir(path) + "book.cbz");
    }
};

QTEST_MAIN(TestCbzImport)
#include "tst_cbzimport.moc"
