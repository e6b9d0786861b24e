#pragma once

#include <QString>

// The units a CSS length may carry. The numbers are fixed: stored and compared as ints.
enum class CssUnit {
    Invalid = 0,
    Number = 1,
    Px = 2,
    Pt = 3,
    Em = 4,
    Rem = 5,
    Percent = 6,
    Auto = 7,
};

// A CSS length as written: a number and its unit, not yet resolved to pixels.
struct CssLength
{
    float value = 0.0f;
    CssUnit unit = CssUnit::Invalid;

    // "12px", "1.5em", ".5rem", "-2", "50%", "auto"; anything else is Invalid.
    static CssLength parse(const QString &text);

    bool isSet() const { return unit != CssUnit::Invalid; }

    // Pixels for the given font sizes and percentage reference. Leaves out untouched
    // and returns false for Invalid and Auto.
    bool toPixels(float fontSize, float rootFontSize, float reference, float &out) const;
};
