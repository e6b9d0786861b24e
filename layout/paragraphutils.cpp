#include "paragraphutils.h"

#include <cmath>

namespace {

constexpr bool latinLetter(ushort u)
{
    return (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= 0x00C0 && u <= 0x024F)
        || u == 0x2019;
}

constexpr bool asciiDigit(ushort u) { return u >= '0' && u <= '9'; }

// How a character takes part in a word unit: 1 starts and continues one
// (a Latin letter or a digit), 2 only continues one ('-' and '\''), 0 stands
// alone. Looked up rather than tested range by range: glyphs are counted over
// every character of a book while it is stored.
constexpr int wordClassOf(ushort u)
{
    if (latinLetter(u) || asciiDigit(u))
        return 1;
    return u == '-' || u == '\'' ? 2 : 0;
}

const int WordClassTableSize = 0x250;

struct WordClassTable
{
    unsigned char classes[WordClassTableSize] = {};

    constexpr WordClassTable()
    {
        for (int u = 0; u < WordClassTableSize; ++u)
            classes[u] = static_cast<unsigned char>(wordClassOf(ushort(u)));
    }
};

constexpr WordClassTable s_wordClasses;

inline int wordClass(QChar c)
{
    const ushort u = c.unicode();
    return u < WordClassTableSize ? s_wordClasses.classes[u] : wordClassOf(u);
}

// Index just past the unit that starts at i.
inline int unitEnd(const QChar *text, int length, int i)
{
    if (wordClass(text[i]) != 1)
        return i + 1;
    int j = i + 1;
    while (j < length && wordClass(text[j]) != 0)
        ++j;
    return j;
}

inline bool isLineBreak(QChar c)
{
    return c.unicode() == '\r' || c.unicode() == '\n';
}

}

bool isLatinLetter(QChar c)
{
    return latinLetter(c.unicode());
}

bool isAsciiDigit(QChar c)
{
    return asciiDigit(c.unicode());
}

bool isParagraphWhitespace(QChar c)
{
    const ushort u = c.unicode();
    if (u < 0x80)
        return u == 0x20 || (u >= 0x09 && u <= 0x0D);
    return u == 0x85 || u == 0xA0 || c.isSpace();
}

QVector<GlyphUnit> glyphUnits(const QString &text)
{
    QVector<GlyphUnit> units;
    const QChar *data = text.constData();
    const int length = text.size();
    units.reserve(length);
    for (int i = 0; i < length;) {
        const int end = unitEnd(data, length, i);
        units.append(GlyphUnit{i, end - i});
        i = end;
    }
    return units;
}

int glyphUnitCount(const QChar *text, int length)
{
    int count = 0;
    for (int i = 0; i < length; i = unitEnd(text, length, i))
        ++count;
    return count;
}

int glyphUnitCount(const QString &text)
{
    return glyphUnitCount(text.constData(), text.size());
}

int glyphCount(const Paragraph &paragraph)
{
    if (paragraph.kind == Paragraph::Image)
        return 1;
    int count = 0;
    for (const TextChunk &chunk : paragraph.chunks)
        count += glyphUnitCount(chunk.text);
    return count;
}

int glyphIndexAt(const Paragraph &paragraph, int position)
{
    int count = 0;
    int offset = 0;
    for (const TextChunk &chunk : paragraph.chunks) {
        if (offset >= position)
            break;
        const QChar *data = chunk.text.constData();
        const int length = chunk.text.size();
        for (int i = 0; i < length;) {
            const int end = unitEnd(data, length, i);
            if (offset + end > position)
                return count;
            ++count;
            i = end;
        }
        offset += length;
    }
    return count;
}

QVector<int> glyphIndexTable(const Paragraph &paragraph)
{
    int total = 0;
    for (const TextChunk &chunk : paragraph.chunks)
        total += chunk.text.size();
    QVector<int> table(total + 1, 0);
    int *out = table.data();
    int count = 0;
    int offset = 0;
    for (const TextChunk &chunk : paragraph.chunks) {
        const QChar *data = chunk.text.constData();
        const int length = chunk.text.size();
        for (int i = 0; i < length;) {
            const int end = unitEnd(data, length, i);
            for (int k = i + 1; k < end; ++k)
                out[offset + k] = count;
            out[offset + end] = ++count;
            i = end;
        }
        offset += length;
    }
    return table;
}

ParagraphTotals finalizeParagraphs(QVector<Paragraph> &paragraphs)
{
    ParagraphTotals totals;
    for (Paragraph &p : paragraphs) {
        p.firstGlyphIndex = totals.totalGlyphs;
        p.startProgressIndex = totals.totalProgress;
        if (p.kind == Paragraph::Image) {
            if (p.progressWeight <= 0)
                p.progressWeight = 1;
        } else {
            qint64 length = 0;
            for (const TextChunk &chunk : p.chunks)
                length += chunk.text.size();
            p.progressWeight = length;
        }
        totals.totalGlyphs += glyphCount(p);
        totals.totalProgress += p.progressWeight;
    }
    return totals;
}

qint64 estimateImageHeight(int declaredWidth, int declaredHeight, int naturalWidth,
                           int naturalHeight)
{
    const bool natural = naturalWidth > 0 && naturalHeight > 0;
    double width = declaredWidth;
    double height = declaredHeight;
    if (width > 0 && height <= 0) {
        height = natural ? double(naturalHeight) * width / naturalWidth : width;
    } else if (height > 0 && width <= 0) {
        width = natural ? height * naturalWidth / naturalHeight : height;
    } else if (width <= 0 && height <= 0) {
        if (!natural)
            return 900;
        width = 600.0;
        height = double(naturalHeight) * 600.0 / naturalWidth;
    }
    if (width <= 0 || height <= 0)
        return 900;
    const double area = width > 600.0 ? 600.0 * (height * 600.0 / width) : width * height;
    // Bounded by about 2e12 for any int sizes, so the cast cannot overflow.
    const double weight = std::ceil(area / 400.0);
    return weight < 1.0 ? 1 : qint64(weight);
}

bool trimmedText(const Paragraph &paragraph)
{
    for (const TextChunk &chunk : paragraph.chunks) {
        for (const QChar c : chunk.text) {
            if (!isParagraphWhitespace(c))
                return false;
        }
    }
    return true;
}

QVector<Paragraph> normalizeWhitespace(const Paragraph &paragraph)
{
    if (paragraph.kind != Paragraph::PlainTextBlock || paragraph.chunks.size() != 1)
        return {paragraph};

    const QString &text = paragraph.chunks.constFirst().text;
    const QChar *data = text.constData();
    const int length = text.size();
    QVector<Paragraph> lines;

    // Units are counted line by line as the walk passes them: a word never
    // spans a line break, so this equals counting all text before each line.
    qint64 units = 0;
    for (int i = 0; i < length;) {
        if (isLineBreak(data[i])) {
            ++units;
            ++i;
            continue;
        }
        int lineEnd = i;
        while (lineEnd < length && !isLineBreak(data[lineEnd]))
            ++lineEnd;
        int start = i;
        while (start < lineEnd && isParagraphWhitespace(data[start]))
            ++start;
        int end = lineEnd;
        while (end > start && isParagraphWhitespace(data[end - 1]))
            --end;
        if (start < end) {
            Paragraph line;
            // Leading white space is never part of a word: one unit each.
            line.firstGlyphIndex = int(paragraph.firstGlyphIndex + units + (start - i));
            line.startProgressIndex = paragraph.startProgressIndex + start;
            line.progressWeight = end - start;
            TextChunk chunk;
            chunk.text = text.mid(start, end - start);
            line.chunks.append(chunk);
            lines.append(line);
        }
        units += glyphUnitCount(data + i, lineEnd - i);
        i = lineEnd;
    }
    return lines;
}
