#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

// SVG drawings come from books and are untrusted twice over: Qt SVG opens
// any file or URL an <image> names, and its cost grows with the drawing
// (gradient stops cost quadratic time, every element memory). Every path
// that hands image bytes to QImageReader passes them through here first.
//
// A drawing is checked by one streaming pass before Qt SVG sees it and
// written out again with only references inside its own book: pictures
// become data: URIs of the book's own resources, everything else that is
// not a fragment of the drawing itself is dropped. Stateless; re-entrant.
namespace SvgGuard {

// Bytes of one of the book's own resources, by its path inside the book
// ("OEBPS/img/a.png", never absolute, never climbing) or, for a "#id"
// reference, by that text; empty when the book has no such resource.
using Resources = std::function<QByteArray(const QString &name)>;

constexpr int kMaxBytes = 8 * 1024 * 1024;
constexpr int kMaxElements = 50000;
// Elements drawn, counting each <use> as the elements it repeats.
constexpr qint64 kMaxDrawnElements = 200000;
constexpr int kMaxStops = 4096;
constexpr int kMaxDepth = 128;
// The rewritten drawing with its pictures inlined.
constexpr int kMaxOutputBytes = 32 * 1024 * 1024;
// Pixels of all the pictures one drawing shows, each counted every time it
// is shown: Qt SVG decodes every <image> whole, at four bytes a pixel.
constexpr qint64 kMaxDrawingPixels = 16 * 1000 * 1000;
// Characters the drawing's own entities may add, over all their references.
constexpr qint64 kMaxEntityCharacters = 4 * 1024 * 1024;

// The head of a file that tells whether it is a drawing.
constexpr int kHeadBytes = 4096;

// True for bytes Qt's image reader would read as SVG, whatever their text
// encoding (its detection decides), for any text that opens with a tag in
// an encoding Qt's XML reader takes (past any white space), for text that
// is white space to its end (a head may end before the tag), and for gzip data.
bool isDrawing(const QByteArray &bytes);

// The drawing safe to hand to Qt SVG; empty when it is refused (over a
// bound, not well-formed, compressed, an encoding Qt does not know, no <svg>
// root); read in the encoding Qt's XML reader would use. selfPath is the
// drawing's own path inside the book, relative references resolve against
// its folder; without resources every outside reference is dropped.
QByteArray sanitize(const QByteArray &drawing, const QString &selfPath = QString(),
                    const Resources &resources = Resources());

// Image bytes about to be decoded: anything but a drawing unchanged, a
// drawing sanitised (empty when refused). Every decode of a book's bytes
// goes through here; `drawing` tells which it was.
QByteArray guard(const QByteArray &bytes, const QString &selfPath = QString(),
                 const Resources &resources = Resources(), bool *drawing = nullptr);

// Resources read from the files under folder (the drawing's own folder),
// none through a link or outside it, none above maxBytes.
Resources folderResources(const QString &folder, qint64 maxBytes = kMaxBytes);

}
