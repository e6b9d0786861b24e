#include "bookfolderstage.h"

#include "bookfolder.h"

#include <QDebug>
#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace BookFolder;

bool BookFolderStage::markRemoved(const QString &dir, const QString &bookId)
{
    const QByteArray name = QFile::encodeName(join(dir, QLatin1String(RemovedName)));
    const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const QByteArray text = bookId.toLatin1() + '\n';
    struct stat info;
    const bool written = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)
                         && ::write(fd, text.constData(), size_t(text.size())) == text.size()
                         && ::fsync(fd) == 0;
    ::close(fd);
    return written && syncFolder(dir);
}

void (*BookFolderStage::removalStep)(const char *step) = nullptr;

bool BookFolderStage::removeBook(const QString &dir, const QString &bookId, const std::function<bool()> &removeRows)
{
    const QString folder = join(dir, QString());
    step("locking");
    bool held = false;
    std::unique_ptr<QLockFile> lock = lockFile(folder + QLatin1String(LockName), &held);
    std::unique_ptr<QLockFile> archiveLock = lock ? lockFile(folder + QLatin1String(BookFolderStage::ArchiveLockName), &held) : nullptr;
    if (!archiveLock) {
        qWarning().noquote() << (held ? "[BookFolderStage] 书籍正在导入，不能移除:" : "[BookFolderStage] 书籍目录无法加锁，不能移除:")
                             << dir;
        return false;
    }
    const QString marker = folder + QLatin1String(RemovedName);
    if (!markRemoved(folder, bookId)) {
        qWarning().noquote() << "[BookFolderStage] 无法写入移除标记，不能移除:" << dir;
        removeEntry(marker);
        return false;
    }
    step("marked");
    if (!removeRows()) {
        // A mark left by a kill here is cleared at the next start: the rows are there.
        removeEntry(marker);
        return false;
    }
    step("committed");
    if (removeFolder(folder, std::move(lock), std::move(archiveLock)))
        return true;
    qWarning().noquote() << "[BookFolderStage] 书籍目录未能删除完，下次启动时删除:" << dir;
    return false;
}
