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
        // A reader blocked on the FIFO ends with the writer's end closed.
        const int writer = ::open(QFile::encodeName(env->root() + "/outside/fifo").constData(), O_WRONLY | O_NONBLOCK);
        if (writer >= 0)
            ::close(writer);
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

    // A drawing naming a red picture, a style sheet that paints red and a
    // FIFO, all outside the book, in each place a book holds a picture and
    // in each encoding Qt's SVG reader takes: the import ends in time,
    // nothing outside is opened and no saved picture or page shows red.
    void nothingOutsideOpened_data()
    {
        QTest::addColumn<QString>("carrier");
        QTest::addColumn<QString>("encoding");
        QTest::addColumn<QString>("suffix");
        const QStringList carriers{"EPUB img", "EPUB spine item", "EPUB inline svg", "EPUB CSS background",
                                   "EPUB cover", "FB2 binary", "FB2 binary nothing names", "CBZ page",
                                   "CB7 page", "CBT page"};
        const QStringList encodings{"UTF-8", "UTF-16LE", "UTF-16BE", "UTF-32LE", "UTF-32BE", "UTF-16LE png"};
        for (const QString &carrier : carriers) {
            for (const QString &encoding : encodings) {
                const bool png = encoding.endsWith(" png") || carrier.startsWith("CB");
                QTest::newRow(qPrintable(carrier + ", " + encoding.section(' ', 0, 0) + (png ? " named .png" : "")))
                    << carrier << encoding.section(' ', 0, 0) << (png ? "png" : "svg");
            }
        }
        QTest::newRow("MOBI contents title") << "MOBI" << QString() << QString();
    }

    void nothingOutsideOpened()
    {
        QFETCH(QString, carrier);
        QFETCH(QString, encoding);
        QFETCH(QString, suffix);
        const QString out = env->root() + "/outside/";
        const QString text = QString("<?xml version=\"1.0\" encoding=\"%1\"?>\n"
                                     "<?xml-stylesheet type=\"text/css\" href=\"%2style.css\"?>\n"
                                     "<?xml-stylesheet type=\"text/css\" href=\"%2fifo\"?>\n")
                                 .arg(encoding.left(6), out)
            + drawing("<rect class=\"s\" width=\"64\" height=\"48\"/><image width=\"64\" height=\"48\" "
                      "xlink:href=\"" + out + "red.png\"/><image width=\"9\" height=\"9\" xlink:href=\"file://"
                      + out + "fifo\"/>");
        QByteArray bytes;
        if (!encoding.isEmpty()) {
            QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
            const QString marked = encoding == "UTF-8" ? text : QChar(QChar::ByteOrderMark) + text;
            bytes = QTextCodec::codecForName(encoding.toLatin1())->fromUnicode(marked.constData(), marked.size(), &state);
        }
        const QString name = "pic." + suffix;
        const QString type = suffix == "svg" ? "image/svg+xml" : "image/png";
        QString path = env->root() + "/book";
        bool written = false;
        if (carrier.startsWith("EPUB")) {
            EpubFixture epub;
            epub.addItem("pic", "images/" + name, carrier == "EPUB spine item" ? "image/svg+xml" : type, bytes);
            QString body = "<p>Text</p>";
            if (carrier == "EPUB img")
                body = "<p><img src=\"images/" + name + "\" alt=\"a\"/></p>";
            else if (carrier == "EPUB inline svg")
                body = QString::fromUtf8(drawing("<image width=\"64\" height=\"48\" xlink:href=\"images/" + name + "\"/>"));
            else if (carrier == "EPUB CSS background")
                body = "<p style=\"background:url(images/" + name + ")\">Text</p><div style=\"background-image:"
                       "url('images/" + name + "')\">Box</div>";
            else if (carrier == "EPUB cover")
                epub.metadata += "<meta name=\"cover\" content=\"pic\"/>";
            epub.addDocument("c1", "c1.xhtml", "Picture", body);
            if (carrier == "EPUB spine item")
                epub.spine << "pic";
            written = epub.write(path += ".epub");
        } else if (carrier.startsWith("FB2")) {
            const QByteArray named = carrier == "FB2 binary" ? "<image l:href=\"#pic\"/>" : "";
            written = Paths::writeFile(path += ".fb2",
                "<?xml version=\"1.0\" encoding=\"UTF-8\"?><FictionBook xmlns:l=\"http://www.w3.org/1999/xlink\">"
                "<description><title-info><book-title>Drawing</book-title><coverpage>" + named + "</coverpage>"
                "</title-info></description><body><section><title><p>Picture</p></title>" + named + "<p>After.</p>"
                "</section></body><binary id=\"pic\" content-type=\"" + type.toLatin1() + "\">"
                + bytes.toBase64() + "</binary></FictionBook>");
        } else if (carrier.startsWith("CB")) {
            // Past the 4 MiB the scan sizes pages from.
            if (carrier == "CB7 page")
                bytes += QByteArray(4300000, '\n');
            const QVector<FixtureEntry> pages{{"001.png", bytes}, {"002.png", picture(Own)}};
            written = carrier == "CBZ page" ? writeZip(path += ".cbz", pages)
                                            : writeArchive(path += carrier == "CB7 page" ? ".cb7" : ".cbt",
                                                           carrier == "CB7 page" ? "7z" : "tar", pages);
        } else {
            MobiFixture::Header header;
            header.compression = 1;
            header.fullName = "Headings";
            const QByteArray html = QString("<html><body><p>x</p><h1 id=\"a\">One<link rel=\"stylesheet\" "
                "href=\"%1style.css\"/><img src=\"%1red.png\"/><link rel=\"stylesheet\" href=\"%1fifo\"/></h1>"
                "<p>One text</p><h1 id=\"b\">Two<style>@import url(%1style.css);</style></h1><p>Two text</p>"
                "</body></html>").arg(out).toUtf8();
            header.textLength = quint32(html.size());
            written = Paths::writeFile(path += ".mobi",
                                       MobiFixture::palmDb("headings", {MobiFixture::headerRecord(header), html}));
        }
        QVERIFY(written);

        OpenWatch watch(out);
        QVERIFY(watch.valid());
        QVERIFY(importOutcome(*core, path, ImportTimeoutMs / 3) != QStringLiteral("timeout"));
        const QString id = md5Hex(path);
        QStringList pictures{coverPath(id)};
        for (QDirIterator it(dataDir(path), QDir::Files, QDirIterator::Subdirectories); it.hasNext();)
            pictures << it.next();
        for (const QString &picture : qAsConst(pictures)) {
            if (!picture.isEmpty())
                QVERIFY2(pixelsOf(PageImageLoader::loadImage(picture), qRgb(255, 0, 0)) == 0, qPrintable(picture));
        }
        for (QObject *chapter : core->getChaptersByNovelId(id)) {
            const QString chapterId = qobject_cast<ChapterInfo *>(chapter)->id();
            delete chapter;
            for (const QImage &page : readingPages(*core, id, chapterId))
                QVERIFY2(pixelsOf(page, qRgb(255, 0, 0)) == 0, qPrintable(chapterId));
        }
        QCOMPARE(watch.opened(), QStringList());
    }
};

QTEST_MAIN(TestSvgReferences)
#include "tst_svgreferences.moc"
