#pragma once

#include <QMap>
#include <QString>

// One declared value: trimmed, without its !important marker, letter case kept.
struct CssDeclaration
{
    QString value;
    bool important = false;
};

inline bool operator==(const CssDeclaration &a, const CssDeclaration &b)
{
    return a.important == b.important && a.value == b.value;
}

// A parsed declaration block: lower-case property name to its declaration. Values stay
// text until they are used. Implicitly shared, so the rules of one selector group share
// one block.
using CssDeclarations = QMap<QString, CssDeclaration>;
