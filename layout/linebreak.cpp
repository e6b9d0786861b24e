#include "linebreak.h"

#include <QTextBoundaryFinder>

namespace {

constexpr uint ZeroWidthJoiner = 0x200D;

}

uint codePointAt(const QString &text, int i)
{
    const QChar c = text.at(i);
    if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate())
        return QChar::surrogateToUcs4(c, text.at(i + 1));
    return c.unicode();
}

uint codePointBefore(const QString &text, int i)
{
    const QChar c = text.at(i - 1);
    if (c.isLowSurrogate() && i >= 2 && text.at(i - 2).isHighSurrogate())
        return QChar::surrogateToUcs4(text.at(i - 2), c);
    return c.unicode();
}

int nextCodePointIndex(const QString &text, int i)
{
    if (i + 1 < text.size() && text.at(i).isHighSurrogate() && text.at(i + 1).isLowSurrogate())
        return i + 2;
    return i + 1;
}

int previousCodePointIndex(const QString &text, int i)
{
    if (i >= 2 && i <= text.size() && text.at(i - 1).isLowSurrogate()
        && text.at(i - 2).isHighSurrogate())
        return i - 2;
    return i - 1;
}

bool isClusterExtender(uint cp)
{
    return (cp >= 0xFE00 && cp <= 0xFE0F) || (cp >= 0x1F3FB && cp <= 0x1F3FF)
        || (cp >= 0xE0100 && cp <= 0xE01EF);
}

int previousClusterStart(const QString &text, int i)
{
    int p = previousCodePointIndex(text, i);
    while (p > 0 && isClusterExtender(codePointAt(text, p)))
        p = previousCodePointIndex(text, p);
    return p;
}

bool isNoBreakBefore(uint cp)
{
    switch (cp) {
    case 0x0021: case 0x0029: case 0x002C: case 0x002E: case 0x003A: case 0x003B:
    case 0x003F: case 0x005D: case 0x007D: case 0x2014: case 0x2019: case 0x201D:
    case 0x2026: case 0x3001: case 0x3002: case 0x3009: case 0x300B: case 0x300D:
    case 0x300F: case 0x3011: case 0x3015: case 0x3017: case 0x3019: case 0x301B:
    case 0x3063: case 0x3083: case 0x3085: case 0x3087: case 0x308E:
    case 0x30C3: case 0x30E3: case 0x30E5: case 0x30E7: case 0x30EE: case 0x30F5:
    case 0x30F6: case 0xFF01: case 0xFF02: case 0xFF07: case 0xFF09: case 0xFF0C:
    case 0xFF1A: case 0xFF1B: case 0xFF1F: case 0xFF3D:
        return true;
    default:
        // Small hiragana and katakana a, i, u, e, o.
        return (cp >= 0x3041 && cp <= 0x3049) || (cp >= 0x30A1 && cp <= 0x30A9);
    }
}

bool isNoBreakAfter(uint cp)
{
    switch (cp) {
    case 0x0028: case 0x005B: case 0x007B: case 0x2018: case 0x201C: case 0x3008:
    case 0x300A: case 0x300C: case 0x300E: case 0x3010: case 0x3014: case 0x3016:
    case 0x3018: case 0x301A: case 0xFF08: case 0xFF3B:
        return true;
    default:
        return false;
    }
}

bool isValidBoundary(const QString &text, int position, QTextBoundaryFinder &finder)
{
    if (position <= 0 || position >= text.size())
        return true;
    finder.setPosition(position);
    if (!finder.isAtBoundary())
        return false;
    const uint next = codePointAt(text, position);
    if (next == ZeroWidthJoiner || codePointBefore(text, position) == ZeroWidthJoiner)
        return false;
    return !isClusterExtender(next);
}

bool canBreakAt(const QString &text, int position, QTextBoundaryFinder &finder)
{
    if (!isValidBoundary(text, position, finder))
        return false;
    if (position <= 0 || position >= text.size())
        return true;
    const uint prev = codePointBefore(text, position);
    const uint next = codePointAt(text, position);
    if (isNoBreakAfter(prev) || isNoBreakBefore(next))
        return false;
    if (prev == next && (prev == 0x2026 || prev == 0x2014 || prev == 0x002E))
        return false;
    return true;
}

int findLineBreak(const QString &text, int start, int end, QTextBoundaryFinder &finder)
{
    if (canBreakAt(text, end, finder))
        return end;

    finder.setPosition(end);
    const int r = finder.isAtBoundary() ? end : finder.toPreviousBoundary();

    // Each walk goes down over the line's own boundaries only, so a paragraph
    // costs time linear in its length.
    for (int p = r; p > start; p = (finder.setPosition(p), finder.toPreviousBoundary())) {
        if (canBreakAt(text, p, finder))
            return p;
    }
    for (int p = r; p > start; p = (finder.setPosition(p), finder.toPreviousBoundary())) {
        if (isValidBoundary(text, p, finder))
            return p;
    }
    finder.setPosition(start);
    for (int p = finder.toNextBoundary(); p >= 0; p = (finder.setPosition(p), finder.toNextBoundary())) {
        if (p > start && isValidBoundary(text, p, finder))
            return p;
    }
    return end;
}

int findLineBreak(const QString &text, int start, int end)
{
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    return findLineBreak(text, start, end, finder);
}
