#include "imagedecode.h"

#include "boundeddrawing.h"
#include "imageutil.h"

#include <QBuffer>
#include <QImageReader>
#include <QRegularExpression>
#include <QXmlStreamReader>

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

// A whole number as written: nothing Qt would round, convert or read otherwise.
bool wholeNumber(const QString &text, int *value)
{
    static const QRegularExpression plain(QStringLiteral("^-?[0-9]{1,9}$"));
    if (!plain.match(text).hasMatch())
        return false;
    *value = text.toInt();
    return true;
}

// The size a root states plainly: a width and height in whole pixels; else,
// with both left out or both "100%", a viewBox of four whole numbers.
// Invalid for any other form, which only Qt SVG itself can size.
QSize statedSize(const QXmlStreamAttributes &attributes)
{
    const QString width = attributes.value(QLatin1String("width")).toString();
    const QString height = attributes.value(QLatin1String("height")).toString();
    int numbers[4];
    const auto pixels = [](QString length, int *value) {
        if (length.endsWith(QLatin1String("px")))
            length.chop(2);
        return wholeNumber(length, value) && *value > 0;
    };
    if (pixels(width, &numbers[0]) && pixels(height, &numbers[1]))
        return QSize(numbers[0], numbers[1]);
    const bool whole = (width.isNull() && height.isNull())
        || (width == QLatin1String("100%") && height == QLatin1String("100%"));
    QString box = attributes.value(QLatin1String("viewBox")).toString();
    for (const char space : {' ', '\t', '\r', '\n'})
        box.replace(QLatin1Char(space), QLatin1Char(','));
    const QStringList parts = box.split(QLatin1Char(','), Qt::SkipEmptyParts);
    if (!whole || parts.size() != 4)
        return QSize();
    for (int i = 0; i < 4; ++i) {
        if (!wholeNumber(parts.at(i), &numbers[i]))
            return QSize();
    }
    return numbers[2] > 0 && numbers[3] > 0 ? QSize(numbers[2], numbers[3]) : QSize();
}

// The natural size Qt's SVG reader gives a checked drawing (the guard has
// read it through as well-formed) that states it plainly.
QSize declaredSize(const QByteArray &checked)
{
    QXmlStreamReader xml(checked);
    while (!xml.atEnd() && !xml.isStartElement())
        xml.readNext();
    if (!xml.isStartElement() || xml.name() != QLatin1String("svg"))
        return QSize();
    return statedSize(xml.attributes());
}

// Only JPEG decodes smaller; Qt's other readers that take a scaled size
// read the whole picture and hand the scaling to Qt's thread pool.
bool scalesItself(QImageReader &reader)
{
    return reader.format() == "jpeg";
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
        if (scalesItself(reader)) {
            if (options.drawn != natural)
                reader.setScaledSize(options.drawn);
            if (part != whole)
                reader.setScaledClipRect(part);
        }
        if (!reader.read(&image))
            return;
        if (image.size() != part.size()) {
            if (image.size() != options.drawn)
                image = ImageUtil::smoothScaled(image, options.drawn);
            if (part != whole)
                image = image.copy(part);
        }
        result.image = image;
        return;
    }
    const QSize size = target(natural, options);
    if (size.isEmpty())
        return;
    if (size != natural && scalesItself(reader))
        reader.setScaledSize(size);
    if (!reader.read(&image))
        return;
    if (image.size() != size)
        image = ImageUtil::smoothScaled(image, size);
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
    // A plainly stated size needs no helper: a book whose drawings are only
    // sized at import starts none.
    if (options.fit == Fit::SizeOnly) {
        result.natural = declaredSize(checked);
        if (result.natural.isValid()) {
            result.format = "svg";
            return result;
        }
    }
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
