#pragma once

#include <QByteArray>
#include <QImage>
#include <QRect>
#include <QSize>

#include <functional>

// Qt SVG's work grows with what a drawing makes it do, not with its size: a
// few kilobytes can cost minutes and gigabytes, and no count of elements
// foresees every form. So drawings are parsed and painted only in a helper
// process, "harbour-quillora-draw" beside the program, which bounds its own
// CPU time and memory before it reads anything; past the budget it dies and
// the drawing is left out. Idle helpers are kept for the next drawing, one
// per concurrent caller. Re-entrant; called from any thread.
namespace BoundedDrawing {

// The work one drawing may cost, its size query and its painting together.
constexpr int kCpuMilliseconds = 2000;
constexpr qint64 kMemoryBytes = 300 * 1024 * 1024;
// A helper that neither answers nor dies by then is killed (one that is
// starved of CPU by a loaded machine, or stopped).
constexpr int kWallMilliseconds = 10000;

// What to draw once the natural size is known: the whole drawing scaled to
// size (invalid: the natural size), of which clip comes back (empty: all of
// it). draw false stops at the size.
struct Target {
    QSize size;
    QRect clip;
    bool draw = true;
};
using Choose = std::function<Target(const QSize &natural)>;

// The drawing (bytes already through the SVG guard) at the target chosen
// from its natural size, in the pixels Qt's image reader gives; null when
// it is refused, over the budget or not a drawing. natural: (-1, -1) then.
QImage draw(const QByteArray &drawing, const Choose &choose, QSize *natural = nullptr);
// Starts a helper when none runs, so that its start overlaps the caller's
// other work once a drawing is foreseen.
void prepare();

// The exchange with the helper, over one stream socket: a Request and the
// drawing's bytes; the natural size as a Size; a Request naming the target
// (bytes 0; width 0 to stop), which may carry a descriptor of shared memory
// sized for the drawn rows; then, when drawn, an Image header and its rows,
// in that memory when the header says so, else on the socket.
namespace Wire {
struct Request {
    qint32 bytes = 0;
    qint32 width = -1, height = -1;
    qint32 clipX = 0, clipY = 0, clipWidth = 0, clipHeight = 0;
};
struct Size {
    qint32 width = -1, height = -1;
};
struct Image {
    qint32 width = 0, height = 0, format = 0, bytesPerLine = 0;
    qint32 shared = 0;
};
// The rows the helper draws: the clip's, else the size asked, else the
// natural size; four bytes a pixel, premultiplied, as Qt's reader gives them.
inline QSize drawnSize(const Request &target, const QSize &natural)
{
    if (target.clipWidth > 0 && target.clipHeight > 0)
        return QSize(target.clipWidth, target.clipHeight);
    if (target.width > 0 && target.height > 0)
        return QSize(target.width, target.height);
    return natural;
}
constexpr QImage::Format kDrawnFormat = QImage::Format_ARGB32_Premultiplied;
// Bytes of one row and of all rows of that size, in that format.
inline qint64 drawnLineBytes(const QSize &drawn) { return qint64(drawn.width()) * 4; }
inline qint64 drawnBytes(const QSize &drawn) { return drawnLineBytes(drawn) * drawn.height(); }
}

}
