#pragma once

#include <QString>
#include <QVariantList>
#include <QVariantMap>

// Reading the package description and change log that are installed with the
// program. The readers take a path so that any file can be fed to them.
namespace AppInfo {

// Where the installed files are: $QUILLORA_DATA_ROOT, else the installed
// share folder, else the source tree's packaging folder.
QString specFilePath();
QString changesFilePath();

// "name", "summary", "version", "release", "license", "url", "requires" from
// the "Tag: value" lines of a package description; empty when unreadable.
QVariantMap readPackageInfo(const QString &path);

// Versions in file order, each {"version", "date", "items": [{"zh", "en"}]};
// empty when unreadable.
QVariantList readChangelog(const QString &path);

// Keeps the first non-empty description for the rest of the process, so the
// file is read until it once yields something and never again.
class PackageInfoCache
{
public:
    QVariantMap get(const QString &path);

private:
    QVariantMap m_kept;
};

}
