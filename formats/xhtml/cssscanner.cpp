#include "cssscanner.h"

int CssScanner::nextBrace(const QString &text, int from)
{
    const QChar *data = text.constData();
    for (int i = from; i < text.size(); ++i) {
        const QChar c = data[i];
        if (c == QLatin1Char('{') || c == QLatin1Char('}'))
            return i;
    }
    return -1;
}

QString CssScanner::removeComments(const QString &text)
{
    int open = text.indexOf(QLatin1String("/*"));
    if (open < 0)
        return text;
    QString out;
    out.reserve(text.size());
    int copied = 0;
    while (open >= 0) {
        const int close = text.indexOf(QLatin1String("*/"), open + 2);
        if (close < 0)
            break;
        out += text.midRef(copied, open - copied);
        copied = close + 2;
        open = text.indexOf(QLatin1String("/*"), copied);
    }
    out += text.midRef(copied);
    return out;
}

QString CssScanner::removeStatementAtRules(const QString &text)
{
    if (!text.contains(QLatin1Char('@')))
        return text;
    QString out;
    out.reserve(text.size());
    const QChar *data = text.constData();
    const int size = text.size();
    int depth = 0;
    int copied = 0;
    int i = 0;
    while (i < size) {
        const QChar c = data[i];
        if (c == QLatin1Char('{')) {
            ++depth;
        } else if (c == QLatin1Char('}')) {
            if (depth > 0)
                --depth;
        } else if (c == QLatin1Char('@') && depth == 0) {
            int end = i + 1;
            while (end < size && data[end] != QLatin1Char(';') && data[end] != QLatin1Char('{')
                   && data[end] != QLatin1Char('}'))
                ++end;
            if (end < size && data[end] == QLatin1Char(';')) {
                out += text.midRef(copied, i - copied);
                copied = i = end + 1;
            } else {
                // A block at-rule or stray text: resume at the brace, which every "@"
                // before it would reach as well.
                i = end;
            }
            continue;
        }
        ++i;
    }
    if (copied == 0)
        return text;
    out += text.midRef(copied);
    return out;
}
