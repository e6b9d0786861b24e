#include "pageimageloader.h"

#include "archiveimageloader.h"
#include "imageutil.h"
#include "pdfpageloader.h"
#include "zipimageloader.h"

#include <QBuffer>
#include <QFile>
#include <QImageReader>

namespace PageImageLoader {

namespace {

// Entry bytes of a "zip://"/"zipraw://" or "archive://" source; `handled`
// tells whether the source had one of those forms at all.
QByteArray entryBytes(const QString &source, bool *handled)
{
    *handled = true;
    if (source.startsWith(QLatin1String("archive://"))) {
        const EntryRef ref = ArchiveImageLoader::parseArchiveUrl(source);
        if (ref.containerPath.isEmpty() || ref.entryName.isEmpty())
            return QByteArray();
        return ArchiveImageLoader::readEntry(ref.containerPath, ref.entryName);
    }
    const EntryRef ref = ArchiveImageLoader::parseZipUrl(source);
    if (!ref.containerPath.isEmpty())
        return ZipImageLoader::readEntry(ref.containerPath, ref.entryName,
                                         source.startsWith(QLatin1String("zipraw://")));
    // A ZIP source without "::" is taken for a file name, like any other text.
    *handled = false;
    return QByteArray();
}

// The bytes behind any source but a PDF page; `found` false when the source
// names nothing readable.
QByteArray sourceBytes(const QString &source, bool *found)
{
    bool handled = false;
    QByteArray bytes = entryBytes(source, &handled);
    if (!handled) {
        QFile file(source);
        if (file.open(QIODevice::ReadOnly))
            bytes = file.readAll();
    }
    *found = !bytes.isEmpty();
    return bytes;
}

// Checks the declared size before anything is decoded: several Qt readers
// allocate the full image before scaling applies. A drawing is drawn
// straight at the size asked, so only that size counts.
bool declaredSizeAcceptable(QImageReader &reader, QSize *natural)
{
    *natural = reader.size();
    const bool drawing = reader.format() == "svg" || reader.format() == "svgz";
    return drawing ? natural->isValid() && !natural->isEmpty()
                   : ImageUtil::withinPixelBudget(*natural);
}

} // namespace

QImage loadDrawn(const QString &source, const QSize &drawn, const QRect &visible, QImage reuse)
{
    if (source.startsWith(QLatin1String("pdf://")))
        return QImage();
    bool found = false;
    const QByteArray bytes = sourceBytes(source, &found);
    return found ? decodeDrawn(bytes, drawn, visible, std::move(reuse)) : QImage();
}

QImage decodeDrawn(const QByteArray &bytes, const QSize &drawn, const QRect &visible, QImage reuse)
{
    const QRect whole(QPoint(0, 0), drawn);
    const QRect part = visible.isEmpty() ? whole : visible & whole;
    if (drawn.isEmpty() || part.isEmpty())
        return QImage();
    QBuffer buffer;
    buffer.setData(bytes);
    if (!buffer.open(QIODevice::ReadOnly))
        return QImage();
    QImageReader reader(&buffer);
    QSize natural;
    if (!declaredSizeAcceptable(reader, &natural))
        return QImage();
    // A JPEG shrinks while it is decoded; scaling afterwards and a full-size
    // buffer in between are what the drawn size saves.
    if (drawn != natural)
        reader.setScaledSize(drawn);
    if (part != whole)
        reader.setScaledClipRect(part);
    QImage image = std::move(reuse);
    if (!reader.read(&image))
        return QImage();
    if (image.size() != part.size()) {
        // A reader that ignored the options.
        if (image.size() != drawn)
            image = image.scaled(drawn, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        if (part != whole)
            image = image.copy(part);
    }
    return image;
}

QImage loadImage(const QString &source, QImage reuse)
{
    if (source.startsWith(QLatin1String("pdf://")))
        return PdfPageLoader::imageForUrl(source);
    bool handled = false;
    const QByteArray bytes = entryBytes(source, &handled);
    if (handled)
        return bytes.isEmpty() ? QImage() : decodeScaled(bytes, std::move(reuse));
    QFile file(source);
    if (!file.open(QIODevice::ReadOnly))
        return QImage();
    return decodeScaled(file.readAll(), std::move(reuse));
}

QSize imageSize(const QString &source)
{
    if (source.startsWith(QLatin1String("pdf://"))) {
        const PdfPageUrl url = PdfPageLoader::parsePdfUrl(source);
        return url.valid ? PdfPageLoader::pageSize(url.path, url.page, url.dpi) : QSize(-1, -1);
    }
    bool handled = false;
    const QByteArray bytes = entryBytes(source, &handled);
    if (handled)
        return bytes.isEmpty() ? QSize(-1, -1) : imageSizeFromBytes(bytes);
    QImageReader reader(source);
    return reader.size();
}

QImage decodeScaled(const QByteArray &bytes, QImage reuse)
{
    QBuffer buffer;
    buffer.setData(bytes);
    if (!buffer.open(QIODevice::ReadOnly))
        return QImage();
    QImageReader reader(&buffer);
    QSize natural;
    if (!declaredSizeAcceptable(reader, &natural))
        return QImage();
    const QSize box(kMaxDecodedSide, kMaxDecodedSide);
    const QSize target = natural.scaled(box, Qt::KeepAspectRatio);
    if (target.isEmpty())
        return QImage();
    if (target != natural)
        reader.setScaledSize(target);
    QImage image = std::move(reuse);
    if (!reader.read(&image))
        image = QImage();
    if (!image.isNull() && (image.width() > kMaxDecodedSide || image.height() > kMaxDecodedSide))
        image = image.scaled(box, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    return image;
}

QSize imageSizeFromBytes(const QByteArray &bytes)
{
    QBuffer buffer;
    buffer.setData(bytes);
    if (!buffer.open(QIODevice::ReadOnly))
        return QSize(-1, -1);
    QImageReader reader(&buffer);
    return reader.size();
}

QSize imageSizeFromHead(const std::function<int(char *, int)> &read, int limit, int block)
{
    QByteArray bytes;
    while (bytes.size() < limit) {
        const int want = qMin(block, limit - bytes.size());
        const int before = bytes.size();
        bytes.resize(before + want);
        const int got = read(bytes.data() + before, want);
        bytes.truncate(before + qMax(got, 0));
        if (got <= 0)
            break;
        const QSize found = imageSizeFromBytes(bytes);
        if (found.width() >= 0 && found.height() >= 0)
            return found;
        if (got < want)
            break;
    }
    return QSize(-1, -1);
}

} // namespace PageImageLoader
