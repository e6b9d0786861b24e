#include "pageimageloader.h"

#include "archiveimageloader.h"
#include "imagedecode.h"
#include "pdfpageloader.h"
#include "svgguard.h"
#include "zipimageloader.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMutex>
#include <QtDebug>

namespace PageImageLoader {

namespace {

// Decodes the picture a source names (an archive entry or a file), its
// drawings made safe: their references may only reach the same archive
// ("zip://"), or files beside them (a file); other archives give them none.
ImageDecode::Result decodeSource(const QString &source, ImageDecode::Options options)
{
    if (source.startsWith(QLatin1String("archive://"))) {
        const EntryRef ref = ArchiveImageLoader::parseArchiveUrl(source);
        if (ref.containerPath.isEmpty() || ref.entryName.isEmpty())
            return ImageDecode::Result();
        return ImageDecode::decode(ArchiveImageLoader::readEntry(ref.containerPath, ref.entryName), std::move(options));
    }
    const EntryRef zipRef = ArchiveImageLoader::parseZipUrl(source);
    if (!zipRef.containerPath.isEmpty()) {
        const bool raw = source.startsWith(QLatin1String("zipraw://"));
        const QByteArray bytes = ZipImageLoader::readEntry(zipRef.containerPath, zipRef.entryName, raw);
        if (bytes.isEmpty())
            return ImageDecode::Result();
        if (!raw) {
            const QString zip = zipRef.containerPath;
            options.selfPath = zipRef.entryName;
            options.resources = [zip](const QString &name) { return ZipImageLoader::readEntry(zip, name, false); };
        }
        return ImageDecode::decode(bytes, std::move(options));
    }
    // A ZIP source without "::" is taken for a file name, like any other text.
    // Of a picture file only what its reader needs is read.
    QFile file(source);
    if (!file.open(QIODevice::ReadOnly))
        return ImageDecode::Result();
    const QFileInfo info(source);
    options.selfPath = info.fileName();
    options.resources = SvgGuard::folderResources(info.absolutePath());
    return ImageDecode::decode(file, std::move(options));
}

// Natural sizes of drawings by source: Qt SVG parses the whole drawing for
// one, and the layout asks again for every page that shows it.
class DrawingSizes
{
public:
    bool find(const QString &source, QSize *size)
    {
        QMutexLocker lock(&m_mutex);
        const auto it = m_sizes.constFind(source);
        if (it == m_sizes.constEnd())
            return false;
        *size = it.value();
        return true;
    }
    void insert(const QString &source, const QSize &size)
    {
        QMutexLocker lock(&m_mutex);
        if (m_sizes.size() >= 256)
            m_sizes.clear();
        m_sizes.insert(source, size);
    }

private:
    QMutex m_mutex;
    QHash<QString, QSize> m_sizes;
};

DrawingSizes &drawingSizes()
{
    static DrawingSizes sizes;
    return sizes;
}

// The memo's key: the source with the stamp of the file behind it, so a
// book imported again over the same path is measured again.
QString drawingKey(const QString &source)
{
    QString file = source;
    if (source.startsWith(QLatin1String("archive://")))
        file = ArchiveImageLoader::parseArchiveUrl(source).containerPath;
    else if (!ArchiveImageLoader::parseZipUrl(source).containerPath.isEmpty())
        file = ArchiveImageLoader::parseZipUrl(source).containerPath;
    const QFileInfo info(file);
    return source + QLatin1Char('\n') + QString::number(info.lastModified().toMSecsSinceEpoch())
        + QLatin1Char(':') + QString::number(info.size());
}

// Fits the box, aspect kept, scaled up or down.
ImageDecode::Options scaledOptions(QImage reuse)
{
    ImageDecode::Options options;
    options.fit = ImageDecode::Fit::Box;
    options.box = QSize(kMaxDecodedSide, kMaxDecodedSide);
    options.reuse = std::move(reuse);
    return options;
}

ImageDecode::Options drawnOptions(const QSize &drawn, const QRect &visible, QImage reuse)
{
    ImageDecode::Options options;
    options.fit = ImageDecode::Fit::Drawn;
    options.drawn = drawn;
    options.visible = visible;
    options.reuse = std::move(reuse);
    return options;
}

// A picture left out for its cost says why in the log; the page shows only
// its name.
QImage reported(const QString &source, const ImageDecode::Result &result)
{
    if (!result.image.isNull())
        return result.image;
    if (result.sizeRefused)
        qWarning().noquote() << "[PageImageLoader] 图片像素超出上限，未解码:" << pictureName(source)
                             << result.natural.width() << "x" << result.natural.height();
    else if (result.refused)
        qWarning().noquote() << "[PageImageLoader] 图片超出解码预算，未显示:" << pictureName(source);
    return QImage();
}

} // namespace

QImage loadDrawn(const QString &source, const QSize &drawn, const QRect &visible, QImage reuse)
{
    if (source.startsWith(QLatin1String("pdf://")))
        return QImage();
    return reported(source, decodeSource(source, drawnOptions(drawn, visible, std::move(reuse))));
}

QImage decodeDrawn(const QByteArray &bytes, const QSize &drawn, const QRect &visible, QImage reuse)
{
    return ImageDecode::decode(bytes, drawnOptions(drawn, visible, std::move(reuse))).image;
}

QImage loadImage(const QString &source, QImage reuse)
{
    if (source.startsWith(QLatin1String("pdf://")))
        return PdfPageLoader::imageForUrl(source);
    return reported(source, decodeSource(source, scaledOptions(std::move(reuse))));
}

QString pictureName(const QString &source)
{
    if (source.startsWith(QLatin1String("archive://")))
        return ArchiveImageLoader::parseArchiveUrl(source).entryName;
    if (source.startsWith(QLatin1String("pdf://"))) {
        const PdfPageUrl url = PdfPageLoader::parsePdfUrl(source);
        return QStringLiteral("%1#page=%2").arg(QFileInfo(url.path).fileName()).arg(url.page + 1);
    }
    const EntryRef zipRef = ArchiveImageLoader::parseZipUrl(source);
    if (!zipRef.containerPath.isEmpty())
        return source.startsWith(QLatin1String("zipraw://"))
            ? ZipImageLoader::displayName(QByteArray::fromBase64(zipRef.entryName.toLatin1()))
            : zipRef.entryName;
    return QFileInfo(source).fileName();
}

QSize imageSize(const QString &source)
{
    if (source.startsWith(QLatin1String("pdf://"))) {
        const PdfPageUrl url = PdfPageLoader::parsePdfUrl(source);
        return url.valid ? PdfPageLoader::pageSize(url.path, url.page, url.dpi) : QSize(-1, -1);
    }
    QSize size;
    const QString key = drawingKey(source);
    if (drawingSizes().find(key, &size))
        return size;
    const ImageDecode::Result result = decodeSource(source, ImageDecode::sizeOnly());
    if (result.drawing)
        drawingSizes().insert(key, result.natural);
    return result.natural;
}

QImage decodeScaled(const QByteArray &bytes, QImage reuse)
{
    return ImageDecode::decode(bytes, scaledOptions(std::move(reuse))).image;
}

QSize imageSizeFromBytes(const QByteArray &bytes)
{
    return ImageDecode::decode(bytes, ImageDecode::sizeOnly()).natural;
}

QSize imageSizeFromHead(const std::function<int(char *, int)> &read, int limit, int block)
{
    QByteArray bytes;
    bool drawing = false;
    while (bytes.size() < limit) {
        const int want = qMin(block, limit - bytes.size());
        const int before = bytes.size();
        bytes.resize(before + want);
        const int got = read(bytes.data() + before, want);
        bytes.truncate(before + qMax(got, 0));
        if (got <= 0)
            break;
        // A drawing's size needs the whole of it, as much as the guard takes
        // (a cut one only reads as malformed): asked once, at the end.
        if (!drawing && SvgGuard::isDrawing(bytes)) {
            drawing = true;
            limit = qMax(limit, SvgGuard::kMaxBytes + 1);
        }
        if (drawing && got == want && bytes.size() < limit)
            continue;
        const QSize found = imageSizeFromBytes(bytes);
        if (found.width() >= 0 && found.height() >= 0)
            return found;
        if (got < want)
            break;
    }
    return QSize(-1, -1);
}

} // namespace PageImageLoader
