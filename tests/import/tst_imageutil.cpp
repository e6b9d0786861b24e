#include "imagedecode.h"
#include "imageheader.h"
#include "imageutil.h"

#include "imagefixtures.h"
#include "logcapture.h"

#include <QPainter>
#include <QThreadPool>
#include <QtTest>

#include <future>

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

// A GIF of one black frame, its logical screen and frame sizes given apart.
QByteArray gifOf(int screenWidth, int screenHeight, int frameWidth, int frameHeight)
{
    auto le = [](int v) { return QByteArray(1, char(v & 0xff)) + char((v >> 8) & 0xff); };
    QByteArray gif("GIF89a");
    gif += le(screenWidth) + le(screenHeight) + QByteArray("\x80\x00\x00", 3);
    gif += QByteArray("\x00\x00\x00\xff\xff\xff", 6);
    gif += ',' + le(0) + le(0) + le(frameWidth) + le(frameHeight) + '\0';
    gif += QByteArray("\x02\x02\x44\x01\x00", 5);
    return gif + ';';
}

} // namespace

class TestImageUtil : public QObject
{
    Q_OBJECT
private slots:
    // Runs first, while the process's peak memory is still low.
    void bombRefusedWithoutDecoding()
    {
        // Decoded whole, this would take 12000 x 12000 x 4 bytes (549 MiB).
        const QByteArray bomb = pngBomb(12000, 12000);
        const qint64 before = peakMemoryKiB();
        QVERIFY(!ImageUtil::loadFromBytes(bomb));
        QCOMPARE(ImageUtil::detectFormat(bomb), QStringLiteral("png"));
        QVERIFY(ImageUtil::convertImageData(bomb, QStringLiteral("png"), -1).isEmpty());
        QVERIFY(ImageUtil::loadRobust(bomb).isEmpty());
        QVERIFY2(peakMemoryKiB() - before < 32 * 1024, qPrintable(QString::number(peakMemoryKiB() - before)));
    }

    // The program's header reader and the helper read one size, the one the
    // helper's decoder allocates.
    void oneSize_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QSize>("size");
        QTest::newRow("gif screen far past its frame") << gifOf(7000, 7000, 1, 1) << QSize(7000, 7000);
        QTest::newRow("gif screen as its frame") << gifOf(3, 2, 3, 2) << QSize(3, 2);
        QTest::newRow("gif frame past its screen") << gifOf(2, 2, 40, 40) << QSize(2, 2);
        QTest::newRow("png") << sample("PNG") << QSize(40, 30);
        QTest::newRow("jpeg") << sample("JPEG") << QSize(40, 30);
        QTest::newRow("bmp") << sample("BMP") << QSize(40, 30);
        QTest::newRow("webp") << sample("WEBP") << QSize(40, 30);
    }
    void oneSize()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QSize, size);
        QVERIFY(!bytes.isEmpty());
        QCOMPARE(ImageHeader::read(bytes).size, size);
        // Refused for its size, so the helper answers the size it read
        // without decoding a pixel.
        ImageDecode::Options options;
        options.maxPixels = 1;
        const ImageDecode::Result helper = ImageDecode::decode(bytes, options);
        QVERIFY(helper.sizeRefused);
        QCOMPARE(helper.natural, size);
        QCOMPARE(ImageDecode::decode(bytes, ImageDecode::sizeOnly()).natural, size);
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

    // Format "": loadRobust. Output "": empty bytes. The message is the one logged.
    void reencode_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QString>("format");
        QTest::addColumn<QString>("output");
        QTest::addColumn<QString>("message");
        // A one-pixel GIF (Qt writes none) whose signature only the explicit GIF reader overlooks.
        QByteArray gif = QByteArray::fromBase64("R0lGODlhAQABAIAAAAAAAP///yH5BAEAAAAALAAAAAABAAEAAAIBRAA7");
        gif.replace(0, 3, "XYZ");
        const QByteArray indexed = encodedImage(
            page(40, 30, Qt::white, QRect(5, 5, 10, 10), Qt::red).convertToFormat(QImage::Format_Indexed8), "PNG");
        const QByteArray garbage("not an image at all");
        QTest::newRow("upper-case JPG") << sample("PNG") << "JPG" << "jpg" << QString();
        QTest::newRow("png") << sample("JPEG") << "png" << "png" << QString();
        QTest::newRow("indexed source") << indexed << "jpeg" << "jpg" << QString();
        QTest::newRow("webp unsupported") << sample("PNG") << "webp" << "" << "不支持的图片格式: webp";
        QTest::newRow("undecodable") << garbage << "jpg" << "" << "无法加载图片数据";
        QTest::newRow("robust png stays png") << sample("PNG") << "" << "png" << QString();
        QTest::newRow("robust bmp to jpeg") << sample("BMP") << "" << "jpg" << QString();
        QTest::newRow("robust after bom") << QByteArray("\xEF\xBB\xBF") + sample("JPEG") << "" << "jpg"
                                          << "使用 JPEG 格式成功加载图片";
        QTest::newRow("robust explicit gif") << gif << "" << "jpg" << "使用 GIF 格式成功加载图片";
        QTest::newRow("robust garbage") << garbage << "" << "" << "无法修复图片数据";
    }
    void reencode()
    {
        QFETCH(QByteArray, data);
        QFETCH(QString, format);
        QFETCH(QString, output);
        QFETCH(QString, message);
        LogCapture log;
        const QByteArray bytes = format.isEmpty() ? ImageUtil::loadRobust(data)
                                                  : ImageUtil::convertImageData(data, format, 85);
        QCOMPARE(ImageUtil::detectFormat(bytes), output);
        QCOMPARE(QImage::fromData(bytes).isNull(), output.isEmpty());
        // Qt's own decoders may add warnings of theirs.
        const QStringList lines = log.lines(QtWarningMsg) + log.lines(QtInfoMsg);
        QVERIFY2(message.isEmpty() ? lines.isEmpty() : lines.contains(message), qPrintable(lines.join('|')));
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

    // Converted as Qt converts, scaled close to how Qt scales, with every
    // thread of Qt's pool held: work handed to the pool would never finish.
    void imageWorkOnCallingThread_data()
    {
        QTest::addColumn<QImage>("image");
        QTest::addColumn<int>("format"); // 0: smooth scaling to size
        QTest::addColumn<QSize>("size");
        const auto art = [](int w, int h, QImage::Format format) {
            return madeOnPoolThread([&] { return scene(w, h).convertToFormat(format); });
        };
        const QImage colour = art(1200, 900, QImage::Format_ARGB32_Premultiplied);
        const QImage grey = art(1200, 900, QImage::Format_Grayscale8);
        QTest::newRow("premultiplied to RGB32") << colour << int(QImage::Format_RGB32) << QSize();
        QTest::newRow("grey to premultiplied") << grey << int(QImage::Format_ARGB32_Premultiplied) << QSize();
        QTest::newRow("RGB888 to RGB32") << art(1200, 900, QImage::Format_RGB888) << int(QImage::Format_RGB32) << QSize();
        QTest::newRow("palette to RGB32") << art(600, 900, QImage::Format_Indexed8) << int(QImage::Format_RGB32) << QSize();
        QTest::newRow("one row wider than a band") << art(40000, 3, QImage::Format_ARGB32) << int(QImage::Format_RGB32) << QSize();
        QTest::newRow("down 3.7 times") << colour << 0 << QSize(324, 243);
        QTest::newRow("down on one axis") << colour << 0 << QSize(1200, 200);
        QTest::newRow("up by half") << colour << 0 << QSize(1800, 1350);
        QTest::newRow("grey down") << grey << 0 << QSize(400, 300);
    }
    void imageWorkOnCallingThread()
    {
        QFETCH(QImage, image);
        QFETCH(int, format);
        QFETCH(QSize, size);
        const auto work = [&] {
            return format ? ImageUtil::converted(image, QImage::Format(format)) : ImageUtil::smoothScaled(image, size);
        };
        const QImage expected = madeOnPoolThread([&] {
            return format ? image.convertToFormat(QImage::Format(format))
                          : image.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        });
        QThreadPool *pool = QThreadPool::globalInstance();
        std::promise<void> release;
        const std::shared_future<void> held = release.get_future().share();
        for (int i = 0; i < pool->maxThreadCount(); ++i)
            pool->start([held] { held.wait(); });
        std::future<QImage> out = std::async(std::launch::async, work);
        const bool finished = out.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
        release.set_value();
        QVERIFY(finished);
        const QImage result = out.get();
        if (format) {
            QCOMPARE(result, expected);
        } else {
            QCOMPARE(result.size(), size);
            const double off = meanDifference(result, expected);
            QVERIFY2(off < 2.0, qPrintable(QString::number(off)));
        }
    }
};

QTEST_GUILESS_MAIN(TestImageUtil)
#include "tst_imageutil.moc"
