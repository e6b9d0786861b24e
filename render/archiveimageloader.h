#pragma once

#include <QByteArray>
#include <QString>

struct archive_entry;

// An image source split into its container file and the entry inside it.
// Both empty: not this scheme, or malformed.
struct EntryRef
{
    QString containerPath;
    QString entryName;
};

// Reads single entries of any archive libarchive understands (RAR, 7z, tar,
// ...), for "archive://" sources. Reading is sequential: a process-wide cache
// of at most three open archives keeps each positioned after the entry read
// last, so pages read in order cost one pass. Thread-safe; calls are
// serialised by the cache's mutex.
class ArchiveImageLoader
{
public:
    static constexpr qint64 kMaxEntryBytes = 52428800;

    // "zip://path::entry" (split at the first "::") and
    // "zipraw://path::base64" (split at the last: Base64 holds no ':').
    static EntryRef parseZipUrl(const QString &source);
    // "archive://path::base64(utf-8 path)", split at the last "::".
    static EntryRef parseArchiveUrl(const QString &source);

    // entryName is the normalised path ("a/b.png"). Empty bytes on failure.
    static QByteArray readEntry(const QString &archivePath, const QString &entryName);

    // The entry's path as written, decoded, with "\" as "/" and leading "./"
    // dropped; normalised, its parts joined again without empty ones.
    static QString writtenPath(struct archive_entry *entry);
    static QString writtenPath(QString name);
    static QString normalisedPath(struct archive_entry *entry);

    // Drops the cached ZIP and archive handles of path, e.g. before the file
    // is rewritten.
    static void releaseArchive(const QString &path);

private:
    ArchiveImageLoader() = delete;
};
