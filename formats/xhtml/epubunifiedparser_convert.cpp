#include "epubunifiedparser.h"

#include "htmlentityresolver.h"
#include "xmlelementtext.h"
#include "xmltext.h"

#include <QDebug>
#include <QFileInfo>
#include <QUrl>
#include <QXmlStreamReader>

namespace {

const QString epubNamespace = QStringLiteral("http://www.idpf.org/2007/ops");
constexpr int MaxDocumentParagraphs = XhtmlConvertState::MaxParagraphs;
constexpr qint64 MaxDocumentCharacters = XhtmlConvertState::MaxCharacters;
// Spans beyond this are mistakes, not tables; a cap keeps rows bounded.
constexpr int MaxCellSpan = 64;

enum class Block { None, Container, Heading, ListItem, Quote, Pre, List };

// Which element is a block, and of what sort: the one place that decides it.
Block blockOf(const QString &name)
{
    static const QHash<QString, Block> table{
        {"p", Block::Container}, {"div", Block::Container}, {"body", Block::Container},
        {"dt", Block::Container}, {"dd", Block::Container}, {"section", Block::Container},
        {"article", Block::Container}, {"center", Block::Container}, {"figure", Block::Container},
        {"figcaption", Block::Container}, {"aside", Block::Container}, {"header", Block::Container},
        {"footer", Block::Container}, {"nav", Block::Container}, {"address", Block::Container},
        {"main", Block::Container}, {"hgroup", Block::Container}, {"details", Block::Container},
        {"summary", Block::Container}, {"fieldset", Block::Container}, {"legend", Block::Container},
        {"dialog", Block::Container}, {"search", Block::Container}, {"caption", Block::Container},
        {"h1", Block::Heading}, {"h2", Block::Heading}, {"h3", Block::Heading},
        {"h4", Block::Heading}, {"h5", Block::Heading}, {"h6", Block::Heading},
        {"li", Block::ListItem}, {"blockquote", Block::Quote}, {"pre", Block::Pre},
        {"ul", Block::List}, {"ol", Block::List}, {"dl", Block::List}, {"menu", Block::List},
        {"dir", Block::List}};
    return table.value(name, Block::None);
}

bool isContainerBlock(const QString &name)
{
    return blockOf(name) == Block::Container;
}

int headingLevel(const QString &name)
{
    if (name.size() == 2 && name[0] == QLatin1Char('h') && name[1] >= QLatin1Char('1')
        && name[1] <= QLatin1Char('6'))
        return name[1].unicode() - '0';
    return 0;
}

// Blocks that become part of the cell's text when they appear inside a table cell.
bool isCellBlock(const QString &name)
{
    return blockOf(name) != Block::None;
}

bool isBlockEnd(const QString &name)
{
    return isCellBlock(name);
}

// Values of display that make an element a block of its own.
bool isBlockDisplay(const QString &display)
{
    return display == QLatin1String("block") || display == QLatin1String("list-item")
        || display == QLatin1String("flex") || display == QLatin1String("grid")
        || display == QLatin1String("table") || display == QLatin1String("flow-root");
}

// list-style-type, or the type named in the list-style shorthand.
QString listStyleType(const ComputedStyle &style)
{
    const QString type = style.value(QStringLiteral("list-style-type")).trimmed().toLower();
    if (!type.isEmpty())
        return type;
    const QStringList parts = style.value(QStringLiteral("list-style")).toLower().split(
        QLatin1Char(' '), Qt::SkipEmptyParts);
    for (const QString &part : parts) {
        if (part != QLatin1String("inside") && part != QLatin1String("outside")
            && !part.startsWith(QLatin1String("url(")))
            return part;
    }
    return QString();
}

// The marker of item number n of an ordered list in the given list-style-type;
// empty for none.
QString listMarker(int n, const QString &type)
{
    if (type == QLatin1String("none"))
        return QString();
    const bool upper = type.startsWith(QLatin1String("upper"));
    QString text;
    if (n > 0 && (type.endsWith(QLatin1String("-alpha")) || type.endsWith(QLatin1String("-latin")))) {
        for (int k = n; k > 0; k = (k - 1) / 26)
            text.prepend(QChar('a' + (k - 1) % 26));
    } else if (n > 0 && n < 4000 && type.endsWith(QLatin1String("-roman"))) {
        static const int values[] = {1000, 900, 500, 400, 100, 90, 50, 40, 10, 9, 5, 4, 1};
        static const char *const digits[] = {"m", "cm", "d", "cd", "c", "xc", "l", "xl", "x", "ix", "v", "iv", "i"};
        for (int k = 0, rest = n; k < 13; ++k) {
            for (; rest >= values[k]; rest -= values[k])
                text += QLatin1String(digits[k]);
        }
    } else {
        text = QString::number(n);
    }
    return (upper ? text.toUpper() : text) + QStringLiteral(". ");
}

bool isTextSuppressing(const QString &name)
{
    return name == QLatin1String("script") || name == QLatin1String("title")
        || name == QLatin1String("meta") || name == QLatin1String("head");
}

bool isMedia(const QString &name)
{
    return name == QLatin1String("object") || name == QLatin1String("picture")
        || name == QLatin1String("video") || name == QLatin1String("audio");
}

bool isInline(const QString &name)
{
    static const QSet<QString> names{"b", "strong", "i", "em", "cite", "u", "ins", "s", "del",
                                     "strike", "sub", "sup", "a", "span", "font"};
    return names.contains(name);
}

QStringList words(const QString &text)
{
    return text.split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

QString epubTypeOf(const QXmlStreamAttributes &attributes)
{
    for (const QXmlStreamAttribute &a : attributes)
        if (a.name() == QLatin1String("type") && a.namespaceUri() == epubNamespace)
            return a.value().toString();
    return QString();
}

bool isFootnote(const QXmlStreamAttributes &attributes)
{
    const QStringList types = words(epubTypeOf(attributes));
    const QStringList roles = words(EpubUnifiedParser::attributeValue(attributes, QStringLiteral("role")));
    return types.contains(QLatin1String("footnote")) || types.contains(QLatin1String("rearnote"))
        || roles.contains(QLatin1String("doc-footnote"));
}

// A "\n" chunk ends the cell's current line unless one already does.
void endCellLine(XhtmlConvertState &s)
{
    EpubUnifiedParser::flushRun(s);
    QVector<TextChunk> &chunks = s.paragraph.chunks;
    if (chunks.isEmpty() || chunks.last().text.endsWith(QLatin1Char('\n')))
        return;
    s.pendingText = QStringLiteral("\n");
    EpubUnifiedParser::flushRun(s);
}

}

XhtmlConvertResult EpubUnifiedParser::convertXhtmlFlow(
    const QString &xhtml, const QMap<QString, QString> &cssTexts,
    const QMap<QString, QString> &resources, const QMap<QString, QString> &mediaTypes,
    const QString &documentPath, const QString &baseDir, const QString &imageIdPrefix,
    const QString &startAnchor, const QString &endAnchor)
{
    return convertXhtml(xhtml, CssStyleSheet::parseAll(cssTexts), resources, mediaTypes,
                        documentPath, baseDir, imageIdPrefix, startAnchor, endAnchor);
}

XhtmlConvertResult EpubUnifiedParser::convertXhtml(
    const QString &xhtml, const CssStyleSheetMap &styleSheets,
    const QMap<QString, QString> &resources, const QMap<QString, QString> &mediaTypes,
    const QString &documentPath, const QString &baseDir, const QString &imageIdPrefix,
    const QString &startAnchor, const QString &endAnchor)
{
    return convertOnce(xhtml, styleSheets, resources, mediaTypes, documentPath, baseDir,
                       imageIdPrefix, startAnchor, endAnchor, true);
}

XhtmlConvertResult EpubUnifiedParser::convertXhtmlCut(
    const QString &xhtml, const CssStyleSheetMap &styleSheets,
    const QMap<QString, QString> &resources, const QMap<QString, QString> &mediaTypes,
    const QString &documentPath, const QString &baseDir, const QString &imageIdPrefix,
    const QStringList &cutAnchors)
{
    return convertOnce(xhtml, styleSheets, resources, mediaTypes, documentPath, baseDir,
                       imageIdPrefix, QString(), QString(), true, cutAnchors);
}

XhtmlConvertResult EpubUnifiedParser::convertOnce(
    const QString &xhtml, const CssStyleSheetMap &styleSheets,
    const QMap<QString, QString> &resources, const QMap<QString, QString> &mediaTypes,
    const QString &documentPath, const QString &baseDir, const QString &imageIdPrefix,
    const QString &startAnchor, const QString &endAnchor, bool mayRetry,
    const QStringList &cutAnchors)
{
    XhtmlConvertState s(styleSheets, resources, mediaTypes, documentPath, baseDir, imageIdPrefix);
    s.started = startAnchor.isEmpty();
    s.ended = endAnchor.isEmpty();
    if (!cutAnchors.isEmpty())
        s.cutAnchors = &cutAnchors;

    HtmlEntityResolver entities;
    XmlFeed feed(xhtml);
    QXmlStreamReader &reader = feed.reader();
    reader.setEntityResolver(&entities);
    s.feed = &feed;
    // What one document may become is bounded, not only its bytes; the text
    // still being collected counts too, so no paragraph outgrows the bound.
    const auto overBounds = [&s] {
        return s.output.size() > MaxDocumentParagraphs
            || s.collectedCharacters() > MaxDocumentCharacters
            || s.tooLarge;
    };
    const auto refused = [&s, &reader] {
        XhtmlConvertResult result;
        result.errorMessage = QStringLiteral("文档内容超过上限 (段落 %1, 字符 %2)")
                                  .arg(s.output.size()).arg(s.outputCharacters);
        result.errorLine = reader.lineNumber();
        result.errorColumn = reader.columnNumber();
        result.tooLarge = true;
        return result;
    };
    bool stop = false;
    while (!stop && !reader.atEnd()) {
        if (overBounds())
            return refused();
        switch (feed.readNext()) {
        case QXmlStreamReader::StartElement:
            startElement(s, reader, startAnchor, endAnchor, stop);
            break;
        case QXmlStreamReader::EndElement:
            endElement(s, reader.name().toString().toLower());
            break;
        case QXmlStreamReader::Characters: {
            const bool switchSkipping = !s.switches.isEmpty() && s.switches.last().skipDepth > 0;
            if (s.inBody && s.started && s.skipTextCount == 0 && s.skipDepth == 0 && !switchSkipping)
                appendText(s, reader.text());
            break;
        }
        default:
            break;
        }
    }

    if (overBounds())
        return refused();
    XhtmlConvertResult result;
    if (!stop && reader.hasError()) {
        // Not well-formed: read by an HTML parser and converted once more. Only
        // such documents pay for the second reading.
        const QString repaired = mayRetry ? repairHtmlToXhtml(xhtml) : QString();
        if (!repaired.isEmpty()) {
            qInfo().noquote() << "[EpubUnifiedParser] XHTML 不合规，按 HTML 修复:" << documentPath
                              << reader.errorString();
            return convertOnce(repaired, styleSheets, resources, mediaTypes, documentPath, baseDir,
                               imageIdPrefix, startAnchor, endAnchor, false, cutAnchors);
        }
        result.errorMessage = reader.errorString();
        result.errorLine = reader.lineNumber();
        result.errorColumn = reader.columnNumber();
        return result;
    }
    if (!s.bodySeen) {
        result.errorMessage = QStringLiteral("XHTML 缺少 body 元素");
        return result;
    }
    if (!s.started) {
        result.errorMessage = QStringLiteral("未找到起始锚点: %1").arg(startAnchor);
        return result;
    }
    if (!s.ended) {
        result.errorMessage = QStringLiteral("未找到结束锚点: %1").arg(endAnchor);
        return result;
    }
    emitParagraph(s);
    if (!s.documentBackground.isEmpty())
        for (Paragraph &p : s.output)
            p.documentBgColor = s.documentBackground;
    result.ok = true;
    result.paragraphs = std::move(s.output);
    result.anchorParagraphs = std::move(s.cutPositions);
    return result;
}

void EpubUnifiedParser::startElement(XhtmlConvertState &s, QXmlStreamReader &reader,
                                     const QString &startAnchor, const QString &endAnchor,
                                     bool &stop)
{
    ++s.depth;
    // Deeper elements only contribute their text, in their ancestor's style.
    if (s.depth > maxNestingDepth)
        return;
    const QString name = reader.name().toString().toLower();
    if (s.skipDepth > 0 && s.skipDepth < s.depth)
        return;
    if (!s.switches.isEmpty() && s.switches.last().skipDepth > 0
        && s.switches.last().skipDepth < s.depth)
        return;

    if (name == QLatin1String("switch")) {
        s.switches.append({s.depth, false, 0});
    } else if (!s.switches.isEmpty() && s.depth == s.switches.last().depth + 1
               && (name == QLatin1String("case") || name == QLatin1String("default"))) {
        SwitchFrame &frame = s.switches.last();
        if (name == QLatin1String("default") && !frame.defaultTaken) {
            frame.defaultTaken = true;
        } else {
            frame.skipDepth = s.depth;
            return;
        }
    }

    const QXmlStreamAttributes attributes = reader.attributes();
    QString id = attributeValue(attributes, QStringLiteral("id"));
    if (id.isEmpty())
        id = attributeValue(attributes, QStringLiteral("name"));

    if (name == QLatin1String("link")) {
        const QString key = lookupResource(attributeValue(attributes, QStringLiteral("href")),
                                           s.resources, s.documentPath, s.baseDir);
        const auto sheet = s.styleSheets.constFind(key);
        if (!key.isEmpty() && sheet != s.styleSheets.cend())
            s.documentSheet.merge(sheet.value());
        return;
    }
    if (name == QLatin1String("style")) {
        const QString text = flatElementText(*s.feed);
        for (const QString &href : CssStyleSheet::importHrefs(text)) {
            const auto sheet = s.styleSheets.constFind(
                lookupResource(href, s.resources, s.documentPath, s.baseDir));
            if (sheet != s.styleSheets.cend())
                s.documentSheet.merge(sheet.value());
        }
        s.documentSheet.mergeText(text);
        --s.depth;
        return;
    }
    if (name == QLatin1String("html")) {
        s.htmlId = attributeValue(attributes, QStringLiteral("id"));
        s.htmlClass = attributeValue(attributes, QStringLiteral("class"));
        s.htmlStyle = attributeValue(attributes, QStringLiteral("style"));
        s.htmlBgColor = attributeValue(attributes, QStringLiteral("bgcolor")).trimmed();
        return;
    }
    if (name == QLatin1String("body") || (name == QLatin1String("svg") && s.depth == 1)) {
        s.inBody = true;
        s.bodySeen = true;
    }
    if (!s.inBody)
        return;

    const ComputedStyle style = elementStyle(s, name, attributes);
    const QString whiteSpace = style.values.value(QStringLiteral("white-space"));
    s.styles.append({s.depth, style, s.alignmentStack.size(),
                     whiteSpace.isEmpty() || whiteSpace == QLatin1String("normal")
                             || whiteSpace == QLatin1String("nowrap")
                         ? 0
                         : whiteSpace == QLatin1String("pre-line") ? 2 : 1});

    if (!endAnchor.isEmpty() && id == endAnchor) {
        emitParagraph(s);
        s.paragraphOpen = false;
        // Cells read so far still form full rows.
        if (s.tableStartIndex >= 0)
            endTable(s);
        s.ended = true;
        stop = true;
        return;
    }
    if (s.cutAnchors && !id.isEmpty() && !s.cutPositions.contains(id)
        && s.cutAnchors->contains(id)) {
        if (s.tableStartIndex >= 0) {
            // A table is not split: it goes whole to the chapter the anchor opens.
            s.cutPositions.insert(id, s.tableStartIndex);
        } else {
            // The block the anchor sits in goes on in the new chapter in its own style.
            emitParagraph(s);
            s.paragraph.chunks.clear();
            s.atLineStart = true;
            s.cutPositions.insert(id, s.output.size());
        }
    }
    if (!s.started) {
        if (id.isEmpty() || id != startAnchor)
            return;
        s.started = true;
    }

    // Hidden content is not read; a hidden footnote is still the note a reference opens.
    s.display = style.values.value(QStringLiteral("display"));
    if (!s.display.isEmpty())
        s.display = s.display.trimmed().toLower();
    const bool hidden = (s.display == QLatin1String("none")
                         || attributes.hasAttribute(QLatin1String("hidden")))
        && name != QLatin1String("body");
    // Inside a note only a hidden element needs to know whether it is one.
    const bool footnote = (hidden || s.footnoteDepth == 0) && isFootnote(attributes);
    if (hidden && !footnote) {
        s.skipDepth = s.depth;
        return;
    }

    if (s.footnoteDepth == 0 && footnote) {
        emitParagraph(s);
        s.paragraph = Paragraph();
        s.paragraph.kind = Paragraph::Note;
        s.paragraph.footnoteId = id;
        s.run = RunStyle();
        s.paragraphOpen = true;
        s.atLineStart = true;
        s.footnoteDepth = s.depth;
        s.footnoteId = id;
    }

    const RunStyle before = s.run;
    if (s.svgDepth > 0) {
        if (name == QLatin1String("title") || name == QLatin1String("desc")) {
            s.svgTextDepth = s.depth;
            if (!s.svgText.trimmed().isEmpty())
                s.svgText += QLatin1Char(' ');
        }
    } else if (isTextSuppressing(name)) {
        ++s.skipTextCount;
    }
    if (isMedia(name) && s.mediaDepth == 0)
        s.mediaDepth = s.depth;

    if (s.svgDepth == 0 || name == QLatin1String("image"))
        dispatchElement(s, name, attributes, style, before);

    if (s.run != before)
        s.runStyles.append({s.depth, before});
}

void EpubUnifiedParser::dispatchElement(XhtmlConvertState &s, const QString &name,
                                        const QXmlStreamAttributes &attributes,
                                        const ComputedStyle &style, const RunStyle &before)
{
    const auto attr = [&attributes](const char *key) {
        return attributeValue(attributes, QLatin1String(key));
    };
    const bool inTable = s.currentTableId >= 0 && s.nestedTableDepth == 0;
    const bool inCell = s.inTableCell;

    static const QSet<QString> ownLayout{"table", "tr", "td", "th", "thead", "tbody", "tfoot",
                                         "img", "svg", "br", "hr", "math"};
    if (!inCell && !s.display.isEmpty() && isBlockDisplay(s.display) && blockOf(name) == Block::None
        && !ownLayout.contains(name)) {
        // An inline element styled as a block starts a paragraph of its own.
        closeParagraph(s, Paragraph::Body, style);
        applyBlockStyle(s.paragraph, style);
        s.alignmentStack.last() = s.paragraph.alignment;
        s.displayBlocks.append(s.depth);
    }
    if (name == QLatin1String("ol") || name == QLatin1String("ul")) {
        bool ok = false;
        const int start = attr("start").trimmed().toInt(&ok);
        const bool reversed = attributes.hasAttribute(QLatin1String("reversed"));
        s.lists.append({s.depth, name == QLatin1String("ol"), ok ? start : 1, reversed,
                        listStyleType(style)});
    }

    if (name == QLatin1String("table")) {
        if (inCell) {
            // A table inside a cell is read as lines of that cell.
            ++s.nestedTableDepth;
            endCellLine(s);
            return;
        }
        emitParagraph(s);
        s.paragraphOpen = false;
        s.currentTableId = s.tableCounter++;
        s.currentRow = -1;
        s.currentColumn = 0;
        s.maxColumns = 0;
        s.coveredUntil.clear();
        s.tableStartIndex = s.output.size();
        return;
    }
    if (name == QLatin1String("tr") && inTable) {
        ++s.currentRow;
        s.currentColumn = 0;
        return;
    }
    if ((name == QLatin1String("td") || name == QLatin1String("th")) && inTable) {
        closeParagraph(s, Paragraph::TableCell, style);
        s.inTableCell = true;
        s.paragraph.tableId = s.currentTableId;
        s.paragraph.tableRow = qMax(s.currentRow, 0);
        // Columns that a cell of a row above still spans are taken.
        while (s.coveredUntil.value(s.currentColumn, -1) >= s.paragraph.tableRow)
            ++s.currentColumn;
        const int colspan = qBound(1, attr("colspan").trimmed().toInt(), MaxCellSpan);
        const int rowspan = qBound(1, attr("rowspan").trimmed().toInt(), MaxCellSpan);
        for (int c = 0; c < colspan && rowspan > 1; ++c)
            s.coveredUntil.insert(s.currentColumn + c, s.paragraph.tableRow + rowspan - 1);
        s.paragraph.tableColumn = s.currentColumn;
        s.currentColumn += colspan;
        s.paragraph.tableHeader = name == QLatin1String("th");
        if (s.paragraph.tableHeader) {
            s.run.bold = true;
            if (!style.declaredFontWeight)
                s.run.fontWeight = qMax(s.run.fontWeight, 700);
        }
        applyBlockStyle(s.paragraph, style);
        s.alignmentStack.last() = s.paragraph.alignment;
        s.maxColumns = qMax(s.maxColumns, s.currentColumn);
        return;
    }
    if (inCell && (isCellBlock(name) || name == QLatin1String("hr"))) {
        flushRun(s);
        if (name == QLatin1String("hr")) {
            endCellLine(s);
            return;
        }
        applyRunStyle(s.run, style, false, s.baseFontSize, &s.familyCache);
        applyBlockStyle(s.paragraph, style);
        if (name == QLatin1String("pre"))
            ++s.preDepth;
        return;
    }
    if (isContainerBlock(name)) {
        closeParagraph(s, Paragraph::Body, style);
        applyBlockStyle(s.paragraph, style);
        if (name == QLatin1String("body"))
            s.paragraph.bgColor.clear();
        s.alignmentStack.last() = s.paragraph.alignment;
        return;
    }
    if (const int level = headingLevel(name)) {
        closeParagraph(s, Paragraph::Heading, style);
        s.paragraph.headingLevel = level;
        applyBlockStyle(s.paragraph, style);
        s.alignmentStack.last() = s.paragraph.alignment;
        return;
    }
    if (name == QLatin1String("li") || name == QLatin1String("blockquote")) {
        const bool quote = name == QLatin1String("blockquote");
        closeParagraph(s, quote ? Paragraph::Body : Paragraph::ListItem, style);
        if (quote)
            s.paragraph.marginLeft = 40.0f;
        applyBlockStyle(s.paragraph, style);
        s.alignmentStack.last() = s.paragraph.alignment;
        if (!quote && !s.lists.isEmpty() && s.lists.last().ordered) {
            // Numbers stay with the items: footnote references cite them.
            ListFrame &list = s.lists.last();
            bool ok = false;
            const int value = attr("value").trimmed().toInt(&ok);
            if (ok)
                list.next = value;
            const QString type = listStyleType(style);
            s.listMarker = listMarker(list.next, type.isEmpty() ? list.type : type);
            s.listMarkerDepth = s.depth;
            list.next += list.reversed ? -1 : 1;
        }
        return;
    }
    if (name == QLatin1String("pre")) {
        closeParagraph(s, Paragraph::Body, style);
        ++s.preDepth;
        s.paragraph.preformatted = true;
        return;
    }
    if (name == QLatin1String("br")) {
        if (inCell) {
            flushRun(s);
            s.pendingText = QStringLiteral("\n");
            flushRun(s);
            s.atLineStart = true;
            return;
        }
        if (s.paragraphOpen) {
            const int alignment = s.paragraph.alignment;
            emitParagraph(s);
            openImplicitParagraph(s);
            s.paragraph.alignment = alignment;
        }
        Paragraph empty;
        empty.kind = Paragraph::EmptyLine;
        s.output.append(empty);
        return;
    }
    if (name == QLatin1String("hr")) {
        emitParagraph(s);
        s.paragraphOpen = false;
        Paragraph rule;
        rule.kind = Paragraph::Rule;
        s.output.append(rule);
        return;
    }
    if (name == QLatin1String("math")) {
        convertMath(s, attributes, before);
        return;
    }

    bool imageDone = false;
    if (name == QLatin1String("img") && !attr("src").isEmpty()) {
        imageDone = addImageParagraph(s, style, attr("src"), attr("type"), attr("alt"),
                                      attr("width"), attr("height"));
        if (imageDone) {
            if (s.mediaDepth > 0)
                s.skipDepth = s.mediaDepth;
        } else if (!attr("alt").isEmpty()) {
            if (!s.paragraphOpen)
                openImplicitParagraph(s);
            s.pendingText += attr("alt");
            s.atLineStart = false;
        }
    } else if (name == QLatin1String("svg")) {
        s.svgDepth = s.depth;
        s.svgTextDepth = 0;
        s.svgText.clear();
        if (s.depth == 1) {
            s.rootSvgWidth = attr("width");
            s.rootSvgHeight = attr("height");
        }
        return;
    } else if (name == QLatin1String("image") && s.svgDepth > 0) {
        const QString href = attr("href");
        if (!href.isEmpty()
            && (imageDone = addImageParagraph(s, style, href, attr("type"), attr("alt"),
                                              attr("width"), attr("height"))))
            s.skipDepth = s.mediaDepth > 0 ? s.mediaDepth : s.svgDepth;
    } else if (name == QLatin1String("object") && !attr("data").isEmpty()) {
        if ((imageDone = addImageParagraph(s, style, attr("data"), attr("type"), attr("alt"),
                                           attr("width"), attr("height"))))
            s.skipDepth = s.mediaDepth;
    } else if (name == QLatin1String("video") && !attr("poster").isEmpty()) {
        if ((imageDone = addImageParagraph(s, style, attr("poster"), QString(), attr("alt"),
                                           attr("width"), attr("height"))))
            s.skipDepth = s.depth;
    }
    if (imageDone)
        return;

    if (isInline(name)) {
        flushRun(s);
        if (name == QLatin1String("b") || name == QLatin1String("strong")) {
            s.run.bold = true;
            s.run.fontWeight = 700;
        } else if (name == QLatin1String("i") || name == QLatin1String("em")
                   || name == QLatin1String("cite")) {
            s.run.italic = true;
        } else if (name == QLatin1String("u") || name == QLatin1String("ins")) {
            s.run.underline = true;
        } else if (name == QLatin1String("s") || name == QLatin1String("del")
                   || name == QLatin1String("strike")) {
            s.run.strikethrough = true;
        } else if (name == QLatin1String("sub")) {
            s.run.vertAlign = 2;
        } else if (name == QLatin1String("sup")) {
            s.run.vertAlign = 1;
        } else if (name == QLatin1String("a")) {
            const QString href = attr("href");
            if (!href.isEmpty() && !words(epubTypeOf(attributes)).contains(QLatin1String("noteref")))
                s.run.anchorHref = href;
        }
        applyRunStyle(s.run, style, true, s.baseFontSize, &s.familyCache);
        return;
    }
    RunStyle derived = s.run;
    applyRunStyle(derived, style, true, s.baseFontSize, &s.familyCache);
    if (derived != s.run) {
        flushRun(s);
        s.run = derived;
    }
}

void EpubUnifiedParser::endElement(XhtmlConvertState &s, const QString &name)
{
    if (s.depth > maxNestingDepth) {
        --s.depth;
        return;
    }
    if (!s.runStyles.isEmpty() && s.runStyles.last().depth == s.depth) {
        const RunStyle restored = s.runStyles.takeLast().style;
        if (restored != s.run)
            flushRun(s);
        s.run = restored;
    }
    // Every alignment an element pushed goes with it, whatever the element was.
    while (!s.styles.isEmpty() && s.styles.last().depth >= s.depth) {
        const int alignmentDepth = s.styles.last().alignmentDepth;
        if (s.alignmentStack.size() > alignmentDepth)
            s.alignmentStack.resize(alignmentDepth);
        s.styles.removeLast();
    }
    if (!s.switches.isEmpty()) {
        SwitchFrame &frame = s.switches.last();
        if (frame.skipDepth > 0) {
            if (frame.skipDepth == s.depth)
                frame.skipDepth = 0;
            --s.depth;
            return;
        }
        if (name == QLatin1String("switch") && frame.depth == s.depth) {
            s.switches.removeLast();
            --s.depth;
            return;
        }
    }
    if (s.skipDepth > 0) {
        if (s.skipDepth == s.depth) {
            s.skipDepth = 0;
            if (s.mediaDepth == s.depth)
                s.mediaDepth = 0;
        }
        if (name == QLatin1String("svg") && s.svgDepth == s.depth) {
            s.svgDepth = 0;
            s.svgTextDepth = 0;
            s.svgText.clear();
        }
        --s.depth;
        return;
    }
    const int closed = s.depth--;
    if (!s.inBody)
        return;
    if (!s.started) {
        if (name == QLatin1String("body"))
            s.inBody = false;
        return;
    }
    if (s.svgDepth == 0 && isTextSuppressing(name)) {
        if (s.skipTextCount > 0)
            --s.skipTextCount;
        return;
    }

    if (s.nestedTableDepth > 0 && s.inTableCell) {
        if (name == QLatin1String("table"))
            --s.nestedTableDepth;
        if (name == QLatin1String("table") || name == QLatin1String("tr"))
            endCellLine(s);
        else if (name == QLatin1String("td") || name == QLatin1String("th"))
            s.pendingText += QLatin1Char(' ');
        if (name == QLatin1String("table") || name == QLatin1String("tr")
            || name == QLatin1String("td") || name == QLatin1String("th"))
            return;
    }
    const bool displayBlock = !s.displayBlocks.isEmpty() && s.displayBlocks.last() == closed;
    if (displayBlock)
        s.displayBlocks.removeLast();
    if (!s.lists.isEmpty() && s.lists.last().depth == closed)
        s.lists.removeLast();
    if (s.listMarkerDepth == closed) {
        s.listMarker.clear();
        s.listMarkerDepth = 0;
    }
    if ((name == QLatin1String("td") || name == QLatin1String("th")) && s.inTableCell) {
        flushRun(s);
        s.output.append(s.paragraph);
        s.paragraphOpen = false;
        s.inTableCell = false;
    } else if (name == QLatin1String("table")) {
        endTable(s);
    } else if (s.inTableCell && isCellBlock(name)) {
        endCellLine(s);
        if (name == QLatin1String("pre") && s.preDepth > 0)
            --s.preDepth;
    } else if (isBlockEnd(name) || displayBlock) {
        emitParagraph(s);
        s.paragraphOpen = false;
        if (name == QLatin1String("pre") && s.preDepth > 0)
            --s.preDepth;
    }

    if (s.svgTextDepth == closed)
        s.svgTextDepth = 0;
    if (name == QLatin1String("svg") && s.svgDepth == closed) {
        const QString text = s.svgText.simplified();
        // An SVG document without a picture of another file is a drawing: the
        // document itself is the image.
        const bool drawn = closed == 1
            && addImageParagraph(s, ComputedStyle(),
                                 QString::fromLatin1(QUrl::toPercentEncoding(
                                     QFileInfo(s.documentPath).fileName())),
                                 QStringLiteral("image/svg+xml"), text, s.rootSvgWidth,
                                 s.rootSvgHeight);
        if (!drawn && !text.isEmpty()) {
            if (!s.paragraphOpen)
                openImplicitParagraph(s);
            if (!s.pendingText.isEmpty())
                s.pendingText += QLatin1Char(' ');
            s.pendingText += text;
            s.atLineStart = false;
        }
        s.svgDepth = 0;
        s.svgTextDepth = 0;
        s.svgText.clear();
    }
    if (isMedia(name) && s.mediaDepth == closed)
        s.mediaDepth = 0;

    if (s.footnoteDepth > 0 && closed == s.footnoteDepth) {
        if (s.paragraphOpen && s.paragraph.kind == Paragraph::Note) {
            emitParagraph(s);
            s.paragraph = Paragraph();
            s.run = RunStyle();
            s.atLineStart = true;
            s.paragraphOpen = false;
        }
        s.footnoteDepth = 0;
        s.footnoteId.clear();
    }
    if (name == QLatin1String("body"))
        s.inBody = false;
}

void EpubUnifiedParser::closeParagraph(XhtmlConvertState &s, int kind, const ComputedStyle &style)
{
    emitParagraph(s);
    const int alignment = s.alignmentStack.isEmpty() ? 0 : s.alignmentStack.last();
    s.paragraph = Paragraph();
    if (s.footnoteDepth > 0 && kind != Paragraph::TableCell) {
        kind = Paragraph::Note;
        s.paragraph.footnoteId = s.footnoteId;
    }
    s.paragraph.kind = kind;
    s.paragraph.alignment = alignment;
    s.run = inheritedRunStyle(s.run, style);
    applyRunStyle(s.run, style, false, s.baseFontSize, &s.familyCache);
    s.paragraphOpen = true;
    s.atLineStart = true;
    s.alignmentStack.append(alignment);
}

void EpubUnifiedParser::emitParagraph(XhtmlConvertState &s)
{
    if (!s.paragraphOpen)
        return;
    flushRun(s);
    if (s.paragraph.chunks.isEmpty())
        return;
    // Text that brings its own ideographic-space indent needs none on top of it.
    if (s.paragraph.textIndent == 0.0f && s.paragraph.chunks.first().text.startsWith(QChar(0x3000)))
        s.paragraph.textIndent = Paragraph::ExplicitZeroIndent;
    s.outputCharacters += s.paragraph.chunks.size();
    for (const TextChunk &chunk : qAsConst(s.paragraph.chunks))
        s.outputCharacters += chunk.text.size();
    s.openCharacters = 0;
    s.output.append(s.paragraph);
}

void EpubUnifiedParser::endTable(XhtmlConvertState &s)
{
    if (s.tableStartIndex >= 0) {
        const int columns = qMax(s.maxColumns, 1);
        // Everything inside the table that is not one of its cells (a caption, text
        // before the first row) keeps its order ahead of the rows.
        QVector<Paragraph> rebuilt;
        QMap<int, QMap<int, Paragraph>> rows;
        for (int i = s.tableStartIndex; i < s.output.size(); ++i) {
            const Paragraph &p = s.output[i];
            if (p.kind == Paragraph::TableCell && p.tableId == s.currentTableId)
                rows[p.tableRow].insert(p.tableColumn, p);
            else
                rebuilt.append(p);
        }
        // Short rows are padded to the widest: a few wide rows among many must
        // not multiply into more cells than a document may hold.
        if (qint64(rows.size()) * columns > MaxDocumentParagraphs) {
            s.tooLarge = true;
            rows.clear();
        }
        for (auto row = rows.cbegin(); row != rows.cend(); ++row) {
            for (int column = 0; column < columns; ++column) {
                Paragraph cell = row.value().value(column);
                cell.kind = Paragraph::TableCell;
                cell.tableId = s.currentTableId;
                cell.tableRow = row.key();
                cell.tableColumn = column;
                cell.tableColumnCount = columns;
                rebuilt.append(cell);
            }
        }
        s.output.resize(s.tableStartIndex);
        s.output += rebuilt;
    }
    s.currentTableId = -1;
    s.currentRow = -1;
    s.currentColumn = 0;
    s.maxColumns = 0;
    s.tableStartIndex = -1;
    s.coveredUntil.clear();
}

QString EpubUnifiedParser::attributeValue(const QXmlStreamAttributes &attributes, const QString &name)
{
    const QStringRef direct = attributes.value(name);
    if (!direct.isEmpty())
        return direct.toString();
    for (const QXmlStreamAttribute &a : attributes)
        if (a.name().compare(name, Qt::CaseInsensitive) == 0)
            return a.value().toString();
    return QString();
}

QString EpubUnifiedParser::quoteUnquotedAttributes(const QString &text, bool *changed)
{
    const auto isSpace = [](QChar c) {
        return c.isSpace() || c == QChar(0x85) || c == QChar(0xA0);
    };
    bool any = false;
    QString out;
    out.reserve(text.size() + 64);
    const int n = text.size();
    int i = 0;
    // Copies from i up to and including the closing mark, or to the end of the text.
    const auto copyThrough = [&](const QLatin1String &close, int from) {
        const int end = text.indexOf(close, from);
        const int stop = end < 0 ? n : end + close.size();
        out += text.midRef(i, stop - i);
        i = stop;
    };
    while (i < n) {
        const QChar c = text[i];
        if (c != QLatin1Char('<')) {
            // The text up to the next tag in one piece.
            int next = text.indexOf(QLatin1Char('<'), i);
            if (next < 0)
                next = n;
            out += text.midRef(i, next - i);
            i = next;
            continue;
        }
        const QStringRef rest = text.midRef(i);
        if (rest.startsWith(QLatin1String("<!--"))) {
            copyThrough(QLatin1String("-->"), i + 4);
            continue;
        }
        if (rest.startsWith(QLatin1String("<![CDATA["))) {
            copyThrough(QLatin1String("]]>"), i + 9);
            continue;
        }
        if (rest.startsWith(QLatin1String("<?"))) {
            copyThrough(QLatin1String("?>"), i + 2);
            continue;
        }
        if (rest.startsWith(QLatin1String("<!"))) {
            copyThrough(QLatin1String(">"), i + 2);
            continue;
        }
        const QChar next = i + 1 < n ? text[i + 1] : QChar();
        const bool letter = (next >= QLatin1Char('A') && next <= QLatin1Char('Z'))
            || (next >= QLatin1Char('a') && next <= QLatin1Char('z'))
            || (next.unicode() > 127 && next.isLetter());
        if (!letter) {
            out += c;
            ++i;
            continue;
        }
        // The tag's closing ">" outside quotes.
        int close = -1;
        QChar quote;
        for (int j = i + 1; j < n; ++j) {
            const QChar t = text[j];
            if (!quote.isNull()) {
                if (t == quote)
                    quote = QChar();
            } else if (t == QLatin1Char('"') || t == QLatin1Char('\'')) {
                quote = t;
            } else if (t == QLatin1Char('>')) {
                close = j;
                break;
            }
        }
        if (close < 0) {
            out += text.midRef(i);
            break;
        }
        quote = QChar();
        int j = i;
        while (j < close) {
            const QChar t = text[j];
            out += t;
            ++j;
            if (!quote.isNull()) {
                if (t == quote)
                    quote = QChar();
                continue;
            }
            if (t == QLatin1Char('"') || t == QLatin1Char('\'')) {
                quote = t;
                continue;
            }
            if (t != QLatin1Char('='))
                continue;
            while (j < close && isSpace(text[j]))
                out += text[j++];
            if (j >= close || text[j] == QLatin1Char('"') || text[j] == QLatin1Char('\''))
                continue;
            int end = j;
            while (end < close && !isSpace(text[end]))
                ++end;
            if (end == close && end - 1 > j && text[end - 1] == QLatin1Char('/'))
                --end;
            out += QLatin1Char('"') + text.midRef(j, end - j) + QLatin1Char('"');
            any = true;
            j = end;
        }
        out += text.midRef(close, 1);
        i = close + 1;
    }
    if (changed)
        *changed = any;
    return out;
}
