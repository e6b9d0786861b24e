#include "applicationcore.h"
#include "bookfolderstage.h"
#include "chapterservice.h"
#include "databaseconnection.h"
#include "novelservice.h"
#include "paths.h"
#include "transaction.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlQuery>
#include <QVector>

#include <cerrno>
#include <functional>
#include <optional>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct BookToRemove {
    QString id;
    QString dataDir;
};

// Beside the configuration location rather than in it: deleting either
// location leaves it, and the next start finds it before reading anything.
QString resetMarkPath(const QString &configLocation)
{
    return QDir::cleanPath(configLocation) + QStringLiteral(".reset");
}

const QByteArray ResetMarkText = QByteArrayLiteral("reset\n");

void resetStep(const char *name)
{
    if (BookFolderStage::removalStep)
        BookFolderStage::removalStep(name);
}

// Without a final "/", which would make the system follow a link.
QByteArray nativePath(const QString &path)
{
    QByteArray name = QFile::encodeName(path);
    while (name.size() > 1 && name.endsWith('/'))
        name.chop(1);
    return name;
}

bool syncFolder(const QString &dir)
{
    const int fd = ::open(nativePath(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

// A link or file goes itself, a folder after everything in it.
bool removeTree(const QByteArray &path, bool top)
{
    struct stat info;
    if (::lstat(path.constData(), &info) != 0)
        return errno == ENOENT;
    if (!S_ISDIR(info.st_mode))
        return ::unlink(path.constData()) == 0;
    bool ok = true;
    const QStringList names = QDir(QFile::decodeName(path))
                                  .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString &name : names) {
        if (top)
            resetStep("entry");
        ok = removeTree(path + '/' + QFile::encodeName(name), false) && ok;
    }
    return ::rmdir(path.constData()) == 0 && ok;
}

// Written and synced, with the folders that hold it, before anything goes.
bool writeResetMark(const QString &mark)
{
    const QString folder = QFileInfo(mark).path();
    if (!QDir().mkpath(folder))
        return false;
    const int fd = ::open(nativePath(mark).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    const bool written = ::write(fd, ResetMarkText.constData(), size_t(ResetMarkText.size())) == ResetMarkText.size()
                         && ::fsync(fd) == 0;
    ::close(fd);
    return written && syncFolder(folder) && syncFolder(QFileInfo(folder).path());
}

// Only a whole mark counts: one cut short was written before anything went.
bool isResetMark(const QString &mark)
{
    const int fd = ::open(nativePath(mark).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat info;
    char text[16];
    const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    const ssize_t size = regular ? ::read(fd, text, sizeof text) : -1;
    ::close(fd);
    return size >= 0 && QByteArray(text, int(size)) == ResetMarkText;
}

// Deletes both locations under the mark. The mark goes last, once their
// removal is on the disk; when stop() answers true between the two it stays
// for the next start. No value then.
std::optional<bool> deleteUnderMark(const QString &configLocation, const QString &dataLocation,
                                    const QString &mark, const std::function<bool()> &stop)
{
    const bool configRemoved = ApplicationCore::removeLocation(configLocation);
    if (stop())
        return std::nullopt;
    const bool dataRemoved = ApplicationCore::removeLocation(dataLocation);
    if (stop())
        return std::nullopt;
    syncFolder(QFileInfo(QDir::cleanPath(configLocation)).path());
    syncFolder(QFileInfo(QDir::cleanPath(dataLocation)).path());
    ::unlink(nativePath(mark).constData());
    syncFolder(QFileInfo(mark).path());
    resetStep("unmarked");
    return configRemoved && dataRemoved;
}

}

bool ApplicationCore::removeLocation(const QString &path)
{
    // An empty QDir is the current directory.
    if (path.isEmpty()) {
        qWarning() << "[ApplicationCore::resetApplication] 路径为空，拒绝删除";
        return false;
    }
    return removeTree(nativePath(path), true);
}

void ApplicationCore::finishInterruptedReset()
{
    const QString configLocation = Paths::configLocation();
    const QString mark = resetMarkPath(configLocation);
    struct stat info;
    if (::lstat(nativePath(mark).constData(), &info) != 0)
        return;
    if (!isResetMark(mark)) {
        // Cut short while it was written: nothing went under it.
        if (S_ISREG(info.st_mode))
            ::unlink(nativePath(mark).constData());
        return;
    }
    qInfo() << "[ApplicationCore::resetApplication] 完成上次中断的重置";
    const std::optional<bool> success =
        deleteUnderMark(configLocation, Paths::dataLocation(), mark, [] { return false; });
    qInfo() << "[ApplicationCore::resetApplication] 重置应用结果:" << success.value_or(false);
}

void ApplicationCore::removeNovel(const QList<QObject *> &bookList)
{
    // The QML objects are read here, on the main thread; the task only gets strings.
    QVector<BookToRemove> books;
    books.reserve(bookList.size());
    for (QObject *object : bookList) {
        BookToRemove book;
        if (object) {
            book.id = object->property("id").toString();
            book.dataDir = object->property("dataDir").toString();
        }
        books.append(book);
    }
    if (books.isEmpty())
        return;
    backgroundTasks.post([this, books] {
        for (const BookToRemove &book : books) {
            if (backgroundTasks.stopping())
                return;
            qInfo() << "[ApplicationCore::removeNovel] 移除小说：" << book.id << "小说路径："
                    << book.dataDir;
            if (book.id.isEmpty())
                continue;   // no row has an empty id
            const QString dir = NovelService::ownDataDir(book.dataDir, book.id);
            const auto rows = [this, &book] { return removeBookRows(book.id); };
            // The folder goes only with the rows: a book whose rows stay keeps
            // it. Each step logs its own failure.
            if (dir.isEmpty())
                rows();
            else
                BookFolderStage::removeBook(dir, book.id, rows);
            forgetContentStats(book.id);
        }
    });
}

bool ApplicationCore::removeBookRows(const QString &novelId)
{
    QSqlDatabase db = DatabaseConnection::database();
    // The folder is deleted right after this commit: it must outlast a power
    // loss, which the connection's usual syncing does not promise.
    QSqlQuery(db).exec(QStringLiteral("PRAGMA synchronous=FULL"));
    bool removed = false;
    {
        Transaction transaction(db);
        removed = transaction.isActive() && novelService->removeReadProcess(novelId)
                  && novelService->removeNovel(novelId);
        if (removed && BookFolderStage::removalStep)
            BookFolderStage::removalStep("rows");
        removed = removed && chapterService->removeByNovelId(novelId) && transaction.commit();
        if (!removed && transaction.isActive())
            transaction.rollback();
    }
    QSqlQuery(db).exec(QStringLiteral("PRAGMA synchronous=NORMAL"));
    if (!removed)
        qWarning() << "[ApplicationCore::removeNovel] 删除书籍记录失败，已回滚：" << novelId;
    return removed;
}

void ApplicationCore::resetApplication()
{
    qInfo() << "[ApplicationCore::resetApplication] 开始重置应用";
    const QString configLocation = Paths::configLocation();
    const QString dataLocation = Paths::dataLocation();

    backgroundTasks.post([this, configLocation, dataLocation] {
        if (backgroundTasks.stopping())
            return;
        const QString mark = resetMarkPath(configLocation);
        resetStep("marking");
        std::optional<bool> success = false;
        if (writeResetMark(mark)) {
            resetStep("marked");
            success = deleteUnderMark(configLocation, dataLocation, mark,
                                      [this] { return backgroundTasks.stopping(); });
        } else {
            // A mark that may not last must not finish a reset later.
            ::unlink(nativePath(mark).constData());
            qWarning() << "[ApplicationCore::resetApplication] 无法写入重置标记，未删除任何文件:" << mark;
        }
        if (!success.has_value())
            return;   // stopped: the next start finishes it
        forgetContentStats(QString());
        if (backgroundTasks.stopping())
            return;
        qInfo() << "[ApplicationCore::resetApplication] 重置应用结果:" << *success;
        emit applicationResetFinished(*success);
    });
}
