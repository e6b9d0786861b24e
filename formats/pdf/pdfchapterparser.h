#pragma once

#include "chapterparser.h"
#include "pdfanswers.h"

#include <QSizeF>
#include <QString>
#include <QVector>

class PdfBook;

// One chapter's page range: [startPage, endPage), 0-based.
struct PdfTocEntry
{
    QString title;
    int startPage = 0;
    int endPage = 0;
};

// Cuts a PDF into chapters of pages: from the outline, else from a printed
// contents page, else into fixed ranges. Fixes the book's render dpi and
// copies the file into the data folder. Every chapter carries the dynamic
// properties "pdfSourcePath", "pdfRenderDpi", "pdfStartPage" and
// "pdfEndPage" (inclusive) for the content step.
class PdfChapterParser : public ChapterParser
{
    Q_OBJECT
public:
    explicit PdfChapterParser(QObject *parent = nullptr);

    ChapterListResult parseChapters(const QString &filePath, const QString &dataDir,
                                    const QString &novelId, QString *errorText) override;
    // The next parseChapters takes these facts of the book (read by the
    // book-information step) instead of asking for them again; null: asks.
    void setFacts(const PdfAnswers::Book *facts) { m_facts = facts; }
    bool writeChapterFiles(const QVector<ChapterInfo *> &chapters, const QString &text) override;

    // Depth first, every level; sorted by page, same-page entries in outline
    // order. Linear in the outline and the pages. Of the book at filePath,
    // or of the book's facts read already.
    static QVector<PdfTocEntry> extractTocFromOutline(const QString &filePath);
    static QVector<PdfTocEntry> extractTocFromOutline(const PdfAnswers::Book &book);
    // Entries sorted by start page that begin on the same page become one,
    // titled by their titles in order, so that every page is stored once.
    static QVector<PdfTocEntry> mergeSharedPages(const QVector<PdfTocEntry> &entries);
    // Entries of the first of the first pages, from firstPage on, that reads
    // as a contents page and of the pages after it that continue it (before
    // the first page it points to, headed by no list of figures or tables,
    // numbers going on, the same leaders), with the printed page numbers as
    // they stand (number - 1); contentsPage and lastContentsPage receive the
    // first and last of those pages' indexes.
    static QVector<PdfTocEntry> detectTocInText(PdfBook &book, int *contentsPage = nullptr,
                                                int firstPage = 0, int *lastContentsPage = nullptr);
    // Moves printed page numbers onto page indexes by the one offset at which
    // an entry's title is found on its page (outside the contents pages);
    // false when no offset is found, the shifted entries leave the book, or
    // the first contents page has no contents heading and most titles do
    // not head their pages. When the whole list fails, the first contents
    // page's entries alone are tried. Both give up (none, false) once a
    // page's text is over the helper's budget.
    static bool alignPrintedPages(PdfBook &book, int contentsPage, int lastContentsPage,
                                  QVector<PdfTocEntry> *entries);

    // Of the book's pages' sizes in points (empty for a page that does not load).
    static int fitDpiToScreen(const QVector<QSizeF> &pagePoints);
    static int dpiForQuality(int quality, int fitDpi);
    // From "READ_SETTING/PDF_DPI" of the settings file.
    static int configuredRenderDpi(const QVector<QSizeF> &pagePoints);
    // dpi, lowered so that the largest page's raster stays within the decode
    // budget for images.
    static int boundedRenderDpi(const QVector<QSizeF> &pagePoints, int dpi);

    // The page sizes read by the last parseChapters, for the content step.
    const QVector<QSizeF> &pagePoints() const { return m_pagePoints; }

    static constexpr int RangePages = 30;
    static constexpr int MaxPages = PdfAnswers::kMaxPages;
    static constexpr int MaxTocEntries = PdfAnswers::kMaxOutlineEntries;
    // A chapter titled by several entries that share its first page.
    static constexpr int MaxTitleLength = 200;
    static constexpr int ContentsScanPages = 12;
    // Pages one printed contents runs over.
    static constexpr int MaxContentsPages = 30;
    static constexpr int OffsetSearchPages = 20;
    // Entries side by side on one line of a contents page.
    static constexpr int MaxContentsColumns = 3;

private:
    QVector<QSizeF> m_pagePoints;
    const PdfAnswers::Book *m_facts = nullptr;
};
