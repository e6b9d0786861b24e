#include "imagedecode.h"

#include "boundeddrawing.h"

#include <QBuffer>
#include <QImageReader>

namespace ImageDecode {

bool withinBudget(const QSize &size, qint64 maxPixels)
{
    return size.width() > 0 && size.height() > 0 && qint64(size.width()) * size.height() <= maxPixels;
}

namespace {

// Of a picture drawn at options.drawn, the part kept.
QRect drawnPart(const Options &options)
{
    const QRect whole(QPoint(0, 0), options.drawn);
    return options.visible.isEmpty() ? whole : options.visible & whole;
}

// Reads the picture the reader stands on as options ask, its natural size
// already taken.
void readFitted(QImageReader &reader, Options &options, Result &result)
{
    const QSize natural = result.natural;
    QImage image = std::move(options.reuse);
    if (options.fit == Fit::Drawn) {
        const QRect whole(QPoint(0, 0), options.drawn);
        const QRect part = drawnPart(options);
        if (part.isEmpty())
            return;
        // A JPEG shrinks while it is decoded; scaling afterwards and a
        // full-size buffer in between are what the drawn size saves.
        if (options.drawn != natural)
            reader.setScaledSize(options.drawn);
        if (part != whole)
            reader.setScaledClipRect(part);
        if (!reader.read(&image))
            return;
        if (image.size() != part.size()) {
            // A reader that ignored the options.
            if (image.size() != options.drawn)
                image = image.scaled(options.drawn, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
            if (part != whole)
                image = image.copy(part);
        }
        result.image = image;
        return;
    }
    const QSize size = target(natural, options);
    if (size.isEmpty())
        return;
    if (size != natural)
        reader.setScaledSize(size);
    if (!reader.read(&image))
        return;
    // A reader that ignored the scaled size.
    if (image.width() > size.width() || image.height() > size.height())
        image = image.scaled(size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    result.image = image;
}

Result decodeRaster(QIODevice &device, Options &options)
{
    Result result;
    QImageReader reader(&device, options.format);
    if (options.format.isEmpty())
        reader.setDecideFormatFromContent(true);
    else
        reader.setAutoDetectImageFormat(false);
    // Qt SVG works only in the bounded helper, whatever the bytes claimed.
    if (reader.format().startsWith("svg"))
        return result;
    result.natural = reader.size();
    result.format = reader.format();
    if (options.fit == Fit::SizeOnly)
        return result;
    // Qt's PNG, GIF and BMP readers allocate the whole image before any
    // scaling applies: the declared size decides before a pixel is read.
    if (!withinBudget(result.natural, options.maxPixels)) {
        result.sizeRefused = true;
        return result;
    }
    readFitted(reader, options, result);
    return result;
}

} // namespace

Options sizeOnly()
{
    Options options;
    options.fit = Fit::SizeOnly;
    return options;
}

QSize target(const QSize &natural, const Options &options)
{
    switch (options.fit) {
    case Fit::SizeOnly:
        return QSize();
    case Fit::Natural:
        return natural;
    case Fit::Drawn:
        return options.drawn;
    case Fit::Box:
        break;
    }
    if (options.stripWidth > 0 && natural.width() > 0 && natural.height() > qRound(2.0 * natural.width()))
        return natural.scaled(QSize(options.stripWidth, natural.height()), Qt::KeepAspectRatio);
    if (!options.enlarge && natural.width() <= options.box.width() && natural.height() <= options.box.height())
        return natural;
    return natural.scaled(options.box, Qt::KeepAspectRatio);
}

Result decodeDrawing(const QByteArray &checked, Options options)
{
    Result result;
    result.drawing = true;
    result.bytes = checked;
    const auto choose = [&](const QSize &natural) {
        BoundedDrawing::Target drawn;
        drawn.draw = false;
        if (options.fit == Fit::SizeOnly)
            return drawn;
        // A drawing is drawn straight at the size asked: only that size counts.
        if (natural.isEmpty() || !withinBudget(target(natural, options), options.maxPixels)) {
            result.sizeRefused = true;
            return drawn;
        }
        drawn.size = target(natural, options);
        if (options.fit == Fit::Drawn) {
            const QRect part = drawnPart(options);
            drawn.clip = part != QRect(QPoint(0, 0), options.drawn) ? part : QRect();
            drawn.draw = !part.isEmpty();
        } else {
            drawn.draw = !drawn.size.isEmpty();
        }
        return drawn;
    };
    // Qt SVG parses and paints only in the bounded helper.
    result.image = BoundedDrawing::draw(checked, choose, &result.natural);
    if (result.natural.isValid())
        result.format = "svg";
    return result;
}

Result decode(const QByteArray &bytes, Options options)
{
    bool drawing = false;
    const QByteArray checked = SvgGuard::guard(bytes, options.selfPath, options.resources, &drawing);
    if (drawing) {
        if (!options.format.isEmpty()) {
            Result result;
            result.drawing = true;
            return result;
        }
        return decodeDrawing(checked, std::move(options));
    }
    QBuffer buffer;
    buffer.setData(checked);
    if (!buffer.open(QIODevice::ReadOnly))
        return Result();
    Result result = decodeRaster(buffer, options);
    result.bytes = checked;
    return result;
}

Result decode(QIODevice &device, Options options)
{
    if (SvgGuard::isDrawing(device.peek(SvgGuard::kHeadBytes)))
        return decode(device.read(SvgGuard::kMaxBytes + 1), std::move(options));
    return decodeRaster(device, options);
}

}
