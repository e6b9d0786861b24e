// Drawings: bytes already through the program's SVG guard, parsed and
// painted by Qt SVG, straight at the size asked.

#include "handlers.h"

#include <QBuffer>
#include <QImageReader>

using namespace DecodeWire;

Reply drawDrawing(const Request &request, QByteArray &bytes, SharedRows &rows)
{
    Reply reply;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    // Named, with detection off, so that only the SVG plugin is loaded: else
    // Qt tries every image plugin in turn, loading each and what it needs.
    reader.setFormat("svg");
    reader.setAutoDetectImageFormat(false);
    if (!reader.canRead())
        return reply;
    reply.natural = reader.size();
    reply.format = "svg";
    if (!reply.natural.isValid()) {
        reply.natural = QSize(-1, -1);
        return reply;
    }
    reply.outcome = Outcome::Done;
    const Policy &policy = request.policy;
    if (policy.fit == Fit::SizeOnly)
        return reply;
    // A drawing is drawn straight at the size asked: only that size counts.
    const QSize size = target(reply.natural, policy);
    if (reply.natural.isEmpty() || !withinBudget(size, policy.maxPixels)) {
        reply.outcome = Outcome::SizeRefused;
        return reply;
    }
    const QSize drawn = answerSize(reply.natural, policy);
    if (drawn.isEmpty())
        return reply;
    if (size != reply.natural)
        reader.setScaledSize(size);
    if (policy.fit == Fit::Drawn && drawn != size)
        reader.setScaledClipRect(drawnPart(policy));
    // Qt's reader draws straight into an image of the size it draws at.
    QImage image = rows.image(drawn, kDrawnFormat);
    if (!reader.read(&image))
        image = QImage();
    reply.image = image;
    return reply;
}
