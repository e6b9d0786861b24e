#include "imagescale.h"

#include <QColorSpace>
#include <QPainter>

#include <cstring>

namespace ImageScale {

namespace {

// Qt converts an image of less than two 64 KiB parts on the calling thread.
constexpr qsizetype kSingleThreadBytes = 2 * 65536 - 1;

bool isIndexed(QImage::Format format)
{
    return format == QImage::Format_Mono || format == QImage::Format_MonoLSB
        || format == QImage::Format_Indexed8;
}

QImage painted(const QImage &source, const QSize &size, QImage::Format format)
{
    QImage out(size, format);
    if (out.isNull())
        return QImage();
    QPainter painter(&out);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(QRect(QPoint(0, 0), size), source);
    return out;
}

}

QImage converted(const QImage &image, QImage::Format format)
{
    // Conversions to a palette stay on the calling thread, and a palette
    // chosen band by band would differ between bands.
    if (image.isNull() || image.format() == format || isIndexed(format))
        return image.convertToFormat(format);
    QImage out(image.size(), format);
    if (out.isNull())
        return QImage();
    out.setDotsPerMeterX(image.dotsPerMeterX());
    out.setDotsPerMeterY(image.dotsPerMeterY());
    out.setOffset(image.offset());
    out.setColorSpace(image.colorSpace());
    for (const QString &key : image.textKeys())
        out.setText(key, image.text(key));
    const qsizetype widest = qMax(image.bytesPerLine(), out.bytesPerLine());
    const int rows = int(qMax<qsizetype>(1, kSingleThreadBytes / widest));
    const QVector<QRgb> colors = image.colorTable();
    for (int y = 0; y < image.height(); y += rows) {
        const int count = qMin(rows, image.height() - y);
        QImage band(image.constScanLine(y), image.width(), count, image.bytesPerLine(), image.format());
        if (!colors.isEmpty())
            band.setColorTable(colors);
        const QImage part = band.convertToFormat(format);
        if (part.isNull())
            return QImage();
        const size_t line = size_t(qMin(out.bytesPerLine(), part.bytesPerLine()));
        for (int row = 0; row < count; ++row)
            memcpy(out.scanLine(y + row), part.constScanLine(row), line);
    }
    return out;
}

QImage smoothScaled(const QImage &image, const QSize &size)
{
    if (image.isNull() || size.isEmpty())
        return QImage();
    const QImage::Format format = image.hasAlphaChannel() ? QImage::Format_ARGB32_Premultiplied
                                                          : QImage::Format_RGB32;
    QImage source = converted(image, format);
    // At exactly one half the bilinear filter averages each 2x2 block.
    while (!source.isNull() && (source.width() >= 2 * size.width() || source.height() >= 2 * size.height())) {
        const QSize half(source.width() >= 2 * size.width() ? source.width() / 2 : source.width(),
                         source.height() >= 2 * size.height() ? source.height() / 2 : source.height());
        source = painted(source, half, format);
    }
    if (source.isNull() || source.size() == size)
        return source;
    return painted(source, size, format);
}

}
