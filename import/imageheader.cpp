#include "imageheader.h"

#include <cstring>

namespace ImageHeader {

namespace {

quint32 big(const QByteArray &bytes, int at, int width)
{
    quint32 value = 0;
    for (int i = 0; i < width; ++i)
        value = (value << 8) | quint8(bytes.at(at + i));
    return value;
}

quint32 little(const QByteArray &bytes, int at, int width)
{
    quint32 value = 0;
    for (int i = width - 1; i >= 0; --i)
        value = (value << 8) | quint8(bytes.at(at + i));
    return value;
}

bool has(const QByteArray &bytes, int at, const char *text)
{
    const int length = int(strlen(text));
    return bytes.size() >= at + length && memcmp(bytes.constData() + at, text, size_t(length)) == 0;
}

Found found(quint32 width, quint32 height, const char *format)
{
    Found result;
    // Larger than any reader takes: left to the reader to refuse.
    if (width == 0 || height == 0 || width > 0x7fffffff || height > 0x7fffffff)
        return result;
    result.size = QSize(int(width), int(height));
    result.format = format;
    return result;
}

Found png(const QByteArray &bytes)
{
    if (bytes.size() < 24 || !has(bytes, 12, "IHDR"))
        return Found();
    return found(big(bytes, 16, 4), big(bytes, 20, 4), "png");
}

Found gif(const QByteArray &bytes)
{
    if (bytes.size() < 10 || !(has(bytes, 0, "GIF87a") || has(bytes, 0, "GIF89a")))
        return Found();
    return found(little(bytes, 6, 2), little(bytes, 8, 2), "gif");
}

Found bmp(const QByteArray &bytes)
{
    if (bytes.size() < 26)
        return Found();
    const quint32 header = little(bytes, 14, 4);
    if (header == 12)
        return found(little(bytes, 18, 2), little(bytes, 20, 2), "bmp");
    if (header != 40 && header != 52 && header != 56 && header != 108 && header != 124)
        return Found();
    const qint32 height = qint32(little(bytes, 22, 4));
    if (height == qint32(0x80000000))
        return Found();
    const qint32 width = qint32(little(bytes, 18, 4));
    return width > 0 ? found(quint32(width), quint32(qAbs(height)), "bmp") : Found();
}

Found jpeg(const QByteArray &bytes)
{
    int at = 2;
    while (at + 4 <= bytes.size()) {
        if (quint8(bytes.at(at)) != 0xff)
            return Found();
        const quint8 marker = quint8(bytes.at(at + 1));
        // Fill bytes, and markers that stand alone.
        if (marker == 0xff) {
            ++at;
            continue;
        }
        if (marker == 0x01 || (marker >= 0xd0 && marker <= 0xd7)) {
            at += 2;
            continue;
        }
        if (marker == 0xd9 || marker == 0xda)
            return Found();
        const int length = int(big(bytes, at + 2, 2));
        if (length < 2)
            return Found();
        const bool frame = marker >= 0xc0 && marker <= 0xcf && marker != 0xc4 && marker != 0xc8 && marker != 0xcc;
        if (frame) {
            if (at + 9 > bytes.size() || length < 7)
                return Found();
            return found(big(bytes, at + 7, 2), big(bytes, at + 5, 2), "jpeg");
        }
        at += 2 + length;
    }
    return Found();
}

Found webp(const QByteArray &bytes)
{
    if (bytes.size() < 30 || !has(bytes, 0, "RIFF") || !has(bytes, 8, "WEBP"))
        return Found();
    if (has(bytes, 12, "VP8 ")) {
        if (quint8(bytes.at(23)) != 0x9d || quint8(bytes.at(24)) != 0x01 || quint8(bytes.at(25)) != 0x2a)
            return Found();
        return found(little(bytes, 26, 2) & 0x3fff, little(bytes, 28, 2) & 0x3fff, "webp");
    }
    if (has(bytes, 12, "VP8L")) {
        if (quint8(bytes.at(20)) != 0x2f)
            return Found();
        const quint32 packed = little(bytes, 21, 4);
        return found((packed & 0x3fff) + 1, ((packed >> 14) & 0x3fff) + 1, "webp");
    }
    if (has(bytes, 12, "VP8X"))
        return found(little(bytes, 24, 3) + 1, little(bytes, 27, 3) + 1, "webp");
    return Found();
}

} // namespace

namespace {

// The reader's name for the format its signature shows, one of the five.
QByteArray format(const QByteArray &head)
{
    if (has(head, 0, "\x89PNG\r\n\x1a\n"))
        return "png";
    if (has(head, 0, "\xff\xd8\xff"))
        return "jpeg";
    if (has(head, 0, "GIF8"))
        return "gif";
    if (has(head, 0, "BM"))
        return "bmp";
    if (has(head, 0, "RIFF") && has(head, 8, "WEBP"))
        return "webp";
    return QByteArray();
}

}

Found read(const QByteArray &head)
{
    const QByteArray name = format(head);
    if (name == "png")
        return png(head);
    if (name == "jpeg")
        return jpeg(head);
    if (name == "gif")
        return gif(head);
    if (name == "bmp")
        return bmp(head);
    if (name == "webp")
        return webp(head);
    return Found();
}

}
