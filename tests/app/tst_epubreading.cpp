#include "applicationcore.h"
#include "chapterinfo.h"
#include "epubfixture.h"
#include "fontregistry.h"
#include "imagefixtures.h"
#include "importoutcome.h"
#include "installedfonts.h"
#include "keys.h"
#include "readingpages.h"
#include "testenvironment.h"

#include <QtTest>

#include <memory>

namespace {

const QRgb Picture = qRgb(30, 144, 200);
const QRgb Paper = qRgb(255, 255, 255);
const QString Words = QStringLiteral("The road climbed on through the pines to the old town wall.");

QByteArray document(const QString &title, const QString &body)
{
    return QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                          "<html xmlns=\"http://www.w3.org/1999/xhtml\"><head><title>%1</title>"
                          "<link rel=\"stylesheet\" type=\"text/css\" href=\"book.css\"/></head>"
                          "<body>%2</body></html>\n")
        .arg(title, body).toUtf8();
}

}

// An EPUB with a picture and an embedded font, imported through the real
// core and read back page by page as the reading page asks for the images.
class TestEpubReading : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestEnvironment> env;
    std::unique_ptr<ApplicationCore> core;
    QString bookId;
    QHash<QString, QString> chapterIds;  // by title

    // Page index of the chapter as served to the reading page (-1: its last).
    QImage page(const QString &title, int index)
    {
        return readingPage(*core, bookId, chapterIds.value(title), index);
    }

private slots:
    void initTestCase()
    {
        env.reset(new TestEnvironment);
        QVERIFY(env->openDatabase());
        QImage picture(120, 90, QImage::Format_RGB32);
        picture.fill(Picture);
        const QByteArray serif = installedFontData(QStringLiteral("DejaVuSerif.ttf"));
        QVERIFY(!serif.isEmpty());

        EpubFixture epub;
        epub.addItem("css", "book.css", "text/css",
                     "@font-face{font-family:Book;src:url(fonts/serif.ttf)}p.book{font-family:Book}");
        epub.addItem("font", "fonts/serif.ttf", "application/vnd.ms-opentype", serif);
        epub.addItem("pic", "images/pic.png", "image/png", encodedImage(picture, "PNG"));
        epub.addItem("spaced", "images/my%20pic.jpg", "image/jpeg", encodedImage(picture, "PNG"));
        const QString para = QStringLiteral("<p>%1</p>").arg(Words);
        const QVector<QPair<QString, QString>> chapters{
            {"Words", para},
            {"Picture", "<h1>Picture</h1>" + para + "<p><img src=\"images/pic.png\" alt=\"\"/></p>" + para},
            {"Only a picture", "<div><img src=\"images/pic.png\"/></div>"},
            {"Long", para.repeated(30) + "<p><img src=\"images/pic.png\"/></p>"},
            {"Spaced name", "<p><img src=\"images/my%20pic.jpg\"/></p>"},
            {"Own font", QStringLiteral("<p class=\"book\">%1</p>").arg(Words)}};
        QString points;
        for (int i = 0; i < chapters.size(); ++i) {
            const QString id = QStringLiteral("c%1").arg(i);
            epub.addItem(id, id + ".xhtml", "application/xhtml+xml",
                         document(chapters.at(i).first, chapters.at(i).second));
            epub.spine << id;
            points += EpubFixture::navPoint(chapters.at(i).first, id + ".xhtml");
        }
        // A cover-style page one folder down, its picture inside SVG.
        epub.addItem("sub", "text/cover.xhtml", "application/xhtml+xml",
                     document("Cover", "<div><svg xmlns=\"http://www.w3.org/2000/svg\" "
                                       "xmlns:xlink=\"http://www.w3.org/1999/xlink\">"
                                       "<image xlink:href=\"../images/pic.png\"/></svg></div>"));
        epub.spine << "sub";
        points += EpubFixture::navPoint("Cover", "text/cover.xhtml");
        epub.addNcx("toc.ncx", EpubFixture::ncx(points));
        const QString path = env->root() + QStringLiteral("/pictures.epub");
        QVERIFY(epub.write(path));

        core.reset(new ApplicationCore);
        QCOMPARE(importOutcome(*core, path), QStringLiteral("ok"));
        bookId = md5Hex(path);
        for (QObject *chapter : core->getChaptersByNovelId(bookId)) {
            const auto *info = qobject_cast<ChapterInfo *>(chapter);
            chapterIds.insert(info->title(), info->id());
            delete chapter;
        }
        QCOMPARE(chapterIds.size(), chapters.size() + 1);
        // As after a restart: opening the book must bring its fonts back.
        FontRegistry::instance().clearAll();
    }

    // Every page shows ink; a picture's page shows its pixels, scaled no
    // smaller than drawn; the embedded font draws the same words differently.
    void pages_data()
    {
        QTest::addColumn<QString>("chapter");
        QTest::addColumn<int>("page");           // -1: the chapter's last
        QTest::addColumn<bool>("picture");
        QTest::addColumn<QString>("differsFrom");  // a chapter with the same words

        QTest::newRow("text") << "Words" << 0 << false << "";
        QTest::newRow("picture between words") << "Picture" << 0 << true << "";
        QTest::newRow("picture alone") << "Only a picture" << 0 << true << "";
        QTest::newRow("first of many pages") << "Long" << 0 << false << "";
        QTest::newRow("picture on a later page") << "Long" << -1 << true << "";
        QTest::newRow("escaped name, PNG bytes in a .jpg") << "Spaced name" << 0 << true << "";
        QTest::newRow("SVG-wrapped, one folder up") << "Cover" << 0 << true << "";
        QTest::newRow("embedded font") << "Own font" << 0 << false << "Words";
    }
    void pages()
    {
        QFETCH(QString, chapter);
        QFETCH(int, page);
        QFETCH(bool, picture);
        QFETCH(QString, differsFrom);
        const QImage shown = this->page(chapter, page);
        QVERIFY(!shown.isNull());
        QCOMPARE(shown.size(), QSize(360, 480));
        QVERIFY(pixelsOf(shown, Paper) < shown.width() * shown.height());
        if (page < 0)
            QVERIFY(core->getChapterPageCount(chapterIds.value(chapter)) > 1);
        const int pictureArea = pixelsOf(shown, Picture);
        QVERIFY2(picture ? pictureArea >= 120 * 90 : pictureArea == 0,
                 qPrintable(QString::number(pictureArea)));
        if (!differsFrom.isEmpty())
            QVERIFY(shown != this->page(differsFrom, 0));
    }

    void cleanupTestCase()
    {
        core.reset();
        env.reset();
    }
};

QTEST_MAIN(TestEpubReading)
#include "tst_epubreading.moc"
