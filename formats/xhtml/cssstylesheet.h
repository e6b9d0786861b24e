#pragma once

#include "cssdeclarations.h"
#include "csslength.h"

#include <QHash>
#include <QMap>
#include <QRegularExpressionMatch>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVector>

// One simple selector (optional tag, at most one id, any classes) with its block.
struct CssRule
{
    QString tag;            // lower case; empty matches any element
    QString id;             // lower case; empty: no id test
    QStringList classes;    // lower case, in selector order
    CssDeclarations declarations;
    int specificity = 0;
    int order = 0;          // position among the rules of the sheet that holds it
};

// The rules of one style text, in source order.
using CssRuleList = QVector<CssRule>;

// Parsed rule lists by the path under which each style sheet's text was given.
using CssStyleSheetMap = QMap<QString, CssRuleList>;

// Who owns a property while one element's style is computed.
struct CascadeOrigin
{
    bool important = false;
    int specificity = 0;
    int order = 0;
};

// The cascaded and inherited style of one element.
struct ComputedStyle
{
    QMap<QString, QString> values;
    float fontSize = 16.0f;
    float rootFontSize = 16.0f;
    // Set when the element's own rules or inline style declared the property.
    bool declaredFontSize = false;
    bool declaredFontFamily = false;
    bool declaredFontWeight = false;
    bool declaredFontStyle = false;
    QString fontFamily;
    QString fontSizeText;

    bool has(const QString &name) const;
    QString value(const QString &name) const;
    CssLength length(const QString &name) const;
};

// The rules that apply to one document, indexed so that an element only meets the
// rules that could match it. Reentrant: one sheet per conversion, no locks.
class CssStyleSheet
{
public:
    static CssRuleList parse(const QString &cssText);
    // Sheets given together: each with the sheets it @imports from among them
    // ahead of its own rules.
    static CssStyleSheetMap parseAll(const QMap<QString, QString> &cssTexts);
    // The references of a text's @import rules, as written.
    static QStringList importHrefs(const QString &cssText);

    void merge(const CssRuleList &rules);
    void mergeText(const QString &cssText);

    ComputedStyle computeStyle(const QString &tag, const QString &id,
                               const QString &classAttribute, const QString &inlineStyle,
                               const ComputedStyle *parent) const;

    // One cascade step: stores the declaration unless the current owner of the
    // property outranks it.
    static void applyDeclaration(QMap<QString, QString> &values,
                                 QHash<QString, CascadeOrigin> &origins, const QString &name,
                                 const CssDeclaration &declaration, int specificity, int order);

    static const QSet<QString> &inheritedProperties();
    static float elementFontScale(const QString &tag);

    // Declaration blocks (a rule's braces or a style attribute), shorthands expanded.
    static CssDeclarations parseDeclarations(const QString &text);
    // Stores unless an important entry of that name would be replaced by a normal one;
    // returns whether it stored.
    static bool setDeclaration(CssDeclarations &map, const QString &name,
                               const CssDeclaration &declaration);
    // Capture 1 is the size token of a "font" shorthand; the family starts at the end
    // of the whole match.
    static QRegularExpressionMatch findFontSizeToken(const QString &text);

    const CssRuleList &rules() const { return m_rules; }

private:
    CssRuleList m_rules;
    QHash<QString, QVector<int>> m_byTag;
    QHash<QString, QVector<int>> m_byId;
    QHash<QString, QVector<int>> m_byClass;
    QVector<int> m_universal;
};
