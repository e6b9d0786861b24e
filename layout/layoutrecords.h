#pragma once

#include <QColor>
#include <QPointF>
#include <QRectF>
#include <QString>
#include <QVector>

// Value types that carry a chapter from the layout worker to the renderer.
// All lengths are view pixels.

struct LayoutConfig
{
    float pageWidth = 540.0f;
    float pageHeight = 960.0f;
    float marginTop = 20.0f;
    float marginBottom = 20.0f;
    float marginLeft = 24.0f;
    float marginRight = 24.0f;
    QString fontFamily;            // empty: sans-serif
    int fontPixelSize = 18;
    float lineHeightFactor = 1.5f;
    float paragraphSpacing = 8.0f;
    float firstLineIndent = 2.0f;  // in multiples of fontPixelSize
    float letterSpacing = 0.0f;
    QColor textColor = QColor(0, 0, 0, 255);
    QColor backgroundColor = QColor(255, 255, 255, 255);
    QColor readerBgColor = QColor(255, 255, 255, 255);
    bool darkTheme = false;
    bool orphanControl = false;
    bool continuousMode = false;
    bool enlargeImages = false;
    bool imageMode = false;
    float scale = 1.0f;

    float textAreaWidth() const { return pageWidth - marginLeft - marginRight; }
    float textAreaHeight() const { return pageHeight - marginTop - marginBottom; }
};

struct GlyphRunItem
{
    qint64 fontKey = 0;
    QVector<quint32> glyphIndexes;
    QVector<QPointF> positions;
    qint64 startProgress = 0;
    qint64 endProgress = 0;
    int paragraphIndex = -1;
    QColor textColor;
    QColor highlightColor;
    QString anchorHref;
    QRectF boundingRect;
    bool underline = false;
    bool strikeOut = false;
};

struct TableCellBox
{
    float x = 0.0f;
    float y = 0.0f;
    float width = 0.0f;
    float height = 0.0f;
    int paragraphIndex = -1;
    bool header = false;
    QColor bgColor;
};

// A picture drawn inside a table cell, placed relative to its row.
struct CellImage
{
    QString source;
    QRectF rect;
    int paragraphIndex = -1;
};

struct LayoutLine
{
    QVector<GlyphRunItem> glyphRuns;
    QVector<TableCellBox> cells;
    QVector<CellImage> cellImages;
    bool isTableRow = false;
    int tableId = -1;
    float y = 0.0f;
    float textRight = 0.0f;
    float height = 0.0f;
    float ascent = 0.0f;
    float spaceBefore = 0.0f;
    float spaceAfter = 0.0f;
    int paragraphIndex = -1;
    int startGlyph = 0;
    int endGlyph = 0;
    qint64 startProgress = 0;
    qint64 endProgress = 0;
    int lineIndex = -1;
    float stripY = 0.0f;
    QString chapterId;
    QColor bgColor;
    QColor docBgColor;
    bool isImage = false;
    QString imageSource;
    int imageWidth = 0;
    int imageHeight = 0;
    float displayWidth = 0.0f;
    float displayHeight = 0.0f;
    qint64 progressWeight = 0;
    int alignment = 0;
    bool vCenter = false;

    // Vertical space the line takes on a page.
    float cost() const { return height + spaceBefore + spaceAfter; }
    // Where in that space the line is drawn: below its space before; a line
    // without height of its own is drawn over the whole space.
    float drawnTop() const { return height > 0 ? spaceBefore : 0.0f; }
    float drawnHeight() const { return height > 0 ? height : cost(); }
};

struct PageLayout
{
    QVector<LayoutLine> lines;
    int pageIndex = 0;
    int firstParaIndex = -1;
    int startGlyph = 0;
    qint64 startProgress = 0;
    QString chapterId;
    qint64 layoutStamp = 0;
};

struct ChapterLayoutResult
{
    QString chapterId;
    QVector<PageLayout> pages;
    quint64 generation = 0;
};
