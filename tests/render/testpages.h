#pragma once

#include "layoutrecords.h"
#include "rawfontcache.h"

#include <QFont>
#include <QGlyphRun>
#include <QTextLayout>

// Hand-made page pieces for the render tests. Text is shaped in DejaVu Sans
// Mono, whose full block (U+2588) inks its whole cell, so the middle of a
// block run is exactly the text colour. The font is registered in the calling
// thread's raw-font cache.
inline GlyphRunItem shapedRun(const QString &text, int pixelSize, const QPointF &at,
                              int paragraphIndex = -1)
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
    item.fontKey = RawFontCache::forCurrentThread().keyFor(QRawFont::fromFont(font));
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

inline LayoutLine imageLine(float y, float height, const QString &source)
{
    LayoutLine line = textLine(y, height);
    line.isImage = true;
    line.imageSource = source;
    return line;
}
