#include "cssstylesheet.h"

#include "cssscanner.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QUrl>
#include <QVarLengthArray>

#include <algorithm>

namespace {

bool isLowerLetter(QChar c) { return c >= QLatin1Char('a') && c <= QLatin1Char('z'); }

bool isNameChar(QChar c)
{
    return isLowerLetter(c) || (c >= QLatin1Char('0') && c <= QLatin1Char('9'))
        || c == QLatin1Char('_') || c == QLatin1Char('-');
}

int nameEnd(const QString &s, int i)
{
    while (i < s.size() && isNameChar(s[i]))
        ++i;
    return i;
}

// A lower-case simple selector: [tag | *] [#id] [.class]*. Anything else (combinators,
// attributes, pseudo parts, a second id, escapes) is refused.
bool parseSimpleSelector(const QString &s, CssRule &rule)
{
    int i = 0;
    if (i < s.size() && s[i] == QLatin1Char('*')) {
        ++i;
    } else if (i < s.size() && isLowerLetter(s[i])) {
        const int end = nameEnd(s, i + 1);
        rule.tag = s.mid(i, end - i);
        i = end;
    }
    if (i < s.size() && s[i] == QLatin1Char('#')) {
        const int end = nameEnd(s, i + 1);
        if (end == i + 1)
            return false;
        rule.id = s.mid(i + 1, end - i - 1);
        i = end;
    }
    while (i < s.size() && s[i] == QLatin1Char('.')) {
        const int end = nameEnd(s, i + 1);
        if (end == i + 1)
            return false;
        rule.classes.append(s.mid(i + 1, end - i - 1));
        i = end;
    }
    return i == s.size();
}

bool isBlank(const QString &text)
{
    for (const QChar c : text)
        if (!c.isSpace())
            return false;
    return true;
}

enum class WideKeyword { None, Inherit, Unset, Initial };

WideKeyword wideKeyword(const QString &value)
{
    // Most values are not keywords: look at the first letter before trimming.
    int first = 0;
    while (first < value.size() && value[first].isSpace())
        ++first;
    if (first == value.size())
        return WideKeyword::None;
    const QChar c = value[first].toLower();
    if (c != QLatin1Char('i') && c != QLatin1Char('u'))
        return WideKeyword::None;
    const QStringRef v = value.midRef(first).trimmed();
    if (v.compare(QLatin1String("inherit"), Qt::CaseInsensitive) == 0)
        return WideKeyword::Inherit;
    if (v.compare(QLatin1String("unset"), Qt::CaseInsensitive) == 0)
        return WideKeyword::Unset;
    if (v.compare(QLatin1String("initial"), Qt::CaseInsensitive) == 0)
        return WideKeyword::Initial;
    return WideKeyword::None;
}

float keywordFontSize(const QString &keyword, bool &found)
{
    static const QHash<QString, float> sizes{
        {QStringLiteral("xx-small"), 9.0f}, {QStringLiteral("x-small"), 10.0f},
        {QStringLiteral("small"), 13.0f},   {QStringLiteral("medium"), 16.0f},
        {QStringLiteral("large"), 18.0f},   {QStringLiteral("x-large"), 24.0f},
        {QStringLiteral("xx-large"), 32.0f},
    };
    const auto it = sizes.constFind(keyword);
    found = it != sizes.constEnd();
    return found ? *it : 0.0f;
}

// The parent's inherited values; shares the parent's map when it holds nothing else.
QMap<QString, QString> inheritedValues(const ComputedStyle *parent)
{
    if (!parent)
        return {};
    QMap<QString, QString> values = parent->values;
    const QSet<QString> &inherited = CssStyleSheet::inheritedProperties();
    for (auto it = values.cbegin(); it != values.cend(); ++it) {
        if (!inherited.contains(it.key())) {
            QMap<QString, QString> kept;
            for (auto p = parent->values.cbegin(); p != parent->values.cend(); ++p)
                if (inherited.contains(p.key()))
                    kept.insert(p.key(), p.value());
            return kept;
        }
    }
    return values;
}

// inherit, unset and initial, once the cascade has settled.
void resolveKeywords(QMap<QString, QString> &values, const ComputedStyle *parent)
{
    QVarLengthArray<QString, 8> fromParent, removed;
    for (auto it = values.cbegin(); it != values.cend(); ++it) {
        switch (wideKeyword(it.value())) {
        case WideKeyword::Inherit:
            fromParent.append(it.key());
            break;
        case WideKeyword::Unset:
            if (CssStyleSheet::inheritedProperties().contains(it.key()))
                fromParent.append(it.key());
            else
                removed.append(it.key());
            break;
        case WideKeyword::Initial:
            removed.append(it.key());
            break;
        case WideKeyword::None:
            break;
        }
    }
    for (const QString &name : fromParent) {
        if (parent && parent->values.contains(name))
            values.insert(name, parent->values.value(name));
        else
            values.remove(name);
    }
    for (const QString &name : removed)
        values.remove(name);
}

}

namespace {

// Property names are nearly always written in lower case already; the
// Unicode case mapping is only paid for the others.
QString propertyKey(const QString &name)
{
    for (const QChar c : name) {
        if (c.unicode() >= 0x80 || (c >= QLatin1Char('A') && c <= QLatin1Char('Z')))
            return name.toLower();
    }
    return name;
}

}

bool ComputedStyle::has(const QString &name) const
{
    return values.contains(propertyKey(name));
}

QString ComputedStyle::value(const QString &name) const
{
    return values.value(propertyKey(name));
}

CssLength ComputedStyle::length(const QString &name) const
{
    return CssLength::parse(value(name));
}

CssRuleList CssStyleSheet::parse(const QString &cssText)
{
    CssRuleList rules;
    const QString text =
        CssScanner::removeStatementAtRules(CssScanner::removeComments(cssText));
    CssScanner::forEachBlock(text, [&rules](const CssScanner::Block &block) {
        const QStringRef selectorText = block.prelude.trimmed();
        // @font-face, @page and the like; @media bodies are read as their inner pairs.
        if (selectorText.startsWith(QLatin1Char('@')))
            return;
        const CssDeclarations declarations = parseDeclarations(block.body.toString());
        if (declarations.isEmpty())
            return;
        const QVector<QStringRef> selectors = selectorText.split(QLatin1Char(','), Qt::SkipEmptyParts);
        for (const QStringRef &selector : selectors) {
            const QString s = selector.trimmed().toString().toLower();
            CssRule rule;
            if (s.isEmpty() || !parseSimpleSelector(s, rule))
                continue;
            rule.declarations = declarations;
            rule.specificity = (rule.id.isEmpty() ? 0 : 100) + 10 * rule.classes.size()
                + (rule.tag.isEmpty() ? 0 : 1);
            rule.order = rules.size();
            rules.append(rule);
        }
    });
    return rules;
}

namespace {

// The sheets a text pulls in with @import, as paths beside the importing one.
QStringList importedPaths(const QString &cssText, const QString &path)
{
    QStringList paths;
    const QString dir = QFileInfo(path).path();
    for (const QString &written : CssStyleSheet::importHrefs(cssText)) {
        const QString href = QUrl::fromPercentEncoding(written.toUtf8());
        if (href.contains(QLatin1Char(':')))
            continue;
        paths.append(href.startsWith(QLatin1Char('/'))
                         ? href.mid(1)
                         : QDir::cleanPath(dir.isEmpty() || dir == QLatin1String(".")
                                               ? href : dir + QLatin1Char('/') + href));
    }
    return paths;
}

// The imported texts ahead of the importing one, each sheet once, nested a few levels.
void appendWithImports(const QMap<QString, QString> &cssTexts, const QString &path,
                       QSet<QString> &seen, int depth, QString &out)
{
    if (seen.contains(path) || depth > 8)
        return;
    seen.insert(path);
    const QString text = cssTexts.value(path);
    for (const QString &imported : importedPaths(text, path)) {
        if (cssTexts.contains(imported))
            appendWithImports(cssTexts, imported, seen, depth + 1, out);
    }
    out += text;
    out += QLatin1Char('\n');
}

}

QStringList CssStyleSheet::importHrefs(const QString &cssText)
{
    static const QRegularExpression import(QStringLiteral(
        "@import\\s+(?:url\\(\\s*)?[\"']?([^\"')\\s;]+)"),
        QRegularExpression::CaseInsensitiveOption);
    QStringList hrefs;
    if (!cssText.contains(QLatin1String("@import"), Qt::CaseInsensitive))
        return hrefs;
    QRegularExpressionMatchIterator it = import.globalMatch(cssText);
    while (it.hasNext())
        hrefs.append(it.next().captured(1));
    return hrefs;
}

CssStyleSheetMap CssStyleSheet::parseAll(const QMap<QString, QString> &cssTexts)
{
    CssStyleSheetMap sheets;
    for (auto it = cssTexts.cbegin(); it != cssTexts.cend(); ++it) {
        if (!it.value().contains(QLatin1String("@import"), Qt::CaseInsensitive)) {
            sheets.insert(it.key(), parse(it.value()));
            continue;
        }
        QSet<QString> seen;
        QString text;
        appendWithImports(cssTexts, it.key(), seen, 0, text);
        sheets.insert(it.key(), parse(text));
    }
    return sheets;
}

void CssStyleSheet::merge(const CssRuleList &rules)
{
    // No exact reserve: a document linking its sheet thousands of times
    // would copy every rule gathered so far on each merge.
    for (const CssRule &rule : rules) {
        const int index = m_rules.size();
        m_rules.append(rule);
        m_rules.last().order = index;
        if (!rule.id.isEmpty())
            m_byId[rule.id].append(index);
        else if (!rule.classes.isEmpty())
            m_byClass[rule.classes.first()].append(index);
        else if (!rule.tag.isEmpty())
            m_byTag[rule.tag].append(index);
        else
            m_universal.append(index);
    }
}

void CssStyleSheet::mergeText(const QString &cssText)
{
    merge(parse(cssText));
}

void CssStyleSheet::applyDeclaration(QMap<QString, QString> &values,
                                     QHash<QString, CascadeOrigin> &origins, const QString &name,
                                     const CssDeclaration &declaration, int specificity, int order)
{
    auto origin = origins.find(name);
    if (origin != origins.end()) {
        if (origin->important && !declaration.important)
            return;
        if (origin->important == declaration.important
            && (specificity < origin->specificity
                || (specificity == origin->specificity && order < origin->order)))
            return;
        *origin = {declaration.important, specificity, order};
    } else {
        origins.insert(name, {declaration.important, specificity, order});
    }
    values.insert(name, declaration.value);
}

ComputedStyle CssStyleSheet::computeStyle(const QString &tag, const QString &id,
                                          const QString &classAttribute,
                                          const QString &inlineStyle,
                                          const ComputedStyle *parent) const
{
    const QString elementTag = tag.toLower();
    const float base = parent ? parent->fontSize : 16.0f;
    const float root = parent ? parent->rootFontSize : 16.0f;

    ComputedStyle style;
    style.values = inheritedValues(parent);

    if (m_rules.isEmpty() && isBlank(inlineStyle)) {
        style.fontSize = base * elementFontScale(elementTag);
        style.rootFontSize = elementTag == QLatin1String("html") ? style.fontSize : root;
        if (parent) {
            style.fontFamily = parent->fontFamily;
            style.fontSizeText = parent->fontSizeText;
        }
        return style;
    }

    const QString elementId = id.toLower();
    const QString classText = classAttribute.toLower();
    QVarLengthArray<QStringRef, 8> classes;
    for (int i = 0; i < classText.size();) {
        while (i < classText.size() && CssScanner::isSpace(classText[i]))
            ++i;
        const int start = i;
        while (i < classText.size() && !CssScanner::isSpace(classText[i]))
            ++i;
        const QStringRef name = classText.midRef(start, i - start);
        if (!name.isEmpty() && std::find(classes.begin(), classes.end(), name) == classes.end())
            classes.append(name);
    }

    // Each rule sits in one bucket, so the candidates below are distinct.
    QVarLengthArray<int, 64> candidates;
    auto addBucket = [&candidates](const QHash<QString, QVector<int>> &buckets, const QString &key) {
        const auto it = buckets.constFind(key);
        if (it != buckets.constEnd())
            candidates.append(it->constData(), it->size());
    };
    candidates.append(m_universal.constData(), m_universal.size());
    addBucket(m_byTag, elementTag);
    if (!elementId.isEmpty())
        addBucket(m_byId, elementId);
    for (const QStringRef &name : classes)
        addBucket(m_byClass, name.toString());
    std::sort(candidates.begin(), candidates.end(), [this](int a, int b) {
        const CssRule &ra = m_rules[a];
        const CssRule &rb = m_rules[b];
        return ra.specificity != rb.specificity ? ra.specificity < rb.specificity
                                                : ra.order < rb.order;
    });

    QHash<QString, CascadeOrigin> origins;
    for (const int index : candidates) {
        const CssRule &rule = m_rules[index];
        if (!rule.tag.isEmpty() && rule.tag != elementTag)
            continue;
        if (!rule.id.isEmpty() && rule.id != elementId)
            continue;
        const bool classesMatch = std::all_of(rule.classes.cbegin(), rule.classes.cend(),
            [&classes](const QString &name) {
                return std::find(classes.begin(), classes.end(), name) != classes.end();
            });
        if (!classesMatch)
            continue;
        for (auto it = rule.declarations.cbegin(); it != rule.declarations.cend(); ++it)
            applyDeclaration(style.values, origins, it.key(), it.value(), rule.specificity, rule.order);
    }

    if (!isBlank(inlineStyle)) {
        const CssDeclarations inlineDeclarations = parseDeclarations(inlineStyle);
        for (auto it = inlineDeclarations.cbegin(); it != inlineDeclarations.cend(); ++it)
            applyDeclaration(style.values, origins, it.key(), it.value(), 1000, m_rules.size());
    }

    style.declaredFontSize = origins.contains(QStringLiteral("font-size"));
    style.declaredFontFamily = origins.contains(QStringLiteral("font-family"));
    style.declaredFontWeight = origins.contains(QStringLiteral("font-weight"));
    style.declaredFontStyle = origins.contains(QStringLiteral("font-style"));

    const QString fsText = style.values.value(QStringLiteral("font-size")).trimmed().toLower();
    resolveKeywords(style.values, parent);
    style.fontFamily = style.values.value(QStringLiteral("font-family"));
    style.fontSizeText = style.values.value(QStringLiteral("font-size"));

    if (!style.declaredFontSize) {
        style.fontSize = base * elementFontScale(elementTag);
    } else if (fsText == QLatin1String("inherit") || fsText == QLatin1String("unset")) {
        style.fontSize = base;
    } else if (fsText == QLatin1String("initial")) {
        style.fontSize = 16.0f;
    } else if (style.fontSizeText.isEmpty()) {
        style.fontSize = base;
    } else {
        const QString t = style.fontSizeText.trimmed().toLower();
        bool keyword = false;
        const float keywordSize = keywordFontSize(t, keyword);
        float px = 0.0f;
        if (t == QLatin1String("smaller"))
            style.fontSize = float(double(base) * 0.8);
        else if (t == QLatin1String("larger"))
            style.fontSize = float(double(base) * 1.2);
        else if (keyword)
            style.fontSize = keywordSize;
        else if (CssLength::parse(t).toPixels(base, root, base, px) && px > 0.0f)
            style.fontSize = px;
        else
            style.fontSize = base;
    }
    style.rootFontSize = elementTag == QLatin1String("html") ? style.fontSize : root;
    return style;
}

const QSet<QString> &CssStyleSheet::inheritedProperties()
{
    static const QSet<QString> names{
        QStringLiteral("color"),          QStringLiteral("font-family"),
        QStringLiteral("font-size"),      QStringLiteral("font-style"),
        QStringLiteral("font-weight"),    QStringLiteral("letter-spacing"),
        QStringLiteral("line-height"),    QStringLiteral("text-align"),
        QStringLiteral("text-indent"),    QStringLiteral("text-transform"),
        QStringLiteral("visibility"),     QStringLiteral("white-space"),
        QStringLiteral("word-spacing"),
    };
    return names;
}

float CssStyleSheet::elementFontScale(const QString &tag)
{
    static const QHash<QString, float> factors{
        {QStringLiteral("h1"), 2.0f},  {QStringLiteral("h2"), 1.5f},
        {QStringLiteral("h3"), 1.17f}, {QStringLiteral("h4"), 1.0f},
        {QStringLiteral("h5"), 0.83f}, {QStringLiteral("h6"), 0.67f},
        {QStringLiteral("small"), 0.8f}, {QStringLiteral("big"), 1.2f},
    };
    return factors.value(tag, 1.0f);
}
