#pragma once

#include "fontfacerule.h"
#include "fontmanifest.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>
#include <QVector>

#include <functional>

// How one resource of the book is obfuscated, from META-INF/encryption.xml.
struct EpubObfuscation
{
    QString method;     // "idpf", "adobe", "unsupported"; empty: plain
    QByteArray key;
    int length = 0;     // leading bytes XORed
};

// The book's embedded fonts: the obfuscation table and the registration of
// its @font-face rules with the font registry.
namespace EpubFonts {

// Font files read from one book; later sources are recorded, never read.
constexpr int MaxFontSources = 64;

// SHA-1 of the identifier without any white space; empty for a blank one.
QByteArray idpfKey(const QString &uniqueId);
// The 16 bytes of a UUID identifier ("urn:uuid:", braces and hyphens
// allowed); empty when it is no UUID.
QByteArray adobeKey(const QString &uniqueId);

// Archive path to obfuscation, from the text of META-INF/encryption.xml.
QMap<QString, EpubObfuscation> readEncryption(const QString &xml, const QString &uniqueId);

// What registration needs of the book.
struct Book
{
    QString bookId;
    QString opfPath;
    QMap<QString, QString> styleTexts;          // style path to CSS text
    QMap<QString, EpubObfuscation> obfuscation;
    // An href seen from a style path to its archive entry, empty when none.
    std::function<QString(const QString &href, const QString &stylePath)> lookup;
    // The bytes of a font entry; empty when missing or too large.
    std::function<QByteArray(const QString &entry)> read;
};

// Replaces the registry's fonts with the book's and returns the manifest
// records of every source considered, in order.
QList<FontManifestEntry> registerFonts(const Book &book);

// Writes the book's font manifest, or removes it when there is nothing to keep.
void writeManifest(const QString &dataDir, const QString &sourcePath,
                   const QList<FontManifestEntry> &entries);

}
