#include "imageutil.h"

#include "imagedecode.h"

#include <QBuffer>
#include <QImageWriter>
#include <QtDebug>

#include <cstring>

namespace {

QImage decodeGuarded(const QByteArray &data, const char *format = nullptr)
{
    ImageDecode::Options options;
    options.format = format;
    return ImageDecode::decode(data, options).image;
}

bool startsWith(const QByteArray &data, const char *signature, int length)
{
    return data.size() >= length && memcmp(data.constData(), signature, size_t(length)) == 0;
}

QByteArray encodeImage(QImage image, const QString &format, int quality)
{
    switch (image.format()) {
    case QImage::Format_RGB32:
    case QImage::Format_ARGB32:
    case QImage::Format_ARGB32_Premultiplied:
    case QImage::Format_RGB888:
        break;
    default:
        image = ImageUtil::converted(image, QImage::Format_RGB32);
    }

    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    const QString lower = format.toLower();
    if (lower == QLatin1String("jpg") || lower == QLatin1String("jpeg")) {
        if (!image.save(&buffer, "JPEG", quality)) {
            qWarning() << "保存为 JPEG 格式失败";
            return QByteArray();
        }
    } else if (lower == QLatin1String("png")) {
        if (!image.save(&buffer, "PNG", -1)) {
            qWarning() << "保存为 PNG 格式失败";
            return QByteArray();
        }
    } else {
        qWarning().noquote() << "不支持的图片格式:" << format;
        return QByteArray();
    }
    buffer.close();
    return bytes;
}

} // namespace

bool ImageUtil::withinPixelBudget(const QSize &size)
{
    return ImageDecode::withinBudget(size, kMaxDecodePixels);
}

bool ImageUtil::loadFromBytes(const QByteArray &data)
{
    // What no helper could read now is kept, to be read when one can.
    const ImageDecode::Result decoded = ImageDecode::decode(data);
    return !decoded.image.isNull() || decoded.unavailable;
}

QString ImageUtil::detectFormat(const QByteArray &data)
{
    if (data.size() <= 9)
        return QString();
    if (startsWith(data, "\xFF\xD8\xFF", 3))
        return QStringLiteral("jpg");
    if (startsWith(data, "\x89PNG\r\n\x1A\n", 8))
        return QStringLiteral("png");
    if (startsWith(data, "BM", 2))
        return QStringLiteral("bmp");
    if (startsWith(data, "GIF8", 4))
        return QStringLiteral("gif");
    if (startsWith(data, "RIFF", 4) && data.mid(8, 4) == "WEBP")
        return QStringLiteral("webp");
    if (startsWith(data, "\x00\x00\x01\x00", 4))
        return QStringLiteral("ico");
    if (startsWith(data, "\x00\x00\x00\x0C\x6A\x50\x20\x20", 8))
        return QStringLiteral("jp2");
    if (startsWith(data, "II\x2A\x00", 4) || startsWith(data, "MM\x00\x2A", 4))
        return QStringLiteral("tiff");

    // Another format Qt reads: it would be re-encoded with the first writer
    // available, so that writer names the suffix. Only the header is read.
    if (!withinPixelBudget(ImageDecode::decode(data, ImageDecode::sizeOnly()).natural))
        return QString();
    const QList<QByteArray> writers = QImageWriter::supportedImageFormats();
    static const char *const order[][2] = {
        {"jpeg", "jpg"}, {"png", "png"}, {"bmp", "bmp"}, {"gif", "gif"}};
    for (const auto &entry : order) {
        if (writers.contains(entry[0]))
            return QString::fromLatin1(entry[1]);
    }
    return QString();
}

QString ImageUtil::defaultSuffix(const QByteArray &data)
{
    const QString suffix = detectFormat(data);
    return suffix.isEmpty() ? QStringLiteral("jpg") : suffix;
}

QByteArray ImageUtil::convertImageData(const QByteArray &data, const QString &format, int quality)
{
    if (data.isEmpty())
        return QByteArray();
    const QImage image = decodeGuarded(data);
    if (image.isNull()) {
        qWarning() << "无法加载图片数据";
        return QByteArray();
    }
    return encodeImage(image, format, quality);
}

QByteArray ImageUtil::loadRobust(const QByteArray &data)
{
    if (data.isEmpty())
        return QByteArray();
    const QImage image = decodeGuarded(data);
    if (!image.isNull()) {
        if (detectFormat(data) == QLatin1String("png"))
            return encodeImage(image, QStringLiteral("png"), -1);
        return encodeImage(image, QStringLiteral("jpg"), 85);
    }

    QByteArray copy = data;
    if (copy.startsWith("\xEF\xBB\xBF"))
        copy.remove(0, 3);
    struct Attempt {
        const char *reader;
        const char *message;
        const char *target;
        int quality;
    };
    static const Attempt attempts[] = {
        {"JPEG", "使用 JPEG 格式成功加载图片", "jpg", 85},
        {"PNG", "使用 PNG 格式成功加载图片", "png", -1},
        {"BMP", "使用 BMP 格式成功加载图片", "jpg", 85},
        {"GIF", "使用 GIF 格式成功加载图片", "jpg", 85},
    };
    for (const Attempt &attempt : attempts) {
        const QImage repaired = decodeGuarded(copy, attempt.reader);
        if (repaired.isNull())
            continue;
        qInfo().noquote() << QString::fromUtf8(attempt.message);
        // Encode what was just decoded: decoding the bytes again with format
        // detection would fail exactly where the explicit format was needed.
        return encodeImage(repaired, QString::fromLatin1(attempt.target), attempt.quality);
    }
    qWarning() << "无法修复图片数据";
    return QByteArray();
}

QImage ImageUtil::cropBorders(const QImage &image, int margin, int threshold)
{
    if (image.isNull() || image.width() < 20 || image.height() < 20)
        return image;
    QImage work = image;
    if (work.format() != QImage::Format_RGB32 && work.format() != QImage::Format_ARGB32
        && work.format() != QImage::Format_ARGB32_Premultiplied)
        work = converted(work, QImage::Format_RGB32);

    const int w = work.width();
    const int h = work.height();
    const int m = qMin(w, h);
    const uchar *bits = work.constBits();
    const qsizetype stride = work.bytesPerLine();
    auto lum = [&](int x, int y) {
        const QRgb p = reinterpret_cast<const QRgb *>(bits + y * stride)[x];
        return (11 * qRed(p) + 16 * qGreen(p) + 5 * qBlue(p)) >> 5;
    };

    const int n = m >= 84 ? 20 : m / 4;
    qint64 sum = 0;
    for (int y = 0; y < n; ++y) {
        for (int x = 0; x < n; ++x)
            sum += lum(x, y) + lum(w - n + x, y) + lum(x, h - n + y) + lum(w - n + x, h - n + y);
    }
    const bool light = sum / (4 * n * n) >= 128;

    const int s = m >= 600 ? m / 300 : 1;
    const int minCount = light ? qMax(1, w / 200) : qMax(1, h / 200);
    auto content = [&](int x, int y) { return light ? lum(x, y) < threshold : lum(x, y) >= threshold; };
    auto contentColumn = [&](int x) {
        int count = 0;
        for (int y = 0; y < h; y += s)
            count += content(x, y);
        return count * s >= minCount;
    };
    auto contentRow = [&](int y) {
        int count = 0;
        for (int x = 0; x < w; x += s)
            count += content(x, y);
        return count * s >= minCount;
    };

    int left = 0, right = w - 1, top = 0, bottom = h - 1;
    for (int x = 0; x < w; ++x) {
        if (contentColumn(x)) {
            left = x;
            break;
        }
    }
    for (int x = w - 1; x >= 0; --x) {
        if (contentColumn(x)) {
            right = x;
            break;
        }
    }
    for (int y = 0; y < h; ++y) {
        if (contentRow(y)) {
            top = y;
            break;
        }
    }
    for (int y = h - 1; y >= 0; --y) {
        if (contentRow(y)) {
            bottom = y;
            break;
        }
    }

    if (!(left < right && top < bottom))
        return image;
    if (left < 0.02 * w && top < 0.02 * h && right > 0.98 * w && bottom > 0.98 * h)
        return image;
    const int x0 = qMax(0, left - margin);
    const int x1 = qMin(w - 1, right + margin);
    const int y0 = qMax(0, top - margin);
    const int y1 = qMin(h - 1, bottom + margin);
    return work.copy(x0, y0, x1 - x0 + 1, y1 - y0 + 1);
}
