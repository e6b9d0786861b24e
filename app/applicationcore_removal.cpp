#include "applicationcore.h"
#include "bookfolder.h"
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

#include <functional>
#include <optional>

#include <fcntl.h>
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

// Written and synced, with the folders that hold it, before anything goes.
bool writeResetMark(const QString &mark)
{
    const QString folder = QFileInfo(mark).path();
    if (!QDir().mkpath(folder))
        return false;
    const int fd = ::open(QFile::encodeName(mark).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    const bool written = ::write(fd, ResetMarkText.constData(), size_t(ResetMarkText.size())) == ResetMarkText.size()
                         && ::fsync(fd) == 0;
    ::close(fd);
    return written && BookFolder::syncFolder(folder) && BookFolder::syncFolder(QFileInfo(folder).path());
}

// Only a whole mark counts: one cut short was written before anything went.
bool isResetMark(const QString &mark)
{
    QByteArray text;
    return BookFolder::readSmallFile(mark, ResetMarkText.size(), &text) && text == ResetMarkText;
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
    BookFolder::syncFolder(QFileInfo(QDir::cleanPath(configLocation)).path());
    BookFolder::syncFolder(QFileInfo(QDir::cleanPath(dataLocation)).path());
    BookFolder::removeEntry(mark);
    BookFolder::syncFolder(QFileInfo(mark).path());
    BookFolder::step("unmarked");
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
    if (BookFolder::kindOf(path) != BookFolder::Kind::Dir)
        return BookFolder::removeEntry(path);
    bool ok = true;
    for (const QString &name : BookFolder::entryNames(path)) {
        BookFolder::step("entry");
        ok = BookFolder::removeEntry(BookFolder::join(path, name)) && ok;
    }
    return BookFolder::removeEntry(path) && ok;
}

void ApplicationCore::finishInterruptedReset()
{
    const QString configLocation = Paths::configLocation();
    const QString mark = resetMarkPath(configLocation);
    const BookFolder::Kind kind = BookFolder::kindOf(mark);
    if (kind == BookFolder::Kind::Missing)
        return;
    if (!isResetMark(mark)) {
        // Cut short while it was written: nothing went under it.
        if (kind == BookFolder::Kind::File)
            BookFolder::removeEntry(mark);
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
        BookFolder::step("marking");
        std::optional<bool> success = false;
        if (writeResetMark(mark)) {
            BookFolder::step("marked");
            success = deleteUnderMark(configLocation, dataLocation, mark,
                                      [this] { return backgroundTasks.stopping(); });
        } else {
            // A mark that may not last must not finish a reset later.
            BookFolder::removeEntry(mark);
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
