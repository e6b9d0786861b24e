#pragma once

#include <QImage>
#include <QRect>
#include <QSize>
#include <QString>
#include <QVector>

#include "decodeservice.h"

// What the check of a book found before poppler read it: why poppler must
// not read it (empty when it may), and the pages (0-based, sorted) that draw
// an image past the pixel bound.
struct PdfVerdict
{
    QString cause;
    QVector<int> refusedPages;
};

// A parsed "pdf://path?page=N&dpi=D" image source.
struct PdfPageUrl
{
    QString path;
    int page = -1;
    int dpi = 0;
    bool valid = false;
};

// Rasterises PDF pages through the decoding helper, where poppler reads the
// book under the budget of each request. The helper keeps a book's document
// open across requests, so consecutive pages load the file once. Any thread.
class PdfPageLoader
{
public:
    PdfPageLoader();
    ~PdfPageLoader();
    PdfPageLoader(const PdfPageLoader &) = delete;
    PdfPageLoader &operator=(const PdfPageLoader &) = delete;

    // The part region (layout pixels) of the page shown at logicalSize,
    // rasterised at scale output pixels per layout pixel, by the decoding
    // helper, which keeps the book's document open for its next pages.
    // Null when the page cannot be drawn or is over the helper's budget.
    QImage renderPage(const QString &source, const QSize &logicalSize, const QRect &region,
                      float scale);

    // A part of a book's page drawn by the decoding helper, as
    // DecodeService::drawPdfPage draws it, the book's verdict applied: a
    // book whose verdict is held (from this session, or beside its copy) is
    // not walked again, what it refuses is refused here.
    static DecodeService::Result draw(const QString &path, DecodeWire::PdfPart pdf,
                                      const DecodeWire::Policy &policy);

    // What the helper's check found of a book, which the program keeps: true
    // when it is held for the file as it is now (inode, size, times), from
    // this session or from beside its copy.
    static bool heldVerdict(const QString &path, PdfVerdict *verdict);
    // The verdict a helper answered for the file, kept for the session and
    // beside it when it is a book's copy inside the library.
    static void noteVerdict(const QString &path, const PdfVerdict &verdict);
    // True, with the cause logged, for a book that must not be read.
    static bool refusesBook(const QString &path, const PdfVerdict &verdict);
    // The verdict on a checked file passes to its copy, and is stored beside
    // a copy inside the library, so that opening it later walks nothing.
    static void keepVerdict(const QString &checkedPath, const QString &copyPath);

    static PdfPageUrl parsePdfUrl(const QString &source);
    static QImage imageForUrl(const QString &source);
    // Whole page with blank borders cropped; the dpi is lowered when the page
    // would not fit MaxFallbackSide pixels on its longer side.
    static QImage renderFallback(const QString &path, int page, int dpi);
    static QSize pageSize(const QString &path, int page, int dpi);

    static constexpr int MaxFallbackSide = 2048;
};

// The "thread=" value of the PDF timing lines.
QString pdfPerfThread();
