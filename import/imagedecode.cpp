#include "imagedecode.h"

#include "decodeservice.h"
#include "imageheader.h"

#include <QIODevice>
#include <QRegularExpression>
#include <QXmlStreamReader>

namespace ImageDecode {

namespace {

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

// The helper's answer as a result.
void take(DecodeService::Result answer, Result &result)
{
    result.image = std::move(answer.image);
    result.sizeRefused = answer.status == DecodeService::Status::SizeRefused;
    result.unavailable = answer.status == DecodeService::Status::Unavailable;
    result.refused = answer.status == DecodeService::Status::Refused;
    if (answer.status == DecodeService::Status::Done || answer.status == DecodeService::Status::SizeRefused
        || answer.status == DecodeService::Status::Unreadable) {
        result.natural = answer.natural;
        result.format = answer.format;
    }
}

// Our own header reader's size, for a format the options allow.
bool headerSize(const QByteArray &head, const Options &options, Result &result)
{
    const ImageHeader::Found found = ImageHeader::read(head);
    const QByteArray asked = options.format.toLower();
    if (found.format.isEmpty() || !(asked.isEmpty() || asked == found.format || (asked == "jpg" && found.format == "jpeg")))
        return false;
    result.natural = found.size;
    result.format = found.format;
    return true;
}

Result decodeRaster(const QByteArray &bytes, Options &options)
{
    Result result;
    result.bytes = bytes;
    if (options.fit == Fit::SizeOnly && headerSize(bytes, options, result))
        return result;
    // A format its signature shows needs only its own plugin loaded: asked
    // to decide from the content, Qt loads every one of them to ask each.
    const QByteArray format = options.format.isEmpty() ? ImageHeader::read(bytes).format : options.format;
    take(DecodeService::decode(DecodeWire::Kind::Picture, bytes, options, format, std::move(options.reuse)), result);
    return result;
}

} // namespace

Options sizeOnly()
{
    Options options;
    options.fit = Fit::SizeOnly;
    return options;
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
    if (checked.isEmpty())
        return result;
    // Qt SVG parses and paints only in the bounded helper.
    take(DecodeService::decode(DecodeWire::Kind::Drawing, checked, options, QByteArray(), std::move(options.reuse)),
         result);
    if (!result.natural.isValid()) {
        result.natural = QSize(-1, -1);
        result.format.clear();
    }
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
    return decodeRaster(checked, options);
}

Result decode(QIODevice &device, Options options)
{
    if (SvgGuard::isDrawing(device.peek(SvgGuard::kHeadBytes)))
        return decode(device.read(SvgGuard::kMaxBytes + 1), std::move(options));
    // Most sizes are in the first bytes.
    if (options.fit == Fit::SizeOnly) {
        Result result;
        if (headerSize(device.peek(64 * 1024), options, result))
            return result;
    }
    return decodeRaster(device.read(DecodeWire::kMaxRequestBytes), options);
}

}
