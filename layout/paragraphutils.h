#pragma once

#include "paragraph.h"

#include <QString>
#include <QVector>

// Glyph units, chapter numbering and raw-text expansion shared by the
// importers and the page layout. All functions are pure and thread-safe.
//
// Paragraph members that need the glyph definition (glyph count, white-space
// normalisation) are free functions here, so the storage library keeps no
// dependency on layout: glyphCount(p) and normalizeWhitespace(p).

// A glyph unit: [start, start + length) of one chunk's text.
struct GlyphUnit
{
    int start = 0;
    int length = 0;
    bool operator==(const GlyphUnit &o) const { return start == o.start && length == o.length; }
};

// What finalizeParagraphs counted over one chapter.
struct ParagraphTotals
{
    int totalGlyphs = 0;
    qint64 totalProgress = 0;
};

// A-Z, a-z, U+00C0..U+024F and U+2019.
bool isLatinLetter(QChar c);
// 0-9.
bool isAsciiDigit(QChar c);
// Tab..CR, space, U+0085, U+00A0 and every other non-ASCII code unit that
// QChar::isSpace accepts.
bool isParagraphWhitespace(QChar c);

// A word (a Latin letter or digit followed by letters, digits, '-', '\'' or
// U+2019) is one unit; every other UTF-16 code unit is a unit of its own.
QVector<GlyphUnit> glyphUnits(const QString &text);
// glyphUnits(text).size() without building the list.
int glyphUnitCount(const QString &text);
int glyphUnitCount(const QChar *text, int length);

// 1 for an image paragraph, else the units of its chunks (never across chunks).
int glyphCount(const Paragraph &paragraph);

// Units of the paragraph that end at or before position (a UTF-16 index into
// its plain text).
int glyphIndexAt(const Paragraph &paragraph, int position);
// glyphIndexAt for every position 0..length of the plain text, in one pass.
QVector<int> glyphIndexTable(const Paragraph &paragraph);

// Numbers a chapter's paragraphs in place (first glyph, start progress,
// progress weight) and returns the chapter's totals. Every importer runs it
// on a chapter before storing it.
ParagraphTotals finalizeParagraphs(QVector<Paragraph> &paragraphs);

// Progress weight of an image from its declared and natural sizes (each 0 or
// less when unknown); at least 1, 900 when no usable size is known.
qint64 estimateImageHeight(int declaredWidth, int declaredHeight, int naturalWidth,
                           int naturalHeight);

// True when the paragraph has no chunk or only chunks that are blank after
// trimming.
bool trimmedText(const Paragraph &paragraph);

// A raw text block (kind 100 with exactly one chunk) becomes one body
// paragraph per non-blank line, numbered from the block's own positions;
// any other paragraph comes back unchanged as the only element. Linear in
// the length of the text.
QVector<Paragraph> normalizeWhitespace(const Paragraph &paragraph);
