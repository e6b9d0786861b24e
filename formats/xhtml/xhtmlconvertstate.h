#pragma once

#include "cssstylesheet.h"
#include "paragraph.h"

#include <QHash>
#include <QMap>
#include <QHash>
#include <QString>
#include <QStringList>
#include <QVector>

// The chunk fields other than the text: the style of the run being collected.
struct RunStyle
{
    bool bold = false;
    bool italic = false;
    bool underline = false;
    bool strikethrough = false;
    int fontDelta = 0;
    float fontScale = 1.0f;
    QString fontFamily;
    QString color;
    QString highlightColor;
    int fontWeight = 0;     // CSS weight; 0: not set
    int vertAlign = 0;      // 0 normal, 1 super, 2 sub
    QString anchorHref;

    // A chunk of the text in this style.
    TextChunk chunk(const QString &text) const;
    bool operator==(const RunStyle &other) const;
    bool operator!=(const RunStyle &other) const { return !(*this == other); }
};

struct StyleFrame
{
    int depth = 0;
    ComputedStyle style;
    int alignmentDepth = 0;     // size of the alignment stack before the element
    int whiteSpace = 0;         // 0 collapsed, 1 kept (pre, pre-wrap), 2 line breaks kept (pre-line)
};

struct RunStyleFrame
{
    int depth = 0;
    RunStyle style;
};

struct ListFrame
{
    int depth = 0;
    bool ordered = false;
    int next = 1;           // number of the next item
    bool reversed = false;
    QString type;           // the list's own list-style type
};

struct SwitchFrame
{
    int depth = 0;
    bool defaultTaken = false;
    int skipDepth = 0;
};

struct XhtmlConvertResult
{
    bool ok = false;
    QVector<Paragraph> paragraphs;
    QString errorMessage;
    qint64 errorLine = 0;
    qint64 errorColumn = 0;
    bool tooLarge = false;      // refused for what it converts to, not for its markup
    // Of a whole-document conversion with cut anchors: the paragraph index at
    // which each anchor met begins.
    QHash<QString, int> anchorParagraphs;
};

// A MathML element read into memory, for its text form.
struct MathNode
{
    QString name;
    QString text;
    QString encoding;
    QVector<MathNode> children;
};

class XmlFeed;

// Everything one conversion reads and writes; owned by the call, so conversions on
// different threads share nothing.
struct XhtmlConvertState
{
    // Far above any real chapter; a document beyond is refused rather than held.
    static constexpr int MaxParagraphs = 100000;
    static constexpr qint64 MaxCharacters = 24 * 1024 * 1024;

    XhtmlConvertState(const CssStyleSheetMap &sheets, const QMap<QString, QString> &resources,
                      const QMap<QString, QString> &mediaTypes, const QString &documentPath,
                      const QString &baseDir, const QString &imageIdPrefix)
        : styleSheets(sheets), resources(resources), mediaTypes(mediaTypes),
          documentPath(documentPath), baseDir(baseDir), imageIdPrefix(imageIdPrefix) {}

    // Arguments of the call.
    const CssStyleSheetMap &styleSheets;
    const QMap<QString, QString> &resources;
    const QMap<QString, QString> &mediaTypes;
    const QString &documentPath;
    const QString &baseDir;
    const QString &imageIdPrefix;

    XmlFeed *feed = nullptr;        // the reader's source, for readers of whole elements

    Paragraph paragraph;
    RunStyle run;
    QString pendingText;

    bool paragraphOpen = false;
    bool atLineStart = true;
    bool inTableCell = false;
    bool inBody = false;
    bool bodySeen = false;
    bool started = true;
    bool ended = true;
    // Ids at which the output is cut, and the paragraph index of each one met.
    const QStringList *cutAnchors = nullptr;
    QHash<QString, int> cutPositions;

    int footnoteDepth = 0;
    QString footnoteId;

    QVector<int> alignmentStack;
    QVector<Paragraph> output;
    qint64 outputCharacters = 0;    // text of output plus one per chunk
    qint64 openCharacters = 0;      // the same, of runs collected since the last emitted paragraph
    // Characters collected so far, pending text included.
    qint64 collectedCharacters() const { return outputCharacters + openCharacters + pendingText.size(); }
    bool tooLarge = false;          // a table would pad past the bounds
    float baseFontSize = 16.0f;
    QString documentBackground;

    int depth = 0;
    int preDepth = 0;
    int skipTextCount = 0;
    int skipDepth = 0;
    int mediaDepth = 0;
    int svgDepth = 0;
    int svgTextDepth = 0;
    QString svgText;
    QString rootSvgWidth;           // of a document that is an SVG drawing
    QString rootSvgHeight;

    int currentTableId = -1;
    int currentRow = -1;
    int currentColumn = 0;
    int maxColumns = 0;
    int tableStartIndex = -1;
    int tableCounter = 0;
    QHash<int, int> coveredUntil;   // column to the last row a row-spanning cell covers
    int nestedTableDepth = 0;   // tables opened inside a cell, read as cell text

    QVector<StyleFrame> styles;
    QVector<RunStyleFrame> runStyles;
    QVector<SwitchFrame> switches;
    QVector<ListFrame> lists;
    QVector<int> displayBlocks;     // depths of inline elements shown as blocks
    QString display;                // the current element's display, lower case
    QString listMarker;             // number of the open ordered item, put before its text
    int listMarkerDepth = 0;

    CssStyleSheet documentSheet;
    QHash<QString, QString> familyCache;    // "family|weight|italic" to resolved family
    QString htmlId;
    QString htmlClass;
    QString htmlStyle;
    QString htmlBgColor;

    const ComputedStyle *currentStyle() const { return styles.isEmpty() ? nullptr : &styles.last().style; }
};
