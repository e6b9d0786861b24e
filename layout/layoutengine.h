#pragma once

#include "layoutrecords.h"
#include "paragraph.h"

#include <QColor>
#include <QFont>
#include <QString>
#include <QVector>

class RawFontCache;

// A stretch of a paragraph's joined text in one style. The style part (bold
// to anchorHref) mirrors a TextChunk without its text.
struct StyleRun
{
    int start = 0;
    int length = 0;
    bool bold = false;
    bool italic = false;
    bool underline = false;
    bool strikethrough = false;
    int fontDelta = 0;
    float fontScale = 1.0f;
    QString fontFamily;
    QString color;
    QString highlightColor;
    int fontWeight = 0;
    int vertAlign = 0;
    QString anchorHref;
    QColor runColor;      // resolved text colour
    QColor runHighlight;  // resolved highlight; invalid for none
};

// Lays out one chapter: paragraphs to lines (text through the shaper, blank
// lines, images fitted to the page, table rows), then lines to pages. Made
// per task; holds nothing but its configuration copy.
class LayoutEngine
{
public:
    QVector<PageLayout> layoutChapter(const QVector<Paragraph> &paragraphs,
                                      const LayoutConfig &config, int startParaIndex,
                                      const QString &chapterId);

    static QFont makeFont(const StyleRun &style, const LayoutConfig &config);

    // Lines of one text paragraph for a column availableWidth wide; x is
    // relative to the column, glyph runs carry keys into cache.
    static QVector<LayoutLine> shapeParagraph(const Paragraph &paragraph, int paragraphIndex,
                                              float availableWidth, const LayoutConfig &config,
                                              RawFontCache &cache);

private:
    // Returns the index after the table run that starts at first.
    int appendTableRun(const QVector<Paragraph> &paragraphs, int first,
                       QVector<LayoutLine> &lines) const;
    LayoutLine imageLine(const Paragraph &paragraph, int index) const;
    // A picture of a table cell: its natural size, made smaller only to fit
    // the cell's width and a page.
    LayoutLine cellImageLine(const Paragraph &paragraph, int index, float cellWidth,
                             float maxHeight) const;

    LayoutConfig m_config;
};
