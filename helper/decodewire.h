#pragma once

#include <QImage>
#include <QRect>
#include <QSize>

#include <cstring>
#include <type_traits>

// What the program and the decoding helper say to each other over their
// stream socket. One request at a time: a Request header, then its bytes;
// one Answer header back, then the rows on the socket, or none there when a
// sealed memory descriptor came with the header and holds them; a request
// answered in bytes has them (its payload) after the header instead.
//
// A new kind of request adds a Kind here, a handler in decoder/handlers.h
// (registered in decoder/main.cpp) and, for its callers, a function beside
// DecodeService::decode that fills a Policy for it.
namespace DecodeWire {

enum class Kind : qint32 {
    Drawing = 1,
    Picture = 2,
    // A page of a PDF book: no bytes follow the request, the book's file
    // comes as a descriptor with it (PdfPart says which page and part).
    PdfPage = 3,
    // A PDF book's facts, its bytes after the answer (PdfAnswers::Book).
    PdfBook = 4,
    // One PDF page's text (PdfAnswers::PageText), pdf.page naming it: the
    // whole text, or the words with their boxes.
    PdfText = 5,
    PdfWords = 6,
};

// The kinds that come with a book's file, and no bytes.
inline bool withBook(Kind kind)
{
    return kind == Kind::PdfPage || kind == Kind::PdfBook || kind == Kind::PdfText || kind == Kind::PdfWords;
}
// The kinds answered in bytes after the header, never in pixels.
inline bool withPayload(Kind kind)
{
    return kind == Kind::PdfBook || kind == Kind::PdfText || kind == Kind::PdfWords;
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// A sanitized helper does the same work several times slower, and holds
// its sanitizer's shadow and quarantine resident beside its own memory: its
// budgets grow with it, so that a request fits them as it does unsanitized.
constexpr int kSlowerBy = 8;
#else
constexpr int kSlowerBy = 1;
#endif
// The work one request may cost in the helper, however many came before it
// on that helper.
constexpr int kCpuMilliseconds = 2000 * kSlowerBy;
constexpr qint64 kMemoryBytes = 300 * 1024 * 1024;
// The resident memory the program lets a helper hold while it works.
constexpr qint64 kResidentBytes = kMemoryBytes * kSlowerBy;
// A helper that neither answers nor dies by then is killed (one starved of
// CPU by a loaded machine, or stopped).
constexpr int kWallMilliseconds = 10000 * kSlowerBy;
// CPU a helper may spend over its life (its hard limit, which can never be
// raised again); it is replaced before a request could reach it.
constexpr int kLifetimeCpuSeconds = 60 * kSlowerBy;
// Largest picture, in pixels, decoded from a book's bytes.
constexpr qint64 kMaxPixels = 64 * 1000 * 1000;
// Largest request the helper reads.
constexpr qint32 kMaxRequestBytes = 64 * 1024 * 1024;

// The size a picture is read at.
enum class Fit : qint32 {
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

// How a request's picture is sized: travels with its bytes.
struct Policy {
    Fit fit = Fit::Natural;
    // Pixels one picture may decode to: a raster's natural size (its reader
    // allocates it whole before scaling), a drawing's size as drawn.
    qint64 maxPixels = kMaxPixels;
    QSize box;
    bool enlarge = true;
    int stripWidth = 0;
    QSize drawn;
    QRect visible;
};
static_assert(std::is_trivially_copyable<Policy>::value, "a policy is sent as it is");

// True when a positive size has at most maxPixels.
inline bool withinBudget(const QSize &size, qint64 maxPixels)
{
    return size.width() > 0 && size.height() > 0 && qint64(size.width()) * size.height() <= maxPixels;
}

// The size a picture of natural size is scaled to; empty when none.
QSize target(const QSize &natural, const Policy &policy);
// Of a picture drawn at policy.drawn, the part kept.
QRect drawnPart(const Policy &policy);
// The size of the pixels answered for a picture of that natural size.
QSize answerSize(const QSize &natural, const Policy &policy);

// Which part of a PDF page a PdfPage request draws. The whole page would
// measure `whole` pixels, of which `part` is kept; an empty whole draws the
// whole page at `dpi`, shrunk to `longestSide` when that is set. A size-only
// request answers the page's size at `dpi`.
struct PdfPart {
    qint32 page = -1;
    QSize whole;
    QRect part;
    qint32 dpi = 0;
    qint32 longestSide = 0;
    // The book as it is (device, inode, size, change time): the helper keeps
    // its document open under it for the book's next requests.
    quint64 book = 0;
    // The program holds the book's verdict and enforces it: the helper does
    // not check the book again. Otherwise it checks it before poppler reads
    // it, and refuses what the check refuses.
    qint32 checked = 0;
};

// The size a PdfPage request answers at most for a page whose whole
// measures natural pixels (empty when it draws none).
QSize pdfAnswerBound(const PdfPart &part, const QSize &natural);

struct Request {
    Kind kind = Kind::Picture;
    qint32 bytes = 0;
    Policy policy;
    // The reader to use; empty decides it from the content.
    char format[16] = {};
    PdfPart pdf;
};
static_assert(std::is_trivially_copyable<Request>::value, "a request is sent as it is");

enum class Outcome : qint32 {
    // Pixels follow when the policy asked for them; else the size only.
    Done = 1,
    // Not a picture of that kind (or one the helper never reads).
    Unreadable = 2,
    // Its declared size is unknown or over the policy's budget.
    SizeRefused = 3,
};

struct Answer {
    Outcome outcome = Outcome::Unreadable;
    qint32 naturalWidth = -1, naturalHeight = -1;
    char format[16] = {};
    qint32 width = 0, height = 0, imageFormat = 0, bytesPerLine = 0;
    // The rows are in the memory whose descriptor came with this header.
    qint32 shared = 0;
    // Of a PdfPage request: the document's pages, and how long it took to
    // open when this request opened it (-1 when it was open already).
    qint32 pages = 0;
    qint32 openedMs = -1;
    // Bytes that follow this header, of a kind withPayload answers.
    qint32 payload = 0;
};
static_assert(std::is_trivially_copyable<Answer>::value, "an answer is sent as it is");

// Largest payload the program reads.
constexpr qint32 kMaxPayloadBytes = 24 * 1024 * 1024;

// Rows smaller than this travel on the socket: a mapping costs more.
constexpr qint64 kSharedFromBytes = 64 * 1024;

// The formats an answer's rows may have: none with a colour table, which
// the rows cannot carry. A drawing is always kDrawnFormat.
constexpr QImage::Format kDrawnFormat = QImage::Format_ARGB32_Premultiplied;
bool answerFormat(QImage::Format format);
// Bytes of one row as QImage lays it out, for a format answerFormat takes.
qint64 rowBytes(int width, QImage::Format format);

// A format name into its fixed field, and back (empty unless it is a
// short name of lower-case letters and digits).
void putName(char (&field)[16], const QByteArray &name);
QByteArray takeName(const char (&field)[16]);

}
