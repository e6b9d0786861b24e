#include "pagerenderer.h"

#include "colors.h"
#include "pageimageloader.h"
#include "rawfontcache.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QGlyphRun>
#include <QPainter>
#include <QThreadStorage>
#include <QtConcurrent>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace {

bool isPainted(const QColor &colour)
{
    return colour.isValid() && colour.alpha() > 0;
}

bool isPdfLine(const LayoutLine &line)
{
    return line.isImage && line.imageSource.startsWith(QLatin1String("pdf://"))
        && line.displayWidth > 0 && line.displayHeight > 0;
}

int roundHalfUp(double value)
{
    return int(std::floor(value + 0.5));
}

// A PDF page's image in layout pixels.
QSize pdfTargetSize(const LayoutLine &line)
{
    return QSize(qMax(1, roundHalfUp(line.displayWidth)), qMax(1, roundHalfUp(line.displayHeight)));
}

// The part of a PDF line that lies on a page image of the given height; empty
// when none does. A tall page in the continuous strip starts above or ends
// below the screen page.
QRect visiblePdfPart(const LayoutLine &line, int imageHeight)
{
    const QSize size = pdfTargetSize(line);
    const int top = roundHalfUp(line.y);
    const int clipTop = top < 0 ? -top : 0;
    const int visible = qMin(size.height() - clipTop, qMax(0, imageHeight - qMax(top, 0)));
    if (visible <= 0)
        return QRect();
    return QRect(0, clipTop, size.width(), visible);
}

// Where the pixels of part (layout pixels) lie in an image rasterised for origin at scale.
QRect pieceRect(const QImage &image, const QRect &origin, const QRect &part, float scale)
{
    const int x = roundHalfUp(part.left() * scale) - roundHalfUp(origin.left() * scale);
    const int y = roundHalfUp(part.top() * scale) - roundHalfUp(origin.top() * scale);
    const int w = qMax(1, roundHalfUp((part.right() + 1) * scale) - roundHalfUp(part.left() * scale));
    const int h = qMax(1, roundHalfUp((part.bottom() + 1) * scale) - roundHalfUp(part.top() * scale));
    return QRect(x, y, w, h) & image.rect();
}

QImage cutPiece(const QImage &image, const QRect &origin, const QRect &part, float scale)
{
    return image.copy(pieceRect(image, origin, part, scale));
}

std::atomic<qint64> cachedTotal{0};

// One spare page buffer: in steady reading a page leaves the window as the
// next one is drawn, and the budget counts the page in flight already.
std::mutex spareMutex;
QImage spareBuffer;

QImage takeSpareBuffer(int width, int height)
{
    std::lock_guard<std::mutex> lock(spareMutex);
    QImage image;
    if (spareBuffer.width() == width && spareBuffer.height() == height)
        image = std::move(spareBuffer);
    spareBuffer = QImage();
    return image;
}

QString sizeText(const QSize &size)
{
    return QStringLiteral("%1x%2").arg(size.width()).arg(size.height());
}

void logDrawnImage(const QString &source, const QImage &image, const QRectF &target)
{
    qDebug().noquote() << "[PageRenderer] 绘制图片:" << source << "原始:" << image.size()
                       << "缩放:" << (image.width() < 1 ? 0.0 : target.width() / image.width())
                       << "显示:" << target.width() << "x" << target.height() << "位置:" << target.x()
                       << "," << target.y();
}

double toMiB(qint64 bytes)
{
    return double(bytes) / (1024.0 * 1024.0);
}

quint64 memoKey(const QColor &colour, const QColor &background)
{
    return (quint64(colour.rgba()) << 32) | quint64(background.rgba());
}

} // namespace

// What one call needs besides the page: the reference background and the
// colour adjustments already worked out, since paragraph colours recur on every line.
struct PageRenderer::PageContext
{
    const LayoutConfig &config;
    QColor reference;
    float availableWidth;
    float availableHeight;
    QHash<quint64, QColor> fills;
    QHash<quint64, QColor> texts;

    // Where a picture of this size stands in the text area: by its line's
    // alignment, and in the middle of a page when the line asks for it.
    QPointF pictureOffset(const LayoutLine &line, qreal drawWidth, qreal drawHeight) const
    {
        qreal dx = 0;
        if (drawWidth < availableWidth) {
            if (line.alignment == 1)
                dx = (availableWidth - drawWidth) * 0.5;
            else if (line.alignment == 2)
                dx = availableWidth - drawWidth;
        }
        qreal dy = 0;
        if (!config.continuousMode && line.vCenter && availableHeight > drawHeight)
            dy = (availableHeight - drawHeight) * 0.5;
        return QPointF(dx, dy);
    }

    static PageContext of(const LayoutConfig &config)
    {
        return PageContext{config,
                           config.readerBgColor.isValid() ? config.readerBgColor
                                                          : config.backgroundColor,
                           config.textAreaWidth(), config.textAreaHeight(), {}, {}};
    }

    QColor fill(const QColor &colour, const QColor &background)
    {
        const quint64 key = memoKey(colour, background);
        auto it = fills.constFind(key);
        if (it == fills.constEnd())
            it = fills.insert(key, ensureContrast(colour, background, config.darkTheme));
        return it.value();
    }

    QColor text(const QColor &colour, const QColor &background)
    {
        if (!colour.isValid())
            return config.textColor;
        if (colour.rgba() == config.textColor.rgba())
            return colour;
        const quint64 key = memoKey(colour, background);
        auto it = texts.constFind(key);
        if (it == texts.constEnd())
            it = texts.insert(key, readableColor(colour, background, config.textColor, 4.5f));
        return it.value();
    }
};

PageRenderer::PageRenderer()
{
    // Pool threads keep their own open documents, so they never expire.
    m_pool.setMaxThreadCount(2);
    m_pool.setExpiryTimeout(-1);
}

PageRenderer::~PageRenderer()
{
    m_pool.waitForDone();
    cachedTotal -= m_countedBytes;
}

qint64 PageRenderer::cachedBytes()
{
    return cachedTotal.load();
}

void PageRenderer::syncCachedBytes()
{
    const qint64 now = m_rasterBytes + m_drawnBytes + m_spareDecode.sizeInBytes();
    cachedTotal += now - m_countedBytes;
    m_countedBytes = now;
}

void PageRenderer::recyclePageImage(QImage &image)
{
    if (image.isNull() || !image.isDetached() || image.format() != QImage::Format_ARGB32_Premultiplied)
        return;
    std::lock_guard<std::mutex> lock(spareMutex);
    spareBuffer = std::move(image);
}

void PageRenderer::dropSpareBuffer()
{
    QImage dropped;
    std::lock_guard<std::mutex> lock(spareMutex);
    std::swap(dropped, spareBuffer);
}

PageRenderer &PageRenderer::forCurrentThread()
{
    static QThreadStorage<PageRenderer *> perThread;
    if (!perThread.hasLocalData())
        perThread.setLocalData(new PageRenderer());
    return *perThread.localData();
}

QImage PageRenderer::renderPageSimple(const PageLayout &page, const LayoutConfig &config)
{
    return renderPage(page, config, QString(), QImage(), QRect(), DrawEverything);
}

QVector<QImage> PageRenderer::renderPages(const QVector<PageLayout> &pages,
                                          const LayoutConfig &config)
{
    QVector<QImage> images;
    images.reserve(pages.size());
    for (const PageLayout &page : pages)
        images.append(renderPageSimple(page, config));
    return images;
}

QImage PageRenderer::renderPage(const PageLayout &page, const LayoutConfig &config,
                                const QString &key, const QImage &batchImage,
                                const QRect &region, int mode)
{
    const int width = int(config.pageWidth);
    const int height = int(config.pageHeight);
    QImage image = takeSpareBuffer(width, height);
    if (image.isNull())
        image = QImage(qMax(width, 0), qMax(height, 0), QImage::Format_ARGB32_Premultiplied);
    if (image.isNull())
        return image;
    image.fill(mode == DrawKeyedImages ? QColor(Qt::transparent) : config.backgroundColor);

    QPainter painter(&image);
    // Smooth scaling matters for comic pages and page images drawn at view size.
    painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing
                           | QPainter::SmoothPixmapTransform);

    PageContext context = PageContext::of(config);

    const QVector<LayoutLine> &lines = page.lines;
    if (mode != DrawKeyedImages && !lines.isEmpty()) {
        // Bands of equal document background, each from its first line's top
        // down to the next band, the first from the image top, the last to the bottom.
        auto sameBand = [](const QColor &a, const QColor &b) {
            return a.isValid() == b.isValid() && (!a.isValid() || a.rgba() == b.rgba());
        };
        auto clampY = [&](float y) { return qBound(0.0f, y, config.pageHeight); };
        int first = 0;
        float top = 0.0f;
        while (first < lines.size()) {
            int next = first + 1;
            while (next < lines.size() && sameBand(lines[next].docBgColor, lines[first].docBgColor))
                ++next;
            const float bottom = next < lines.size() ? clampY(config.marginTop + lines[next].y)
                                                     : config.pageHeight;
            if (bottom > top) {
                const QRectF band(0.0, top, width, bottom - top);
                const QColor &colour = lines[first].docBgColor;
                // Unpainted bands keep the background the image was filled with.
                if (isPainted(colour))
                    painter.fillRect(band, context.fill(colour, context.reference));
            }
            top = bottom;
            first = next;
        }
    }

    for (const LayoutLine &line : lines) {
        if (mode == DrawKeyedImages && !(line.isImage && line.imageSource == key))
            continue;
        if (line.isImage && !line.imageSource.isEmpty()) {
            if (!isPdfLine(line))
                drawImageLine(painter, context, line);
            else if (mode != DrawWithoutPdf)
                drawPdfLine(painter, context, line, batchImage, region, mode);
        } else {
            drawTextLine(painter, context, line);
        }
    }
    painter.end();
    return image;
}

void PageRenderer::drawImageLine(QPainter &painter, const PageContext &page,
                                 const LayoutLine &line)
{
    if (!(line.displayWidth > 0 && line.displayHeight > 0)) {
        drawUnsizedImageLine(painter, page, line);
        return;
    }
    const LayoutConfig &config = page.config;
    const qreal drawWidth = line.displayWidth;
    const qreal drawHeight = line.displayHeight;
    const QPointF offset = page.pictureOffset(line, drawWidth, drawHeight);
    const qreal dx = offset.x(), dy = offset.y();

    // Decoded at the pixels it covers and drawn 1:1: no full-size buffer, no
    // scaling while drawing. One taller or wider than the page image keeps
    // only the part on it.
    const int left = roundHalfUp(config.marginLeft + dx);
    const int top = roundHalfUp(config.marginTop + line.y + dy);
    const QRect target(left, top, qMax(1, roundHalfUp(config.marginLeft + dx + drawWidth) - left),
                       qMax(1, roundHalfUp(config.marginTop + line.y + dy + drawHeight) - top));
    const QRect pageRect(0, 0, painter.device()->width(), painter.device()->height());
    const QRect shown = target & pageRect;
    if (shown.isEmpty())
        return;
    const bool whole = qint64(target.width()) * target.height()
        <= qint64(pageRect.width()) * pageRect.height();
    const QRect part = whole ? QRect() : shown.translated(-target.topLeft());
    QString key = line.imageSource + QLatin1Char('@') + sizeText(target.size());
    if (!whole)
        key += QStringLiteral("+%1+%2+%3").arg(part.x()).arg(part.y()).arg(sizeText(part.size()));

    QImage image = lookupDrawnImage(key);
    if (image.isNull()) {
        image = PageImageLoader::loadDrawn(line.imageSource, target.size(), part,
                                           std::move(m_spareDecode));
        m_spareDecode = QImage();
        storeDrawnImage(key, image);
    }
    if (image.isNull()) {
        drawLoadFailure(painter, page, line);
        return;
    }
    painter.drawImage(whole ? target.topLeft() : shown.topLeft(), image);
    logDrawnImage(line.imageSource, image, QRectF(target));
}

// A line laid out without a size: the picture at its boxed decode size,
// scaled down to the text area.
void PageRenderer::drawUnsizedImageLine(QPainter &painter, const PageContext &page,
                                        const LayoutLine &line)
{
    const LayoutConfig &config = page.config;
    const float lineTop = config.marginTop + line.y;
    QImage image = lookupDrawnImage(line.imageSource);
    if (image.isNull()) {
        image = PageImageLoader::loadImage(line.imageSource, std::move(m_spareDecode));
        m_spareDecode = QImage();
        storeDrawnImage(line.imageSource, image);
    }
    if (image.isNull()) {
        drawLoadFailure(painter, page, line);
        return;
    }

    qreal factor = 1.0;
    if (line.vCenter)
        factor = qMin(page.availableHeight / qreal(image.height()),
                      page.availableWidth / qreal(image.width()));
    else if (image.width() > page.availableWidth)
        factor = page.availableWidth / qreal(image.width());
    const qreal drawWidth = image.width() * factor;
    const qreal drawHeight = image.height() * factor;

    const QPointF offset = page.pictureOffset(line, drawWidth, drawHeight);
    const qreal dx = offset.x(), dy = offset.y();

    const QRectF target(config.marginLeft + dx, lineTop + dy, drawWidth, drawHeight);
    painter.drawImage(target, image);
    logDrawnImage(line.imageSource, image, target);
}

void PageRenderer::drawLoadFailure(QPainter &painter, const PageContext &page,
                                   const LayoutLine &line)
{
    const LayoutConfig &config = page.config;
    const float lineTop = config.marginTop + line.y;
    qWarning().noquote() << "[PageRenderer] 图片加载失败:" << line.imageSource;
    painter.save();
    painter.setPen(QColor(Qt::gray));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(QRectF(config.marginLeft, lineTop, page.availableWidth, line.height));
    painter.drawText(QPointF(config.marginLeft + 10, lineTop + 0.5 * line.height),
                     QStringLiteral("  [图片加载失败: %1]").arg(PageImageLoader::pictureName(line.imageSource)));
    painter.restore();
}

void PageRenderer::drawPdfLine(QPainter &painter, const PageContext &page, const LayoutLine &line,
                               const QImage &batchImage, const QRect &region, int mode)
{
    QElapsedTimer timer;
    timer.start();
    const LayoutConfig &config = page.config;
    const QSize size = pdfTargetSize(line);
    QRect part(QPoint(0, 0), size);
    if (config.continuousMode) {
        part = visiblePdfPart(line, int(config.pageHeight));
        if (part.isEmpty())
            return;
    }

    QImage image;
    QRect source;
    const bool fromBatch = mode == DrawKeyedImages && !batchImage.isNull();
    if (mode == DrawKeyedImages) {
        part &= region;
        if (part.isEmpty())
            return;
        if (fromBatch) {
            image = batchImage;
            source = pieceRect(batchImage, region, part, config.scale);
        }
    } else {
        image = m_loader.renderPage(line.imageSource, size, part, config.scale);
        source = image.rect();
    }
    qDebug().noquote() << "[PdfPerf] rendererLoad elapsedUs=" << timer.nsecsElapsed() / 1000
                       << "pixels=" << sizeText(source.size())
                       << "batch=" << (fromBatch ? "true" : "false") << "thread=" << pdfPerfThread();
    if (image.isNull()) {
        drawLoadFailure(painter, page, line);
        return;
    }

    QElapsedTimer composeTimer;
    composeTimer.start();
    qreal dx = 0;
    if (size.width() < page.availableWidth) {
        if (line.alignment == 1)
            dx = (page.availableWidth - size.width()) * 0.5;
        else if (line.alignment == 2)
            dx = page.availableWidth - size.width();
    }
    qreal dy = 0;
    if (!config.continuousMode && line.vCenter && page.availableHeight > part.height())
        dy = (page.availableHeight - part.height()) * 0.5;
    const QRectF target(config.marginLeft + dx + part.x(), config.marginTop + line.y + dy + part.y(),
                        part.width(), part.height());
    painter.drawImage(target, image, QRectF(source));
    qDebug().noquote() << "[PdfPerf] compose elapsedUs=" << composeTimer.nsecsElapsed() / 1000
                       << "totalUs=" << timer.nsecsElapsed() / 1000
                       << "sourcePixels=" << sizeText(source.size())
                       << "targetPixels=" << sizeText(part.size()) << "thread=" << pdfPerfThread();
    qDebug().noquote() << "[PageRenderer] 绘制图片:" << line.imageSource << "原始:" << image.size()
                       << "缩放:" << (image.width() < 1 ? 0.0 : part.width() / qreal(image.width()))
                       << "显示:" << part.width() << "x" << part.height() << "位置:" << target.x()
                       << "," << target.y();
}

void PageRenderer::drawTextLine(QPainter &painter, PageContext &page, const LayoutLine &line)
{
    const LayoutConfig &config = page.config;
    const QPointF origin(config.marginLeft, config.marginTop + line.y);

    QColor blockBg = page.reference;
    if (isPainted(line.docBgColor))
        blockBg = blendColor(page.fill(line.docBgColor, page.reference), page.reference);
    QColor faint = config.textColor;
    faint.setAlpha(24);

    if (line.isTableRow) {
        const QPen cellPen(config.textColor.lighter(160));
        for (const TableCellBox &cell : line.cells) {
            const QRectF rect = QRectF(cell.x, cell.y, cell.width, cell.height).translated(origin);
            if (isPainted(cell.bgColor))
                painter.fillRect(rect, page.fill(cell.bgColor, blockBg));
            else if (cell.header)
                painter.fillRect(rect, faint);
            painter.setPen(cellPen);
            painter.setBrush(Qt::NoBrush);
            painter.drawRect(rect);
        }
        for (const CellImage &picture : line.cellImages) {
            QImage image = lookupDrawnImage(picture.source);
            if (image.isNull()) {
                image = PageImageLoader::loadImage(picture.source, std::move(m_spareDecode));
                m_spareDecode = QImage();
                storeDrawnImage(picture.source, image);
            }
            if (!image.isNull())
                painter.drawImage(picture.rect.translated(origin), image);
        }
    }

    QColor lineBg = blockBg;
    if (isPainted(line.bgColor)) {
        const QColor fill = page.fill(line.bgColor, blockBg);
        painter.fillRect(QRectF(config.marginLeft, origin.y(), page.availableWidth,
                                line.height + line.spaceAfter),
                         fill);
        lineBg = blendColor(fill, blockBg);
    }

    const RawFontCache &fonts = RawFontCache::forCurrentThread();
    for (const GlyphRunItem &run : line.glyphRuns) {
        const QRawFont font = fonts.rawFont(run.fontKey);
        if (!font.isValid())
            continue;
        QColor under = lineBg;
        bool clipped = false;
        if (line.isTableRow) {
            const auto cell = std::find_if(line.cells.cbegin(), line.cells.cend(),
                                           [&](const TableCellBox &box) {
                                               return box.paragraphIndex == run.paragraphIndex;
                                           });
            if (cell != line.cells.cend()) {
                painter.save();
                painter.setClipRect(
                    QRectF(cell->x, cell->y, cell->width, cell->height).translated(origin),
                    Qt::ReplaceClip);
                clipped = true;
                if (isPainted(cell->bgColor))
                    under = blendColor(page.fill(cell->bgColor, blockBg), blockBg);
                else if (cell->header)
                    under = blendColor(faint, blockBg);
            }
        }

        const QRectF runRect = run.boundingRect.translated(origin);
        if (isPainted(run.highlightColor)) {
            const QColor highlight = page.fill(run.highlightColor, under);
            painter.fillRect(runRect, highlight);
            under = blendColor(highlight, under);
        }

        const QColor colour = page.text(run.textColor, under);
        QGlyphRun glyphs;
        glyphs.setRawFont(font);
        glyphs.setGlyphIndexes(run.glyphIndexes);
        glyphs.setPositions(run.positions);
        painter.setPen(colour);
        painter.drawGlyphRun(origin, glyphs);

        const bool underline = run.underline || !run.anchorHref.isEmpty();
        if (underline || run.strikeOut) {
            const qreal penWidth = qMax(1.0, 0.06 * font.pixelSize());
            painter.setPen(QPen(QBrush(colour), penWidth, Qt::SolidLine, Qt::SquareCap,
                                Qt::BevelJoin));
            if (underline) {
                const qreal y = runRect.bottom() + penWidth;
                painter.drawLine(QPointF(runRect.left(), y), QPointF(runRect.right(), y));
            }
            if (run.strikeOut) {
                const qreal y = runRect.center().y();
                painter.drawLine(QPointF(runRect.left(), y), QPointF(runRect.right(), y));
            }
        }
        if (clipped)
            painter.restore();
    }
}

void PageRenderer::resetForGeneration(qint64 generation)
{
    if (generation == m_generation)
        return;
    const bool held = m_countedBytes > 0;
    m_generation = generation;
    m_rasters.clear();
    m_rasterOrder.clear();
    m_rasterBytes = 0;
    m_drawnImages.clear();
    m_drawnOrder.clear();
    m_drawnBytes = 0;
    m_spareDecode = QImage();
    syncCachedBytes();
    if (held)
        returnFreedMemory();
}

void PageRenderer::returnFreedMemory()
{
#ifdef __GLIBC__
    // Freed page images and pictures stay in the allocator's arenas, ready for
    // the next ones. After a large release (a book closed, the caches dropped)
    // they go back to the system, once, rather than on every free.
    malloc_trim(0);
#endif
}

QImage PageRenderer::lookupDrawnImage(const QString &source)
{
    const auto it = m_drawnImages.constFind(source);
    if (it == m_drawnImages.constEnd())
        return QImage();
    m_drawnOrder.removeOne(source);
    m_drawnOrder.append(source);
    return it.value();
}

void PageRenderer::storeDrawnImage(const QString &source, const QImage &image)
{
    if (image.isNull())
        return;
    const qint64 bytes = qint64(image.bytesPerLine()) * image.height();
    if (bytes <= 0 || bytes > DrawnImageCacheLimit)
        return;
    const auto old = m_drawnImages.constFind(source);
    if (old != m_drawnImages.constEnd()) {
        m_drawnBytes -= qint64(old->bytesPerLine()) * old->height();
        m_drawnOrder.removeOne(source);
    }
    evictDrawnImages(bytes);
    m_drawnImages.insert(source, image);
    m_drawnOrder.append(source);
    m_drawnBytes += bytes;
    syncCachedBytes();
}

void PageRenderer::evictDrawnImages(qint64 incoming)
{
    while (!m_drawnOrder.isEmpty() && m_drawnBytes + incoming > DrawnImageCacheLimit) {
        const QString oldest = m_drawnOrder.takeFirst();
        const auto it = m_drawnImages.find(oldest);
        if (it != m_drawnImages.end()) {
            m_drawnBytes -= qint64(it->bytesPerLine()) * it->height();
            // Unshared, its pixels take the next picture decoded at its size.
            if (it->isDetached())
                m_spareDecode = std::move(*it);
            m_drawnImages.erase(it);
        }
    }
    syncCachedBytes();
}

// --- PDF batches -----------------------------------------------------------

QString PageRenderer::isPdfSource(const PageLayout &page)
{
    for (const LayoutLine &line : page.lines) {
        if (isPdfLine(line))
            return line.imageSource;
    }
    return QString();
}

QString PageRenderer::makePdfCacheKey(const QString &source, const QSize &size, float scale)
{
    return source + QLatin1Char('|') + QString::number(size.width()) + QLatin1Char('x')
        + QString::number(size.height()) + QLatin1Char('|') + QString::number(scale, 'g', 16);
}

qint64 PageRenderer::estimateBytes(const QRect &rect, float scale)
{
    const qint64 w =
        qMax(1, roundHalfUp((rect.right() + 1) * scale) - roundHalfUp(rect.left() * scale));
    const qint64 h =
        qMax(1, roundHalfUp((rect.bottom() + 1) * scale) - roundHalfUp(rect.top() * scale));
    return w * h * 4;
}

QVector<QRect> PageRenderer::splitRect(const QRect &rect, float scale)
{
    QVector<QRect> pieces;
    QVector<QRect> work{rect};
    while (!work.isEmpty()) {
        const QRect r = work.takeLast();
        if (estimateBytes(r, scale) <= PdfByteLimit) {
            pieces.append(r);
        } else if (r.height() > 1 && r.height() >= r.width()) {
            const int top = r.height() / 2;
            work.append(QRect(r.left(), r.top(), r.width(), top));
            work.append(QRect(r.left(), r.top() + top, r.width(), r.height() - top));
        } else if (r.width() > 1) {
            const int left = r.width() / 2;
            work.append(QRect(r.left(), r.top(), left, r.height()));
            work.append(QRect(r.left() + left, r.top(), r.width() - left, r.height()));
        }
        // A single pixel still over the limit (an absurd scale) is dropped.
    }
    return pieces;
}

QVector<QImage> PageRenderer::renderPdfBatch(const QVector<PageLayout> &pages,
                                             const LayoutConfig &config)
{
    QVector<QImage> images;
    images.reserve(pages.size());
    for (const PageLayout &page : pages)
        images.append(renderPage(page, config, QString(), QImage(), QRect(), DrawWithoutPdf));

    // The distinct pieces every PDF page needs, per source in order of first use.
    const float scale = config.scale;
    struct SourcePieces
    {
        QSize targetSize;
        QVector<QRect> rects;
    };
    QStringList sources;
    QHash<QString, SourcePieces> pieces;
    for (const PageLayout &page : pages) {
        for (const LayoutLine &line : page.lines) {
            if (!isPdfLine(line))
                continue;
            const QSize size = pdfTargetSize(line);
            QRect piece(QPoint(0, 0), size);
            if (estimateBytes(piece, scale) > PdfByteLimit) {
                piece = visiblePdfPart(line, roundHalfUp(config.pageHeight));
                if (piece.isEmpty())
                    continue;
            }
            auto it = pieces.find(line.imageSource);
            if (it == pieces.end()) {
                sources.append(line.imageSource);
                it = pieces.insert(line.imageSource, SourcePieces());
            }
            it->targetSize = size;
            for (const QRect &rect : splitRect(piece, scale)) {
                if (!it->rects.contains(rect))
                    it->rects.append(rect);
            }
        }
    }

    // Cached pieces are composed at once; neighbouring misses of one page merge
    // while their union stays within a request's budget.
    QVector<BatchRequest> pending;
    for (const QString &source : qAsConst(sources)) {
        SourcePieces &entry = pieces[source];
        std::sort(entry.rects.begin(), entry.rects.end(), [](const QRect &a, const QRect &b) {
            return a.top() != b.top() ? a.top() < b.top() : a.left() < b.left();
        });
        const QString keyPrefix = makePdfCacheKey(source, entry.targetSize, scale);
        for (const QRect &rect : qAsConst(entry.rects)) {
            const BatchRequest request{source, entry.targetSize, rect, keyPrefix,
                                       estimateBytes(rect, scale)};
            const QImage cached = lookupRaster(keyPrefix, rect, scale);
            if (!cached.isNull()) {
                qDebug().noquote() << "[PdfPerf] cacheHit pixels=" << sizeText(cached.size())
                                   << "cacheMiB=" << toMiB(m_rasterBytes);
                batchApply(request, cached, pages, config, images);
                continue;
            }
            if (!pending.isEmpty() && pending.last().keyPrefix == keyPrefix) {
                const QRect united = pending.last().rect | rect;
                const qint64 bytes = estimateBytes(united, scale);
                if (bytes <= PdfByteLimit) {
                    pending.last().rect = united;
                    pending.last().bytes = bytes;
                    continue;
                }
            }
            pending.append(request);
        }
    }

    // Two requests run together on the pool when both fit the budget, else one here.
    for (int i = 0; i < pending.size();) {
        const BatchRequest &first = pending[i];
        if (i + 1 < pending.size() && first.bytes + pending[i + 1].bytes <= PdfByteLimit) {
            const BatchRequest &second = pending[i + 1];
            const qint64 sum = first.bytes + second.bytes;
            evictToFit(sum);
            qDebug().noquote() << "[PageRenderer] PDF 双 worker: estimatedMiB=" << toMiB(sum);
            QFuture<QImage> a = startRaster(first, scale);
            QFuture<QImage> b = startRaster(second, scale);
            const QImage rasterA = a.result();
            cacheInsert(first.keyPrefix, first.rect, rasterA);
            batchApply(first, rasterA, pages, config, images);
            const QImage rasterB = b.result();
            cacheInsert(second.keyPrefix, second.rect, rasterB);
            batchApply(second, rasterB, pages, config, images);
            i += 2;
        } else {
            evictToFit(first.bytes);
            qDebug().noquote() << "[PageRenderer] PDF 单 worker: estimatedMiB=" << toMiB(first.bytes);
            const QImage raster =
                m_loader.renderPage(first.source, first.targetSize, first.rect, scale);
            cacheInsert(first.keyPrefix, first.rect, raster);
            batchApply(first, raster, pages, config, images);
            i += 1;
        }
    }
    return images;
}

void PageRenderer::releaseDroppedRasters()
{
    // Rasters are made on the pool's threads, and their allocator arenas keep
    // them once dropped; a cache's worth of them goes back at once.
    if (m_droppedRasterBytes < RasterCacheLimit)
        return;
    m_droppedRasterBytes = 0;
    returnFreedMemory();
}

QFuture<QImage> PageRenderer::startRaster(const BatchRequest &request, float scale)
{
    // The helper keeps the book's document open across batches.
    return QtConcurrent::run(&m_pool, [request, scale] {
        return PdfPageLoader().renderPage(request.source, request.targetSize, request.rect, scale);
    });
}

void PageRenderer::batchApply(const BatchRequest &request, const QImage &raster,
                              const QVector<PageLayout> &pages, const LayoutConfig &config,
                              QVector<QImage> &images)
{
    for (int i = 0; i < pages.size() && i < images.size(); ++i) {
        for (const LayoutLine &line : pages[i].lines) {
            if (line.imageSource != request.source || !isPdfLine(line))
                continue;
            const QRect part = config.continuousMode
                ? visiblePdfPart(line, roundHalfUp(config.pageHeight))
                : QRect(QPoint(0, 0), pdfTargetSize(line));
            if (part.isEmpty() || !part.intersects(request.rect))
                continue;
            QElapsedTimer timer;
            timer.start();
            // Drawn straight onto the page: the part of the page it covers was
            // left blank for it, so no overlay of the whole page is needed.
            QPainter painter(&images[i]);
            painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing
                                   | QPainter::SmoothPixmapTransform);
            PageContext context = PageContext::of(config);
            drawPdfLine(painter, context, line, raster, request.rect, DrawKeyedImages);
            painter.end();
            qDebug().noquote() << "[PdfPerf] batchApply elapsedUs=" << timer.nsecsElapsed() / 1000
                               << "sourcePixels=" << sizeText(raster.size())
                               << "targetPixels=" << sizeText(images[i].size())
                               << "thread=" << pdfPerfThread();
            break;
        }
    }
}

QImage PageRenderer::lookupRaster(const QString &keyPrefix, const QRect &rect, float scale)
{
    QString bestKey;
    const RasterEntry *best = nullptr;
    qint64 bestArea = 0;
    for (auto it = m_rasters.constBegin(); it != m_rasters.constEnd(); ++it) {
        const RasterEntry &entry = it.value();
        if (entry.keyPrefix != keyPrefix || !entry.rect.contains(rect))
            continue;
        const qint64 area = qint64(entry.rect.width()) * entry.rect.height();
        if (!best || area < bestArea) {
            best = &entry;
            bestArea = area;
            bestKey = it.key();
        }
    }
    if (!best)
        return QImage();
    m_rasterOrder.removeOne(bestKey);
    m_rasterOrder.append(bestKey);
    if (best->rect == rect)
        return best->image;
    return cutPiece(best->image, best->rect, rect, scale);
}

void PageRenderer::cacheInsert(const QString &keyPrefix, const QRect &rect, const QImage &image)
{
    if (image.isNull() || image.sizeInBytes() > RasterCacheLimit)
        return;
    const QString key = keyPrefix + QLatin1Char('|') + QString::number(rect.left())
        + QLatin1Char(',') + QString::number(rect.top()) + QLatin1Char(',')
        + QString::number(rect.width()) + QLatin1Char(',') + QString::number(rect.height());
    const auto old = m_rasters.constFind(key);
    if (old != m_rasters.constEnd()) {
        m_rasterBytes -= old->image.sizeInBytes();
        m_rasters.erase(old);
        m_rasterOrder.removeOne(key);
    }
    const qint64 bytes = image.sizeInBytes();
    evictToFit(bytes);
    m_rasters.insert(key, RasterEntry{keyPrefix, rect, image});
    m_rasterOrder.append(key);
    m_rasterBytes += bytes;
    syncCachedBytes();
}

void PageRenderer::evictToFit(qint64 incoming)
{
    while (!m_rasterOrder.isEmpty() && m_rasterBytes + incoming > RasterCacheLimit) {
        const auto it = m_rasters.find(m_rasterOrder.takeFirst());
        if (it != m_rasters.end()) {
            m_rasterBytes -= it->image.sizeInBytes();
            m_droppedRasterBytes += it->image.sizeInBytes();
            m_rasters.erase(it);
        }
    }
    syncCachedBytes();
}
