#include "pageimageloader.h"

#include "pdfpageloader.h"

#include <QBuffer>
#include <QImageReader>

// Minimal first version: plain image files only.
namespace PageImageLoader {

QImage loadImage(const QString &source)
{
    if (source.startsWith(QLatin1String("pdf://")))
        return PdfPageLoader::imageForUrl(source);
    QImageReader reader(source);
    return reader.read();
}

QSize imageSize(const QString &source)
{
    if (source.startsWith(QLatin1String("pdf://"))) {
        const PdfPageUrl url = PdfPageLoader::parsePdfUrl(source);
        return url.valid ? PdfPageLoader::pageSize(url.path, url.page, url.dpi) : QSize(-1, -1);
    }
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
