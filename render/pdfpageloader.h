#pragma once

#include <QImage>
#include <QRect>
#include <QSize>
#include <QString>
#include <QVector>

#include <memory>

namespace Poppler {
class Document;
}
class PDFDoc;

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

    void releaseDocument(quint64 generation);

    // The part region (layout pixels) of the page shown at logicalSize,
    // rasterised at scale output pixels per layout pixel, by the decoding
    // helper, which keeps the book's document open for its next pages.
    // Null when the page cannot be drawn or is over the helper's budget.
    QImage renderPage(const QString &source, const QSize &logicalSize, const QRect &region,
                      float scale);

    // Every document, cached or not, is opened here: Poppler's own messages
    // are silenced once for the process. Null when the file cannot be read,
    // needs a password or is unsafe (see openCoreDocument). refusedPages,
    // when given, receives the pages (sorted) that must not be drawn: each
    // draws an image that declares more than ImageUtil::kMaxDecodePixels.
    static std::unique_ptr<Poppler::Document> openDocument(const QString &path, bool *unsafe = nullptr,
                                                           QVector<int> *refusedPages = nullptr);
    // The same file through poppler's core parser, the one poppler-qt5 wraps
    // (same repair of damaged files, same silenced messages), for what the
    // wrapper reads slowly. Null when the file cannot be read or needs a
    // password. Like a Poppler::Document it stays on its thread; what the
    // threads share is poppler's global parameters, counted across Qt and
    // core documents and locked inside, held while the document lives, and
    // its one error callback, which drops messages whoever set it.
    // A document that names a file poppler would open by a name that is not
    // plain (a CMap climbing out of poppler's data) is refused before
    // anything reads it: null, *unsafe set and the cause logged. The verdict
    // is kept for the file as it is (inode, size, times), so the several
    // opens of one import walk it once.
    static std::shared_ptr<PDFDoc> openCoreDocument(const QString &path, bool *unsafe = nullptr);
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

private:
    quint64 m_generation = 0;
};

// The "thread=" value of the PDF timing lines.
QString pdfPerfThread();
