#pragma once

#include "decodewire.h"
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
// asked, by the decoding helper only (DecodeService). Sizes our own header
// reader knows need no helper. Stateless; re-entrant.
namespace ImageDecode {

using Fit = DecodeWire::Fit;

// The size policy travels to the helper with the bytes; the rest stays here.
struct Options : DecodeWire::Policy {
    // The reader to use; empty decides it from the content. A drawing is
    // only ever read as a drawing.
    QByteArray format;
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
    // No helper could read it now: nothing learnt of it is kept for good.
    bool unavailable = false;
    // Over its budget in the helper: left out at that size this session.
    bool refused = false;
};

Result decode(const QByteArray &bytes, Options options = Options());
// A picture file: read whole (a size only from its head when the header
// tells it), a drawing through the guard.
Result decode(QIODevice &device, Options options = Options());

// Options asking for the natural size and the reader's format only.
Options sizeOnly();

using DecodeWire::withinBudget;

// Drawing bytes that passed the guard, read as options ask: the one place
// Qt SVG draws a book's drawing.
Result decodeDrawing(const QByteArray &checked, Options options);

}
