#pragma once

#include "cssstylesheet.h"
#include "fontfacerule.h"
#include "paragraph.h"
#include "xhtmlconvertstate.h"

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QVector>
#include <QXmlStreamAttributes>

class ChapterInfo;
class UnifiedChunkDao;
class UnifiedParagraphDao;

// One chapter of an EPUB converted for storing.
struct EpubChapterParseResult
{
    bool success = false;           // the chapter yielded at least one paragraph
    QVector<Paragraph> paragraphs;  // of all its spine items, in spine order
    QString error;
};

class QXmlStreamReader;
class XmlFeed;

// The book-content converter shared by the EPUB, KF8 and FB2 importers. Every member
// is reentrant: a conversion keeps its state in the call.
class EpubUnifiedParser
{
public:
    // The @font-face rules of the given style texts (path to CSS text), in path order
    // and then in text order.
    static QVector<FontFaceRule> parseFontFaces(const QMap<QString, QString> &styleTexts);
    // The declarations of one @font-face block: lower-case name to trimmed value.
    static QMap<QString, QString> parseFontFaceDeclarations(const QString &blockText);
    // Trims, then drops one pair of enclosing single or double quotes.
    static QString unquoteCssValue(const QString &text);

    // The EPUB content step (built into the EPUB library, which brings the ZIP
    // and database code): converts and stores every chapter inside the
    // caller's transaction. False when no chapter has content or a stage fails.
    static bool parseAndStore(const QVector<ChapterInfo *> &chapters, const QString &novelId,
                              UnifiedParagraphDao *paragraphDao, UnifiedChunkDao *chunkDao,
                              int threadCount);
    // The whole uncompressed entry of an open minizip archive (exact name), or
    // a null array when it is missing, empty, larger than maxBytes or short.
    static QByteArray readZipEntry(void *archive, const QString &entryPath, qint64 maxBytes);
    // readZipEntry up to 20 MiB decoded by its mark or declared encoding; null on failure.
    static QString readZipText(void *archive, const QString &entryPath);

    // One XHTML document, from the element with id startAnchor up to (not including)
    // the element with id endAnchor, as unified paragraphs.
    static XhtmlConvertResult convertXhtml(const QString &xhtml, const CssStyleSheetMap &styleSheets,
                                           const QMap<QString, QString> &resources,
                                           const QMap<QString, QString> &mediaTypes,
                                           const QString &documentPath, const QString &baseDir,
                                           const QString &imageIdPrefix,
                                           const QString &startAnchor, const QString &endAnchor);
    // The whole document once, cut before each element whose id is in cutAnchors
    // as a conversion ending there would be; anchorParagraphs tells where.
    static XhtmlConvertResult convertXhtmlCut(const QString &xhtml,
                                              const CssStyleSheetMap &styleSheets,
                                              const QMap<QString, QString> &resources,
                                              const QMap<QString, QString> &mediaTypes,
                                              const QString &documentPath, const QString &baseDir,
                                              const QString &imageIdPrefix,
                                              const QStringList &cutAnchors);
    // The same with the style sheets given as texts (path to CSS).
    static XhtmlConvertResult convertXhtmlFlow(const QString &xhtml,
                                               const QMap<QString, QString> &cssTexts,
                                               const QMap<QString, QString> &resources,
                                               const QMap<QString, QString> &mediaTypes,
                                               const QString &documentPath, const QString &baseDir,
                                               const QString &imageIdPrefix,
                                               const QString &startAnchor, const QString &endAnchor);

    // Puts double quotes around attribute values written without them; changed tells
    // whether there was any.
    static QString quoteUnquotedAttributes(const QString &text, bool *changed);
    // The attribute by qualified name, else the first whose local name matches
    // ignoring case; null when none.
    static QString attributeValue(const QXmlStreamAttributes &attributes, const QString &name);

    static void closeParagraph(XhtmlConvertState &state, int kind, const ComputedStyle &style);
    static void applyBlockStyle(Paragraph &paragraph, const ComputedStyle &style);
    // familyCache, when given, keeps the registry's answers for the conversion, so that
    // parallel conversions do not queue on its lock for every element.
    static void applyRunStyle(RunStyle &run, const ComputedStyle &style, bool withBackground,
                              float baseFontSize, QHash<QString, QString> *familyCache = nullptr);
    static void flushRun(XhtmlConvertState &state);
    // The run a block starts with: bold and italic of the elements around it
    // (an <i> or a styled div, table or list) carry into it; its own
    // declarations are applied after.
    static RunStyle inheritedRunStyle(const RunStyle &outer, const ComputedStyle &style);
    static bool lengthPixels(const ComputedStyle &style, const QString &property, float &out);

    static QString decodeRelativeUrl(const QString &href);
    static QString resolveHref(const QString &href, const QString &basePath);
    static QString lookupResource(const QString &href, const QMap<QString, QString> &resources,
                                  const QString &documentPath, const QString &baseDir);
    static bool addImageParagraph(XhtmlConvertState &state, const ComputedStyle &style,
                                  const QString &href, const QString &type, const QString &alt,
                                  const QString &width, const QString &height);

    static MathNode readMathTree(XmlFeed &feed, QString &imageSource);
    static QString mathNodeText(const MathNode &node);
    static QString mathToText(const MathNode &node);

    // Elements nested deeper than this are read as plain text of their ancestor.
    static constexpr int maxNestingDepth = 256;

private:
    static XhtmlConvertResult convertOnce(const QString &xhtml, const CssStyleSheetMap &styleSheets,
                                          const QMap<QString, QString> &resources,
                                          const QMap<QString, QString> &mediaTypes,
                                          const QString &documentPath, const QString &baseDir,
                                          const QString &imageIdPrefix, const QString &startAnchor,
                                          const QString &endAnchor, bool mayRetry,
                                          const QStringList &cutAnchors = QStringList());
    static void startElement(XhtmlConvertState &state, QXmlStreamReader &reader,
                             const QString &startAnchor, const QString &endAnchor, bool &stop);
    static void dispatchElement(XhtmlConvertState &state, const QString &name,
                                const QXmlStreamAttributes &attributes,
                                const ComputedStyle &style, const RunStyle &before);
    static void endElement(XhtmlConvertState &state, const QString &name);
    static ComputedStyle elementStyle(XhtmlConvertState &state, const QString &name,
                                      const QXmlStreamAttributes &attributes);
    static void openImplicitParagraph(XhtmlConvertState &state);
    static void emitParagraph(XhtmlConvertState &state);
    static void appendText(XhtmlConvertState &state, const QStringRef &text);
    static void endTable(XhtmlConvertState &state);
    static void convertMath(XhtmlConvertState &state, const QXmlStreamAttributes &attributes,
                            const RunStyle &before);
};
