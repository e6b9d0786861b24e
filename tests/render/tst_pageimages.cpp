#include "archiveimageloader.h"
#include "imagefixtures.h"
#include "pageimageloader.h"
#include "pdfpageloader.h"
#include "zipimageloader.h"

#include <QDir>
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

const QByteArray GbkName("\xb5\xda\x32\xd2\xb3.png");

} // namespace

class TestPageImages : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    const QByteArray m_exact = QByteArray(52428800, 'z');
    const QByteArray m_first = png(30, 20);

    QString path(const QString &name) const { return m_dir.filePath(name); }

private slots:
    void initTestCase()
    {
        // Before the large fixtures, while the process's peak memory is still low.
        const QByteArray bomb = pngBomb(12000, 12000);
        const qint64 before = peakMemoryKiB();
        QVERIFY(PageImageLoader::decodeScaled(bomb).isNull());
        QCOMPARE(PageImageLoader::imageSizeFromBytes(bomb), QSize(12000, 12000));
        QVERIFY(peakMemoryKiB() - before < 32 * 1024);

        QVERIFY(m_dir.isValid());
        const QByteArray over = m_exact + 'z';
        QVERIFY(writeZip(path("a.zip"), {{"p/1.png", png(30, 20)}, {GbkName, png(40, 10)}, {"exact.bin", m_exact},
                                         {"over.bin", over}, {"empty.bin", ""}, {"img/a.png", "A"}, {"img/a.png", "B"}}, 1));
        QVERIFY(writeArchive(path("big.tar.gz"), "tar.gz", {{"exact.bin", m_exact}, {"over.bin", over}}));
        for (const char *kind : {"7z", "tar", "tar.gz"})
            QVERIFY(writeArchive(path(QStringLiteral("x::y.") + kind), kind,
                                 {{"1", "one"}, {"2", "two"}, {"3", "three"}, {".\\img\\001.jpg", "win"}, {"a//b.png", "ab"},
                                  {"pics", "", true}, {"pics", "file"}, {"dup", ""}, {"dup", "later"}, {"img/2.png", png(10, 50)}}));
        // A damaged last entry: a gzip stream cut short inside 3.png.
        QByteArray noise(300000, '\0');
        quint32 seed = 1;
        for (char &c : noise)
            c = char((seed = seed * 1664525u + 1013904223u) >> 24);
        QVERIFY(writeArchive(path("cut.tar.gz"), "tar.gz", {{"1.png", m_first}, {"2.png", png(20, 30)}, {"3.png", noise}}));
        QFile cut(path("cut.tar.gz"));
        QVERIFY(cut.resize(cut.size() / 2));
        QImage tall(1500, 3000, QImage::Format_RGB32);
        tall.fill(Qt::gray);
        const QPair<const char *, QByteArray> files[] = {{"page.png", png(800, 600)}, {"wide.png", png(4096, 1024)},
            {"fits.png", png(2048, 100)}, {"tall.jpg", encodedImage(tall, "JPEG", 80)}, {"words.png", "plain words"},
            {"huge.svg", "<svg xmlns='http://www.w3.org/2000/svg' width='90000' height='60000'><rect width='9' height='6'/></svg>"}};
        for (const auto &f : files) {
            QFile file(path(f.first));
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(f.second) == f.second.size());
        }
    }

    // "path|page|dpi|valid" of a "pdf://" source, "container|entry" of the others.
    void parseSource_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("parts");
        auto row = [](const char *name, const char *source, const char *parts) { QTest::newRow(name) << source << parts; };
        row("pdf", "pdf:///books/a.pdf?page=3&dpi=150", "/books/a.pdf|3|150|1");
        row("pdf, no page", "pdf:///a.pdf?dpi=150", "/a.pdf|-1|150|0");
        row("pdf, zero dpi", "pdf:///a.pdf?page=0&dpi=0", "/a.pdf|0|0|0");
        row("pdf, no query", "pdf:///a.pdf", "|-1|0|0");
        row("pdf, empty path", "pdf://?page=1&dpi=72", "|1|72|0");
        row("pdf, ? in the file name", "pdf:///b/why?.pdf?page=4&dpi=72", "/b/why?.pdf|4|72|1");
        row("pdf, upper-case scheme", "PDF:///a.pdf?page=1&dpi=72", "|-1|0|0");
        row("zip splits at the first ::", "zip:///b/book.epub::OEBPS/a::b.png", "/b/book.epub|OEBPS/a::b.png");
        row("zipraw splits at the last ::", "zipraw:///b/x::y.cbz::cC8xLnBuZw==", "/b/x::y.cbz|cC8xLnBuZw==");
        row("zip without ::", "zip:///b/book.epub", "|");
        row("zip, upper-case scheme", "ZIP:///x.zip::a.png", "|");
        row("archive splits at the last ::", "archive:///b/x::y.cbr::aW1nLzIucG5n", "/b/x::y.cbr|img/2.png");
        row("archive name cut at NUL", "archive:///a.cbr::YQBi", "/a.cbr|a");
        row("archive without ::", "archive:///a.cbr", "|");
    }
    void parseSource()
    {
        QFETCH(QString, source);
        QString parts;
        if (source.startsWith("pdf", Qt::CaseInsensitive)) {
            const PdfPageUrl url = PdfPageLoader::parsePdfUrl(source);
            parts = QStringList{url.path, QString::number(url.page), QString::number(url.dpi),
                                QString::number(url.valid)}.join('|');
        } else {
            const EntryRef ref = source.startsWith("archive") ? ArchiveImageLoader::parseArchiveUrl(source)
                                                              : ArchiveImageLoader::parseZipUrl(source);
            parts = ref.containerPath + '|' + ref.entryName;
        }
        QTEST(parts, "parts");
    }

    // What the reader is told a picture is called when it is left out: its
    // name in the book, never where the library keeps it.
    void pictureName_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("name");
        auto row = [](const char *name, const QString &source, const QString &shown) {
            QTest::newRow(name) << source << shown;
        };
        row("pdf page", "pdf:///data/4f2a/b.pdf?page=2&dpi=96", "b.pdf#page=3");
        row("zip entry", "zip:///data/4f2a/book.epub::OEBPS/img/a::b.png", "OEBPS/img/a::b.png");
        row("zipraw, GBK name", "zipraw:///data/4f2a/book.cbz::" + GbkName.toBase64(),
            QString::fromUtf8("\u7b2c2\u9875.png"));
        row("archive entry", "archive:///data/4f2a/x::y.cbr::aW1nLzIucG5n", "img/2.png");
        row("extracted file", "/data/4f2a/images-1/000002.jpg", "000002.jpg");
    }
    void pictureName()
    {
        QFETCH(QString, source);
        QTEST(PageImageLoader::pictureName(source), "name");
    }

    // The natural size, and the decoded size in the 2048 x 2048 box.
    void sources_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<QSize>("natural");
        QTest::addColumn<QSize>("decoded");
        const QSize none(-1, -1);
        QTest::newRow("small file scaled up") << path("page.png") << QSize(800, 600) << QSize(2048, 1536);
        QTest::newRow("wide file scaled down") << path("wide.png") << QSize(4096, 1024) << QSize(2048, 512);
        QTest::newRow("file that fits") << path("fits.png") << QSize(2048, 100) << QSize(2048, 100);
        QTest::newRow("tall jpeg scaled down") << path("tall.jpg") << QSize(1500, 3000) << QSize(1024, 2048);
        // A drawing is drawn at the decoded size, whatever size it declares.
        QTest::newRow("svg declaring many pixels") << path("huge.svg") << QSize(90000, 60000) << QSize(2048, 1365);
        QTest::newRow("not an image") << path("words.png") << none << QSize(0, 0);
        QTest::newRow("zip") << "zip://" + path("a.zip") + "::p/1.png" << QSize(30, 20) << QSize(2048, 1365);
        QTest::newRow("zipraw, non-UTF-8 name") << "zipraw://" + path("a.zip") + "::" + GbkName.toBase64()
                                                << QSize(40, 10) << QSize(2048, 512);
        QTest::newRow("zip, missing entry") << "zip://" + path("a.zip") + "::p/9.png" << none << QSize(0, 0);
        QTest::newRow("archive with :: in its name") << "archive://" + path("x::y.7z") + "::" + QByteArray("img/2.png").toBase64()
                                                     << QSize(10, 50) << QSize(409, 2048);
        QTest::newRow("upper-case prefix is a file") << "ZIP://" + path("a.zip") + "::p/1.png" << none << QSize(0, 0);
        QTest::newRow("missing file") << path("nothing.png") << none << QSize(0, 0);
    }
    void sources()
    {
        QFETCH(QString, source);
        QTEST(PageImageLoader::imageSize(source), "natural");
        QTEST(PageImageLoader::loadImage(source).size(), "decoded");
    }

    // The size from a head read block by block: a raster's from its header,
    // a drawing's from all of it however far past the probe it runs.
    void sizeFromHead_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QSize>("natural");
        const QByteArray open = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"640\" height=\"480\">";
        const QByteArray rect = "<rect width=\"9\" height=\"9\"/>";
        QTest::newRow("raster") << png(30, 20) << QSize(30, 20);
        QTest::newRow("drawing within the probe") << open + rect + "</svg>" << QSize(640, 480);
        QTest::newRow("drawing past the probe") << open + rect.repeated(20000) + "</svg>" << QSize(640, 480);
        QTest::newRow("drawing past the guard") << open + rect.repeated(300000) + "</svg>" << QSize(-1, -1);
    }
    void sizeFromHead()
    {
        QFETCH(QByteArray, bytes);
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::ReadOnly);
        const auto read = [&buffer](char *data, int max) { return int(buffer.read(data, max)); };
        QTEST(PageImageLoader::imageSizeFromHead(read, 64 * 1024, 16 * 1024), "natural");
    }

    // A spare buffer of the decoded size and format takes the pixels that
    // come on the helper's socket (larger ones come in its shared memory).
    void decodeIntoSpare()
    {
        const QByteArray bytes = png(30, 20);
        const QImage plain = PageImageLoader::decodeDrawn(bytes, QSize(60, 40));
        QImage spare(plain.size(), plain.format());
        const uchar *bits = spare.constBits();
        const QImage reused = PageImageLoader::decodeDrawn(bytes, QSize(60, 40), QRect(), std::move(spare));
        QVERIFY(!plain.isNull());
        QVERIFY(reused == plain && reused.constBits() == bits);
    }

    // Decoded at the drawn size, or only the visible part of it, looking as
    // the whole picture scaled to that size does.
    void decodeDrawn_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QSize>("drawn");
        QTest::addColumn<QRect>("visible");
        QTest::addColumn<QSize>("decoded");
        const QByteArray page = encodedImage(scene(1400, 2000), "JPEG", 90);
        QTest::newRow("comic page, large phone") << page << QSize(1040, 1486) << QRect() << QSize(1040, 1486);
        QTest::newRow("comic page, small phone") << page << QSize(520, 743) << QRect() << QSize(520, 743);
        QTest::newRow("picture enlarged") << encodedImage(scene(300, 200), "PNG") << QSize(900, 600) << QRect()
                                          << QSize(900, 600);
        QTest::newRow("aspect as drawn") << encodedImage(scene(200, 200), "PNG") << QSize(300, 150) << QRect()
                                         << QSize(300, 150);
        QTest::newRow("part of a tall strip") << page << QSize(1040, 1486) << QRect(0, 900, 1040, 586)
                                              << QSize(1040, 586);
        QTest::newRow("part reaching past the picture") << page << QSize(700, 1000) << QRect(-50, 800, 900, 600)
                                                        << QSize(700, 200);
        QTest::newRow("nothing visible") << page << QSize(700, 1000) << QRect(0, 1000, 700, 50) << QSize(0, 0);
    }
    void decodeDrawn()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QSize, drawn);
        QFETCH(QRect, visible);
        QFETCH(QSize, decoded);
        const QImage image = PageImageLoader::decodeDrawn(bytes, drawn, visible);
        QCOMPARE(image.size(), decoded);
        if (decoded.isEmpty())
            return;
        const QRect part = visible.isEmpty() ? QRect(QPoint(0, 0), drawn) : visible & QRect(QPoint(0, 0), drawn);
        const QImage whole = madeOnPoolThread([&] {
            return QImage::fromData(bytes).scaled(drawn, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        });
        const double off = meanDifference(image, whole.copy(part));
        QVERIFY2(off < 4.0, qPrintable(QString::number(off)));
    }

    // The bytes of the last of the entries read in turn from one container.
    void entries_data()
    {
        QTest::addColumn<QString>("container");
        QTest::addColumn<QStringList>("reads");
        QTest::addColumn<QByteArray>("last");
        QTest::newRow("zip, exactly 50 MiB") << "a.zip" << QStringList{"exact.bin"} << m_exact;
        QTest::newRow("zip, one byte more") << "a.zip" << QStringList{"over.bin"} << QByteArray();
        QTest::newRow("zip, empty") << "a.zip" << QStringList{"empty.bin"} << QByteArray();
        QTest::newRow("zip, first of duplicates") << "a.zip" << QStringList{"img/a.png"} << QByteArray("A");
        QTest::newRow("zip, case-sensitive") << "a.zip" << QStringList{"IMG/a.png"} << QByteArray();
        for (const char *kind : {"7z", "tar", "tar.gz"}) {
            QTest::addRow("%s in order", kind) << QStringLiteral("x::y.") + kind << QStringList{"1", "2", "3"} << QByteArray("three");
            QTest::addRow("%s backwards", kind) << QStringLiteral("x::y.") + kind << QStringList{"3", "1"} << QByteArray("one");
        }
        QTest::newRow("backslashes") << "x::y.tar" << QStringList{"img/001.jpg"} << QByteArray("win");
        QTest::newRow("doubled slash") << "x::y.tar" << QStringList{"a/b.png"} << QByteArray("ab");
        QTest::newRow("directory skipped") << "x::y.tar" << QStringList{"pics"} << QByteArray("file");
        QTest::newRow("empty skipped") << "x::y.7z" << QStringList{"dup"} << QByteArray("later");
        QTest::newRow("missing") << "x::y.tar" << QStringList{"nope"} << QByteArray();
        QTest::newRow("earlier entry past a damaged one") << "cut.tar.gz" << QStringList{"2.png", "1.png"} << m_first;
        QTest::newRow("archive, exactly 50 MiB") << "big.tar.gz" << QStringList{"exact.bin"} << m_exact;
        QTest::newRow("archive, one byte more") << "big.tar.gz" << QStringList{"over.bin"} << QByteArray();
    }
    void entries()
    {
        QFETCH(QString, container);
        QFETCH(QStringList, reads);
        const QString file = path(container);
        const bool zip = container.endsWith(".zip");
        QByteArray bytes;
        for (const QString &entry : reads)
            bytes = zip ? ZipImageLoader::readEntry(file, entry, false) : ArchiveImageLoader::readEntry(file, entry);
        QTEST(bytes, "last");
        if (zip)
            QCOMPARE(ZipImageLoader::readEntry(file, reads.last().toUtf8().toBase64(), true), bytes);
        // A failed search leaves the handle usable.
        QCOMPARE(ArchiveImageLoader::readEntry(path("x::y.tar"), "2"), QByteArray("two"));
    }

    void handlesBounded()
    {
        QVERIFY(QDir(m_dir.path()).mkdir("many"));
        const QString many = path("many/");
        for (int i = 0; i < 5; ++i) {
            QVERIFY(writeZip(many + QString::number(i) + ".zip", {{"p", "z"}}));
            QVERIFY(writeArchive(many + QString::number(i) + ".tar", "tar", {{"p", "t"}}));
        }
        for (int i = 0; i < 10; ++i) {
            QCOMPARE(ZipImageLoader::readEntry(many + QString::number(i % 5) + ".zip", "p", false), QByteArray("z"));
            QCOMPARE(ArchiveImageLoader::readEntry(many + QString::number(i % 5) + ".tar", "p"), QByteArray("t"));
            QVERIFY(ZipImageLoader::readEntry(many + "missing.zip", "p", false).isEmpty());
            QVERIFY(openFilesBelow(m_dir.path()) <= 6);
        }
        const int open = openFilesBelow(many);
        ArchiveImageLoader::releaseArchive(many + "4.zip");
        ArchiveImageLoader::releaseArchive(many + "4.tar");
        ArchiveImageLoader::releaseArchive(many + "never-read.zip");
        QVERIFY(openFilesBelow(many) <= open - 2);
    }
};

QTEST_GUILESS_MAIN(TestPageImages)
#include "tst_pageimages.moc"
