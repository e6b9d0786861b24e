#pragma once

#include "layoutrecords.h"

#include <QHash>
#include <QImage>
#include <QRect>
#include <QString>
#include <QStringList>
#include <QVector>

class QPainter;

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

    static constexpr qint64 DrawnImageCacheLimit = 48ll * 1024 * 1024;

    PageRenderer() = default;
    PageRenderer(const PageRenderer &) = delete;
    PageRenderer &operator=(const PageRenderer &) = delete;

    // Built on first use, destroyed when the thread ends.
    static PageRenderer &forCurrentThread();

    QImage renderPage(const PageLayout &page, const LayoutConfig &config, const QString &key,
                      const QImage &batchImage, const QRect &region, int mode);
    QImage renderPageSimple(const PageLayout &page, const LayoutConfig &config);
    QVector<QImage> renderPages(const QVector<PageLayout> &pages, const LayoutConfig &config);

    // Drops cached state when a newer book opening starts; the same generation keeps it.
    void resetForGeneration(qint64 generation);

    // Decoded page images by source, least recently used first out.
    QImage lookupDrawnImage(const QString &source);
    void storeDrawnImage(const QString &source, const QImage &image);
    void evictDrawnImages(qint64 incoming);
    qint64 drawnImageBytes() const { return m_drawnBytes; }

private:
    struct PageContext;

    void drawImageLine(QPainter &painter, const PageContext &page, const LayoutLine &line);
    void drawTextLine(QPainter &painter, PageContext &page, const LayoutLine &line);

    QHash<QString, QImage> m_drawnImages;
    QStringList m_drawnOrder;  // a page holds a few images: a list scan is cheap
    qint64 m_drawnBytes = 0;
    qint64 m_generation = 0;
};
