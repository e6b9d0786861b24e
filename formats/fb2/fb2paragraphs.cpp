#include "fb2parser.h"

#include "fb2xml.h"
#include "paragraphutils.h"

#include <QXmlStreamReader>

namespace {

bool isBlank(const Paragraph &paragraph)
{
    return trimmedText(paragraph);
}

void appendSpan(QVector<TextChunk> &chunks, const QChar *text, int length,
                const Fb2RunStyle &style)
{
    if (!chunks.isEmpty() && style.sameAs(chunks.last()))
        chunks.last().text.append(text, length);
    else
        chunks.append(style.chunk(QString(text, length)));
}

bool isBlockInCell(const QString &name)
{
    return name == QLatin1String("p") || name == QLatin1String("v")
        || name == QLatin1String("subtitle") || name == QLatin1String("text-author")
        || name == QLatin1String("date");
}

// Text after this point is kept apart from the text before it.
void separate(Fb2PendingRuns &runs, const Fb2RunStyle &style)
{
    if (runs.hasText && !runs.pendingSpace) {
        runs.pendingSpace = true;
        runs.spaceStyle = style;
    }
}

// Cells of one row run together as one body paragraph, for tables past the bounds.
Paragraph rowParagraph(const QVector<Paragraph> &row, const Fb2RunStyle &style)
{
    Paragraph paragraph = Fb2Parser::defaultParagraph(Paragraph::Body);
    for (const Paragraph &cell : row) {
        if (cell.chunks.isEmpty())
            continue;
        if (!paragraph.chunks.isEmpty())
            paragraph.chunks.append(style.chunk(QStringLiteral(" ")));
        paragraph.chunks += cell.chunks;
    }
    return paragraph;
}

}

Paragraph Fb2Parser::defaultParagraph(int kind)
{
    Paragraph paragraph;
    paragraph.kind = kind;
    return paragraph;
}

QVector<Paragraph> Fb2Parser::readParagraph(QXmlStreamReader &reader, int kind,
                                            const Fb2Images &images, const Fb2StyleSheet &styles,
                                            const Fb2RunStyle &parentStyle, int level, int depth)
{
    const QString name = reader.name().toString();
    const Fb2RunStyle style = elementStyle(styles, name, reader.attributes(), parentStyle, level);
    Fb2PendingRuns runs;
    QVector<Paragraph> out;
    readInline(reader, name, style, kind, images, styles, level, runs, out, depth + 1);
    flushRuns(out, kind, runs);
    return out;
}

void Fb2Parser::readInline(QXmlStreamReader &reader, const QString &elementName,
                           const Fb2RunStyle &style, int kind, const Fb2Images &images,
                           const Fb2StyleSheet &styles, int level, Fb2PendingRuns &runs,
                           QVector<Paragraph> &out, int depth)
{
    while (Fb2Xml::nextInside(reader, elementName)) {
        if (reader.isCharacters()) {
            addText(runs, reader.text(), style);
            continue;
        }
        if (!reader.isStartElement())
            continue;
        const QStringRef name = reader.name();
        if (name == QLatin1String("empty-line"))
            continue;
        if (name == QLatin1String("image")) {
            flushRuns(out, kind, runs);
            const Paragraph image = readImage(reader, images);
            if (!image.imageId.isEmpty())
                out.append(image);
            continue;
        }
        if (depth >= MaxNesting) {
            const QString text = Fb2Xml::boundedText(reader, MaxFlatChars);
            addText(runs, QStringRef(&text), style);
            continue;
        }
        const QString childName = name.toString();
        const Fb2RunStyle childStyle =
            elementStyle(styles, childName, reader.attributes(), style, level);
        // Paragraphs inside a table cell do not run together.
        const bool block = kind == Paragraph::TableCell && isBlockInCell(childName);
        if (block)
            separate(runs, style);
        readInline(reader, childName, childStyle, kind, images, styles, level, runs, out,
                   depth + 1);
        if (block)
            separate(runs, style);
    }
}

// Runs of white space between characters become one space in the style in
// force where the run began, so a styled run does not start with the space
// before it; leading and trailing white space is dropped.
void Fb2Parser::addText(Fb2PendingRuns &runs, const QStringRef &text, const Fb2RunStyle &style)
{
    const QChar *data = text.unicode();
    const int size = text.size();
    int i = 0;
    while (i < size) {
        if (isParagraphWhitespace(data[i])) {
            separate(runs, style);
            ++i;
            continue;
        }
        int end = i + 1;
        while (end < size && !isParagraphWhitespace(data[end]))
            ++end;
        if (runs.pendingSpace) {
            const QChar space(QLatin1Char(' '));
            appendSpan(runs.chunks, &space, 1, runs.spaceStyle);
            runs.pendingSpace = false;
        }
        appendSpan(runs.chunks, data + i, end - i, style);
        runs.hasText = true;
        i = end;
    }
}

void Fb2Parser::flushRuns(QVector<Paragraph> &out, int kind, Fb2PendingRuns &runs)
{
    Paragraph paragraph = defaultParagraph(kind);
    paragraph.chunks = std::move(runs.chunks);
    runs = Fb2PendingRuns();
    if (!isBlank(paragraph))
        out.append(std::move(paragraph));
}

void Fb2Parser::appendParagraph(QVector<Paragraph> &out, const Paragraph &paragraph)
{
    if (paragraph.kind == Paragraph::Image) {
        if (!paragraph.imageId.isEmpty())
            out.append(paragraph);
    } else if (paragraph.kind == Paragraph::EmptyLine || !isBlank(paragraph)) {
        out.append(paragraph);
    }
}

Paragraph Fb2Parser::readImage(QXmlStreamReader &reader, const Fb2Images &images)
{
    Paragraph paragraph = defaultParagraph(Paragraph::Body);
    const QString href = normalizeHref(attributeValue(reader.attributes(), QStringLiteral("href")));
    paragraph.imageId = images.paths.value(href);
    if (paragraph.imageId.isEmpty())
        return paragraph;
    paragraph.kind = Paragraph::Image;
    paragraph.hCenter = true;
    const QSize size = images.sizes.value(href, QSize(-1, -1));
    if (size.width() >= 0 && size.height() >= 0) {
        paragraph.imageWidth = size.width();
        paragraph.imageHeight = size.height();
    }
    paragraph.progressWeight = estimateImageHeight(0, 0, size.width(), size.height());
    return paragraph;
}

void Fb2Parser::readTable(QXmlStreamReader &reader, const Fb2Images &images,
                          const Fb2StyleSheet &styles, const Fb2RunStyle &parentStyle,
                          QVector<Paragraph> &out, int tableId, int depth)
{
    // A row's cells carry their columns; columns without a cell stay empty.
    // A cell's pictures stay in the cell, above its text when they come
    // before any of it, else below.
    struct Cell
    {
        Paragraph text;
        QVector<Paragraph> above;
        QVector<Paragraph> below;
    };
    struct Row
    {
        QVector<Cell> cells;
    };
    QVector<Row> rows;
    int columns = 0;
    // The last row each column is taken by a cell with rowspan.
    QVector<int> coveredUntil(MaxTableColumns, -1);
    // Past the bounds every row, kept or still to come, is one plain
    // paragraph followed by its pictures.
    bool plain = false;
    const auto toPlain = [&](const Row &row) {
        QVector<Paragraph> texts;
        for (const Cell &cell : row.cells)
            texts.append(cell.text);
        appendParagraph(out, rowParagraph(texts, parentStyle));
        for (const Cell &cell : row.cells) {
            for (Paragraph picture : cell.above + cell.below) {
                picture.tableId = picture.tableRow = picture.tableColumn = -1;
                picture.tableColumnCount = 0;
                out.append(std::move(picture));
            }
        }
    };

    while (Fb2Xml::nextInside(reader, QLatin1String("table"))) {
        if (!reader.isStartElement())
            continue;
        if (reader.name() != QLatin1String("tr")) {
            reader.skipCurrentElement();
            continue;
        }
        const int rowIndex = rows.size();
        Row row;
        int column = 0;
        while (Fb2Xml::nextInside(reader, QLatin1String("tr"))) {
            if (!reader.isStartElement())
                continue;
            const QString cellName = reader.name().toString();
            if (cellName != QLatin1String("th") && cellName != QLatin1String("td")) {
                reader.skipCurrentElement();
                continue;
            }
            const QXmlStreamAttributes attributes = reader.attributes();
            Paragraph cell = defaultParagraph(Paragraph::TableCell);
            cell.tableHeader = cellName == QLatin1String("th");
            const QString align = attributeValue(attributes, QStringLiteral("align")).toLower();
            cell.alignment = align == QLatin1String("center") ? 1
                : align == QLatin1String("right")             ? 2
                : align == QLatin1String("justify")           ? 3
                                                              : 0;
            while (column < MaxTableColumns && coveredUntil[column] >= rowIndex)
                ++column;
            const int colspan =
                qBound(1, trimmedAttribute(attributes, QStringLiteral("colspan")).toInt(), MaxCellSpan);
            const int rowspan =
                qBound(1, trimmedAttribute(attributes, QStringLiteral("rowspan")).toInt(), MaxCellSpan);
            for (int c = column; rowspan > 1 && c < qMin(column + colspan, MaxTableColumns); ++c)
                coveredUntil[c] = rowIndex + rowspan - 1;
            cell.tableColumn = column;
            column += colspan;

            const Fb2RunStyle cellStyle = elementStyle(styles, cellName, attributes, parentStyle, 0);
            const QVector<Paragraph> parts = readParagraph(reader, Paragraph::TableCell, images,
                                                           styles, parentStyle, 0, depth);
            Cell held;
            for (const Paragraph &part : parts) {
                if (part.kind == Paragraph::Image) {
                    // Drawn in the cell, aligned as its text, at most its natural size.
                    Paragraph picture = part;
                    picture.hCenter = false;
                    picture.alignment = cell.alignment;
                    (cell.chunks.isEmpty() ? held.above : held.below).append(std::move(picture));
                    continue;
                }
                if (part.kind != Paragraph::TableCell || isBlank(part))
                    continue;
                if (!cell.chunks.isEmpty())
                    cell.chunks.append(cellStyle.chunk(QStringLiteral(" ")));
                cell.chunks += part.chunks;
            }
            held.text = std::move(cell);
            row.cells.append(std::move(held));
        }
        if (plain) {
            toPlain(row);
            continue;
        }
        columns = qMax(columns, column);
        rows.append(row);
        if (columns > MaxTableColumns || qint64(columns) * rows.size() > MaxTableCells) {
            plain = true;
            for (const Row &kept : qAsConst(rows))
                toPlain(kept);
            rows.clear();
        }
    }
    if (plain || columns == 0)
        return;
    const auto place = [&](Paragraph &paragraph, int r, int c) {
        paragraph.tableId = tableId;
        paragraph.tableRow = r;
        paragraph.tableColumn = c;
        paragraph.tableColumnCount = columns;
    };
    for (int r = 0; r < rows.size(); ++r) {
        QVector<Cell> &cells = rows[r].cells;
        int next = 0;
        for (int c = 0; c < columns; ++c) {
            Cell cell;
            if (next < cells.size() && cells[next].text.tableColumn == c)
                cell = std::move(cells[next++]);
            cell.text.kind = Paragraph::TableCell;
            place(cell.text, r, c);
            for (Paragraph &picture : cell.above)
                place(picture, r, c);
            for (Paragraph &picture : cell.below)
                place(picture, r, c);
            out += cell.above;
            out.append(std::move(cell.text));
            out += cell.below;
        }
    }
}
