#include "colors.h"

// Minimal first version: named and #hex colours through QColor.
QColor parseCssColor(const QString &text)
{
    const QString s = text.trimmed().toLower();
    if (s.isEmpty())
        return QColor();
    if (s == QLatin1String("transparent"))
        return QColor(0, 0, 0, 0);
    return QColor(s);
}

QColor blendColor(const QColor &fg, const QColor &) { return fg; }
float contrastRatio(const QColor &, const QColor &) { return 21.0f; }
QColor ensureContrast(const QColor &colour, const QColor &, bool) { return colour; }
QColor readableColor(const QColor &text, const QColor &, const QColor &, float) { return text; }
