#pragma once

#include <QString>

// Keeps what a book's data folder holds while the book is imported again, so
// a failed import leaves the folder as it was. The files are hard-linked
// (copied where the file system has no links) into a hidden sub-folder; the
// import replaces files by writing new ones, never in place, so the kept
// links hold the old contents.
class BookFolderBackup
{
public:
    BookFolderBackup() = default;
    // Callers that never finish an import take its files as they are.
    ~BookFolderBackup() { discard(); }
    BookFolderBackup(const BookFolderBackup &) = delete;
    BookFolderBackup &operator=(const BookFolderBackup &) = delete;

    // Keeps every file of the folder. False (and nothing kept) when a file
    // could not be kept.
    bool keep(const QString &dataDir);
    // Puts the folder back as it was kept: what the import wrote goes.
    bool restore();
    // The import succeeded: the kept files go.
    void discard();

    // The folder kept, or empty.
    QString dataDir() const { return m_dataDir; }

    static constexpr const char *FolderName = ".import-backup";

private:
    QString m_dataDir;
};
