#include "pagerenderer.h"

#include "colors.h"
#include "pageimageloader.h"
#include "rawfontcache.h"

#include <QDebug>
#include <QGlyphRun>
#include <QPainter>
#include <QThreadStorage>

#include <algorithm>
#include <cmath>

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
    // PDF pieces come with PDF support; until then their lines stay blank.
    Q_UNUSED(batchImage)
    Q_UNUSED(region)

    const int width = int(config.pageWidth);
    const int height = int(config.pageHeight);
    QImage image(qMax(width, 0), qMax(height, 0), QImage::Format_ARGB32_Premultiplied);
    if (image.isNull())
        return image;
    image.fill(mode == DrawKeyedImages ? QColor(Qt::transparent) : config.backgroundColor);

    QPainter painter(&image);
    // Smooth scaling matters for comic pages and page images drawn at view size.
    painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing
                           | QPainter::SmoothPixmapTransform);

    PageContext context{config,
                        config.readerBgColor.isValid() ? config.readerBgColor
                                                       : config.backgroundColor,
                        config.textAreaWidth(), config.textAreaHeight(), {}, {}};

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
                if (isPainted(colour)) {
                    painter.fillRect(band, context.fill(colour, context.reference));
                } else {
                    painter.setCompositionMode(QPainter::CompositionMode_Source);
                    painter.fillRect(band, config.backgroundColor);
                    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
                }
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
    const LayoutConfig &config = page.config;
    const float lineTop = config.marginTop + line.y;
    QImage image = lookupDrawnImage(line.imageSource);
    if (image.isNull()) {
        image = PageImageLoader::loadImage(line.imageSource);
        storeDrawnImage(line.imageSource, image);
    }
    if (image.isNull()) {
        qWarning().noquote() << "[PageRenderer] 图片加载失败:" << line.imageSource;
        painter.save();
        painter.setPen(QColor(Qt::gray));
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(QRectF(config.marginLeft, lineTop, page.availableWidth, line.height));
        painter.drawText(QPointF(config.marginLeft + 10, lineTop + 0.5 * line.height),
                         QStringLiteral("  [图片加载失败: %1]").arg(line.imageSource));
        painter.restore();
        return;
    }

    qreal drawWidth = line.displayWidth;
    qreal drawHeight = line.displayHeight;
    if (!(drawWidth > 0 && drawHeight > 0)) {
        qreal factor = 1.0;
        if (line.vCenter)
            factor = qMin(page.availableHeight / qreal(image.height()),
                          page.availableWidth / qreal(image.width()));
        else if (image.width() > page.availableWidth)
            factor = page.availableWidth / qreal(image.width());
        drawWidth = image.width() * factor;
        drawHeight = image.height() * factor;
    }

    qreal dx = 0;
    if (drawWidth < page.availableWidth) {
        if (line.alignment == 1)
            dx = (page.availableWidth - drawWidth) * 0.5;
        else if (line.alignment == 2)
            dx = page.availableWidth - drawWidth;
    }
    qreal dy = 0;
    if (!config.continuousMode && line.vCenter && page.availableHeight > drawHeight)
        dy = (page.availableHeight - drawHeight) * 0.5;

    const QRectF target(config.marginLeft + dx, lineTop + dy, drawWidth, drawHeight);
    painter.drawImage(target, image);
    qDebug().noquote() << "[PageRenderer] 绘制图片:" << line.imageSource << "原始:" << image.size()
                       << "缩放:" << (image.width() < 1 ? 0.0 : drawWidth / image.width())
                       << "显示:" << drawWidth << "x" << drawHeight << "位置:" << target.x()
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
    }

    QColor lineBg = blockBg;
    if (isPainted(line.bgColor)) {
        const QColor fill = page.fill(line.bgColor, blockBg);
        painter.fillRect(QRectF(config.marginLeft, origin.y(), page.availableWidth,
                                line.height + line.spaceBefore + line.spaceAfter),
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
    m_generation = generation;
    m_drawnImages.clear();
    m_drawnOrder.clear();
    m_drawnBytes = 0;
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
}

void PageRenderer::evictDrawnImages(qint64 incoming)
{
    while (!m_drawnOrder.isEmpty() && m_drawnBytes + incoming > DrawnImageCacheLimit) {
        const QString oldest = m_drawnOrder.takeFirst();
        const auto it = m_drawnImages.find(oldest);
        if (it != m_drawnImages.end()) {
            m_drawnBytes -= qint64(it->bytesPerLine()) * it->height();
            m_drawnImages.erase(it);
        }
    }
}
