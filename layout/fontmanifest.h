#pragma once

#include <QByteArray>
#include <QString>

// One font candidate an importer considered for a book, as kept in the book's
// "fonts/manifest.json" so the font can be registered again when the book is
// opened.
struct FontManifestEntry
{
    QString alias;
    QString cssFamily;         // as the book declares it
    QString resourcePath;      // entry of the book's archive, or a file in its fonts folder
    QString localFamily;       // an installed family named by the book; else empty
    QString obfuscation;       // empty, "idpf", "adobe", or a method that cannot be undone
    QByteArray key;            // XOR key of an obfuscated font
    int prefixLength = 0;      // obfuscated leading bytes
    int weight = 400;
    bool italic = false;
    int candidateOrder = 0;    // lower is preferred
};

namespace FontManifest {

// A larger font is never read: real fonts, CJK ones included, stay far below.
constexpr qint64 MaxFontBytes = 50 * 1024 * 1024;
// All the font data one book may bring into memory when it is opened.
constexpr qint64 MaxBookFontBytes = 200 * 1024 * 1024;

}
