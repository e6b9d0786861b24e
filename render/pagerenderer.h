#pragma once

#include "layoutrecords.h"
#include "pdfpageloader.h"

#include <QFuture>
#include <QHash>
#include <QImage>
#include <QRect>
#include <QString>
#include <QStringList>
#include <QThreadPool>
#include <QVector>

class QPainter;

// One piece of one PDF page to rasterise in a batch.
struct BatchRequest
{
    QString source;
    QSize targetSize;   // the whole page image in layout pixels
    QRect rect;         // the piece, in layout pixels of that page image
    QString keyPrefix;
    qint64 bytes = 0;
};

// Paints one laid-out page into an image of the reader's page size. One
// renderer per render thread (forCurrentThread): the raw fonts it draws with
// and its image cache belong to that thread, so it takes no lock.
class PageRenderer
{
public:
    enum Mode {
        DrawEverything = 0,
        DrawWithoutPdf = 1,   // the base image of a PDF batch
        DrawKeyedImages = 2,  // transparent, only the image lines whose source is the key
    };

    static constexpr qint64 DrawnImageCacheLimit = 24ll * 1024 * 1024;
    // Bounds one raster request and a pair run together.
    static constexpr qint64 PdfByteLimit = 96ll * 1024 * 1024;
    // Rasters are kept only for pages drawn again soon (a PDF page on two
    // screens of the strip), so a couple of pages' worth is enough.
    static constexpr qint64 RasterCacheLimit = 24ll * 1024 * 1024;

    PageRenderer();
    ~PageRenderer();
    PageRenderer(const PageRenderer &) = delete;
    PageRenderer &operator=(const PageRenderer &) = delete;

    // Built on first use, destroyed when the thread ends.
    static PageRenderer &forCurrentThread();

    // What the caches of every renderer hold, all threads together: the
    // render pool keeps its pages within what is left of its budget.
    static qint64 cachedBytes();
    // A page image leaving the reading window becomes the buffer of the next
    // page drawn at its size, unless something else still shares it: a fresh
    // full-screen image costs page faults and a clear of its own.
    static void recyclePageImage(QImage &image);
    static void dropSpareBuffer();
    // Hands the memory freed so far back to the system; for large releases only.
    static void returnFreedMemory();

    QImage renderPage(const PageLayout &page, const LayoutConfig &config, const QString &key,
                      const QImage &batchImage, const QRect &region, int mode);
    QImage renderPageSimple(const PageLayout &page, const LayoutConfig &config);
    QVector<QImage> renderPages(const QVector<PageLayout> &pages, const LayoutConfig &config);

    // Draws the pages without their PDF pages, then rasterises every PDF
    // piece they show once (from the cache, or two requests at a time on the
    // renderer's own pool) and composes it into each page that shows it.
    QVector<QImage> renderPdfBatch(const QVector<PageLayout> &pages, const LayoutConfig &config);
    // The source of the page's first PDF line, or empty.
    static QString isPdfSource(const PageLayout &page);
    static QString makePdfCacheKey(const QString &source, const QSize &size, float scale);
    static qint64 estimateBytes(const QRect &rect, float scale);
    // Halves the rectangle along its longer side until each piece fits PdfByteLimit.
    static QVector<QRect> splitRect(const QRect &rect, float scale);
    void batchApply(const BatchRequest &request, const QImage &raster,
                    const QVector<PageLayout> &pages, const LayoutConfig &config,
                    QVector<QImage> &images);

    // PDF rasters by source, size, scale and piece; a piece inside a larger
    // cached one is cut from it.
    QImage lookupRaster(const QString &keyPrefix, const QRect &rect, float scale);
    void cacheInsert(const QString &keyPrefix, const QRect &rect, const QImage &image);
    void evictToFit(qint64 incoming);
    // Hands memory back once the rasters dropped since the last time fill the cache.
    void releaseDroppedRasters();
    qint64 rasterCacheBytes() const { return m_rasterBytes; }
    int rasterCacheCount() const { return m_rasters.size(); }

    // Drops cached state when a newer book opening starts; the same generation keeps it.
    void resetForGeneration(qint64 generation);

    // Decoded page images by source and drawn size, least recently used first out.
    QImage lookupDrawnImage(const QString &source);
    void storeDrawnImage(const QString &source, const QImage &image);
    void evictDrawnImages(qint64 incoming);
    qint64 drawnImageBytes() const { return m_drawnBytes; }

private:
    struct PageContext;
    struct RasterEntry
    {
        QString keyPrefix;
        QRect rect;
        QImage image;
    };

    void drawImageLine(QPainter &painter, const PageContext &page, const LayoutLine &line);
    void drawUnsizedImageLine(QPainter &painter, const PageContext &page, const LayoutLine &line);
    void drawPdfLine(QPainter &painter, const PageContext &page, const LayoutLine &line,
                     const QImage &batchImage, const QRect &region, int mode);
    QFuture<QImage> startRaster(const BatchRequest &request, float scale);
    // Moves what this renderer's caches hold into the shared count.
    void syncCachedBytes();
    static void drawLoadFailure(QPainter &painter, const PageContext &page, const LayoutLine &line);
    void drawTextLine(QPainter &painter, PageContext &page, const LayoutLine &line);

    PdfPageLoader m_loader;  // PDF pages drawn on the calling thread
    QHash<QString, RasterEntry> m_rasters;
    QStringList m_rasterOrder;  // oldest first; a few dozen rasters at most
    qint64 m_rasterBytes = 0;
    qint64 m_droppedRasterBytes = 0;  // since memory was last handed back

    QHash<QString, QImage> m_drawnImages;
    QStringList m_drawnOrder;  // a page holds a few images: a list scan is cheap
    qint64 m_drawnBytes = 0;
    QImage m_spareDecode;  // a picture's buffer that left the cache
    qint64 m_generation = 0;
    qint64 m_countedBytes = 0;  // this renderer's part of cachedBytes()

    // Last member: destroyed first, so no batch job outlives the caches.
    QThreadPool m_pool;
};
