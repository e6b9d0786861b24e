#pragma once

#include "decodewire.h"
#include "sharedrows.h"

#include <QByteArray>
#include <QImage>
#include <QSize>

// What a handler makes of one request; main() sends it as the Answer.
struct Reply {
    DecodeWire::Outcome outcome = DecodeWire::Outcome::Unreadable;
    QSize natural{-1, -1};
    QByteArray format;
    // Null when no pixels were asked for or none could be made. A handler
    // may read straight into rows.image(...) to spare a copy.
    QImage image;
    // Of a PDF page: as in the Answer.
    qint32 pages = 0;
    qint32 openedMs = -1;
    // Of a kind answered in bytes: they follow the Answer.
    QByteArray payload;
};

// One handler per request kind; each reads its bytes as the request's
// policy asks, and never a drawing as a picture or the reverse.
using Handler = Reply (*)(const DecodeWire::Request &request, QByteArray &bytes, SharedRows &rows);

Reply drawDrawing(const DecodeWire::Request &request, QByteArray &bytes, SharedRows &rows);
Reply drawPdfPage(const DecodeWire::Request &request, QByteArray &bytes, SharedRows &rows);
// A PDF book's facts; one page's text or words.
Reply readPdfBook(const DecodeWire::Request &request, QByteArray &bytes, SharedRows &rows);
Reply readPdfText(const DecodeWire::Request &request, QByteArray &bytes, SharedRows &rows);
Reply readPicture(const DecodeWire::Request &request, QByteArray &bytes, SharedRows &rows);
