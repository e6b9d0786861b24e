#pragma once

#include "decodewire.h"
#include "imagescale.h"

#include <QByteArray>
#include <QImage>
#include <QObject>
#include <QSize>
#include <QString>

// Image operations shared by the importers and the page loaders. Stateless.
//
// Image bytes come from books and are untrusted: every decode here reads the
// declared size from the header first and refuses images above the pixel
// budget, because Qt's PNG, GIF and BMP readers allocate the whole image
// before any scaling applies. SVG drawings pass the SVG guard first (their
// references to other files dropped).
class ImageUtil : public QObject
{
    Q_OBJECT
public:
    // Largest image, in pixels, decoded from untrusted bytes.
    static constexpr qint64 kMaxDecodePixels = DecodeWire::kMaxPixels;

    // True when a positive size is within the pixel budget.
    static bool withinPixelBudget(const QSize &size);

    // True when the data decodes, or no decoding helper could tell now.
    static bool loadFromBytes(const QByteArray &data);
    // File suffix ("jpg", "png", ...) from the signature or the header; empty
    // when the data is not a recognisable image.
    static QString detectFormat(const QByteArray &data);
    static QString defaultSuffix(const QByteArray &data);
    // Re-encoded as "jpg"/"jpeg" (at quality) or "png"; empty on failure.
    static QByteArray convertImageData(const QByteArray &data, const QString &format, int quality);
    // Plain JPEG or PNG bytes, also from input that only decodes with an
    // explicit format or after a UTF-8 byte-order mark is dropped.
    static QByteArray loadRobust(const QByteArray &data);
    // The content's bounding box plus margin; the input when nothing to cut.
    static QImage cropBorders(const QImage &image, int margin, int threshold);

    // Every thread outside Qt's global pool converts and scales through
    // these (see ImageScale).
    static QImage converted(const QImage &image, QImage::Format format)
    {
        return ImageScale::converted(image, format);
    }
    static QImage smoothScaled(const QImage &image, const QSize &size)
    {
        return ImageScale::smoothScaled(image, size);
    }

private:
    ImageUtil() = delete;
};
