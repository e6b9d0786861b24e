#pragma once

#include <QString>

class QTextBoundaryFinder;

// Code-point stepping and the line-break search that keeps Chinese and
// Japanese punctuation off the wrong end of a line. Pure functions.

// Code points over UTF-16: a high surrogate followed by a low one is one code
// point, an unpaired surrogate stands for itself.
uint codePointAt(const QString &text, int i);
uint codePointBefore(const QString &text, int i);
int nextCodePointIndex(const QString &text, int i);
int previousCodePointIndex(const QString &text, int i);

// Variation selectors and skin-tone modifiers.
bool isClusterExtender(uint codePoint);
// Start of the code point before i, stepping back over cluster extenders.
int previousClusterStart(const QString &text, int i);

// Closing punctuation and small kana that must not open a line.
bool isNoBreakBefore(uint codePoint);
// Opening brackets and quotes that must not close a line.
bool isNoBreakAfter(uint codePoint);

// The finder is a grapheme finder over text; callers that test many
// positions of one text build it once.
bool isValidBoundary(const QString &text, int position, QTextBoundaryFinder &finder);
bool canBreakAt(const QString &text, int position, QTextBoundaryFinder &finder);

// Where a line covering [start, end) should end: end when a break is allowed
// there, else the last allowed break inside the line, else the last grapheme
// boundary, else the first one after start (which may lie beyond end).
int findLineBreak(const QString &text, int start, int end, QTextBoundaryFinder &finder);
int findLineBreak(const QString &text, int start, int end);
