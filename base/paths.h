#pragma once

#include <QByteArray>
#include <QString>

// Locations under Qt's writable application folders. They follow from the
// organisation and application names set at start-up.
namespace Paths {

// The writable application-configuration location.
QString configLocation();

// The writable application-data location.
QString dataLocation();

// "<data>/<book id>/", always with the final "/": where a book's files live.
QString bookDataDir(const QString &bookId);

// Removes dir, a book's data folder, with everything in it; refuses any path
// that is not a folder directly inside the data location. For a failed import that created the folder:
// an older folder belongs to a book still in the library.
bool removeBookDataDir(const QString &dir);

// "<config>/config/appSettings.conf": the one settings file.
QString settingsFile();

// Writes the whole file through QSaveFile: a failed write leaves any earlier
// file as it was.
bool writeFile(const QString &path, const QByteArray &bytes);

}
