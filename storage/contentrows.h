#pragma once

#include <QString>

// Shared by the unified content tables, whose inserts run once per row of a
// whole book.

// A fresh random UUID without braces: 36 lower-case hexadecimal characters
// in groups 8-4-4-4-12.
QString newContentRowId();

// currentTimeString(), formatted again only when the second changes: asking
// for the local time costs a time-zone lookup, once per call is too much for
// an import that stores a paragraph's chunks with one call each.
QString contentTimeString();
