// SVG pictures from hostile books: a red picture the test leaves outside the
// book must never be drawn, however the drawing names it, and drawings that
// would cost without bound end as unreadable pictures.

#include "chapterinfo.h"
#include "coresession.h"
#include "epubfixture.h"
#include "imagefixtures.h"
#include "importoutcome.h"
#include "mobifixture.h"
#include "novelinfo.h"
#include "openwatch.h"
#include "pageimageloader.h"
#include "readingpages.h"

#include <QDir>
#include <QDirIterator>
#include <QTextCodec>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>

namespace {

const QRgb Own = qRgb(30, 144, 200);

QByteArray drawing(const QString &body)
{
    return QStringLiteral("<svg xmlns=\"http://www.w3.org/2000/svg\" xmlns:xlink=\"http://www.w3.org/1999/xlink\" "
                          "width=\"64\" height=\"48\"><rect width=\"64\" height=\"48\" fill=\"white\"/>%1</svg>")
        .arg(body).toUtf8();
}

QByteArray picture(QRgb colour)
{
    QImage image(64, 48, QImage::Format_RGB32);
    image.fill(colour);
    return encodedImage(image, "PNG");
}

}

class TestSvgReferences : public QObject, private CoreSession
{
    Q_OBJECT

    QString m_outside;

    // The drawing as the row wrote it, with its own picture named as `own`.
    QByteArray rowDrawing(const QString &own)
    {
        QFETCH(QString, body);
        QString text = body;
        const QString nested = QString::fromLatin1(
            drawing(QStringLiteral("<image width=\"64\" height=\"48\" xlink:href=\"%1\"/>").arg(m_outside)).toBase64());
        text.replace("{OUT}", m_outside).replace("{CLIMB}", QString("../").repeated(24) + m_outside.mid(1));
        return drawing(text.replace("{NESTED}", nested).replace("{OWN}", own));
    }

    void checkPicture(const QImage &image, const char *where)
    {
        QFETCH(bool, own);
        QVERIFY2(pixelsOf(image, qRgb(255, 0, 0)) == 0, where);
        if (own)
            QVERIFY2(pixelsOf(image, Own) > 0, where);
    }

    QString chapterId(const QString &bookId)
    {
        QString id;
        for (QObject *chapter : core->getChaptersByNovelId(bookId)) {
            if (qobject_cast<ChapterInfo *>(chapter)->title() == QLatin1String("Picture"))
                id = qobject_cast<ChapterInfo *>(chapter)->id();
            delete chapter;
        }
        return id;
    }

    QString coverPath(const QString &bookId)
    {
        QScopedPointer<QObject> novel(core->getNovelInfo(bookId));
        return novel ? qobject_cast<NovelInfo *>(novel.data())->coverPath() : QString();
    }

private slots:
    void init()
    {
        QVERIFY(open());
        m_outside = env->root() + "/outside/red.png";
        QVERIFY(QDir().mkpath(env->root() + "/outside") && QDir().mkpath(env->root() + "/book"));
        QVERIFY(Paths::writeFile(m_outside, picture(qRgb(255, 0, 0))));
        QVERIFY(Paths::writeFile(env->root() + "/outside/style.css", ".s { fill: #ff0000 }"));
        QVERIFY(mkfifo(QFile::encodeName(env->root() + "/outside/fifo").constData(), 0600) == 0);
    }
    void cleanup()
    {
        // A reader blocked on the FIFO ends as the writer's end closes.
        ::close(::open(QFile::encodeName(env->root() + "/outside/fifo").constData(), O_WRONLY | O_NONBLOCK));
        close();
    }

    void drawingKeptInsideBook_data()
    {
        QTest::addColumn<QString>("body");
        QTest::addColumn<bool>("own");
        const QString image = "<image width=\"64\" height=\"48\" xlink:href=\"%1\"/>";
        QTest::newRow("the book's own picture") << image.arg("{OWN}") << true;
        QTest::newRow("absolute path") << image.arg("{OUT}") << false;
        QTest::newRow("file URL") << image.arg("file://{OUT}") << false;
        QTest::newRow("climbing relative") << image.arg("{CLIMB}") << false;
        QTest::newRow("drawing in a data URI") << image.arg("data:image/svg+xml;base64,{NESTED}") << false;
        QTest::newRow("use") << "<use xlink:href=\"{OUT}#a\"/><use xlink:href=\"file://{OUT}\"/>" << false;
        QTest::newRow("feImage") << "<filter id=\"f\"><feImage xlink:href=\"{OUT}\"/></filter>"
                                    "<rect width=\"64\" height=\"48\" filter=\"url(#f)\"/>" << false;
        QTest::newRow("CSS url") << "<style>@import url(file://{OUT}); rect{fill:url({OUT})}</style>"
                                    "<rect width=\"64\" height=\"48\" style=\"fill:url(file://{OUT})\"/>" << false;
        QTest::newRow("100,000 gradient stops")
            << "<linearGradient id=\"g\">" + QString("<stop offset=\"0.5\" stop-color=\"red\"/>").repeated(100000)
                + "</linearGradient><rect width=\"64\" height=\"48\" fill=\"url(#g)\"/>" << false;
        QTest::newRow("a million elements") << QString("<g/>").repeated(1000000) << false;
        QString uses = "<defs><g id=\"u0\"><rect width=\"64\" height=\"48\" fill=\"red\"/></g>";
        for (int i = 1; i <= 30; ++i)
            uses += QString("<g id=\"u%1\"><use xlink:href=\"#u%2\"/><use xlink:href=\"#u%2\"/></g>").arg(i).arg(i - 1);
        QTest::newRow("uses repeating uses") << uses + "</defs><use xlink:href=\"#u30\"/>" << false;
        QTest::newRow("uses of an id defined again")
            << "<defs><rect id=\"p\" width=\"64\" height=\"48\" fill=\"red\"/><g id=\"a\">"
                + QString("<use xlink:href=\"#p\"/>").repeated(1000) + "</g><g id=\"b\">"
                + QString("<use xlink:href=\"#a\"/>").repeated(1000) + "</g></defs><use xlink:href=\"#b\"/><g id=\"a\"/>"
            << false;
    }

    // Through the EPUB import (cover and a chapter's picture), the FB2
    // import (cover and picture) and the page loader on a file beside its
    // picture, as KF8 books store their drawings.
    void drawingKeptInsideBook()
    {
        EpubFixture epub;
        epub.metadata += "<meta name=\"cover\" content=\"cover\"/>";
        epub.addItem("own", "images/own.png", "image/png", picture(Own));
        epub.addItem("cover", "images/cover.svg", "image/svg+xml", rowDrawing("own.png"));
        epub.addDocument("c1", "c1.xhtml", "Picture", "<p><img src=\"images/cover.svg\" alt=\"Alt\"/></p>");
        const QString epubPath = env->root() + "/book.epub";
        QVERIFY(epub.write(epubPath));
        QCOMPARE(importOutcome(*core, epubPath), QStringLiteral("ok"));
        const QString epubCover = coverPath(md5Hex(epubPath));
        QFETCH(bool, own);
        QVERIFY(!own || !epubCover.isEmpty());
        if (!epubCover.isEmpty())
            checkPicture(QImage(epubCover), "EPUB cover");
        checkPicture(readingPage(*core, md5Hex(epubPath), chapterId(md5Hex(epubPath)), 0), "EPUB page");

        const QString fb2Path = env->root() + "/book.fb2";
        QVERIFY(Paths::writeFile(fb2Path,
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?><FictionBook xmlns:l=\"http://www.w3.org/1999/xlink\">"
            "<description><title-info><book-title>Drawing</book-title><coverpage><image l:href=\"#cover\"/>"
            "</coverpage></title-info></description><body><section><title><p>Picture</p></title>"
            "<image l:href=\"#cover\"/><p>After.</p></section></body><binary id=\"own\" content-type=\"image/png\">"
            + picture(Own).toBase64() + "</binary><binary id=\"cover\" content-type=\"image/svg+xml\">"
            + rowDrawing("#own").toBase64() + "</binary></FictionBook>"));
        QCOMPARE(importOutcome(*core, fb2Path), QStringLiteral("ok"));
        const QString fb2Cover = coverPath(md5Hex(fb2Path));
        if (!fb2Cover.isEmpty())
            checkPicture(PageImageLoader::loadImage(fb2Cover), "FB2 cover");
        checkPicture(readingPage(*core, md5Hex(fb2Path), chapterId(md5Hex(fb2Path)), 0), "FB2 page");

        const QString file = env->root() + "/book/drawing.svg";
        QVERIFY(Paths::writeFile(env->root() + "/book/own.png", picture(Own)));
        QVERIFY(Paths::writeFile(file, rowDrawing("own.png")));
        checkPicture(PageImageLoader::loadImage(file), "file");
    }

    // A drawing naming a red picture, a style sheet painting red and a FIFO,
    // all outside the book, in each place a book holds a picture and each
    // encoding Qt's SVG reader takes: the import ends in time, nothing
    // outside is opened, no saved picture or page shows red.
    void nothingOutsideOpened_data()
    {
        QTest::addColumn<QString>("carrier");
        QTest::addColumn<QByteArray>("codec");
        for (const char *carrier : {"img", "spine", "inline", "background", "cover", "fb2", "fb2 unnamed", "cbz",
                                    "cb7", "cbt"}) {
            // "bare": no mark, no declaration; "wide": the mark, then 5000 spaces.
            for (const char *codec : {"UTF-8", "UTF-16LE", "UTF-16BE", "UTF-32LE", "UTF-32BE", "UTF-16LE .png",
                                      "UTF-16BE bare", "UTF-16LE wide", "UTF-8 wide"})
                QTest::addRow("%s, %s", carrier, codec) << carrier << QByteArray(codec);
        }
        QTest::newRow("MOBI contents title") << "mobi" << QByteArray();
    }

    void nothingOutsideOpened()
    {
        QFETCH(QString, carrier);
        QFETCH(QByteArray, codec);
        const QString out = env->root() + "/outside/",
                      name = codec.endsWith("png") || carrier.startsWith("cb") ? "pic.png" : "pic.svg";
        const bool bare = codec.endsWith("bare"), wide = codec.endsWith("wide");
        const QString declaration
            = bare || wide ? QString() : QString("<?xml version=\"1.0\" encoding=\"%1\"?>").arg(QString(codec.left(6)));
        const QString text = declaration
            + QString("<?xml-stylesheet type=\"text/css\" href=\"%1style.css\"?>"
                      "<?xml-stylesheet type=\"text/css\" href=\"%1fifo\"?>").arg(out)
            + drawing("<rect class=\"s\" width=\"64\" height=\"48\"/><image width=\"64\" height=\"48\" xlink:href=\""
                + out + "red.png\"/>");
        const QString marked
            = codec == "UTF-8" || bare ? text : QChar(QChar::ByteOrderMark) + QString(wide ? 5000 : 0, ' ') + text;
        QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
        QByteArray bytes = codec.isEmpty()
            ? QByteArray()
            : QTextCodec::codecForName(codec.split(' ').first())->fromUnicode(marked.constData(), marked.size(), &state);
        const QByteArray type = name.endsWith("png") ? "image/png" : "image/svg+xml",
                         named = carrier == "fb2" ? "<image l:href=\"#pic\"/>" : "";
        QString path = env->root() + "/book.";
        if (carrier.startsWith("fb2")) {
            QVERIFY(Paths::writeFile(path += "fb2",
                "<FictionBook xmlns:l=\"http://www.w3.org/1999/xlink\"><description><title-info><book-title>B"
                "</book-title><coverpage>" + named + "</coverpage></title-info></description><body><section><p>A</p>"
                    + named + "</section></body><binary id=\"pic\" content-type=\"" + type + "\">"
                    + bytes.toBase64() + "</binary></FictionBook>"));
        } else if (carrier.startsWith("cb")) {
            bytes += QByteArray(carrier == "cb7" ? 4300000 : 0, ' '); // past the 4 MiB the scan sizes pages from
            const QVector<FixtureEntry> pages{{"001.png", bytes}, {"002.png", picture(Own)}};
            QVERIFY(carrier == "cbz" ? writeZip(path += "cbz", pages)
                                     : writeArchive(path += carrier, carrier == "cb7" ? "7z" : "tar", pages));
        } else if (carrier == "mobi") {
            MobiFixture::Header header;
            header.compression = 1;
            const QByteArray html = QString(
                "<p>x</p><h1 id=\"a\">One<link rel=\"stylesheet\" href=\"%1style.css\"/><img src=\"%1red.png\"/>"
                "<link rel=\"stylesheet\" href=\"%1fifo\"/></h1><p>1</p><h1 id=\"b\">Two<style>@import "
                "url(%1style.css);</style></h1><p>2</p>").arg(out).toUtf8();
            header.textLength = quint32(html.size());
            QVERIFY(Paths::writeFile(
                path += "mobi", MobiFixture::palmDb("m", {MobiFixture::headerRecord(header), html})));
        } else {
            EpubFixture epub;
            epub.addItem("pic", "images/" + name, carrier == "spine" ? "image/svg+xml" : type, bytes);
            const QHash<QString, QString> bodies{{"img", "<img src=\"%1\"/>"},
                {"background", "<p style=\"background:url(%1)\">A</p>"},
                {"inline", drawing("<image width=\"64\" height=\"48\" xlink:href=\"%1\"/>")}};
            epub.addDocument("c1", "c1.xhtml", "Picture", bodies.value(carrier, "<p>A</p>").arg("images/" + name));
            epub.metadata += carrier == "cover" ? "<meta name=\"cover\" content=\"pic\"/>" : "";
            epub.spine << (carrier == "spine" ? QStringList("pic") : QStringList());
            QVERIFY(epub.write(path += "epub"));
        }
        OpenWatch watch(out);
        QVERIFY(importOutcome(*core, path, ImportTimeoutMs / 3) != QStringLiteral("timeout"));
        QStringList pictures(coverPath(md5Hex(path)));
        for (QDirIterator it(dataDir(path), QDir::Files, QDirIterator::Subdirectories); it.hasNext();)
            pictures << it.next();
        for (QObject *chapter : core->getChaptersByNovelId(md5Hex(path))) {
            for (const QImage &page : readingPages(*core, md5Hex(path), qobject_cast<ChapterInfo *>(chapter)->id()))
                QCOMPARE(pixelsOf(page, qRgb(255, 0, 0)), 0);
            delete chapter;
        }
        for (const QString &picture : qAsConst(pictures))
            QVERIFY2(picture.isEmpty() || pixelsOf(PageImageLoader::loadImage(picture), qRgb(255, 0, 0)) == 0,
                qPrintable(picture));
        QCOMPARE(watch.opened(), QStringList());
    }
};

QTEST_MAIN(TestSvgReferences)
#include "tst_svgreferences.moc"
