#include "layoutengine.h"

#include "colors.h"
#include "linebreak.h"
#include "logmanager.h"
#include "pagebuilder.h"
#include "pageimageloader.h"
#include "paragraphutils.h"
#include "rawfontcache.h"

#include <QGlyphRun>
#include <QTextBoundaryFinder>
#include <QTextLayout>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

constexpr ushort ZeroWidthJoiner = 0x200D;
constexpr ushort ZeroWidthSpace = 0x200B;

// A forced line break: QTextLayout ends a line only at U+2028 (or U+2029),
// so the stored line feeds are handed to it as U+2028.
bool isForcedBreak(QChar c)
{
    return c == QChar::LineSeparator || c == QChar::ParagraphSeparator;
}

// An image is never taller than this many text-area heights, so a hostile
// declared size cannot produce millions of pages.
constexpr double MaxImagePages = 20.0;

QColor optionalColor(const QString &text)
{
    return text.isEmpty() ? QColor() : parseCssColor(text);
}

// A run that draws more than its glyphs: over spaces it is still seen.
bool isDecorated(const GlyphRunItem &run)
{
    return run.underline || run.strikeOut || run.highlightColor.isValid();
}

bool sameStyle(const StyleRun &run, const TextChunk &c, const QColor &color,
               const QColor &highlight)
{
    return run.bold == c.bold && run.italic == c.italic && run.underline == c.underline
        && run.strikethrough == c.strikethrough && run.fontDelta == c.fontDelta
        && run.fontScale == c.fontScale && run.fontFamily == c.fontFamily
        && run.color == c.color && run.highlightColor == c.highlightColor
        && run.fontWeight == c.fontWeight && run.vertAlign == c.vertAlign
        && run.anchorHref == c.anchorHref && run.runColor == color
        && run.runHighlight == highlight;
}

StyleRun runFromChunk(const TextChunk &c, int start, const QColor &color, const QColor &highlight)
{
    StyleRun run;
    run.start = start;
    run.length = c.text.size();
    run.bold = c.bold;
    run.italic = c.italic;
    run.underline = c.underline;
    run.strikethrough = c.strikethrough;
    run.fontDelta = c.fontDelta;
    run.fontScale = c.fontScale;
    run.fontFamily = c.fontFamily;
    run.color = c.color;
    run.highlightColor = c.highlightColor;
    run.fontWeight = c.fontWeight;
    run.vertAlign = c.vertAlign;
    run.anchorHref = c.anchorHref;
    run.runColor = color;
    run.runHighlight = highlight;
    return run;
}

int qtWeight(const StyleRun &style)
{
    static const int cssToQt[10] = {0, 0, 12, 25, 50, 57, 63, 75, 81, 87};
    const int w = style.fontWeight;
    if (w <= 0)
        return style.bold ? 75 : 50;
    if (w < 100)
        return w;
    if (w < 950)
        return cssToQt[(w + 50) / 100];
    return 87;
}

// Distinct glyphs with ink when the sequence is laid out alone in font.
int visibleGlyphCount(const QString &sequence, const QFont &font)
{
    QTextLayout layout(sequence, font);
    QTextOption option;
    option.setWrapMode(QTextOption::NoWrap);
    layout.setTextOption(option);
    layout.beginLayout();
    QTextLine line = layout.createLine();
    if (line.isValid()) {
        line.setLineWidth(1000000);
        line.setPosition(QPointF(0, 0));
    }
    layout.endLayout();

    QVector<QPointF> seen;
    for (const QGlyphRun &run : layout.glyphRuns()) {
        const QRawFont raw = run.rawFont();
        const QVector<quint32> glyphs = run.glyphIndexes();
        const QVector<QPointF> positions = run.positions();
        for (int k = 0; k < glyphs.size() && k < positions.size(); ++k) {
            const QRectF box = raw.boundingRect(glyphs[k]);
            if (box.width() <= 0 || box.height() <= 0)
                continue;
            const QPointF p = positions[k];
            bool known = false;
            for (const QPointF &q : seen) {
                if (std::abs(p.x() - q.x()) < 0.5 && std::abs(p.y() - q.y()) < 0.5) {
                    known = true;
                    break;
                }
            }
            if (!known)
                seen.append(p);
        }
    }
    return seen.size();
}

// A joined sequence that the font cannot draw as one picture would show as
// its parts glued together and never break: turn its joiners into
// zero-width spaces (same length, so every position stays valid).
void splitUndrawableJoins(QString &text, const QVector<StyleRun> &runs,
                          const QVector<QFont> &fonts)
{
    const QChar zwj(ZeroWidthJoiner);
    const int n = text.size();
    int from = 0;
    int runIndex = 0;
    for (int j = text.indexOf(zwj, from); j >= 0; j = text.indexOf(zwj, from)) {
        if (j == 0 || j == n - 1) {
            from = j + 1;
            continue;
        }
        int s = previousClusterStart(text, j);
        while (s > 1 && text.at(s - 1) == zwj)
            s = previousClusterStart(text, s - 1);
        int e = j;
        while (e < n && text.at(e) == zwj) {
            if (++e >= n)
                break;
            e = nextCodePointIndex(text, e);
            while (e < n && isClusterExtender(codePointAt(text, e)))
                e = nextCodePointIndex(text, e);
        }
        while (runIndex + 1 < runs.size() && runs[runIndex].start + runs[runIndex].length <= s)
            ++runIndex;
        if (visibleGlyphCount(text.mid(s, e - s), fonts[runIndex]) > 1) {
            for (int k = s; k < e; ++k) {
                if (text.at(k) == zwj)
                    text[k] = QChar(ZeroWidthSpace);
            }
        }
        from = qMax(e, j + 1);
    }
}

// Superscripts rise by half the height of their (shrunk) font, subscripts
// sink by a sixth of it.
qreal baselineShift(int vertAlign, const QRawFont &font)
{
    const qreal height = font.ascent() + font.descent();
    if (vertAlign == 1)
        return -height / 2;
    if (vertAlign == 2)
        return height / 6;
    return 0;
}

Qt::Alignment textAlignment(int alignment)
{
    switch (alignment) {
    case 1: return Qt::AlignHCenter;
    case 2: return Qt::AlignRight;
    case 3: return Qt::AlignJustify;
    default: return Qt::AlignLeft;
    }
}

bool invisibleOnly(const QString &text, int from, int to)
{
    for (int i = from; i < to; ++i) {
        const QChar c = text.at(i);
        if (!c.isSpace() && c.category() != QChar::Other_Format)
            return false;
    }
    return true;
}

// Ends the line at most length characters in, where a break is allowed.
// setNumColumns counts glyphs and may take one character more than asked
// (after a break, or where a character makes no glyph of its own): spaces and
// soft hyphens so taken stay on the line, and where it can only take fewer,
// the shorter line must itself end at a break, or a line would begin with
// closing punctuation.
void endLineAt(QTextLine &line, int length, qreal width, const QString &text,
               QTextBoundaryFinder &finder)
{
    const int start = line.textStart();
    int fallback = 0;
    for (int n = length; n >= 1; --n) {
        line.setNumColumns(n, width);
        const int taken = line.textLength();
        const bool fits = taken <= length || invisibleOnly(text, start + length, start + taken);
        if (fits && canBreakAt(text, start + taken, finder))
            return;
        if (taken <= length && fallback == 0)
            fallback = n;
    }
    if (fallback > 0)
        line.setNumColumns(fallback, width);
}

void shiftRuns(QVector<GlyphRunItem> &runs, qreal dx, qreal dy)
{
    for (GlyphRunItem &run : runs) {
        for (QPointF &p : run.positions)
            p += QPointF(dx, dy);
        run.boundingRect.translate(dx, dy);
    }
}

// An image paragraph's size: as stored, a missing side from the image's
// natural proportions. Only a natural size with both sides positive can fill
// one in; anything else leaves the image without a size (0).
QSizeF imageSize(const Paragraph &p)
{
    double w = p.imageWidth;
    double h = p.imageHeight;
    if (w <= 0 || h <= 0) {
        const QSize natural = PageImageLoader::imageSize(p.imageId);
        if (natural.width() > 0 && natural.height() > 0) {
            const double nw = natural.width();
            const double nh = natural.height();
            if (w > 0)
                h = nh * w / nw;
            else if (h > 0)
                w = nw * h / nh;
            else {
                w = nw;
                h = nh;
            }
        }
    }
    return w > 0 && h > 0 ? QSizeF(w, h) : QSizeF();
}

// Pictures of a table cell lie in its run of paragraphs.
bool inTable(const Paragraph &p, int tableId)
{
    return p.tableId == tableId
        && (p.kind == Paragraph::TableCell || (p.kind == Paragraph::Image && tableId >= 0 && !p.imageId.isEmpty()));
}

// Paragraph margins leave at least a third of the text area to the text;
// negative margins would push text off the page and count as 0.
void clampedMargins(const Paragraph &p, float areaWidth, float &left, float &right)
{
    left = qMax(0.0f, p.marginLeft);
    right = qMax(0.0f, p.marginRight);
    const float allowed = qMax(0.0f, areaWidth * 2.0f / 3.0f);
    const float sum = left + right;
    if (sum > allowed) {
        left = left * allowed / sum;
        right = right * allowed / sum;
    }
}

int glyphIndexCount(const QVector<LayoutLine> &lines)
{
    int count = 0;
    for (const LayoutLine &line : lines) {
        for (const GlyphRunItem &run : line.glyphRuns)
            count += run.glyphIndexes.size();
    }
    return count;
}

}

QFont LayoutEngine::makeFont(const StyleRun &style, const LayoutConfig &config)
{
    QFont font(config.fontFamily.isEmpty() ? QStringLiteral("sans-serif") : config.fontFamily);
    const float scale = qBound(0.6f, style.fontScale, 3.0f);
    const int size = int(std::floor(config.fontPixelSize * scale + 0.5f)) + style.fontDelta;
    font.setPixelSize(qMax(4, size));
    font.setWeight(qtWeight(style));
    font.setStyle(style.italic ? QFont::StyleItalic : QFont::StyleNormal);
    if (!style.fontFamily.isEmpty())
        font.setFamily(style.fontFamily);
    font.setLetterSpacing(QFont::AbsoluteSpacing, config.letterSpacing);
    return font;
}

QVector<LayoutLine> LayoutEngine::shapeParagraph(const Paragraph &paragraph, int paragraphIndex,
                                                 float availableWidth,
                                                 const LayoutConfig &config, RawFontCache &cache)
{
    QString text;
    QVector<StyleRun> runs;
    for (const TextChunk &c : paragraph.chunks) {
        if (c.text.isEmpty())
            continue;
        QColor color = optionalColor(c.color);
        if (!color.isValid())
            color = config.textColor;
        const QColor highlight = optionalColor(c.highlightColor);
        if (!runs.isEmpty() && sameStyle(runs.last(), c, color, highlight))
            runs.last().length += c.text.size();
        else
            runs.append(runFromChunk(c, text.size(), color, highlight));
        text += c.text;
    }
    if (text.isEmpty())
        return {};

    QVector<QFont> fonts;
    fonts.reserve(runs.size());
    for (const StyleRun &run : runs)
        fonts.append(makeFont(run, config));

    if (text.contains(QChar(ZeroWidthJoiner)))
        splitUndrawableJoins(text, runs, fonts);
    // Same length, so positions and glyph numbers still match the stored text.
    text.replace(QLatin1Char('\n'), QChar(QChar::LineSeparator));

    QVector<QTextLayout::FormatRange> formats;
    formats.reserve(runs.size());
    for (int r = 0; r < runs.size(); ++r) {
        const StyleRun &run = runs[r];
        QTextLayout::FormatRange range;
        range.start = run.start;
        range.length = run.length;
        range.format.setFont(fonts[r]);
        range.format.setForeground(QBrush(run.runColor));
        if (run.runHighlight.isValid())
            range.format.setBackground(QBrush(run.runHighlight));
        if (run.vertAlign == 1)
            range.format.setVerticalAlignment(QTextCharFormat::AlignSuperScript);
        else if (run.vertAlign == 2)
            range.format.setVerticalAlignment(QTextCharFormat::AlignSubScript);
        formats.append(range);
    }

    QTextLayout layout(text, makeFont(StyleRun(), config));
    layout.setFormats(formats);
    QTextOption option(textAlignment(paragraph.alignment));
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);

    float indent = 0.0f;
    if (paragraph.alignment == 0 || paragraph.alignment == 3)
        indent = paragraph.textIndent != 0.0f ? paragraph.textIndent
                                              : config.fontPixelSize * config.firstLineIndent;
    // A hanging indent reaches at most into the paragraph's own left margin.
    indent = qMax(indent, -qMax(0.0f, paragraph.marginLeft));

    const float factor = paragraph.lineHeight > 0 ? paragraph.lineHeight : config.lineHeightFactor;
    const float minHeight = config.fontPixelSize * factor;
    const QColor bgColor = optionalColor(paragraph.bgColor);
    const QColor docBgColor = optionalColor(paragraph.documentBgColor);

    // One finder and one glyph table per paragraph keep the line loop linear.
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    const QVector<int> glyphAt = glyphIndexTable(paragraph);

    QVector<LayoutLine> lines;
    float y = 0.0f;
    int runCursor = 0;
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        // Qt opens one more, empty line after a final forced break; a break
        // at the paragraph's end adds no blank line, as in a browser.
        if (line.textStart() >= text.size())
            break;
        const bool first = lines.isEmpty();
        const float x = first ? indent : 0.0f;
        const qreal width = qMax(1.0, qreal(first ? availableWidth - indent : availableWidth));
        line.setLineWidth(width);
        const int lineStart = line.textStart();
        int lineEnd = lineStart + line.textLength();

        // A forced break ends the line whatever follows it. The two-argument
        // form keeps the alignment width: the one-argument form would justify
        // or centre against an unbounded width.
        const bool forced = lineEnd > lineStart && isForcedBreak(text.at(lineEnd - 1));
        int b = forced ? lineEnd : findLineBreak(text, lineStart, lineEnd, finder);
        if (b != lineEnd && b > lineStart) {
            endLineAt(line, b - lineStart, width, text, finder);
            lineEnd = lineStart + line.textLength();
        }
        while (line.naturalTextRect().right() > width) {
            b = findLineBreak(text, lineStart, lineEnd - 1, finder);
            if (b <= lineStart || b >= lineEnd)
                break;
            endLineAt(line, b - lineStart, width, text, finder);
            const int shortened = lineStart + line.textLength();
            if (shortened >= lineEnd)
                break;
            lineEnd = shortened;
        }
        line.setPosition(QPointF(x, y));

        LayoutLine out;
        out.paragraphIndex = paragraphIndex;
        out.startGlyph = paragraph.firstGlyphIndex + glyphAt.value(lineStart);
        out.endGlyph = paragraph.firstGlyphIndex + glyphAt.value(lineEnd);
        out.startProgress = paragraph.startProgressIndex + lineStart;
        out.endProgress = paragraph.startProgressIndex + lineEnd;
        out.ascent = float(line.ascent());
        out.height = qMax(minHeight, float(line.height()));
        const QRectF natural = line.naturalTextRect();
        out.textRight = float(qMax(0.0, natural.right()));
        out.spaceBefore = first ? paragraph.spaceBefore : 0.0f;
        out.bgColor = bgColor;
        out.docBgColor = docBgColor;

        while (runCursor < runs.size()
               && runs[runCursor].start + runs[runCursor].length <= lineStart)
            ++runCursor;
        for (int r = runCursor; r < runs.size() && runs[r].start < lineEnd; ++r) {
            const StyleRun &run = runs[r];
            const int from = qMax(run.start, lineStart);
            const int to = qMin(run.start + run.length, lineEnd);
            if (to <= from)
                continue;
            const QList<QGlyphRun> glyphRuns = line.glyphRuns(from, to - from);
            for (const QGlyphRun &g : glyphRuns) {
                const qint64 key = cache.keyFor(g.rawFont());
                if (key == 0)
                    continue;
                GlyphRunItem item;
                item.fontKey = key;
                item.glyphIndexes = g.glyphIndexes();
                item.positions = g.positions();
                // Glyph runs come out shrunk but on the baseline; the shift
                // is the one QTextLine::draw gives them.
                const qreal shift = baselineShift(run.vertAlign, g.rawFont());
                for (QPointF &p : item.positions)
                    p.ry() += shift - y;
                item.startProgress = paragraph.startProgressIndex + from;
                item.endProgress = paragraph.startProgressIndex + to;
                item.paragraphIndex = paragraphIndex;
                item.textColor = run.runColor;
                item.highlightColor = run.runHighlight;
                item.anchorHref = run.anchorHref;
                item.underline = run.underline;
                item.strikeOut = run.strikethrough;
                item.boundingRect = g.boundingRect().translated(0, shift - y);
                out.glyphRuns.append(item);
            }
        }
        lines.append(out);
        y += out.height;
    }
    layout.endLayout();

    if (!lines.isEmpty())
        lines.last().spaceAfter = paragraph.spaceAfter;
    return lines;
}

namespace {

// What a picture's line takes from its paragraph wherever it stands.
LayoutLine pictureLine(const Paragraph &p, int index)
{
    LayoutLine line;
    line.isImage = true;
    line.imageSource = p.imageId;
    line.paragraphIndex = index;
    line.startGlyph = p.firstGlyphIndex;
    line.endGlyph = p.firstGlyphIndex + 1;
    line.startProgress = p.startProgressIndex;
    line.endProgress = p.startProgressIndex + p.progressWeight;
    line.progressWeight = p.progressWeight;
    return line;
}

}

LayoutLine LayoutEngine::imageLine(const Paragraph &p, int index) const
{
    LayoutLine line = pictureLine(p, index);
    line.imageWidth = p.imageWidth;
    line.imageHeight = p.imageHeight;
    line.alignment = p.hCenter ? 1 : p.alignment;
    line.vCenter = p.vCenter;
    line.docBgColor = optionalColor(p.documentBgColor);

    float marginLeft = 0, marginRight = 0;
    clampedMargins(p, m_config.textAreaWidth(), marginLeft, marginRight);
    const double aw = m_config.textAreaWidth() - marginLeft - marginRight;
    const double ah = m_config.textAreaHeight();

    const QSizeF size = imageSize(p);
    const double w = size.width();
    const double h = size.height();

    double dw, dh;
    if (w <= 0 || h <= 0) {
        dw = aw;
        dh = m_config.fontPixelSize * m_config.lineHeightFactor * 4.0;
    } else {
        const double u = aw / w;
        const double v = ah / h;
        double scale;
        if (m_config.enlargeImages && (m_config.imageMode || qMin(w, h) >= 400)) {
            scale = m_config.continuousMode ? u : (v > u ? u : v);
        } else if (m_config.continuousMode) {
            scale = u <= 1 ? u : 1;
        } else {
            const double m = qMin(u, v);
            scale = m <= 1 ? m : 1;
        }
        dw = w * scale;
        dh = h * scale;
    }
    const double maxHeight = MaxImagePages * qMax(1.0, ah);
    if (dh > maxHeight) {
        dw *= maxHeight / dh;
        dh = maxHeight;
    }
    line.displayWidth = float(dw);
    line.displayHeight = float(dh);
    line.height = line.displayHeight;
    return line;
}

LayoutLine LayoutEngine::cellImageLine(const Paragraph &p, int index, float cellWidth,
                                       float maxHeight) const
{
    LayoutLine line = pictureLine(p, index);
    line.alignment = p.alignment;
    const QSizeF size = imageSize(p);
    // A picture of unknown size keeps a line's room, as wide as the cell.
    double dw = cellWidth;
    double dh = m_config.fontPixelSize * m_config.lineHeightFactor;
    if (!size.isEmpty()) {
        const double scale = qMin(1.0, qMin(cellWidth / size.width(), qMax(1.0f, maxHeight) / size.height()));
        dw = size.width() * scale;
        dh = size.height() * scale;
    }
    line.displayWidth = float(dw);
    line.displayHeight = float(dh);
    line.height = line.displayHeight;
    return line;
}

int LayoutEngine::appendTableRun(const QVector<Paragraph> &paragraphs, int first,
                                 QVector<LayoutLine> &lines) const
{
    const int tableId = paragraphs[first].tableId;
    int end = first;
    int columns = 1;
    while (end < paragraphs.size() && inTable(paragraphs[end], tableId)) {
        columns = qMax(columns, paragraphs[end].tableColumnCount);
        ++end;
    }

    const float columnWidth = m_config.textAreaWidth() / columns;
    const float inset = qMax(2.0f, m_config.fontPixelSize * 0.25f);
    const float cellWidth = qMax(1.0f, columnWidth - 2 * inset);
    LayoutConfig cellConfig = m_config;
    cellConfig.firstLineIndent = 0;
    RawFontCache &cache = RawFontCache::forCurrentThread();

    for (int rowStart = first; rowStart < end;) {
        int rowEnd = rowStart + 1;
        while (rowEnd < end && paragraphs[rowEnd].tableRow == paragraphs[rowStart].tableRow)
            ++rowEnd;

        const Paragraph &head = paragraphs[rowStart];
        const float minRowHeight = m_config.fontPixelSize * m_config.lineHeightFactor + 2 * inset;
        struct CellLines
        {
            int paragraph;
            float x;
            QVector<LayoutLine> lines;
            int next = 0;
        };
        QVector<CellLines> cells;
        float naturalHeight = minRowHeight;
        const float pictureLimit = m_config.textAreaHeight() - 2 * inset;
        for (int c = rowStart; c < rowEnd; ++c) {
            // A cell's pictures and its text follow one another down the cell.
            const bool sameCell = !cells.isEmpty() && c > rowStart
                && paragraphs[c - 1].tableColumn == paragraphs[c].tableColumn;
            if (!sameCell)
                cells.append(CellLines{c, paragraphs[c].tableColumn * columnWidth, {}});
            CellLines &shaped = cells.last();
            if (paragraphs[c].kind == Paragraph::Image) {
                shaped.lines.append(cellImageLine(paragraphs[c], c, cellWidth, pictureLimit));
            } else {
                Paragraph cell = paragraphs[c];
                cell.textIndent = cell.marginLeft = cell.marginRight = 0;
                cell.spaceBefore = cell.spaceAfter = 0;
                // The cell is its text paragraph, wherever its pictures lie.
                if (paragraphs[shaped.paragraph].kind == Paragraph::Image)
                    shaped.paragraph = c;
                shaped.lines += shapeParagraph(cell, c, cellWidth, cellConfig, cache);
            }
        }
        for (const CellLines &shaped : qAsConst(cells)) {
            float height = 2 * inset;
            for (const LayoutLine &line : shaped.lines)
                height += line.height;
            naturalHeight = qMax(naturalHeight, height);
        }

        // A row taller than the text area is cut between text lines into
        // slices that each fit a page, so no line of a cell falls off the page.
        const float areaHeight = m_config.textAreaHeight();
        const float sliceLimit = areaHeight > 0 && naturalHeight > areaHeight
            ? areaHeight : std::numeric_limits<float>::infinity();
        bool firstSlice = true;
        auto remaining = [&cells] {
            return std::any_of(cells.cbegin(), cells.cend(),
                               [](const CellLines &cell) { return cell.next < cell.lines.size(); });
        };
        while (firstSlice || remaining()) {
            LayoutLine row;
            row.isTableRow = true;
            row.tableId = tableId;
            row.paragraphIndex = rowStart;
            row.docBgColor = optionalColor(head.documentBgColor);
            bool placedAny = false;
            float rowHeight = minRowHeight;
            for (CellLines &cell : cells) {
                float cellY = inset;
                while (cell.next < cell.lines.size()) {
                    LayoutLine &line = cell.lines[cell.next];
                    if (cellY > inset && cellY + line.height + inset > sliceLimit)
                        break;
                    if (line.isImage) {
                        const float free = cellWidth - line.displayWidth;
                        const float dx = line.alignment == 1 ? free / 2 : line.alignment == 2 ? free : 0;
                        row.cellImages.append(CellImage{
                            line.imageSource,
                            QRectF(inset + cell.x + qMax(0.0f, dx), cellY, line.displayWidth, line.displayHeight),
                            line.paragraphIndex});
                    }
                    shiftRuns(line.glyphRuns, inset + cell.x, cellY);
                    row.glyphRuns += line.glyphRuns;
                    if (!placedAny || line.startGlyph < row.startGlyph) {
                        row.startGlyph = line.startGlyph;
                        row.startProgress = line.startProgress;
                    }
                    row.endGlyph = placedAny ? qMax(row.endGlyph, line.endGlyph) : line.endGlyph;
                    row.endProgress = placedAny ? qMax(row.endProgress, line.endProgress) : line.endProgress;
                    placedAny = true;
                    cellY += line.height;
                    ++cell.next;
                }
                const Paragraph &source = paragraphs[cell.paragraph];
                TableCellBox box;
                box.x = cell.x;
                box.width = columnWidth;
                box.paragraphIndex = cell.paragraph;
                box.header = source.tableHeader;
                box.bgColor = optionalColor(source.bgColor);
                row.cells.append(box);
                rowHeight = qMax(rowHeight, cellY + inset);
            }
            if (firstSlice) {
                // The row's first slice starts at the row's first cell.
                row.startGlyph = head.firstGlyphIndex;
                row.startProgress = head.startProgressIndex;
                if (!placedAny) {
                    row.endGlyph = row.startGlyph;
                    row.endProgress = row.startProgress;
                }
            }
            firstSlice = false;
            row.height = rowHeight;
            for (TableCellBox &box : row.cells)
                box.height = rowHeight;
            lines.append(row);
        }
        rowStart = rowEnd;
    }
    return end;
}

QVector<PageLayout> LayoutEngine::layoutChapter(const QVector<Paragraph> &paragraphs,
                                                const LayoutConfig &config, int startParaIndex,
                                                const QString &chapterId)
{
    m_config = config;
    if (paragraphs.isEmpty())
        return {};

    const int count = paragraphs.size();
    int start = qMax(0, startParaIndex);
    if (start < count && inTable(paragraphs[start], paragraphs[start].tableId)) {
        const Paragraph &cell = paragraphs[start];
        while (start > 0 && inTable(paragraphs[start - 1], cell.tableId)
               && paragraphs[start - 1].tableRow == cell.tableRow)
            --start;
    }

    RawFontCache &cache = RawFontCache::forCurrentThread();
    const float areaWidth = m_config.textAreaWidth();
    QVector<LayoutLine> lines;
    for (int i = start; i < count;) {
        const Paragraph &p = paragraphs[i];
        if (inTable(p, p.tableId)) {
            i = appendTableRun(paragraphs, i, lines);
            continue;
        }
        QLOG_DEBUG().noquote() << "[LayoutEngine] para" << i << "kind=" << p.kind
                               << "chunks=" << p.chunks.size()
                               << "isEmpty=" << (trimmedText(p) ? "true" : "false")
                               << "textIndent=" << p.textIndent << "textPreview="
                               << p.plainText().left(60).replace(QLatin1Char('\n'),
                                                                 QLatin1String("\\n"));
        if (p.kind == Paragraph::EmptyLine) {
            QLOG_DEBUG().noquote() << "[LayoutEngine]   → EMPTY paragraph, creating blank line";
            LayoutLine blank;
            blank.height = m_config.fontPixelSize * m_config.lineHeightFactor;
            blank.paragraphIndex = i;
            blank.startGlyph = blank.endGlyph = p.firstGlyphIndex;
            blank.startProgress = blank.endProgress = p.startProgressIndex;
            blank.bgColor = optionalColor(p.bgColor);
            blank.docBgColor = optionalColor(p.documentBgColor);
            lines.append(blank);
        } else if (p.kind == Paragraph::Image && !p.imageId.isEmpty()) {
            lines.append(imageLine(p, i));
        } else {
            float marginLeft = 0, marginRight = 0;
            clampedMargins(p, areaWidth, marginLeft, marginRight);
            QVector<LayoutLine> shaped = shapeParagraph(p, i, areaWidth - marginLeft - marginRight,
                                                        m_config, cache);
            // Spaces alone draw nothing: their lines are blank lines, which
            // never fill a page of their own (unless underlined or marked).
            if (trimmedText(p)) {
                for (LayoutLine &line : shaped) {
                    if (std::none_of(line.glyphRuns.cbegin(), line.glyphRuns.cend(), isDecorated))
                        line.glyphRuns.clear();
                }
            }
            for (LayoutLine &line : shaped) {
                if (marginLeft != 0) {
                    shiftRuns(line.glyphRuns, marginLeft, 0);
                    line.textRight += marginLeft;
                }
                lines.append(line);
            }
        }
        ++i;
    }

    for (int n = 0; n < lines.size(); ++n) {
        lines[n].lineIndex = n;
        lines[n].chapterId = chapterId;
    }

    const QVector<PageLayout> pages = PageBuilder::buildPages(lines, m_config);

    if (LogManager::passes(LogManager::Debug)) {
        int images = 0;
        for (const LayoutLine &line : lines)
            images += line.isImage ? 1 : 0;
        qDebug().noquote() << "[LayoutEngine] layoutChapter done:" << "startParaIndex=" << startParaIndex
                           << "paragraphs=" << count << "lines=" << lines.size()
                           << "glyphs=" << glyphIndexCount(lines) << "images=" << images
                           << "pages=" << pages.size();
        for (const PageLayout &page : pages)
            qDebug().noquote() << "[LayoutEngine]   page" << page.pageIndex << ": lines="
                               << page.lines.size() << "glyphs=" << glyphIndexCount(page.lines);
    }
    return pages;
}
