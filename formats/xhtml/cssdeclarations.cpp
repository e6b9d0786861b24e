#include "cssstylesheet.h"

#include "cssscanner.h"

#include <QRegularExpression>

namespace {

QVector<QStringRef> splitAtCssSpace(const QString &text)
{
    QVector<QStringRef> parts;
    int i = 0;
    while (i < text.size()) {
        while (i < text.size() && CssScanner::isSpace(text[i]))
            ++i;
        const int start = i;
        while (i < text.size() && !CssScanner::isSpace(text[i]))
            ++i;
        if (i > start)
            parts.append(text.midRef(start, i - start));
    }
    return parts;
}

bool isWideKeyword(const QString &k)
{
    return k == QLatin1String("inherit") || k == QLatin1String("initial")
        || k == QLatin1String("unset");
}

// Strips a trailing !important marker; true when there was one.
bool takeImportant(QString &value)
{
    static const QLatin1String marker("!important");
    if (!value.endsWith(marker, Qt::CaseInsensitive))
        return false;
    value.chop(marker.size());
    value = value.trimmed();
    return true;
}

void expandFont(CssDeclarations &map, const CssDeclaration &font)
{
    const QString k = font.value.trimmed().toLower();
    QString sizeToken;
    if (isWideKeyword(k))
        sizeToken = k;
    else
        sizeToken = CssStyleSheet::findFontSizeToken(k).captured(1);
    if (!sizeToken.isEmpty())
        CssStyleSheet::setDeclaration(map, QStringLiteral("font-size"), {sizeToken, font.important});

    QString family;
    const QRegularExpressionMatch match = CssStyleSheet::findFontSizeToken(font.value);
    if (match.hasMatch()) {
        QString rest = font.value.mid(match.capturedEnd(0)).trimmed();
        if (rest.startsWith(QLatin1Char('/'))) {
            // Skip the line height that follows the size.
            rest = rest.mid(1).trimmed();
            int space = 0;
            while (space < rest.size() && !CssScanner::isSpace(rest[space]))
                ++space;
            family = rest.mid(space).trimmed();
        } else {
            family = rest;
        }
    }
    if (family.isEmpty() && isWideKeyword(sizeToken))
        family = sizeToken;
    if (!family.isEmpty())
        CssStyleSheet::setDeclaration(map, QStringLiteral("font-family"), {family, font.important});
}

// "margin" and "padding": one to four values over top, right, bottom, left.
void expandBox(CssDeclarations &map, const QString &name)
{
    const CssDeclaration box = map.take(name);
    const QVector<QStringRef> parts = splitAtCssSpace(box.value);
    if (parts.isEmpty() || parts.size() > 4)
        return;
    const QStringRef top = parts[0];
    const QStringRef right = parts.size() > 1 ? parts[1] : top;
    const QStringRef bottom = parts.size() > 2 ? parts[2] : top;
    const QStringRef left = parts.size() > 3 ? parts[3] : right;
    CssStyleSheet::setDeclaration(map, name + QLatin1String("-top"), {top.toString(), box.important});
    CssStyleSheet::setDeclaration(map, name + QLatin1String("-right"), {right.toString(), box.important});
    CssStyleSheet::setDeclaration(map, name + QLatin1String("-bottom"), {bottom.toString(), box.important});
    CssStyleSheet::setDeclaration(map, name + QLatin1String("-left"), {left.toString(), box.important});
}

// A "background" that is only a colour becomes "background-color"; images and
// multi-part values stay as they are.
void expandBackground(CssDeclarations &map, const CssDeclaration &background)
{
    static const QRegularExpression colourFunction(
        QStringLiteral("^(?:rgba?|hsla?)\\s*\\([^)]*\\)$"), QRegularExpression::CaseInsensitiveOption);
    const QString &v = background.value;
    if (v.startsWith(QLatin1String("url("), Qt::CaseInsensitive))
        return;
    if (v.contains(QLatin1Char(' ')) && !colourFunction.match(v).hasMatch())
        return;
    map.remove(QStringLiteral("background"));
    CssStyleSheet::setDeclaration(map, QStringLiteral("background-color"), background);
}

}

bool CssStyleSheet::setDeclaration(CssDeclarations &map, const QString &name,
                                   const CssDeclaration &declaration)
{
    auto it = map.find(name);
    if (it == map.end()) {
        map.insert(name, declaration);
        return true;
    }
    if (it->important && !declaration.important)
        return false;
    *it = declaration;
    return true;
}

CssDeclarations CssStyleSheet::parseDeclarations(const QString &text)
{
    CssDeclarations map;
    const QVector<QStringRef> pieces = text.splitRef(QLatin1Char(';'), Qt::SkipEmptyParts);
    for (const QStringRef &piece : pieces) {
        const int colon = piece.indexOf(QLatin1Char(':'));
        if (colon <= 0)
            continue;
        const QString name = piece.left(colon).trimmed().toString().toLower();
        CssDeclaration declaration{piece.mid(colon + 1).trimmed().toString(), false};
        if (name.isEmpty() || declaration.value.isEmpty())
            continue;
        declaration.important = takeImportant(declaration.value);
        if (declaration.value.isEmpty())
            continue;
        if (!setDeclaration(map, name, declaration))
            continue;
        if (name == QLatin1String("font"))
            expandFont(map, declaration);
        else if (name == QLatin1String("margin") || name == QLatin1String("padding"))
            expandBox(map, name);
        else if (name == QLatin1String("background"))
            expandBackground(map, declaration);
    }
    return map;
}

QRegularExpressionMatch CssStyleSheet::findFontSizeToken(const QString &text)
{
    static const QRegularExpression sized(
        QStringLiteral("(?:^|\\s)(xx-small|x-small|small|medium|large|x-large|xx-large|smaller|larger"
                       "|[+-]?(?:[0-9]+(?:\\.[0-9]*)?|\\.[0-9]+)(?:px|pt|em|rem|%))(?=\\s|/|$)"),
        QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression bareNumber(
        QStringLiteral("(?:^|\\s)([+-]?(?:[0-9]+(?:\\.[0-9]*)?|\\.[0-9]+))(?=\\s|/|$)"));

    QRegularExpressionMatch first = sized.match(text);
    if (first.hasMatch())
        return first;

    // A unitless size, as the 12 of "12/1.4 serif": the last number before any "/".
    const int slash = text.indexOf(QLatin1Char('/'));
    QRegularExpressionMatchIterator it =
        bareNumber.globalMatch(slash < 0 ? text : text.left(slash));
    QRegularExpressionMatch last;
    bool found = false;
    while (it.hasNext()) {
        last = it.next();
        found = true;
    }
    return found ? last : first;
}
