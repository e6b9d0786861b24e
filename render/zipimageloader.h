#pragma once

#include <QByteArray>
#include <QString>

// Reads single entries of ZIP files (EPUB images, CBZ pages) through minizip.
// Open files stay in a process-wide cache of at most three handles, each
// with its central directory indexed once, so reading a whole book costs one
// directory pass. Thread-safe; calls are serialised by the cache's mutex.
class ZipImageLoader
{
public:
    // Entries are read whole; anything larger is refused.
    static constexpr qint64 kMaxEntryBytes = 52428800;

    // raw: entryName is the Base64 text of the stored name bytes; otherwise
    // the name itself, matched as UTF-8. Empty bytes on every failure.
    static QByteArray readEntry(const QString &zipPath, const QString &entryName, bool raw);

    // A stored name as text: UTF-8 when flagged or valid, else GBK (what
    // Chinese Windows tools write), decided from the bytes, never the locale.
    static QString displayName(const QByteArray &raw, bool utf8Flag = false);

    // Closes and forgets the cached handle of zipPath, if any.
    static void releaseZip(const QString &zipPath);

private:
    ZipImageLoader() = delete;
};
