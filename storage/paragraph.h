#pragma once

#include <QString>
#include <QVector>

// One styled run of a paragraph's text (a row of unified_chunk).
struct TextChunk
{
    QString text;
    bool bold = false;
    bool italic = false;
    bool underline = false;
    bool strikethrough = false;
    int fontDelta = 0;          // pixels added to the scaled font size
    float fontScale = 1.0f;     // multiple of the reading font size
    QString fontFamily;         // empty: the reading font
    QString color;              // CSS colour text; empty: none given
    QString highlightColor;     // CSS colour text behind the run
    int fontWeight = 0;         // CSS weight 100..900; 0: follow `bold`
    int vertAlign = 0;          // 0 baseline, 1 superscript, 2 subscript
    QString anchorHref;         // link target; empty: no link

    bool operator==(const TextChunk &other) const;
    bool operator!=(const TextChunk &other) const { return !(*this == other); }
};

// One unified paragraph (a row of unified_paragraph) with its chunks in order.
// Plain value type: copies share strings and the chunk list until written.
struct Paragraph
{
    // Stored in the kind column; shared by every importer and the layout.
    enum Kind {
        Body = 0,
        Heading = 1,
        Image = 2,
        EmptyLine = 3,
        ListItem = 4,
        Rule = 5,
        Note = 6,
        Verse = 7,
        TableCell = 8,
        PlainTextBlock = 100   // a whole plain-text chapter, expanded on load
    };

    int kind = Body;
    int headingLevel = 0;
    int firstGlyphIndex = 0;        // glyph units before it in its chapter
    qint64 startProgressIndex = 0;  // progress units before it in its chapter
    qint64 progressWeight = 0;      // progress units of this paragraph
    int alignment = 0;              // 0 left, 1 centre, 2 right, 3 justify
    // First-line indent in pixels as the book gives it; 0: not given (the reader's
    // default applies, as in books stored before), ExplicitZeroIndent: none.
    float textIndent = 0.0f;
    static constexpr float ExplicitZeroIndent = 0.001f;
    float marginLeft = 0.0f;
    float marginRight = 0.0f;
    float spaceBefore = 0.0f;
    float spaceAfter = 0.0f;
    float lineHeight = 0.0f;        // multiple of the font size; 0: not given
    QString bgColor;
    QString documentBgColor;
    bool preformatted = false;
    int tableId = -1;
    int tableRow = -1;
    int tableColumn = -1;
    int tableColumnCount = 0;
    bool tableHeader = false;
    QString footnoteId;
    QString imageId;                // image source string of an image paragraph
    int imageWidth = 0;             // 0 or less: unknown
    int imageHeight = 0;
    bool hCenter = false;
    bool vCenter = false;
    QVector<TextChunk> chunks;

    // The chunk texts joined without separator.
    QString plainText() const;
    // plainText().size(), without building the text.
    qint64 plainTextLength() const;

    bool operator==(const Paragraph &other) const;
    bool operator!=(const Paragraph &other) const { return !(*this == other); }
};

Q_DECLARE_TYPEINFO(TextChunk, Q_MOVABLE_TYPE);
Q_DECLARE_TYPEINFO(Paragraph, Q_MOVABLE_TYPE);
