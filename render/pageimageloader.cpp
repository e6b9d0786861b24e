#include "pageimageloader.h"

#include "archiveimageloader.h"
#include "boundeddrawing.h"
#include "imageutil.h"
#include "pdfpageloader.h"
#include "svgguard.h"
#include "zipimageloader.h"

#include <QBuffer>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QImageReader>
#include <QMutex>

namespace PageImageLoader {

namespace {

// The bytes of a source that names an archive entry or a file, with its
// drawings made safe: their references may only reach the same archive
// ("zip://"), or files beside them (a file); other archives give them none.
// `drawing` tells whether the bytes were a drawing (empty when refused).
QByteArray sourceBytes(const QString &source, bool *drawing)
{
    QByteArray bytes;
    QString self;
    SvgGuard::Resources resources;
    if (source.startsWith(QLatin1String("archive://"))) {
        const EntryRef ref = ArchiveImageLoader::parseArchiveUrl(source);
        if (!ref.containerPath.isEmpty() && !ref.entryName.isEmpty())
            bytes = ArchiveImageLoader::readEntry(ref.containerPath, ref.entryName);
    } else if (!ArchiveImageLoader::parseZipUrl(source).containerPath.isEmpty()) {
        const EntryRef ref = ArchiveImageLoader::parseZipUrl(source);
        const bool raw = source.startsWith(QLatin1String("zipraw://"));
        bytes = ZipImageLoader::readEntry(ref.containerPath, ref.entryName, raw);
        if (!raw) {
            const QString zip = ref.containerPath;
            self = ref.entryName;
            resources = [zip](const QString &name) { return ZipImageLoader::readEntry(zip, name, false); };
        }
    } else {
        // A ZIP source without "::" is taken for a file name, like any other text.
        QFile file(source);
        if (file.open(QIODevice::ReadOnly))
            bytes = file.readAll();
        const QFileInfo info(source);
        self = info.fileName();
        resources = SvgGuard::folderResources(info.absolutePath());
    }
    return SvgGuard::guard(bytes, self, resources, drawing);
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

QSize sizeOfChecked(const QByteArray &bytes, bool drawing)
{
    if (drawing)
        return BoundedDrawing::naturalSize(bytes);
    QBuffer buffer;
    buffer.setData(bytes);
    if (!buffer.open(QIODevice::ReadOnly))
        return QSize(-1, -1);
    QImageReader reader(&buffer);
    return reader.size();
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

// A reader over bytes already through the SVG guard; `ok` once their
// declared size is acceptable.
struct CheckedReader {
    explicit CheckedReader(const QByteArray &bytes)
    {
        buffer.setData(bytes);
        if (!buffer.open(QIODevice::ReadOnly))
            return;
        reader.setDevice(&buffer);
        ok = declaredSizeAcceptable(reader, &natural);
    }
    QBuffer buffer;
    QImageReader reader;
    QSize natural;
    bool ok = false;
};

// Bytes already through the SVG guard.
QImage decodeChecked(const QByteArray &bytes, bool drawing, QImage reuse)
{
    const QSize box(kMaxDecodedSide, kMaxDecodedSide);
    if (drawing) {
        return BoundedDrawing::draw(bytes, [&](const QSize &natural) {
            return BoundedDrawing::Target{natural.scaled(box, Qt::KeepAspectRatio), QRect(), !natural.isEmpty()};
        });
    }
    CheckedReader checked(bytes);
    if (!checked.ok)
        return QImage();
    QImageReader &reader = checked.reader;
    const QSize natural = checked.natural;
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

// Bytes already through the SVG guard, decoded at the size they are drawn.
QImage decodeDrawnChecked(const QByteArray &bytes, bool drawing, const QSize &drawn, const QRect &visible,
                          QImage reuse)
{
    const QRect whole(QPoint(0, 0), drawn);
    const QRect part = visible.isEmpty() ? whole : visible & whole;
    if (drawn.isEmpty() || part.isEmpty())
        return QImage();
    if (drawing) {
        return BoundedDrawing::draw(bytes, [&](const QSize &natural) {
            return BoundedDrawing::Target{drawn, part != whole ? part : QRect(), !natural.isEmpty()};
        });
    }
    CheckedReader checked(bytes);
    if (!checked.ok)
        return QImage();
    QImageReader &reader = checked.reader;
    const QSize natural = checked.natural;
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

} // namespace

QImage loadDrawn(const QString &source, const QSize &drawn, const QRect &visible, QImage reuse)
{
    if (source.startsWith(QLatin1String("pdf://")))
        return QImage();
    bool drawing = false;
    const QByteArray bytes = sourceBytes(source, &drawing);
    return bytes.isEmpty() ? QImage() : decodeDrawnChecked(bytes, drawing, drawn, visible, std::move(reuse));
}

QImage decodeDrawn(const QByteArray &bytes, const QSize &drawn, const QRect &visible, QImage reuse)
{
    bool drawing = false;
    const QByteArray checked = SvgGuard::guard(bytes, QString(), SvgGuard::Resources(), &drawing);
    return decodeDrawnChecked(checked, drawing, drawn, visible, std::move(reuse));
}

QImage loadImage(const QString &source, QImage reuse)
{
    if (source.startsWith(QLatin1String("pdf://")))
        return PdfPageLoader::imageForUrl(source);
    bool drawing = false;
    const QByteArray bytes = sourceBytes(source, &drawing);
    return bytes.isEmpty() ? QImage() : decodeChecked(bytes, drawing, std::move(reuse));
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
    const bool file = !source.startsWith(QLatin1String("archive://"))
        && ArchiveImageLoader::parseZipUrl(source).containerPath.isEmpty();
    if (file) {
        // Of a picture file only the header is read; the content decides
        // the reader, not the file name.
        QFile device(source);
        if (!device.open(QIODevice::ReadOnly))
            return QSize(-1, -1);
        if (!SvgGuard::isDrawing(device.peek(SvgGuard::kHeadBytes))) {
            QImageReader reader(&device, QByteArray());
            reader.setDecideFormatFromContent(true);
            return reader.size();
        }
    }
    bool drawing = false;
    const QByteArray bytes = sourceBytes(source, &drawing);
    size = bytes.isEmpty() ? QSize(-1, -1) : sizeOfChecked(bytes, drawing);
    if (drawing)
        drawingSizes().insert(key, size);
    return size;
}

QImage decodeScaled(const QByteArray &bytes, QImage reuse)
{
    bool drawing = false;
    const QByteArray checked = SvgGuard::guard(bytes, QString(), SvgGuard::Resources(), &drawing);
    return decodeChecked(checked, drawing, std::move(reuse));
}

QSize imageSizeFromBytes(const QByteArray &bytes)
{
    bool drawing = false;
    const QByteArray checked = SvgGuard::guard(bytes, QString(), SvgGuard::Resources(), &drawing);
    return sizeOfChecked(checked, drawing);
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
        // A drawing's size needs the whole of it: asked once, at the end.
        if (SvgGuard::isDrawing(bytes) && got == want && bytes.size() < limit)
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
