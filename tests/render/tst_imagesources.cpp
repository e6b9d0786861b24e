#include "archiveimageloader.h"
#include "imagefixtures.h"
#include "pageimageloader.h"
#include "pdfpageloader.h"

#include <QFile>
#include <QPainter>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QByteArray png(int w, int h)
{
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    return encodedImage(image, "PNG");
}

}

class TestImageSources : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    QString m_zip;     // holds "p/1.png" and a page under a GBK-encoded name
    QString m_archive; // a tar whose own name holds "::"
    QString m_file;

    QString path(const QString &name) const { return m_dir.filePath(name); }

private slots:
    // First, while the process's peak memory is still low.
    void bombRefused()
    {
        static const QByteArray bomb = pngBomb(12000, 12000);
        const qint64 before = peakMemoryKiB();
        QVERIFY(PageImageLoader::decodeScaled(bomb).isNull());
        QCOMPARE(PageImageLoader::imageSizeFromBytes(bomb), QSize(12000, 12000));
        QVERIFY(peakMemoryKiB() - before < 32 * 1024);
    }

    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_zip = path("book.cbz");
        QVERIFY(writeZip(m_zip, {{"p/1.png", png(30, 20)}, {"\xb5\xda\x32\xd2\xb3.png", png(40, 10)}}));
        m_archive = path("x::y.cbt");
        QVERIFY(writeArchive(m_archive, "tar", {{"img/2.png", png(10, 50)}}));
        m_file = path("page.png");
        QFile file(m_file);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(png(800, 600));
    }

    void parsePdfUrl_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("page");
        QTest::addColumn<int>("dpi");
        QTest::addColumn<bool>("valid");
        QTest::newRow("full") << "pdf:///books/a.pdf?page=3&dpi=150" << "/books/a.pdf" << 3 << 150 << true;
        QTest::newRow("no page") << "pdf:///a.pdf?dpi=150" << "/a.pdf" << -1 << 150 << false;
        QTest::newRow("zero dpi") << "pdf:///a.pdf?page=0&dpi=0" << "/a.pdf" << 0 << 0 << false;
        QTest::newRow("no query") << "pdf:///a.pdf" << "" << -1 << 0 << false;
        QTest::newRow("empty path") << "pdf://?page=1&dpi=72" << "" << 1 << 72 << false;
        QTest::newRow("page not a number") << "pdf:///a.pdf?page=x&dpi=96" << "/a.pdf" << 0 << 96 << true;
        QTest::newRow("later key wins") << "pdf:///a.pdf?page=1&dpi=96&page=2" << "/a.pdf" << 2 << 96 << true;
        QTest::newRow("empty part") << "pdf:///a.pdf?page=1&&dpi=96" << "/a.pdf" << 1 << 96 << true;
        QTest::newRow("question mark in name") << "pdf:///b/why?.pdf?page=4&dpi=72" << "/b/why?.pdf" << 4 << 72 << true;
        QTest::newRow("other scheme") << "PDF:///a.pdf?page=1&dpi=72" << "" << -1 << 0 << false;
    }
    void parsePdfUrl()
    {
        QFETCH(QString, source);
        const PdfPageUrl url = PdfPageLoader::parsePdfUrl(source);
        QTEST(url.path, "path");
        QTEST(url.page, "page");
        QTEST(url.dpi, "dpi");
        QTEST(url.valid, "valid");
    }

    void parseEntryUrl_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("container");
        QTest::addColumn<QString>("entry");
        QTest::newRow("zip splits at the first ::") << "zip:///b/book.epub::OEBPS/img/a::b.png"
                                                   << "/b/book.epub" << "OEBPS/img/a::b.png";
        QTest::newRow("zipraw splits at the last ::") << "zipraw:///b/x::y.cbz::cC8xLnBuZw=="
                                                     << "/b/x::y.cbz" << "cC8xLnBuZw==";
        QTest::newRow("zip without ::") << "zip:///b/book.epub" << "" << "";
        QTest::newRow("upper-case prefix") << "ZIP:///x.zip::a.png" << "" << "";
        QTest::newRow("archive splits at the last ::") << "archive:///b/x::y.cbr::aW1nLzIucG5n"
                                                      << "/b/x::y.cbr" << "img/2.png";
        QTest::newRow("archive name cut at NUL") << "archive:///a.cbr::YQBi" << "/a.cbr" << "a";
        QTest::newRow("archive without ::") << "archive:///a.cbr" << "" << "";
    }
    void parseEntryUrl()
    {
        QFETCH(QString, source);
        const EntryRef ref = source.startsWith("archive") ? ArchiveImageLoader::parseArchiveUrl(source)
                                                          : ArchiveImageLoader::parseZipUrl(source);
        QTEST(ref.containerPath, "container");
        QTEST(ref.entryName, "entry");
    }

    void decodeScaled_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QSize>("decoded");
        QTest::newRow("small png scaled up") << png(800, 600) << QSize(2048, 1536);
        QTest::newRow("wide png scaled down") << png(4096, 1024) << QSize(2048, 512);
        QTest::newRow("fits already") << png(2048, 100) << QSize(2048, 100);
        QImage tall(1500, 3000, QImage::Format_RGB32);
        tall.fill(Qt::gray);
        QTest::newRow("jpeg scaled down") << encodedImage(tall, "JPEG", 80) << QSize(1024, 2048);
        QTest::newRow("empty") << QByteArray() << QSize(0, 0);
        QTest::newRow("not an image") << QByteArray("plain words") << QSize(0, 0);
    }
    void decodeScaled()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QSize, decoded);
        QCOMPARE(PageImageLoader::decodeScaled(bytes).size(), decoded);
    }

    // Natural size from imageSize; the decoded image fits 2048 x 2048.
    void sources_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<QSize>("natural");
        QTest::addColumn<QSize>("decoded");
        const QSize none(-1, -1);
        QTest::newRow("file") << m_file << QSize(800, 600) << QSize(2048, 1536);
        QTest::newRow("zip") << "zip://" + m_zip + "::p/1.png" << QSize(30, 20) << QSize(2048, 1365);
        QTest::newRow("zipraw, non-UTF-8 name")
            << "zipraw://" + m_zip + "::" + QByteArray("\xb5\xda\x32\xd2\xb3.png").toBase64()
            << QSize(40, 10) << QSize(2048, 512);
        QTest::newRow("zip, missing entry") << "zip://" + m_zip + "::p/9.png" << none << QSize(0, 0);
        QTest::newRow("archive with :: in its name")
            << "archive://" + m_archive + "::" + QByteArray("img/2.png").toBase64() << QSize(10, 50) << QSize(409, 2048);
        QTest::newRow("pdf, not rendered yet") << "pdf:///a.pdf?page=0&dpi=72" << none << QSize(0, 0);
        QTest::newRow("pdf, malformed") << "pdf:///a.pdf" << none << QSize(0, 0);
        QTest::newRow("upper-case prefix is a file") << "ZIP://" + m_zip + "::p/1.png" << none << QSize(0, 0);
        QTest::newRow("missing file") << path("nothing.png") << none << QSize(0, 0);
    }
    void sources()
    {
        QFETCH(QString, source);
        QTEST(PageImageLoader::imageSize(source), "natural");
        QTEST(PageImageLoader::loadImage(source).size(), "decoded");
    }
};

QTEST_GUILESS_MAIN(TestImageSources)
#include "tst_imagesources.moc"
