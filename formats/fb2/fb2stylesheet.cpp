#include "fb2parser.h"

#include "cssscanner.h"
#include "fontregistry.h"

#include <QRegularExpression>

namespace {

constexpr double MinScale = 0.6;
constexpr double MaxScale = 3.0;

float clampScale(double scale)
{
    return float(qBound(MinScale, scale, MaxScale));
}

int effectiveWeight(const Fb2RunStyle &style)
{
    if (style.fontWeight > 0)
        return style.fontWeight;
    return style.bold ? 700 : 400;
}

// The font registry answers under its lock; a book asks for few distinct faces.
QString resolvedFamily(const Fb2StyleSheet &sheet, const QString &family, int weight, bool italic)
{
    const QString key = family + QLatin1Char('|') + QString::number(weight)
        + (italic ? QLatin1String("|i") : QLatin1String("|n"));
    auto found = sheet.resolvedFamilies.constFind(key);
    if (found == sheet.resolvedFamilies.cend())
        found = sheet.resolvedFamilies.insert(
            key, FontRegistry::instance().resolveStyledFamily(family, weight, italic));
    return found.value();
}

// New scale from a CSS font-size, or currentScale when it does not read.
double fontSizeScale(const QString &value, double currentScale, double baseScale)
{
    static const QMap<QString, double> keywords{
        {QStringLiteral("xx-small"), 0.6}, {QStringLiteral("x-small"), 0.75},
        {QStringLiteral("small"), 0.8},    {QStringLiteral("medium"), 1.0},
        {QStringLiteral("large"), 1.2},    {QStringLiteral("x-large"), 1.5},
        {QStringLiteral("xx-large"), 2.0}};
    const QString t = value.trimmed().toLower();
    bool ok = false;
    const auto number = [&](int unitLength) { return t.left(t.size() - unitLength).toDouble(&ok); };
    double scale = 0;
    if (t.endsWith(QLatin1String("em"))) {
        scale = number(2) * currentScale;
    } else if (t.endsWith(QLatin1Char('%'))) {
        scale = number(1) * currentScale / 100;
    } else if (t.endsWith(QLatin1String("px"))) {
        scale = number(2) * 0.0625 / baseScale;
    } else if (t.endsWith(QLatin1String("pt"))) {
        scale = number(2) / 12 / baseScale;
    } else if (t == QLatin1String("smaller")) {
        return qBound(MinScale, currentScale / 1.2, MaxScale);
    } else if (t == QLatin1String("larger")) {
        return qBound(MinScale, currentScale * 1.2, MaxScale);
    } else {
        const auto keyword = keywords.constFind(t);
        if (keyword == keywords.cend())
            return currentScale;
        return qBound(MinScale, keyword.value() / baseScale, MaxScale);
    }
    return ok ? qBound(MinScale, scale, MaxScale) : currentScale;
}

// The HTML font size 1..7 of a font element; 0 leaves the parent's size.
float htmlFontScale(int index, float parentScale)
{
    static const float sizes[] = {0.82f, 1.0f, 1.13f, 1.5f, 2.0f, 3.0f};
    if (index == 0)
        return parentScale;
    if (index > 7)
        return 3.0f;
    if (index <= 1)
        return 0.63f;
    return clampScale(sizes[index - 2]);
}

void applyOne(Fb2RunStyle &style, const QString &property, const QString &value,
              float currentScale, float baseScale)
{
    Fb2Parser::applyDeclarations(style, {{property, value}}, currentScale, baseScale);
}

}

void Fb2Parser::parseStylesheet(Fb2StyleSheet &sheet, const QString &text)
{
    sheet.rules.clear();
    sheet.baseScale = 1.0f;
    sheet.resolvedFamilies.clear();
    // The comment and brace scans the EPUB style sheets are read with.
    CssScanner::forEachBlock(CssScanner::removeComments(text), [&](const CssScanner::Block &block) {
        const QMap<QString, QString> declarations = parseDeclarations(block.body.toString());
        const QVector<QStringRef> selectors =
            block.prelude.split(QLatin1Char(','), Qt::SkipEmptyParts);
        for (const QStringRef &selector : selectors) {
            const QString key = selector.trimmed().toString().toLower();
            if (key.isEmpty())
                continue;
            QMap<QString, QString> &entry = sheet.rules[key];
            for (auto it = declarations.cbegin(); it != declarations.cend(); ++it)
                entry.insert(it.key(), it.value());
        }
    });
}

QMap<QString, QString> Fb2Parser::parseDeclarations(const QString &text)
{
    QMap<QString, QString> declarations;
    const QStringList parts = text.split(QLatin1Char(';'), Qt::SkipEmptyParts);
    for (const QString &part : parts) {
        const int colon = part.indexOf(QLatin1Char(':'));
        if (colon <= 0)
            continue;
        declarations.insert(part.left(colon).trimmed().toLower(), part.mid(colon + 1).trimmed());
    }
    return declarations;
}

void Fb2Parser::applyDeclarations(Fb2RunStyle &style, const QMap<QString, QString> &declarations,
                                  float currentScale, float baseScale)
{
    const QString size = declarations.value(QStringLiteral("font-size"));
    if (!size.isEmpty())
        style.fontScale = float(fontSizeScale(size, currentScale, baseScale));

    const QString weight = declarations.value(QStringLiteral("font-weight")).trimmed().toLower();
    if (!weight.isEmpty()) {
        bool isNumber = false;
        const int n = weight.toInt(&isNumber);
        if (weight == QLatin1String("bold") || weight == QLatin1String("bolder")) {
            style.bold = true;
            style.fontWeight = 700;
        } else if (weight == QLatin1String("normal")) {
            style.bold = false;
            style.fontWeight = 400;
        } else if (isNumber) {
            style.fontWeight = qBound(100, n, 900);
            style.bold = n > 599;
        }
    }

    const QString fontStyle = declarations.value(QStringLiteral("font-style")).trimmed().toLower();
    if (fontStyle == QLatin1String("italic") || fontStyle == QLatin1String("oblique"))
        style.italic = true;
    else if (fontStyle == QLatin1String("normal"))
        style.italic = false;

    const QString decoration = declarations.value(QStringLiteral("text-decoration")).toLower();
    if (decoration.contains(QLatin1String("underline")))
        style.underline = true;
    if (decoration.contains(QLatin1String("line-through")))
        style.strikethrough = true;

    const QString color = declarations.value(QStringLiteral("color")).trimmed();
    if (!color.isEmpty())
        style.color = color;

    // Resolved by elementStyle once the element's weight and style are final.
    const QString family = declarations.value(QStringLiteral("font-family"));
    if (!family.isEmpty())
        style.fontFamily = family;
}

Fb2RunStyle Fb2Parser::elementStyle(const Fb2StyleSheet &sheet, const QString &elementName,
                                    const QXmlStreamAttributes &attributes,
                                    const Fb2RunStyle &parentStyle, int level)
{
    static const float titleScales[] = {2.0f, 1.5f, 1.17f, 1.0f, 0.83f, 0.67f};
    Fb2RunStyle style = parentStyle;
    const QString name = elementName.toLower();
    const float parentScale = parentStyle.fontScale;

    if (name == QLatin1String("strong") || name == QLatin1String("th")) {
        style.bold = true;
        style.fontWeight = 700;
    } else if (name == QLatin1String("emphasis") || name == QLatin1String("epigraph")
               || name == QLatin1String("cite") || name == QLatin1String("text-author")
               || name == QLatin1String("date")) {
        style.italic = true;
    } else if (name == QLatin1String("strikethrough")) {
        style.strikethrough = true;
    } else if (name == QLatin1String("code")) {
        style.fontFamily = QStringLiteral("monospace");
    } else if (name == QLatin1String("subtitle")) {
        style.fontScale = clampScale(parentScale * 1.17);
    } else if (name == QLatin1String("title")) {
        style.fontScale = titleScales[qBound(1, level, 6) - 1];
    } else if (name == QLatin1String("sup") || name == QLatin1String("sub")) {
        style.vertAlign = name == QLatin1String("sup") ? 1 : 2;
        style.fontScale = clampScale(parentScale * 0.8);
    } else if (name == QLatin1String("a")) {
        style.anchorHref = trimmedAttribute(attributes, QStringLiteral("href"));
    }

    const auto own = sheet.rules.constFind(name);
    if (own != sheet.rules.cend())
        applyDeclarations(style, own.value(), parentScale, sheet.baseScale);

    QString inlineStyle = attributeValue(attributes, QStringLiteral("style"));
    if (inlineStyle.isEmpty() && name == QLatin1String("style"))
        inlineStyle = attributeValue(attributes, QStringLiteral("name"));
    if (inlineStyle.contains(QLatin1Char(':'))) {
        applyDeclarations(style, parseDeclarations(inlineStyle), parentScale, sheet.baseScale);
    } else if (!inlineStyle.isEmpty()) {
        static const QRegularExpression spaces(QStringLiteral("\\s+"));
        const QStringList classes = inlineStyle.toLower().split(spaces, Qt::SkipEmptyParts);
        for (const QString &c : classes) {
            for (const QString &selector : {QLatin1Char('.') + c, name + QLatin1Char('.') + c}) {
                const auto rule = sheet.rules.constFind(selector);
                if (rule != sheet.rules.cend())
                    applyDeclarations(style, rule.value(), parentScale, sheet.baseScale);
            }
        }
    }

    const bool font = name == QLatin1String("font");
    QString family = attributeValue(attributes, QStringLiteral("font-family"));
    if (family.isEmpty())
        family = attributeValue(attributes, QStringLiteral("face"));
    if (family.isEmpty() && font)
        family = attributeValue(attributes, QStringLiteral("name"));
    if (!family.isEmpty())
        applyOne(style, QStringLiteral("font-family"), family, parentScale, sheet.baseScale);

    const QString size = attributeValue(attributes, QStringLiteral("font-size"));
    if (!size.isEmpty()) {
        applyOne(style, QStringLiteral("font-size"), size, parentScale, sheet.baseScale);
    } else if (font) {
        const QString htmlSize = attributeValue(attributes, QStringLiteral("size")).trimmed();
        bool isNumber = false;
        const int n = htmlSize.toInt(&isNumber);
        if (isNumber) {
            const bool relative = htmlSize.startsWith(QLatin1Char('+'))
                || htmlSize.startsWith(QLatin1Char('-'));
            style.fontScale = htmlFontScale(relative ? n + 3 : n, parentScale);
        } else if (!htmlSize.isEmpty()) {
            applyOne(style, QStringLiteral("font-size"), htmlSize, parentScale, sheet.baseScale);
        }
    }

    const QString color = attributeValue(attributes, QStringLiteral("color"));
    if (!color.isEmpty())
        style.color = color;

    if (!style.fontFamily.isEmpty())
        style.fontFamily = resolvedFamily(sheet, style.fontFamily, effectiveWeight(style),
                                          style.italic);
    return style;
}

Fb2RunStyle Fb2Parser::bodyStyle(Fb2StyleSheet &sheet, const QXmlStreamAttributes &attributes)
{
    sheet.baseScale = 1.0f;
    Fb2RunStyle style = elementStyle(sheet, QStringLiteral("body"), attributes, Fb2RunStyle(), 0);
    sheet.baseScale = style.fontScale > 0 ? style.fontScale : 1.0f;
    style.fontScale = 1.0f;
    return style;
}
