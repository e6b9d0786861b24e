#include "pageimageloader.h"

#include <QBuffer>
#include <QImageReader>

// Minimal first version: plain image files only.
namespace PageImageLoader {

QImage loadImage(const QString &source)
{
    QImageReader reader(source);
    return reader.read();
}

QSize imageSize(const QString &source)
{
    QImageReader reader(source);
    const QSize size = reader.size();
    return size.isValid() ? size : QSize(-1, -1);
}

QImage decodeScaled(const QByteArray &bytes)
{
    return QImage::fromData(bytes);
}

QSize imageSizeFromBytes(const QByteArray &bytes)
{
    QByteArray copy = bytes;
    QBuffer buffer(&copy);
    QImageReader reader(&buffer);
    const QSize size = reader.size();
    return size.isValid() ? size : QSize(-1, -1);
}

} // namespace PageImageLoader
