// Pictures: whatever Qt's image plugins read, but never a drawing.

#include "handlers.h"
#include "imageheader.h"
#include "imagescale.h"

#include <QBuffer>
#include <QImageReader>

using namespace DecodeWire;

namespace {

// Only JPEG decodes smaller; Qt's other readers that take a scaled size
// read the whole picture and hand the scaling to Qt's thread pool.
bool scalesItself(QImageReader &reader)
{
    return reader.format() == "jpeg";
}

// Where the reader may put the pixels: the shared rows when it decodes
// straight to the size answered in a format the answer takes.
QImage destination(QImageReader &reader, const QSize &size, SharedRows &rows)
{
    const QImage::Format format = reader.imageFormat();
    return answerFormat(format) && size.width() * qint64(size.height()) * 4 >= kSharedFromBytes
        ? rows.image(size, format)
        : QImage();
}

// The picture the reader stands on, read as the policy asks, its natural
// size already taken.
QImage readFitted(QImageReader &reader, const Policy &policy, const QSize &natural, SharedRows &rows)
{
    const QSize size = target(natural, policy);
    const QRect part = policy.fit == Fit::Drawn ? drawnPart(policy) : QRect(QPoint(0, 0), size);
    if (size.isEmpty() || part.isEmpty())
        return QImage();
    const QRect whole(QPoint(0, 0), size);
    QImage image;
    // A JPEG shrinks while it is decoded; scaling afterwards and a
    // full-size buffer in between are what the size asked saves.
    if (scalesItself(reader)) {
        if (size != natural)
            reader.setScaledSize(size);
        if (part != whole)
            reader.setScaledClipRect(part);
        image = destination(reader, part.size(), rows);
    } else if (size == natural && part == whole) {
        image = destination(reader, size, rows);
    }
    if (!reader.read(&image))
        return QImage();
    if (image.size() != part.size()) {
        if (image.size() != size)
            image = ImageScale::smoothScaled(image, size);
        if (part != whole)
            image = image.copy(part);
    }
    return image;
}

}

Reply readPicture(const Request &request, QByteArray &bytes, SharedRows &rows)
{
    Reply reply;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    const QByteArray format = takeName(request.format);
    QImageReader reader(&buffer, format);
    if (format.isEmpty())
        reader.setDecideFormatFromContent(true);
    else
        reader.setAutoDetectImageFormat(false);
    // A drawing is drawn only once the program's guard has made it safe.
    if (!reader.canRead() || reader.format().startsWith("svg"))
        return reply;
    reply.format = reader.format().toLower();
    // Qt's GIF reader answers the first frame's size when the logical screen
    // is ten times larger, yet decodes the whole screen: the header's size is
    // the one allocated, and the one the program reads too.
    const ImageHeader::Found head = ImageHeader::read(bytes);
    reply.natural = head.format == reply.format ? head.size : reader.size();
    reply.outcome = Outcome::Done;
    const Policy &policy = request.policy;
    if (policy.fit == Fit::SizeOnly)
        return reply;
    // Qt's PNG, GIF and BMP readers allocate the whole image before any
    // scaling applies: the declared size decides before a pixel is read.
    if (!withinBudget(reply.natural, policy.maxPixels)) {
        reply.outcome = Outcome::SizeRefused;
        return reply;
    }
    reply.image = readFitted(reader, policy, reply.natural, rows);
    return reply;
}
