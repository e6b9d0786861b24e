#pragma once

#include "imageutil.h"
#include "svgguard.h"

#include <QByteArray>
#include <QImage>
#include <QRect>
#include <QSize>
#include <QString>

class QIODevice;

// The one checked decode of a book's picture, raster or drawing: the bytes
// pass the SVG guard, the content decides the reader, the declared size is
// checked before any pixel is decoded, and the picture is read at the size
// asked. Stateless; re-entrant.
namespace ImageDecode {

// The size a picture is read at.
enum class Fit {
    // Its natural size and the reader's format only, no pixels.
    SizeOnly,
    Natural,
    // Inside `box`, aspect kept; `enlarge` lets smaller pictures grow to it.
    // A picture over twice as high as wide is shrunk to `stripWidth` instead
    // when that is set, never enlarged.
    Box,
    // The whole picture scaled to `drawn` (aspect as given), of which only
    // `visible` (in drawn pixels; empty: all) is kept.
    Drawn,
};

struct Options {
    Fit fit = Fit::Natural;
    // The reader to use; empty decides it from the content. A drawing is
    // only ever read as a drawing.
    QByteArray format;
    // Pixels one picture may decode to: a raster's natural size (its reader
    // allocates it whole before scaling), a drawing's size as drawn.
    qint64 maxPixels = ImageUtil::kMaxDecodePixels;
    QSize box;
    bool enlarge = true;
    int stripWidth = 0;
    QSize drawn;
    QRect visible;
    // Pixels go here when it has the decoded size and format.
    QImage reuse;
    // A drawing's own path in the book and the book's resources, for the guard.
    QString selfPath;
    SvgGuard::Resources resources;
};

struct Result {
    QImage image;
    // (-1, -1) when the bytes do not tell it.
    QSize natural{-1, -1};
    QByteArray format;
    bool drawing = false;
    // The declared size was unknown or over the budget: nothing decoded.
    bool sizeRefused = false;
    // The bytes that were read: a drawing as the guard rewrote it.
    QByteArray bytes;
};

Result decode(const QByteArray &bytes, Options options = Options());
// A picture file: a raster is read from the device as it goes, a drawing
// whole (up to the guard's limit) through the guard.
Result decode(QIODevice &device, Options options = Options());

// Options asking for the natural size and the reader's format only.
Options sizeOnly();

// True when a positive size has at most maxPixels.
bool withinBudget(const QSize &size, qint64 maxPixels);

// The size a picture of natural size is decoded at; empty when none.
QSize target(const QSize &natural, const Options &options);

// Drawing bytes that passed the guard, read as options ask: the one place
// Qt SVG draws a book's drawing.
Result decodeDrawing(const QByteArray &checked, Options options);

}
