#include "epubunifiedparser.h"

#include "fontregistry.h"

#include <QXmlStreamAttributes>

namespace {

bool isXmlSpace(QChar c)
{
    return c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\n')
        || c == QLatin1Char('\r');
}

// The factor of an HTML font size 1..7.
float fontSizeFactor(int size)
{
    static const float factors[] = {0.63f, 0.82f, 1.0f, 1.13f, 1.5f, 2.0f, 3.0f};
    return factors[qBound(1, size, 7) - 1];
}

int cssWeight(const QString &text)
{
    const QString value = text.trimmed().toLower();
    if (value == QLatin1String("bold") || value == QLatin1String("bolder"))
        return 700;
    if (value == QLatin1String("lighter"))
        return 300;
    bool ok = false;
    const int number = value.toInt(&ok);
    return ok ? qBound(100, number, 900) : 400;
}

// Whether the text collected so far in the paragraph ends in a space or a line end, so
// that leading white space of the next text would double it.
bool endsWithBreak(const XhtmlConvertState &s)
{
    const QString *last = !s.pendingText.isEmpty() ? &s.pendingText
        : !s.paragraph.chunks.isEmpty()            ? &s.paragraph.chunks.last().text
                                                   : nullptr;
    if (!last || last->isEmpty())
        return true;
    const QChar c = last->at(last->size() - 1);
    return c == QLatin1Char(' ') || c == QLatin1Char('\n');
}

}

TextChunk RunStyle::chunk(const QString &text) const
{
    TextChunk c;
    c.text = text;
    c.bold = bold;
    c.italic = italic;
    c.underline = underline;
    c.strikethrough = strikethrough;
    c.fontDelta = fontDelta;
    c.fontScale = fontScale;
    c.fontFamily = fontFamily;
    c.color = color;
    c.highlightColor = highlightColor;
    c.fontWeight = fontWeight;
    c.vertAlign = vertAlign;
    c.anchorHref = anchorHref;
    return c;
}

bool RunStyle::operator==(const RunStyle &o) const
{
    return bold == o.bold && italic == o.italic && underline == o.underline
        && strikethrough == o.strikethrough && fontDelta == o.fontDelta
        && fontScale == o.fontScale && fontFamily == o.fontFamily && color == o.color
        && highlightColor == o.highlightColor && fontWeight == o.fontWeight
        && vertAlign == o.vertAlign && anchorHref == o.anchorHref;
}

ComputedStyle EpubUnifiedParser::elementStyle(XhtmlConvertState &s, const QString &name,
                                              const QXmlStreamAttributes &attributes)
{
    const auto attr = [&attributes](const char *key) {
        return attributeValue(attributes, QLatin1String(key));
    };
    const bool body = name == QLatin1String("body");
    const ComputedStyle *parent = s.currentStyle();
    ComputedStyle root;
    if (body) {
        root = s.documentSheet.computeStyle(QStringLiteral("html"), s.htmlId, s.htmlClass,
                                            s.htmlStyle, nullptr);
        if (!root.values.contains(QStringLiteral("background-color")) && !s.htmlBgColor.isEmpty())
            root.values.insert(QStringLiteral("background-color"), s.htmlBgColor);
        parent = &root;
    }
    ComputedStyle style = s.documentSheet.computeStyle(name, attr("id"), attr("class"),
                                                       attr("style"), parent);

    if (name == QLatin1String("font")) {
        const QString size = attr("size").trimmed();
        if (!style.declaredFontSize && !size.isEmpty()) {
            const bool relative = size.startsWith(QLatin1Char('+')) || size.startsWith(QLatin1Char('-'));
            bool ok = false;
            int n = size.toInt(&ok);
            if (ok && relative)
                n += 3;
            if (ok && (relative || n != 0))
                style.fontSize = s.baseFontSize * fontSizeFactor(n);
            else
                style.fontSize = parent ? parent->fontSize : 16.0f;
        }
        const QString face = attr("face");
        if (!style.declaredFontFamily && !face.isEmpty()) {
            style.fontFamily = face;
            style.values.insert(QStringLiteral("font-family"), face);
        }
    }
    const QString bgcolor = attr("bgcolor").trimmed();
    if (!bgcolor.isEmpty() && !style.values.contains(QStringLiteral("background-color")))
        style.values.insert(QStringLiteral("background-color"), bgcolor);
    QString color = attr("color").trimmed();
    if (body && color.isEmpty())
        color = attr("text").trimmed();
    if (!color.isEmpty() && !style.values.contains(QStringLiteral("color")))
        style.values.insert(QStringLiteral("color"), color);
    if (body) {
        s.baseFontSize = style.fontSize > 0 ? style.fontSize : 16.0f;
        s.documentBackground = style.value(QStringLiteral("background-color"));
        if (s.documentBackground.isEmpty())
            s.documentBackground = root.value(QStringLiteral("background-color"));
    }
    if (!style.values.contains(QStringLiteral("text-align"))) {
        const QString align = attr("align").trimmed().toLower();
        if (align == QLatin1String("left") || align == QLatin1String("center")
            || align == QLatin1String("right") || align == QLatin1String("justify"))
            style.values.insert(QStringLiteral("text-align"), align);
        else if (name == QLatin1String("center"))
            style.values.insert(QStringLiteral("text-align"), QStringLiteral("center"));
    }
    return style;
}

bool EpubUnifiedParser::lengthPixels(const ComputedStyle &style, const QString &property, float &out)
{
    const CssLength length = style.length(property);
    if (!length.isSet() || length.unit == CssUnit::Percent || length.unit == CssUnit::Auto)
        return false;
    return length.toPixels(style.fontSize, 16.0f, 0.0f, out);
}

void EpubUnifiedParser::applyBlockStyle(Paragraph &p, const ComputedStyle &style)
{
    const QString align = style.value(QStringLiteral("text-align")).trimmed().toLower();
    if (align == QLatin1String("center"))
        p.alignment = 1;
    else if (align == QLatin1String("right"))
        p.alignment = 2;
    else if (align == QLatin1String("justify"))
        p.alignment = 3;
    else if (align == QLatin1String("left"))
        p.alignment = 0;

    lengthPixels(style, QStringLiteral("margin-left"), p.marginLeft);
    lengthPixels(style, QStringLiteral("margin-right"), p.marginRight);
    float indent = 0.0f;
    if (lengthPixels(style, QStringLiteral("text-indent"), indent))
        p.textIndent = indent == 0.0f ? Paragraph::ExplicitZeroIndent : indent;
    lengthPixels(style, QStringLiteral("margin-top"), p.spaceBefore);
    lengthPixels(style, QStringLiteral("margin-bottom"), p.spaceAfter);
    if (style.values.contains(QStringLiteral("background-color")))
        p.bgColor = style.value(QStringLiteral("background-color"));

    const CssLength lineHeight = style.length(QStringLiteral("line-height"));
    float pixels = 0.0f;
    if (lineHeight.unit == CssUnit::Number)
        p.lineHeight = qMax(0.0f, lineHeight.value);
    else if (lineHeight.unit == CssUnit::Percent)
        p.lineHeight = qMax(0.0f, lineHeight.value / 100.0f);
    else if (style.fontSize > 0 && lineHeight.toPixels(style.fontSize, 16.0f, 0.0f, pixels))
        p.lineHeight = qMax(0.0f, pixels / style.fontSize);
}

RunStyle EpubUnifiedParser::inheritedRunStyle(const RunStyle &outer, const ComputedStyle &style)
{
    RunStyle run;
    run.bold = outer.bold;
    run.italic = outer.italic;
    run.fontWeight = outer.bold ? outer.fontWeight : 0;
    const QString slant = style.values.value(QStringLiteral("font-style"));
    if (slant.contains(QLatin1String("italic"), Qt::CaseInsensitive)
        || slant.contains(QLatin1String("oblique"), Qt::CaseInsensitive))
        run.italic = true;
    const QString weightText = style.values.value(QStringLiteral("font-weight"));
    const int weight = weightText.isEmpty() ? 0 : cssWeight(weightText);
    if (weight >= 600) {
        run.bold = true;
        run.fontWeight = weight;
    }
    return run;
}

void EpubUnifiedParser::applyRunStyle(RunStyle &run, const ComputedStyle &style,
                                      bool withBackground, float baseFontSize,
                                      QHash<QString, QString> *familyCache)
{
    if (baseFontSize > 0 && style.fontSize > 0) {
        run.fontDelta = 0;
        run.fontScale = qBound(0.6f, style.fontSize / baseFontSize, 3.0f);
    }
    if (style.declaredFontWeight) {
        run.fontWeight = cssWeight(style.value(QStringLiteral("font-weight")));
        run.bold = run.fontWeight >= 600;
    }
    if (style.declaredFontStyle) {
        const QString slant = style.value(QStringLiteral("font-style")).trimmed().toLower();
        run.italic = slant == QLatin1String("italic") || slant == QLatin1String("oblique");
    }
    if (run.fontWeight <= 0)
        run.fontWeight = run.bold ? 700 : 400;
    // An empty family list resolves to nothing; no need to ask the registry.
    if (style.fontFamily.isEmpty()) {
        run.fontFamily.clear();
    } else if (!familyCache) {
        run.fontFamily = FontRegistry::instance().resolveStyledFamily(style.fontFamily, run.fontWeight,
                                                                      run.italic);
    } else {
        const QString key = style.fontFamily + QLatin1Char('|') + QString::number(run.fontWeight)
            + (run.italic ? QLatin1String("|i") : QLatin1String("|n"));
        auto found = familyCache->constFind(key);
        if (found == familyCache->cend())
            found = familyCache->insert(key, FontRegistry::instance().resolveStyledFamily(
                                                 style.fontFamily, run.fontWeight, run.italic));
        run.fontFamily = found.value();
    }

    const QString decoration = style.value(QStringLiteral("text-decoration"));
    if (decoration.contains(QLatin1String("underline")))
        run.underline = true;
    if (decoration.contains(QLatin1String("line-through")))
        run.strikethrough = true;
    if (style.values.contains(QStringLiteral("color")))
        run.color = style.value(QStringLiteral("color"));
    if (withBackground && (style.values.contains(QStringLiteral("background-color"))
                           || style.values.contains(QStringLiteral("background"))))
        run.highlightColor = style.value(QStringLiteral("background-color"));
    const QString vertical = style.value(QStringLiteral("vertical-align"));
    if (vertical == QLatin1String("super"))
        run.vertAlign = 1;
    else if (vertical == QLatin1String("sub"))
        run.vertAlign = 2;
}

void EpubUnifiedParser::flushRun(XhtmlConvertState &s)
{
    if (s.pendingText.isEmpty())
        return;
    s.openCharacters += s.pendingText.size() + 1;
    s.paragraph.chunks.append(s.run.chunk(s.pendingText));
    s.pendingText.clear();
}

void EpubUnifiedParser::openImplicitParagraph(XhtmlConvertState &s)
{
    s.paragraph = Paragraph();
    if (s.footnoteDepth > 0) {
        s.paragraph.kind = Paragraph::Note;
        s.paragraph.footnoteId = s.footnoteId;
    }
    // The run keeps the inline style of the elements around the text.
    s.paragraphOpen = true;
    s.atLineStart = true;
}

void EpubUnifiedParser::appendText(XhtmlConvertState &s, const QStringRef &text)
{
    if (s.svgDepth > 0) {
        if (s.svgTextDepth > 0)
            s.svgText += text;
        return;
    }
    // A text that alone passes the document's bound is not copied first.
    if (text.size() > XhtmlConvertState::MaxCharacters - s.collectedCharacters()) {
        s.tooLarge = true;
        return;
    }
    const int whiteSpace = s.styles.isEmpty() ? 0 : s.styles.last().whiteSpace;
    const bool keepAll = whiteSpace == 1;
    const bool keepBreaks = whiteSpace == 2;
    const bool blank = std::all_of(text.begin(), text.end(), isXmlSpace);
    if (s.preDepth > 0 || (keepAll && (s.paragraphOpen || !blank))) {
        if (!s.paragraphOpen)
            openImplicitParagraph(s);
        s.pendingText += s.listMarker;
        s.listMarker.clear();
        s.pendingText += text;
        s.atLineStart = false;
        return;
    }
    if (!s.paragraphOpen) {
        if (blank)
            return;
        openImplicitParagraph(s);
    }
    // Runs of XML white space become one space; other spaces (U+00A0 and the like)
    // are text. Leading space is dropped at a line start or after a space.
    bool dropLeading = s.atLineStart || endsWithBreak(s);
    if (!s.listMarker.isEmpty() && !blank) {
        s.pendingText += s.listMarker;
        s.listMarker.clear();
        dropLeading = true;
    }
    QString collapsed;
    collapsed.reserve(text.size());
    bool space = false;
    for (const QChar c : text) {
        if (keepBreaks && c == QLatin1Char('\n')) {
            // pre-line: the line break stays, the spaces around it go.
            if (!collapsed.isEmpty() || !dropLeading)
                collapsed += QLatin1Char('\n');
            space = false;
            continue;
        }
        if (isXmlSpace(c)) {
            space = true;
            continue;
        }
        if (keepBreaks && space && collapsed.endsWith(QLatin1Char('\n')))
            space = false;
        if (space && (!collapsed.isEmpty() || !dropLeading))
            collapsed += QLatin1Char(' ');
        space = false;
        collapsed += c;
    }
    if (space && (!collapsed.isEmpty() || !dropLeading))
        collapsed += QLatin1Char(' ');
    if (collapsed.isEmpty())
        return;
    s.pendingText += collapsed;
    s.atLineStart = false;
}
