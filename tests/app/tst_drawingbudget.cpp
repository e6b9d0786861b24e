// Drawings that make Qt SVG work long for few bytes are refused or drawn
// within the drawing budget wherever a book's picture is decoded, while an
// ordinary drawing comes out as Qt SVG draws it.

#include "decodewire.h"
#include "comicpages.h"
#include "epubnovelparser.h"
#include "imagedecode.h"
#include "pageimageloader.h"
#include "svgguard.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QImageReader>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/resource.h>

namespace {

const QByteArray Open = "<svg xmlns=\"http://www.w3.org/2000/svg\" xmlns:xlink=\"http://www.w3.org/1999/xlink\" "
                        "width=\"640\" height=\"480\">";

QByteArray uses(const QByteArray &id, int count)
{
    return ("<use xlink:href=\"#" + id + "\"/>").repeated(count);
}

}

class TestDrawingBudget : public QObject
{
    Q_OBJECT

private slots:
    void withinBudget_data()
    {
        QTest::addColumn<QByteArray>("drawing");
        QByteArray path = "<path id=\"p\" d=\"M0 0";
        for (int i = 0; i < 100000; ++i)
            path += " L" + QByteArray::number(i % 640) + ' ' + QByteArray::number(i * 7 % 480);
        QTest::newRow("100,000-segment path by 3,000 uses") << Open + "<defs>" + path + "\"/></defs>"
                + uses("p", 3000) + "</svg>";
        QTest::newRow("300 uses of 300 uses of a full rect") << Open + "<defs><rect id=\"r\" width=\"640\" "
                "height=\"480\"/><g id=\"g\">" + uses("r", 300) + "</g></defs>" + uses("g", 300) + "</svg>";
        QTest::newRow("20,000 universal rules over 5,000 elements") << Open + "<style>"
                + QByteArray("*{fill:#123;stroke:#456}").repeated(20000) + "</style>"
                + QByteArray("<rect width=\"9\" height=\"9\"/>").repeated(5000) + "</svg>";
        QByteArray chain;
        for (int i = 0; i < 49000; ++i)
            chain += "<linearGradient id=\"g" + QByteArray::number(i) + "\" xlink:href=\"#g"
                + QByteArray::number(i + 1) + "\"/>";
        QTest::newRow("49,000 gradients each naming the next") << Open + "<defs>" + chain
                + "</defs><rect width=\"640\" height=\"480\" fill=\"url(#g0)\"/></svg>";
        QTest::newRow("giant text stroked in 1-pixel dashes, 300 uses") << Open + "<defs><text id=\"t\" y=\"300\" "
                "font-size=\"400\" stroke=\"#000\" stroke-width=\"30\" stroke-dasharray=\"1\">WWWWWWWW</text></defs>"
                + uses("t", 300) + "</svg>";
        QTest::newRow("ordinary drawing with text") << Open + "<rect width=\"640\" height=\"480\" fill=\"#e8d8c0\"/>"
                "<circle cx=\"320\" cy=\"240\" r=\"150\" fill=\"#246\" stroke=\"#a33\" stroke-width=\"12\"/>"
                "<text x=\"40\" y=\"90\" font-size=\"60\" fill=\"#123\">Quillora</text></svg>";
    }

    // Sizes read without the helper where the root states them plainly, and
    // by it otherwise: either way as Qt SVG gives them.
    void naturalSize_data()
    {
        QTest::addColumn<QByteArray>("root");
        QTest::newRow("whole pixels") << QByteArray("width=\"640\" height=\"480\"");
        QTest::newRow("px") << QByteArray("width=\"640px\" height=\"0480px\"");
        QTest::newRow("viewBox over millimetres") << QByteArray("width=\"210mm\" height=\"297mm\" viewBox=\"0 0 210 297\"");
        QTest::newRow("whole pixels over a viewBox") << QByteArray("width=\"64\" height=\"48\" viewBox=\"0 0 100 100\"");
        QTest::newRow("viewBox over percentages") << QByteArray("width=\"100%\" height=\"100%\" viewBox=\"0 0 600 800\"");
        QTest::newRow("viewBox with commas and offsets") << QByteArray("viewBox=\"-10,5, 300,\t200\"");
        QTest::newRow("viewBox over half") << QByteArray("width=\"50%\" height=\"50%\" viewBox=\"0 0 600 800\"");
        QTest::newRow("fractional viewBox") << QByteArray("width=\"64\" viewBox=\"0.5 0.5 300.6 200.4\"");
        QTest::newRow("three-number viewBox") << QByteArray("width=\"64\" height=\"48\" viewBox=\"0 0 100\"");
        QTest::newRow("points") << QByteArray("width=\"72pt\" height=\"36pt\"");
        QTest::newRow("fractional pixels") << QByteArray("width=\"640.7\" height=\"480.2\"");
        QTest::newRow("exponent") << QByteArray("width=\"6.4e2\" height=\"+480\"");
        QTest::newRow("height missing") << QByteArray("width=\"640\"");
        QTest::newRow("unclosed group") << QByteArray("width=\"640\" height=\"480\"><g");
    }
    void naturalSize()
    {
        QFETCH(QByteArray, root);
        const QByteArray drawing = "<svg xmlns=\"http://www.w3.org/2000/svg\" " + root + "><rect width=\"9\" height=\"9\"/></svg>";
        QBuffer buffer;
        buffer.setData(SvgGuard::guard(drawing));
        buffer.open(QIODevice::ReadOnly);
        QCOMPARE(ImageDecode::decode(drawing, ImageDecode::sizeOnly()).natural, QImageReader(&buffer, "svg").size());
    }

    // Each path a book's drawing takes: a picture on a page (its size for the
    // layout, then its pixels), an EPUB cover, a comic cover.
    void withinBudget()
    {
        QFETCH(QByteArray, drawing);
        QTemporaryDir dir;
        const QString page = dir.filePath("page.svg");
        QFile file(page);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(drawing) == drawing.size());
        file.close();
        rusage before{};
        getrusage(RUSAGE_SELF, &before);
        QElapsedTimer timer;
        timer.start();
        const QSize natural = PageImageLoader::imageSizeFromBytes(drawing);
        const QImage picture = PageImageLoader::decodeDrawn(drawing, QSize(320, 240));
        EpubNovelParser::convertCover(drawing);
        saveComicCover(page, dir.filePath("cover.png"));
        const qint64 spent = timer.elapsed();
        rusage after{};
        getrusage(RUSAGE_SELF, &after);
        rusage helpers{};
        getrusage(RUSAGE_CHILDREN, &helpers);
        // Four decodes, each bounded by the helper's deadline; none does Qt
        // SVG's work here, only the guard's one pass over the bytes.
        const double selfSeconds = (after.ru_utime.tv_sec - before.ru_utime.tv_sec)
            + (after.ru_utime.tv_usec - before.ru_utime.tv_usec) / 1e6;
#ifdef QUILLORA_SANITIZED_TESTS
        // The guard's pass runs several times slower; a sanitizer's shadow
        // and quarantine count as resident memory, so memory is not judged.
        const int slower = 5;
#else
        const int slower = 1;
        QVERIFY(helpers.ru_maxrss * 1024 <= DecodeWire::kMemoryBytes);
#endif
        QVERIFY2(spent < slower * 4 * DecodeWire::kWallMilliseconds, qPrintable(QString::number(spent)));
        QVERIFY2(selfSeconds < slower * 4 * DecodeWire::kCpuMilliseconds / 1000.0,
                 qPrintable(QString::number(selfSeconds)));
        if (QByteArray(QTest::currentDataTag()).startsWith("ordinary")) {
            // As Qt SVG draws it in this process.
            QBuffer buffer;
            buffer.setData(SvgGuard::guard(drawing));
            buffer.open(QIODevice::ReadOnly);
            QImageReader reader(&buffer);
            reader.setScaledSize(QSize(320, 240));
            QCOMPARE(natural, QSize(640, 480));
            QCOMPARE(picture, reader.read());
            QVERIFY(QFile::exists(dir.filePath("cover.png")));
            // A part of it, as a page shows one taller than itself.
            const QRect part(10, 20, 100, 50);
            buffer.seek(0);
            QImageReader partReader(&buffer);
            partReader.setScaledSize(QSize(320, 240));
            partReader.setScaledClipRect(part);
            QCOMPARE(PageImageLoader::decodeDrawn(drawing, QSize(320, 240), part), partReader.read());
        }
    }
};

QTEST_MAIN(TestDrawingBudget)
#include "tst_drawingbudget.moc"
