#pragma once

#include <QHash>
#include <QString>
#include <QVariantList>
#include <QVariantMap>

class FontDao;

// Font files the user imports as reading fonts: copied into the application's
// "font" folder, registered with the application font database for the life
// of the process and recorded in font_info.
namespace UserFonts {

// Larger files are not taken as fonts: the check loads the whole file.
constexpr qint64 MaxFontFileSize = 64 * 1024 * 1024;

// "<data>/font"
QString fontDirectory();

// "name", "family", "style", "type", "size", "modified", "directory"; empty
// when the path is not a readable ".ttf"/".otf" font (any case) of at most
// MaxFontFileSize bytes. Reads the file and nothing else.
QVariantMap fontMetadata(const QString &path);

struct ImportResult
{
    bool success = false;
    QString message; // translated, for the user
};

// Copies, registers and records one font; on failure nothing of it stays
// behind (no stored file, no registration, no row). registered maps stored
// font paths to their application font ids.
ImportResult importFont(const QString &path, FontDao &dao, QHash<QString, int> &registered);

// One map per saved font ("id", "name", "family", "style", "path", "size",
// "type"), ordered by name without regard to case.
QVariantList importedFonts(FontDao &dao);

// Registers every saved font not yet in registered; a file that fails to load
// is logged and stays listed.
void registerSavedFonts(FontDao &dao, QHash<QString, int> &registered);

}
