#include "imageutil.h"

#include "imagefixtures.h"
#include "logcapture.h"

#include <QBuffer>
#include <QImageReader>
#include <QPainter>
#include <QtTest>

namespace {

QImage page(int w, int h, const QColor &paper, const QRect &ink = QRect(), const QColor &inkColour = Qt::black)
{
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(paper);
    QPainter(&image).fillRect(ink, inkColour);
    return image;
}

QByteArray sample(const char *format)
{
    return encodedImage(page(40, 30, Qt::white, QRect(5, 5, 10, 10), Qt::red), format, 90);
}

// Qt writes no GIF: a one-pixel GIF made by hand.
QByteArray tinyGif()
{
    return QByteArray::fromBase64("R0lGODlhAQABAIAAAAAAAP///yH5BAEAAAAALAAAAAABAAEAAAIBRAA7");
}

QByteArray readerFormat(const QByteArray &bytes)
{
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    return QImageReader(&buffer).format();
}

} // namespace

class TestImageUtil : public QObject
{
    Q_OBJECT
private slots:
    // Runs first, while the process's peak memory is still low.
    void bombRefusedWithoutDecoding_data()
    {
        QTest::addColumn<int>("operation");
        QTest::newRow("loadFromBytes") << 0;
        QTest::newRow("detectFormat") << 1;
        QTest::newRow("convertImageData") << 2;
        QTest::newRow("loadRobust") << 3;
    }
    void bombRefusedWithoutDecoding()
    {
        QFETCH(int, operation);
        // Decoded whole, this would take 12000 x 12000 x 4 bytes (549 MiB).
        static const QByteArray bomb = pngBomb(12000, 12000);
        const qint64 before = peakMemoryKiB();
        switch (operation) {
        case 0: QVERIFY(!ImageUtil::loadFromBytes(bomb)); break;
        case 1: QCOMPARE(ImageUtil::detectFormat(bomb), QStringLiteral("png")); break;
        case 2: QVERIFY(ImageUtil::convertImageData(bomb, QStringLiteral("png"), -1).isEmpty()); break;
        case 3: QVERIFY(ImageUtil::loadRobust(bomb).isEmpty()); break;
        }
        QVERIFY2(peakMemoryKiB() - before < 32 * 1024, qPrintable(QString::number(peakMemoryKiB() - before)));
    }

    void pixelBudget_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<bool>("allowed");
        QTest::newRow("64 megapixels") << QSize(8000, 8000) << true;
        QTest::newRow("one row more") << QSize(8000, 8001) << false;
        QTest::newRow("unreadable") << QSize(-1, -1) << false;
        QTest::newRow("empty") << QSize(0, 10) << false;
        QTest::newRow("overflowing product") << QSize(70000, 70000) << false;
    }
    void pixelBudget()
    {
        QFETCH(QSize, size);
        QFETCH(bool, allowed);
        QCOMPARE(ImageUtil::withinPixelBudget(size), allowed);
    }

    void detectFormat_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QString>("suffix");
        const QByteArray pad(8, 'x');
        QTest::newRow("png signature, 9 bytes") << QByteArray("\x89PNG\r\n\x1A\n\0", 9) << QString();
        QTest::newRow("png signature, 10 bytes") << QByteArray("\x89PNG\r\n\x1A\n\0\0", 10) << "png";
        QTest::newRow("jpeg") << sample("JPEG") << "jpg";
        QTest::newRow("bmp") << QByteArray("BM") + pad << "bmp";
        QTest::newRow("gif") << QByteArray("GIF8") + pad << "gif";
        QTest::newRow("webp") << QByteArray("RIFF\0\0\0\0WEBPVP8 ", 16) << "webp";
        QTest::newRow("riff, not webp") << QByteArray("RIFF\0\0\0\0AVI LIST", 16) << QString();
        QTest::newRow("ico") << QByteArray("\0\0\1\0", 4) + pad << "ico";
        QTest::newRow("jp2") << QByteArray("\0\0\0\x0CjP  \r\n", 10) << "jp2";
        QTest::newRow("tiff, little end") << QByteArray("II*\0", 4) + pad << "tiff";
        QTest::newRow("tiff, big end") << QByteArray("MM\0*", 4) + pad << "tiff";
        QTest::newRow("decodable, no signature") << sample("XPM") << "jpg";
        QTest::newRow("text") << QByteArray("just some words of text") << QString();
    }
    void detectFormat()
    {
        QFETCH(QByteArray, data);
        QFETCH(QString, suffix);
        QCOMPARE(ImageUtil::detectFormat(data), suffix);
        QCOMPARE(ImageUtil::defaultSuffix(data), suffix.isEmpty() ? QStringLiteral("jpg") : suffix);
    }

    // Output format "" means empty bytes; the warning is the only one logged.
    void reencode_data()
    {
        QTest::addColumn<bool>("robust");
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QString>("format");
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QSize>("size");
        QByteArray gif = tinyGif();
        gif.replace(0, 3, "XYZ"); // only the explicit GIF reader still takes it
        const QByteArray indexed = encodedImage(
            page(40, 30, Qt::white, QRect(5, 5, 10, 10), Qt::red).convertToFormat(QImage::Format_Indexed8), "PNG");
        const QByteArray garbage("not an image at all");
        QTest::newRow("upper-case JPG") << false << sample("PNG") << "JPG" << QByteArray("jpeg") << QString() << QSize(40, 30);
        QTest::newRow("png") << false << sample("JPEG") << "png" << QByteArray("png") << QString() << QSize(40, 30);
        QTest::newRow("indexed source") << false << indexed << "jpeg" << QByteArray("jpeg") << QString() << QSize(40, 30);
        QTest::newRow("webp unsupported") << false << sample("PNG") << "webp" << QByteArray() << "不支持的图片格式: webp" << QSize(40, 30);
        QTest::newRow("undecodable") << false << garbage << "jpg" << QByteArray() << "无法加载图片数据" << QSize(40, 30);
        QTest::newRow("empty") << false << QByteArray() << "jpg" << QByteArray() << QString() << QSize(40, 30);
        QTest::newRow("robust png stays png") << true << sample("PNG") << "" << QByteArray("png") << QString() << QSize(40, 30);
        QTest::newRow("robust bmp to jpeg") << true << sample("BMP") << "" << QByteArray("jpeg") << QString() << QSize(40, 30);
        QTest::newRow("robust after bom") << true << QByteArray("\xEF\xBB\xBF") + sample("JPEG") << ""
                                          << QByteArray("jpeg") << "使用 JPEG 格式成功加载图片" << QSize(40, 30);
        QTest::newRow("robust explicit gif") << true << gif << "" << QByteArray("jpeg") << "使用 GIF 格式成功加载图片" << QSize(1, 1);
        QTest::newRow("robust garbage") << true << garbage << "" << QByteArray() << "无法修复图片数据" << QSize(40, 30);
    }
    void reencode()
    {
        QFETCH(bool, robust);
        QFETCH(QByteArray, data);
        QFETCH(QString, format);
        QFETCH(QByteArray, output);
        QFETCH(QString, message);
        QFETCH(QSize, size);
        LogCapture log;
        const QByteArray bytes = robust ? ImageUtil::loadRobust(data)
                                        : ImageUtil::convertImageData(data, format, 85);
        QCOMPARE(readerFormat(bytes), output);
        // Qt's own decoders may add warnings of theirs.
        const QStringList lines = log.lines(QtWarningMsg) + log.lines(QtInfoMsg);
        QVERIFY2(message.isEmpty() ? lines.isEmpty() : lines.contains(message), qPrintable(lines.join('|')));
        if (!output.isEmpty()) {
            QImage decoded;
            QVERIFY(decoded.loadFromData(bytes));
            QCOMPARE(decoded.size(), size);
        }
    }

    void cropBorders_data()
    {
        QTest::addColumn<QImage>("image");
        QTest::addColumn<QRect>("kept"); // null: the input comes back unchanged
        QTest::newRow("rectangle plus margin") << page(200, 100, Qt::white, QRect(50, 30, 40, 20)) << QRect(46, 26, 48, 28);
        QTest::newRow("clamped to the image") << page(200, 100, Qt::white, QRect(1, 30, 40, 20)) << QRect(0, 26, 45, 28);
        QTest::newRow("dark page") << page(200, 100, Qt::black, QRect(50, 30, 40, 20), Qt::white) << QRect(46, 26, 48, 28);
        QTest::newRow("sampled large page") << page(1200, 900, Qt::white, QRect(300, 200, 400, 300)) << QRect(296, 196, 408, 308);
        QImage speck = page(400, 400, Qt::white, QRect(100, 100, 50, 50));
        speck.setPixel(390, 390, qRgb(0, 0, 0));
        QTest::newRow("lone speck ignored") << speck << QRect(96, 96, 58, 58);
        QTest::newRow("blank page") << page(60, 60, Qt::white) << QRect();
        QTest::newRow("content near every edge") << page(200, 200, Qt::white, QRect(2, 2, 196, 196)) << QRect();
        QTest::newRow("too narrow") << page(19, 100, Qt::white, QRect(5, 30, 5, 5)) << QRect();
    }
    void cropBorders()
    {
        QFETCH(QImage, image);
        QFETCH(QRect, kept);
        const QImage out = ImageUtil::cropBorders(image, 4, 240);
        QCOMPARE(out, kept.isNull() ? image : image.copy(kept));
    }
};

QTEST_GUILESS_MAIN(TestImageUtil)
#include "tst_imageutil.moc"
