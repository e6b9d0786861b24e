#pragma once

#include <QString>

// No room left for the files under a folder, for the life of the object.
// Tmpfs: a small tmpfs mounted on the (empty) folder, filled by fill(); it
// needs the right to mount, see isReady(). FileSizeLimit, where mounting is
// refused: fill() lets no file of this process grow any more, which SQLite
// and file copies meet as they meet a full disk.
class FullDisk
{
public:
    enum Kind { Tmpfs, FileSizeLimit };

    FullDisk(Kind kind, const QString &dir);
    ~FullDisk();
    FullDisk(const FullDisk &) = delete;
    FullDisk &operator=(const FullDisk &) = delete;

    bool isReady() const { return m_kind == FileSizeLimit || m_mounted; }
    // Takes the last free byte; true when nothing more can be written. With
    // FileSizeLimit, room lets files grow up to that many bytes, no further.
    bool fill(qint64 room = 0);
    // The room back (the filler gone, the limit lifted); the tmpfs stays.
    void release();

private:
    Kind m_kind;
    QString m_dir;
    bool m_mounted = false;
    bool m_limited = false;
};
