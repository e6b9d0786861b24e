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

} // namespace

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
    const QSize natural = reader.size();
    // Several Qt readers allocate the full image before scaling applies, so
    // the declared size is checked before anything is decoded. A drawing is
    // drawn straight at the size asked, so only that size counts.
    const bool drawing = reader.format() == "svg" || reader.format() == "svgz";
    if (drawing ? !natural.isValid() || natural.isEmpty() : !ImageUtil::withinPixelBudget(natural))
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
