#pragma once

#include "layoutrecords.h"
#include "rawfontcache.h"

#include <QFont>
#include <QGlyphRun>
#include <QTextLayout>

// Hand-made page pieces for the render tests. Text is shaped in DejaVu Sans
// Mono, whose full block (U+2588) inks its whole cell, and its font is
// registered in the calling thread's raw-font cache.
inline GlyphRunItem shapedRun(const QString &text, int pixelSize, const QPointF &at, int paragraphIndex = -1)
{
    QFont font(QStringLiteral("DejaVu Sans Mono"));
    font.setPixelSize(pixelSize);
    QTextLayout layout(text, font);
    layout.beginLayout();
    QTextLine line = layout.createLine();
    line.setLineWidth(100000);
    layout.endLayout();

    GlyphRunItem item;
    item.paragraphIndex = paragraphIndex;
    item.textColor = Qt::black;
    item.boundingRect = QRectF(at, QSizeF(line.horizontalAdvance(), line.height()));
    for (const QGlyphRun &run : layout.glyphRuns()) {
        item.fontKey = RawFontCache::forCurrentThread().keyFor(run.rawFont());
        item.glyphIndexes += run.glyphIndexes();
        for (const QPointF &p : run.positions())
            item.positions.append(p + at);
    }
    return item;
}

inline LayoutLine textLine(float y, float height, const QVector<GlyphRunItem> &runs = {})
{
    LayoutLine line;
    line.y = y;
    line.height = height;
    line.glyphRuns = runs;
    return line;
}

inline LayoutLine imageLine(float y, float height, const QString &source, float width = 0)
{
    LayoutLine line = textLine(y, height);
    line.isImage = true;
    line.imageSource = source;
    line.displayWidth = width;
    line.displayHeight = width > 0 ? height : 0;
    return line;
}
