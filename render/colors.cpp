#include "colors.h"

#include <QRegularExpression>
#include <QStringList>

#include <cmath>

namespace {

// WCAG 2 relative luminance; the colour's alpha is ignored.
float luminance(const QColor &c)
{
    auto channel = [](int value) {
        const float v = value / 255.0f;
        return v <= 0.03928f ? v / 12.92f : std::pow((v + 0.055f) / 1.055f, 2.4f);
    };
    return 0.2126f * channel(c.red()) + 0.7152f * channel(c.green())
           + 0.0722f * channel(c.blue());
}

int roundHalfUp(double value) { return int(std::floor(value + 0.5)); }

bool isHexDigits(const QString &text)
{
    for (const QChar ch : text) {
        const ushort u = ch.unicode();
        if (!((u >= '0' && u <= '9') || (u >= 'a' && u <= 'f') || (u >= 'A' && u <= 'F')))
            return false;
    }
    return !text.isEmpty();
}

// "#rgba" and "#rrggbbaa" in CSS order (alpha last); QColor reads the
// eight-digit form as #aarrggbb, so both are decoded here.
bool parseHexWithAlpha(const QString &digits, QColor *out)
{
    if ((digits.size() != 4 && digits.size() != 8) || !isHexDigits(digits))
        return false;
    bool ok = false;
    const uint v = digits.toUInt(&ok, 16);
    if (!ok)
        return false;
    if (digits.size() == 4)
        *out = QColor(int((v >> 12) & 0xf) * 17, int((v >> 8) & 0xf) * 17,
                      int((v >> 4) & 0xf) * 17, int(v & 0xf) * 17);
    else
        *out = QColor(int((v >> 24) & 0xff), int((v >> 16) & 0xff), int((v >> 8) & 0xff),
                      int(v & 0xff));
    return true;
}

bool parseNumber(const QString &text, double *out)
{
    bool ok = false;
    *out = text.trimmed().toDouble(&ok);
    return ok;
}

// One rgb() channel: "n%" or a base-10 integer, clamped to 0..255.
bool parseRgbChannel(const QString &arg, int *out)
{
    const QString text = arg.trimmed();
    if (text.endsWith(QLatin1Char('%'))) {
        bool ok = false;
        const float p = text.left(text.size() - 1).trimmed().toFloat(&ok);
        if (!ok)
            return false;
        *out = p > 100.0f ? 255 : p > 0.0f ? roundHalfUp(double(p) * 2.55) : 0;
        return true;
    }
    bool ok = false;
    const int value = text.toInt(&ok, 10);
    if (!ok)
        return false;
    *out = qBound(0, value, 255);
    return true;
}

// Saturation or lightness: one optional "%", always read as a percentage.
bool parseFraction(const QString &arg, double *out)
{
    QString text = arg.trimmed();
    if (text.endsWith(QLatin1Char('%')))
        text.chop(1);
    double value = 0;
    if (!parseNumber(text, &value))
        return false;
    *out = qBound(0.0, value / 100.0, 1.0);
    return true;
}

QColor hslOf(const QColor &colour, qreal lightness)
{
    qreal h, s, l, a;
    colour.getHslF(&h, &s, &l, &a);
    return QColor::fromHslF(h < 0 ? 0 : h, s, qBound<qreal>(0, lightness, 1), a);
}

// Smallest of ten bisection steps from the colour's lightness towards `end`
// that passes `good`; the full move when none does.
template<typename Test>
QColor moveLightness(const QColor &colour, qreal end, Test good)
{
    qreal h, s, l, a;
    colour.getHslF(&h, &s, &l, &a);
    if (h < 0)
        h = 0;
    qreal lo = 0, hi = 1;
    for (int step = 0; step < 10; ++step) {
        const qreal mid = (lo + hi) * 0.5;
        if (good(QColor::fromHslF(h, s, l + mid * (end - l), a)))
            hi = mid;
        else
            lo = mid;
    }
    return QColor::fromHslF(h, s, l + hi * (end - l), a);
}

} // namespace

QColor parseCssColor(const QString &text)
{
    const QString s = text.trimmed().toLower();
    if (s.isEmpty())
        return QColor();
    if (s == QLatin1String("transparent"))
        return QColor(0, 0, 0, 0);
    if (s.startsWith(QLatin1Char('#'))) {
        QColor hex;
        if (parseHexWithAlpha(s.mid(1), &hex))
            return hex;
    }

    static const QRegularExpression function(QStringLiteral("^(rgba?|hsla?)\\((.*)\\)$"),
                                             QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = function.match(s);
    if (!match.hasMatch()) {
        QColor named;
        named.setNamedColor(s);
        return named;
    }

    const QStringList args = match.captured(2).split(QRegularExpression(QStringLiteral("\\s*,\\s*")),
                                                     Qt::SkipEmptyParts);
    const QString fn = match.captured(1).toLower();
    double alpha = 1.0;
    if (fn.endsWith(QLatin1Char('a'))) {
        if (args.size() != 4)
            return QColor();
        QString last = args.at(3).trimmed();
        const bool percent = last.endsWith(QLatin1Char('%'));
        if (percent)
            last.chop(1);
        if (!parseNumber(last, &alpha))
            return QColor();
        alpha = qBound(0.0, percent ? alpha / 100.0 : alpha, 1.0);
    } else if (args.size() != 3) {
        return QColor();
    }

    if (fn.startsWith(QLatin1String("rgb"))) {
        int rgb[3];
        for (int i = 0; i < 3; ++i) {
            if (!parseRgbChannel(args.at(i), &rgb[i]))
                return QColor();
        }
        QColor colour(rgb[0], rgb[1], rgb[2]);
        colour.setAlphaF(alpha);
        return colour;
    }

    double hue = 0, saturation = 0, lightness = 0;
    if (!parseNumber(args.at(0), &hue) || !parseFraction(args.at(1), &saturation)
        || !parseFraction(args.at(2), &lightness))
        return QColor();
    hue = std::fmod(hue, 360.0);
    if (hue < 0)
        hue += 360.0;
    return QColor::fromHslF(hue / 360.0, saturation, lightness, alpha);
}

QColor blendColor(const QColor &fg, const QColor &bg)
{
    if (!fg.isValid() || fg.alpha() == 0)
        return bg;
    if (!bg.isValid() || bg.alpha() == 0)
        return fg;
    const double af = fg.alphaF();
    const double ab = bg.alphaF();
    const double a = ab * (1 - af) + af;
    if (a <= 0)
        return QColor();
    auto mix = [&](int b, int f) { return roundHalfUp((b * ab * (1 - af) + f * af) / a); };
    QColor out(mix(bg.red(), fg.red()), mix(bg.green(), fg.green()), mix(bg.blue(), fg.blue()));
    out.setAlphaF(a);
    return out;
}

float contrastRatio(const QColor &fg, const QColor &bg)
{
    const float a = luminance(blendColor(fg, bg));
    const float b = luminance(bg);
    return (qMax(a, b) + 0.05f) / (qMin(a, b) + 0.05f);
}

QColor ensureContrast(const QColor &colour, const QColor &background, bool darkTheme)
{
    if (!colour.isValid() || colour.alpha() == 0 || colour.rgba() == background.rgba())
        return colour;
    const QColor page = background.isValid() ? background
                                             : (darkTheme ? QColor(Qt::black) : QColor(Qt::white));
    const bool dark = luminance(page) < 0.5f;
    const float threshold = dark ? 0.18f : 0.82f;
    auto meets = [&](const QColor &candidate) {
        const float l = luminance(blendColor(candidate, page));
        return dark ? l <= threshold : l >= threshold;
    };
    if (meets(colour))
        return colour;
    return moveLightness(colour, dark ? 0 : 1, meets);
}

QColor readableColor(const QColor &text, const QColor &background, const QColor &fallback,
                     float minRatio)
{
    if (!text.isValid())
        return fallback;
    if (text.alpha() == 0 || text.rgba() == fallback.rgba())
        return text;
    if (contrastRatio(text, background) >= minRatio)
        return text;
    const qreal end = contrastRatio(Qt::white, background) >= contrastRatio(Qt::black, background)
                          ? 1 : 0;
    auto meets = [&](const QColor &candidate) {
        return contrastRatio(candidate, background) >= minRatio;
    };
    if (!meets(hslOf(text, end)))
        return fallback;
    return moveLightness(text, end, meets);
}
