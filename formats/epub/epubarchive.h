#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>

#include <unzip.h>


// One open EPUB (ZIP) file. Entry names are indexed once when the archive
// opens, so every lookup afterwards is a hash hit instead of a walk over the
// central directory.
class EpubArchive
{
public:
    // Larger entries are refused: no document of a book needs more.
    static constexpr qint64 MaxEntrySize = 10 * 1024 * 1024;

    explicit EpubArchive(const QString &filePath);
    ~EpubArchive();
    EpubArchive(const EpubArchive &) = delete;
    EpubArchive &operator=(const EpubArchive &) = delete;

    bool isOpen() const { return m_zip != nullptr; }
    bool contains(const QString &entryPath) const;
    // Entry names in central-directory order.
    const QStringList &entryNames() const { return m_names; }

    // The bytes of one entry (exact, case-sensitive name), or empty when it is
    // missing, empty, larger than MaxEntrySize, damaged or of another method.
    QByteArray readEntry(const QString &entryPath);
    // The entry decoded by its mark or declared encoding; a null string on failure.
    QString readText(const QString &entryPath);

private:
    unzFile m_zip = nullptr;
    QStringList m_names;
    QHash<QByteArray, unz64_file_pos> m_positions;
};

// Why an entry read gave no bytes.
enum class ZipEntryStatus { Ok, Empty, TooLarge, Unsupported, Damaged };

// The current entry of an open archive, whole and checked: stored or deflated
// (the system's minizip decodes nothing else, and would hand back bzip2 data
// still compressed), inflated to exactly the size the directory declares, its
// CRC matching. Null unless the status is Ok.
QByteArray readCurrentZipEntry(unzFile zip, qint64 maxBytes, ZipEntryStatus *status = nullptr);

// An href of a book document turned into an archive path: the "#" and "?"
// parts dropped, percent-escapes decoded, then taken from the archive root
// (leading "/") or from the directory of basePath. Absolute URLs give an empty
// path.
QString resolveEpubHref(const QString &href, const QString &basePath);

// The href's fragment after the first "#", percent-decoded; empty when none.
QString epubHrefAnchor(const QString &href);
