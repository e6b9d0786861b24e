#pragma once

#include <QMap>
#include <QString>

// One declared value: trimmed, without its !important marker, letter case kept.
struct CssDeclaration
{
    QString value;
    bool important = false;
};

// A parsed declaration block: lower-case property name to its declaration. Values stay
// text until they are used. Implicitly shared, so the rules of one selector group share
// one block.
using CssDeclarations = QMap<QString, CssDeclaration>;
