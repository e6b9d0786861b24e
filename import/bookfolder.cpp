#include "bookfolder.h"

#include "bookfolderstage.h"

#include <QDebug>
#include <QDir>
#include <QFile>

#include <cerrno>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QDir::Filters AllEntries = QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot;

// Without a final "/", which would make the system follow a link.
QByteArray nativePath(const QString &path)
{
    QByteArray name = QFile::encodeName(path);
    while (name.size() > 1 && name.endsWith('/'))
        name.chop(1);
    return name;
}

// A process killed while making its lock leaves the file empty: naming no
// owner, it would never turn stale. Nobody holds its native lock then.
void clearOwnerlessLock(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return;
    struct stat info;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size == 0
        && ::flock(fd, LOCK_EX | LOCK_NB) == 0)
        ::unlink(name.constData());
    ::close(fd);
}

}

namespace BookFolder {

QString join(const QString &dir, const QString &name)
{
    return dir.endsWith(QLatin1Char('/')) ? dir + name : dir + QLatin1Char('/') + name;
}

bool isControlName(const QString &name)
{
    return name.startsWith(QLatin1String(".import")) || name == QLatin1String(BookFolderStage::ArchiveLockName)
           || name == QLatin1String(BookFolderStage::ArchiveMarkerName);
}

Kind kindOf(const QString &path)
{
    struct stat info;
    if (::lstat(nativePath(path).constData(), &info) != 0)
        return errno == ENOENT ? Kind::Missing : Kind::Other;
    if (S_ISREG(info.st_mode))
        return Kind::File;
    if (S_ISDIR(info.st_mode))
        return Kind::Dir;
    return S_ISLNK(info.st_mode) ? Kind::Link : Kind::Other;
}

bool exists(const QString &path)
{
    return kindOf(path) != Kind::Missing;
}

QStringList entryNames(const QString &dir)
{
    return QDir(dir).entryList(AllEntries, QDir::Name);
}

bool removeEntry(const QString &path)
{
    const QByteArray name = nativePath(path);
    switch (kindOf(path)) {
    case Kind::Missing:
        return true;
    case Kind::Dir: {
        bool ok = true;
        for (const QString &entry : entryNames(path))
            ok = removeEntry(join(path, entry)) && ok;
        return ::rmdir(name.constData()) == 0 && ok;
    }
    default:
        return ::unlink(name.constData()) == 0;
    }
}

bool moveEntry(const QString &from, const QString &to)
{
    return removeEntry(to) && QDir().rename(from, to);
}

bool moveIn(const QString &from, const QString &to)
{
    const Kind kind = kindOf(from);
    if (kind != Kind::File && kind != Kind::Dir)
        return removeEntry(from);
    return QDir().rename(from, to);
}

bool dropLinks(const QString &dir)
{
    bool ok = true;
    for (const QString &name : entryNames(dir)) {
        const QString path = join(dir, name);
        const Kind kind = kindOf(path);
        if (kind == Kind::Dir)
            ok = dropLinks(path) && ok;
        else if (kind != Kind::File)
            ok = removeEntry(path) && ok;
    }
    return ok;
}

bool ensureDir(const QString &path)
{
    const Kind kind = kindOf(path);
    return kind == Kind::Dir || (kind == Kind::Missing && QDir().mkdir(path));
}

bool readSmallFile(const QString &path, qint64 limit, QByteArray *bytes)
{
    // Neither a link followed nor a FIFO waited on: only a regular file is read.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat status;
    QFile file;
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size > limit
        || !file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    *bytes = file.read(limit + 1);
    return bytes->size() <= limit;
}

bool readEdition(const QString &stageDir, Edition *edition)
{
    QByteArray bytes;
    if (!readSmallFile(join(stageDir, QLatin1String(BookFolderStage::EditionName)), 16 * 1024 * 1024, &bytes))
        return false;
    const QList<QByteArray> lines = bytes.split('\n');
    if (lines.size() < 2 || lines.first().isEmpty() || !lines.last().isEmpty())
        return false;
    edition->token = QString::fromUtf8(lines.first());
    for (int i = 1; i + 1 < lines.size(); ++i) {
        const QByteArray &name = lines.at(i);
        // Entries of the book's folder: never a path, nor the folder itself.
        if (name == "." || name == ".." || name.contains('/'))
            return false;
        if (!name.isEmpty())
            edition->names.insert(QString::fromUtf8(name));
    }
    return true;
}

void step(const char *name)
{
    if (BookFolderStage::removalStep)
        BookFolderStage::removalStep(name);
}

bool removeFolder(const QString &dir, std::unique_ptr<QLockFile> lock, std::unique_ptr<QLockFile> archiveLock)
{
    bool ok = true;
    for (const QString &name : entryNames(dir)) {
        if (name != QLatin1String(BookFolderStage::LockName) && name != QLatin1String(BookFolderStage::ArchiveLockName)
            && name != QLatin1String(BookFolderStage::RemovedName)) {
            step("entry");
            ok = removeEntry(join(dir, name)) && ok;
        }
    }
    step("entry");
    if (!ok || !removeEntry(join(dir, QLatin1String(BookFolderStage::RemovedName))))
        return false;
    step("unmarked");
    lock.reset();
    archiveLock.reset();
    return QDir().rmdir(dir);
}

bool syncFolder(const QString &dir)
{
    const int fd = ::open(nativePath(dir).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

}

using namespace BookFolder;

bool BookFolderStage::isArchivePagesName(const QString &name)
{
    return name.startsWith(QLatin1String(ArchivePagesPrefix), Qt::CaseInsensitive)
           || name.compare(QLatin1String(ArchivePagesBackupName), Qt::CaseInsensitive) == 0;
}

std::unique_ptr<QLockFile> BookFolderStage::lockFile(const QString &path, bool *heldElsewhere)
{
    if (heldElsewhere)
        *heldElsewhere = false;
    // Opening a FIFO would wait for a writer, a link may lead anywhere.
    const Kind kind = kindOf(path);
    if (kind != Kind::File && kind != Kind::Missing) {
        const QByteArray name = nativePath(path);
        struct stat info;
        const bool removable = ::lstat(name.constData(), &info) == 0
                               && (S_ISLNK(info.st_mode) || S_ISFIFO(info.st_mode) || S_ISDIR(info.st_mode));
        if (!removable || (S_ISDIR(info.st_mode) ? ::rmdir(name.constData()) : ::unlink(name.constData())) != 0) {
            qWarning().noquote() << "[BookFolderStage] 导入锁不是普通文件，跳过:" << path;
            return nullptr;
        }
    }
    clearOwnerlessLock(path);
    std::unique_ptr<QLockFile> lock(new QLockFile(path));
    // A live owner's lock never turns stale, however long its import takes.
    lock->setStaleLockTime(0);
    if (!lock->tryLock(0)) {
        if (heldElsewhere)
            *heldElsewhere = lock->error() == QLockFile::LockFailedError;
        lock.reset();
    }
    return lock;
}
