#pragma once

#include "decodewire.h"

#include <QByteArray>
#include <QImage>
#include <QSet>
#include <QSize>
#include <QString>

// Decodes a book's untrusted bytes only in a helper process beside the
// program, "harbour-quillora-decode", whose every request is bounded by its
// own CPU time, memory and wall-clock budget: whatever Qt's image plugins or
// Qt SVG make of the bytes costs at most that, and whatever the helper sends
// back is checked before the program takes it. Idle helpers are kept for the
// next request, one per concurrent caller. Re-entrant; called from any thread.
namespace DecodeService {

enum class Status {
    // Decoded, or sized when the policy asked for the size only.
    Done,
    // Not a picture the helper reads.
    Unreadable,
    // Its declared size is unknown or over the policy's budget.
    SizeRefused,
    // Over its budget, or it drove the helper to answer out of turn; it is
    // not tried again at that size this session.
    Refused,
    // No helper could do it (none started, or it died twice for causes of
    // its own): worth trying again later, never a verdict on the bytes.
    Unavailable,
};

struct Result {
    Status status = Status::Unavailable;
    QImage image;
    // (-1, -1) when not known.
    QSize natural{-1, -1};
    QByteArray format;
    // Of a PDF page: the document's pages (0: not known), and how long the
    // helper took to open it for this request (-1: it was open).
    int pages = 0;
    int openedMs = -1;
    // Of a request answered in bytes (DecodeWire::withPayload): as the
    // helper sent them, within kMaxPayloadBytes, to be read as hostile.
    QByteArray payload;
};

// The bytes as a picture of that kind, sized by policy; format names the
// reader (empty: decided from the content). reuse takes the rows when it
// has their size and format and they come on the socket.
Result decode(DecodeWire::Kind kind, const QByteArray &bytes, const DecodeWire::Policy &policy,
              const QByteArray &format = QByteArray(), QImage reuse = QImage());

// The part of a PDF page that pdf names, drawn from the book at path, sized
// as policy allows: natural is the whole page's size in pixels. The helper
// is sent the book's open file, never its name, and keeps its document open
// for the book's next pages, which go to it.
Result drawPdfPage(const QString &path, const DecodeWire::PdfPart &pdf, const DecodeWire::Policy &policy);

// A request about the PDF book at path answered in bytes: its facts
// (Kind::PdfBook), one page's text or words (Kind::PdfText, Kind::PdfWords;
// pdf.page names it). Sent, routed and kept open as drawPdfPage's; only
// pdf.page and pdf.checked are read.
Result readPdf(DecodeWire::Kind kind, const QString &path, const DecodeWire::PdfPart &pdf = DecodeWire::PdfPart());

// Starts a helper when none runs, so that its start overlaps the caller's
// other work once a request is foreseen.
void prepare();

// The helper the program starts; beside the program unless set (tests name
// their own). Idle helpers of another are ended.
void setHelperPath(const QString &path);

// The formats Qt's image plugins read, lower-cased (a list of names: no
// bytes are read for it).
const QSet<QByteArray> &readableFormats();

}
