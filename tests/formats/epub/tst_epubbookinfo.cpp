// The book record of EPUB books: package metadata, where the package is
// found, the cover and the files of the data folder.

#include "epubarchive.h"
#include "epubfixture.h"
#include "epubnovelparser.h"
#include "epubparser.h"
#include "imagefixtures.h"
#include "keys.h"
#include "logcapture.h"
#include "novelinfo.h"
#include "testenvironment.h"

#include <QDir>
#include <QImage>
#include <QtTest>

#include <functional>
#include <memory>

namespace {

using Fixture = std::function<void(EpubFixture &)>;

QByteArray image(int width, int height, QColor color = Qt::red)
{
    QImage picture(width, height, QImage::Format_RGB32);
    picture.fill(color);
    return encodedImage(picture, "PNG");
}

void oneChapter(EpubFixture &epub)
{
    epub.addDocument("c1", "c1.xhtml", "One");
}

}

Q_DECLARE_METATYPE(Fixture)

class TestEpubBookInfo : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TestEnvironment> env;

    QString write(const Fixture &build, const QString &name = QStringLiteral("book.epub"))
    {
        EpubFixture epub;
        build(epub);
        const QString path = env->root() + QLatin1Char('/') + name;
        return epub.write(path) ? path : QString();
    }

    std::unique_ptr<NovelInfo> bookInfo(const QString &path)
    {
        EpubParser parser;
        const ParseResult result = parser.parseBookInfo(path);
        // As after the import's commit: the staged files are the book's.
        if (result.success)
            parser.folderStage()->swapIn();
        return std::unique_ptr<NovelInfo>(result.success ? result.novel : nullptr);
    }

private slots:
    void init() { env.reset(new TestEnvironment); }
    void cleanup() { env.reset(); }

    void metadata_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QString>("metadata");
        // title|author|language|description|publisher|publishDate|isbn
        QTest::addColumn<QString>("expected");

        QTest::newRow("defaults") << "Some.Title.epub" << QString() << "Some|未知作者|zh_CN|未知简介|未知出版社||";
        QTest::newRow("every field") << "b.epub"
            << "<dc:title>山路</dc:title><dc:creator>林川</dc:creator><dc:language>en</dc:language>"
               "<dc:description> Long </dc:description><dc:publisher>P</dc:publisher>"
               "<dc:date>2020-01-02</dc:date><dc:identifier scheme=\"isbn\">978-7</dc:identifier>"
            << "山路|林川|en| Long |P|2020-01-02|978-7";
        QTest::newRow("creators joined; a title opened by a comment is absent")
            << "b.epub" << "<dc:title><!-- x -->T</dc:title><dc:creator>A</dc:creator><dc:creator>B</dc:creator>"
            << "b|A, B|zh_CN|未知简介|未知出版社||";
        QTest::newRow("first title is the main one; white space collapsed")
            << "b.epub" << "<dc:title> Main\n  Title </dc:title><dc:title>Subtitle</dc:title>"
               "<dc:creator>A\n B</dc:creator>"
            << "Main Title|A B|zh_CN|未知简介|未知出版社||";
        QTest::newRow("zh-CN") << "b.epub" << "<dc:language>zh-CN</dc:language>" << "b|未知作者|zh_CN|未知简介|未知出版社||";
        QTest::newRow("zh-cn") << "b.epub" << "<dc:language>zh-cn</dc:language>" << "b|未知作者|zh-cn|未知简介|未知出版社||";
        QTest::newRow("prefixed or missing scheme is no ISBN")
            << "b.epub" << "<dc:identifier opf:scheme=\"ISBN\">1</dc:identifier><dc:identifier>2</dc:identifier>"
            << "b|未知作者|zh_CN|未知简介|未知出版社||";
    }

    void metadata()
    {
        QFETCH(QString, fileName);
        QFETCH(QString, metadata);
        QFETCH(QString, expected);
        const QString path = write([&](EpubFixture &epub) {
            oneChapter(epub);
            epub.metadata = metadata;
        }, fileName);
        const auto novel = bookInfo(path);
        QVERIFY(novel);
        QCOMPARE(QStringList({novel->title(), novel->author(), novel->language(), novel->description(),
                              novel->publisher(), novel->publishDate(), novel->isbn()})
                     .join(QLatin1Char('|')),
                 expected);
        QCOMPARE(novel->fileSize(), QFileInfo(path).size());
    }

    // Where the package and its cover are found.
    void packageAndCover_data()
    {
        QTest::addColumn<QString>("opfPath");
        QTest::addColumn<bool>("container");
        QTest::addColumn<QString>("metadata");
        QTest::addColumn<QStringList>("images");   // "id href colour", colour "junk" for no picture
        QTest::addColumn<QColor>("cover");         // invalid: no cover

        const QString opf = QStringLiteral("OEBPS/content.opf");
        const QString coverMeta = QStringLiteral("<meta name=\"cover\" content=\"%1\"/>");
        QTest::newRow("package at the root") << "content.opf" << true << "" << QStringList{"img pics/c.png red"}
                                             << QColor(Qt::red);
        QTest::newRow("cover above the package folder") << "OPS/book.opf" << true << coverMeta.arg("pic")
                                                        << QStringList{"pic ../images/cover.jpg blue"} << QColor(Qt::blue);
        QTest::newRow("no container, upper-case suffix") << "OEBPS/Book.OPF" << false << "" << QStringList() << QColor();
        QTest::newRow("cover id missing: an image named cover") << opf << true << coverMeta.arg("nothing")
            << QStringList{"a-img a.png red", "b-img Cover.png blue"} << QColor(Qt::blue);
        QTest::newRow("otherwise the first image by id") << opf << true << ""
                                                         << QStringList{"z z.png blue", "m m.png red"} << QColor(Qt::red);
        QTest::newRow("percent-encoded cover name") << opf << true << "" << QStringList{"c my%20cover.png blue"}
                                                    << QColor(Qt::blue);
        QTest::newRow("cover that is no image") << opf << true << "" << QStringList{"c cover.png junk"} << QColor();
    }

    void packageAndCover()
    {
        QFETCH(QString, opfPath);
        QFETCH(bool, container);
        QFETCH(QString, metadata);
        QFETCH(QStringList, images);
        QFETCH(QColor, cover);
        const auto novel = bookInfo(write([&](EpubFixture &epub) {
            epub.opfPath = opfPath;
            epub.withContainer = container;
            oneChapter(epub);
            if (!metadata.isEmpty())
                epub.metadata = metadata;
            for (const QString &item : images) {
                const QStringList f = item.split(' ');
                epub.addItem(f[0], f[1], f[1].endsWith(".jpg") ? "image/jpeg" : "image/png",
                             f[2] == "junk" ? QByteArray("not a picture") : image(40, 60, QColor(f[2])));
            }
        }));
        QVERIFY(novel);
        QFile opf(novel->dataDir() + ".opf_path");
        QVERIFY(opf.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(opf.readAll()), opfPath);
        const QString coverPath = novel->dataDir() + "cover.png";
        QCOMPARE(novel->coverPath(), cover.isValid() ? coverPath : QString());
        const QImage stored(coverPath);
        QCOMPARE(stored.isNull() ? QColor() : stored.pixelColor(stored.width() / 2, stored.height() / 2), cover);
    }

    void coverSize_data()
    {
        QTest::addColumn<QSize>("source");
        QTest::addColumn<QSize>("stored");
        QTest::newRow("tall, decoded as is and cropped") << QSize(400, 1000) << QSize(400, 560);
        QTest::newRow("tall, decoded narrower") << QSize(600, 1500) << QSize(512, 717);
        QTest::newRow("large") << QSize(3000, 2000) << QSize(1600, 1066);
        QTest::newRow("small, enlarged") << QSize(400, 600) << QSize(1066, 1600);
    }

    void coverSize()
    {
        QFETCH(QSize, source);
        QFETCH(QSize, stored);
        const QByteArray png = EpubNovelParser::convertCover(image(source.width(), source.height()));
        QCOMPARE(QImage::fromData(png, "PNG").size(), stored);
    }

    // The header is read, the canvas never allocated.
    void coverBombRefused()
    {
        LogCapture log;
        QVERIFY(EpubNovelParser::convertCover("P6\n12000 12000\n255\n").isEmpty());
        QVERIFY(log.lines(QtWarningMsg).join(QString()).contains(QStringLiteral("过大")));
    }

    void entrySizeLimit_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<bool>("read");
        QTest::newRow("exactly 10 MiB") << 10485760 << true;
        QTest::newRow("one byte more") << 10485761 << false;
    }

    void entrySizeLimit()
    {
        QFETCH(int, size);
        QFETCH(bool, read);
        const QString path = env->root() + "/big.zip";
        QVERIFY(writeZipFile(path, {{"big", QByteArray(size, 'x')}}));
        EpubArchive zip(path);
        QCOMPARE(zip.readEntry(QStringLiteral("big")).size(), read ? size : 0);
        QCOMPARE(zip.readEntry(QStringLiteral("BIG")).size(), 0);
    }

    // A new import of the same path starts from a clean data folder.
    void reimportReplacesFiles()
    {
        const QString path = write([](EpubFixture &epub) {
            oneChapter(epub);
            epub.addItem("c", "cover.png", "image/png", image(10, 10));
        });
        const QString dir = bookInfo(path)->dataDir();
        for (const char *stale : {"cover.jpg", ".epub_meta", ".opf_path"}) {
            QFile file(dir + QLatin1String(stale));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("stale");
        }
        write([](EpubFixture &epub) { oneChapter(epub); });
        const auto again = bookInfo(path);
        QVERIFY(again);
        QVERIFY(again->coverPath().isEmpty());
        QCOMPARE(QDir(dir).entryList(QDir::Files | QDir::Hidden), QStringList{".opf_path"});
    }

    void notAnArchive()
    {
        const QString path = env->root() + "/plain.epub";
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("just text");
        file.close();
        const auto novel = bookInfo(path);
        QVERIFY(novel);
        QCOMPARE(novel->title(), QStringLiteral("plain"));
        QVERIFY(!QFile::exists(novel->dataDir() + ".opf_path"));
    }
};

QTEST_MAIN(TestEpubBookInfo)
#include "tst_epubbookinfo.moc"
