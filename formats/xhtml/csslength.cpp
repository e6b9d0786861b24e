#include "csslength.h"

namespace {

bool isAsciiDigit(QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); }

// Length of the number at the start of s: [+-]? (digits (. digits*)? | . digits); 0 if none.
int numberLength(const QString &s)
{
    int i = 0;
    if (i < s.size() && (s[i] == QLatin1Char('+') || s[i] == QLatin1Char('-')))
        ++i;
    const int intStart = i;
    while (i < s.size() && isAsciiDigit(s[i]))
        ++i;
    const bool hasInteger = i > intStart;
    if (i < s.size() && s[i] == QLatin1Char('.')) {
        const int fracStart = ++i;
        while (i < s.size() && isAsciiDigit(s[i]))
            ++i;
        if (!hasInteger && i == fracStart)
            return 0;
    } else if (!hasInteger) {
        return 0;
    }
    return i;
}

}

CssLength CssLength::parse(const QString &text)
{
    const QString s = text.trimmed().toLower();
    if (s == QLatin1String("auto"))
        return {0.0f, CssUnit::Auto};

    const int n = numberLength(s);
    if (n == 0)
        return {};
    const QStringRef suffix = s.midRef(n);
    CssUnit unit;
    if (suffix.isEmpty())
        unit = CssUnit::Number;
    else if (suffix == QLatin1String("px"))
        unit = CssUnit::Px;
    else if (suffix == QLatin1String("pt"))
        unit = CssUnit::Pt;
    else if (suffix == QLatin1String("em"))
        unit = CssUnit::Em;
    else if (suffix == QLatin1String("rem"))
        unit = CssUnit::Rem;
    else if (suffix == QLatin1String("%"))
        unit = CssUnit::Percent;
    else
        return {};

    bool ok = false;
    const double number = s.leftRef(n).toDouble(&ok);
    if (!ok)
        return {};
    return {float(number), unit};
}

bool CssLength::toPixels(float fontSize, float rootFontSize, float reference, float &out) const
{
    switch (unit) {
    case CssUnit::Number:
    case CssUnit::Px:
        out = value;
        return true;
    case CssUnit::Pt:
        out = float(double(value) * 96.0 / 72.0);
        return true;
    case CssUnit::Em:
        out = fontSize * value;
        return true;
    case CssUnit::Rem:
        out = rootFontSize * value;
        return true;
    case CssUnit::Percent:
        out = reference * value / 100.0f;
        return true;
    case CssUnit::Invalid:
    case CssUnit::Auto:
        break;
    }
    return false;
}
