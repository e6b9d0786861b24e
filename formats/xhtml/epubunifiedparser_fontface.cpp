#include "epubunifiedparser.h"

#include "cssscanner.h"

namespace {

int skipSpace(const QString &text, int i)
{
    while (i < text.size() && CssScanner::isSpace(text[i]))
        ++i;
    return i;
}

// The argument of a function call whose "(" is at or after i (after white space):
// the text up to the first ")", trimmed of white space. Sets end past the ")";
// false when there is no "(" or no ")".
bool readArgument(const QString &text, int i, QString &argument, int &end)
{
    i = skipSpace(text, i);
    if (i >= text.size() || text[i] != QLatin1Char('('))
        return false;
    const int close = text.indexOf(QLatin1Char(')'), i + 1);
    if (close < 0)
        return false;
    int start = skipSpace(text, i + 1);
    int stop = close;
    while (stop > start && CssScanner::isSpace(text[stop - 1]))
        --stop;
    argument = text.mid(start, stop - start);
    end = close + 1;
    return true;
}

bool startsWithAt(const QString &text, int i, QLatin1String word)
{
    return text.midRef(i, word.size()).compare(word, Qt::CaseInsensitive) == 0;
}

// The url(...) and local(...) items of a src value, each with an optional format(...).
QVector<FontFaceSource> parseSources(const QString &src)
{
    static const QLatin1String url("url"), local("local"), format("format");
    QVector<FontFaceSource> sources;
    // Every item needs a ")", so nothing can start after the last one.
    const int lastClose = src.lastIndexOf(QLatin1Char(')'));
    int i = 0;
    while (i < lastClose) {
        const bool isUrl = startsWithAt(src, i, url);
        if (!isUrl && !startsWithAt(src, i, local)) {
            ++i;
            continue;
        }
        QString value;
        int end = 0;
        if (!readArgument(src, i + (isUrl ? url.size() : local.size()), value, end)) {
            ++i;
            continue;
        }
        FontFaceSource source;
        source.isUrl = isUrl;
        source.value = EpubUnifiedParser::unquoteCssValue(value);
        const int f = skipSpace(src, end);
        QString formatText;
        int formatEnd = 0;
        if (startsWithAt(src, f, format) && readArgument(src, f + format.size(), formatText, formatEnd)) {
            source.format = EpubUnifiedParser::unquoteCssValue(formatText).toLower();
            end = formatEnd;
        }
        if (!source.value.isEmpty())
            sources.append(source);
        i = end;
    }
    return sources;
}

int fontWeight(const QString &declared)
{
    const QString w = declared.trimmed().toLower();
    if (w == QLatin1String("bold") || w == QLatin1String("bolder"))
        return 700;
    bool isNumber = false;
    const qlonglong n = w.toLongLong(&isNumber, 10);
    if (!isNumber)
        return 400;
    return int(qBound<qlonglong>(100, n, 900));
}

}

QVector<FontFaceRule> EpubUnifiedParser::parseFontFaces(const QMap<QString, QString> &styleTexts)
{
    static const QLatin1String keyword("@font-face");
    QVector<FontFaceRule> rules;
    for (auto sheet = styleTexts.cbegin(); sheet != styleTexts.cend(); ++sheet) {
        // Comments go first: one in front of a declaration would otherwise swallow it.
        const QString text = CssScanner::removeComments(sheet.value());
        int at = text.indexOf(keyword, 0, Qt::CaseInsensitive);
        while (at >= 0) {
            const int open = skipSpace(text, at + keyword.size());
            int next = at + keyword.size();
            if (open < text.size() && text[open] == QLatin1Char('{')) {
                const int close = CssScanner::nextBrace(text, open + 1);
                if (close >= 0 && text[close] == QLatin1Char('}')) {
                    const QMap<QString, QString> d =
                        parseFontFaceDeclarations(text.mid(open + 1, close - open - 1));
                    FontFaceRule rule;
                    rule.stylesheetPath = sheet.key();
                    rule.family = unquoteCssValue(d.value(QStringLiteral("font-family")));
                    rule.weight = fontWeight(d.value(QStringLiteral("font-weight")));
                    const QString style = d.value(QStringLiteral("font-style")).trimmed().toLower();
                    rule.italic = style == QLatin1String("italic") || style == QLatin1String("oblique");
                    rule.sources = parseSources(d.value(QStringLiteral("src")));
                    if (!rule.family.isEmpty() && !rule.sources.isEmpty())
                        rules.append(rule);
                    next = close + 1;
                }
            }
            at = text.indexOf(keyword, next, Qt::CaseInsensitive);
        }
    }
    return rules;
}

QMap<QString, QString> EpubUnifiedParser::parseFontFaceDeclarations(const QString &blockText)
{
    QMap<QString, QString> declarations;
    const QVector<QStringRef> pieces = blockText.splitRef(QLatin1Char(';'), Qt::SkipEmptyParts);
    for (const QStringRef &piece : pieces) {
        const int colon = piece.indexOf(QLatin1Char(':'));
        if (colon <= 0)
            continue;
        const QString name = piece.left(colon).trimmed().toString().toLower();
        const QString value = piece.mid(colon + 1).trimmed().toString();
        if (!name.isEmpty() && !value.isEmpty())
            declarations.insert(name, value);
    }
    return declarations;
}

QString EpubUnifiedParser::unquoteCssValue(const QString &text)
{
    QString s = text.trimmed();
    if (s.size() > 1
        && ((s.startsWith(QLatin1Char('\'')) && s.endsWith(QLatin1Char('\'')))
            || (s.startsWith(QLatin1Char('"')) && s.endsWith(QLatin1Char('"'))))) {
        s = s.mid(1, s.size() - 2).trimmed();
    }
    return s;
}
