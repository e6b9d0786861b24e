#include "paragraph.h"

bool TextChunk::operator==(const TextChunk &o) const
{
    return text == o.text && bold == o.bold && italic == o.italic && underline == o.underline
        && strikethrough == o.strikethrough && fontDelta == o.fontDelta
        && fontScale == o.fontScale && fontFamily == o.fontFamily && color == o.color
        && highlightColor == o.highlightColor && fontWeight == o.fontWeight
        && vertAlign == o.vertAlign && anchorHref == o.anchorHref;
}

QString Paragraph::plainText() const
{
    if (chunks.size() == 1)
        return chunks.constFirst().text;
    int length = 0;
    for (const TextChunk &chunk : chunks)
        length += chunk.text.size();
    QString text;
    text.reserve(length);
    for (const TextChunk &chunk : chunks)
        text += chunk.text;
    return text;
}

qint64 Paragraph::plainTextLength() const
{
    qint64 length = 0;
    for (const TextChunk &chunk : chunks)
        length += chunk.text.size();
    return length;
}

bool Paragraph::operator==(const Paragraph &o) const
{
    return kind == o.kind && headingLevel == o.headingLevel
        && firstGlyphIndex == o.firstGlyphIndex && startProgressIndex == o.startProgressIndex
        && progressWeight == o.progressWeight && alignment == o.alignment
        && textIndent == o.textIndent && marginLeft == o.marginLeft
        && marginRight == o.marginRight && spaceBefore == o.spaceBefore
        && spaceAfter == o.spaceAfter && lineHeight == o.lineHeight && bgColor == o.bgColor
        && documentBgColor == o.documentBgColor && preformatted == o.preformatted
        && tableId == o.tableId && tableRow == o.tableRow && tableColumn == o.tableColumn
        && tableColumnCount == o.tableColumnCount && tableHeader == o.tableHeader
        && footnoteId == o.footnoteId && imageId == o.imageId && imageWidth == o.imageWidth
        && imageHeight == o.imageHeight && hCenter == o.hCenter && vCenter == o.vCenter
        && chunks == o.chunks;
}
