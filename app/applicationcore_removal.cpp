#include "applicationcore.h"
#include "appconfig.h"
#include "bookfolder.h"
#include "bookfolderstage.h"
#include "chapterservice.h"
#include "databaseconnection.h"
#include "keys.h"
#include "novelservice.h"
#include "paths.h"
#include "transaction.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlQuery>
#include <QVector>

#include <chrono>
#include <functional>
#include <future>
#include <optional>

#include <fcntl.h>
#include <sqlite3.h>
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

// Earlier versions' mark: both locations whole.
const QByteArray LegacyMarkText = QByteArrayLiteral("reset\n");
const QByteArray MarkHeader = QByteArrayLiteral("reset 2");
const QByteArray MarkEnd = QByteArrayLiteral("end");
const QString DatabaseFolder = QStringLiteral("db");

// The library a reset was armed for, by the id its file got when first
// opened, and the entries of both locations then. A second program's library
// or books made after the arming are none of these.
struct ResetMark
{
    QByteArray library;   // empty: the library had no id
    QStringList config;
    QStringList data;
    QStringList books;    // the ids stored then; "*": not known
    bool whole = false;   // an earlier version's mark: whatever is there
};

// Every book id the library file names, read without opening it for the
// session; "*" alone when it cannot be read.
QStringList storedBookIds(const QString &databaseFile)
{
    sqlite3 *handle = nullptr;
    sqlite3_stmt *statement = nullptr;
    QStringList ids;
    bool read = sqlite3_open_v2(QFile::encodeName(databaseFile).constData(), &handle, SQLITE_OPEN_READONLY, nullptr)
                    == SQLITE_OK
                && sqlite3_prepare_v2(handle, "SELECT id FROM novel_info", -1, &statement, nullptr) == SQLITE_OK;
    int step = SQLITE_ROW;
    while (read && (step = sqlite3_step(statement)) == SQLITE_ROW)
        ids << QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(statement, 0)));
    read = read && step == SQLITE_DONE;
    sqlite3_finalize(statement);
    sqlite3_close(handle);
    return read ? ids : QStringList{QStringLiteral("*")};
}

QStringList entriesOf(const QString &location)
{
    return BookFolder::kindOf(location) == BookFolder::Kind::Dir ? BookFolder::entryNames(location) : QStringList();
}

QByteArray markText(const ResetMark &mark)
{
    QByteArray text = MarkHeader + "\nlibrary " + mark.library.toPercentEncoding() + '\n';
    for (const QString &name : mark.config)
        text += "config " + name.toUtf8().toPercentEncoding() + '\n';
    for (const QString &name : mark.data)
        text += "data " + name.toUtf8().toPercentEncoding() + '\n';
    for (const QString &id : mark.books)
        text += "book " + id.toUtf8().toPercentEncoding() + '\n';
    return text + MarkEnd + '\n';
}

// Only a whole mark counts: one cut short was written before anything went.
bool parseMark(const QByteArray &text, ResetMark *mark)
{
    if (text == LegacyMarkText) {
        mark->whole = true;
        return true;
    }
    const QList<QByteArray> lines = text.split('\n');
    if (lines.size() < 4 || lines.first() != MarkHeader || !lines.at(1).startsWith("library ")
        || lines.at(lines.size() - 2) != MarkEnd || !lines.last().isEmpty())
        return false;
    mark->library = QByteArray::fromPercentEncoding(lines.at(1).mid(8));
    for (int i = 2; i + 2 < lines.size(); ++i) {
        const QByteArray &line = lines.at(i);
        const QString name = QString::fromUtf8(QByteArray::fromPercentEncoding(line.mid(line.indexOf(' ') + 1)));
        if (line.startsWith("book ")) {
            mark->books << name;
            continue;
        }
        if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..") || name.contains('/'))
            return false;
        if (line.startsWith("config "))
            mark->config << name;
        else if (line.startsWith("data "))
            mark->data << name;
        else
            return false;
    }
    return true;
}

// Written and synced, with the folders that hold it, before anything goes.
// Opened without following a link or waiting on a FIFO, and kept only when
// what was written to is a regular file; anything else at the path is left
// as it is.
bool writeResetMark(const QString &path, const QByteArray &text)
{
    const QString folder = QFileInfo(path).path();
    if (!QDir().mkpath(folder))
        return false;
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    struct stat status;
    const bool regular = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_nlink == 1;
    const bool written = regular && ::ftruncate(fd, 0) == 0
                         && ::write(fd, text.constData(), size_t(text.size())) == text.size() && ::fsync(fd) == 0;
    ::close(fd);
    if (regular && !written)
        BookFolder::removeEntry(path);   // ours, and cut short
    return written && BookFolder::syncFolder(folder) && BookFolder::syncFolder(QFileInfo(folder).path());
}

// The library file goes first, its log before it (a log left beside a new
// file would be read into it), its id last. False when it stays: then
// nothing else goes. A library made after the arming is kept.
bool removeDatabase(const QString &databaseFile, const ResetMark &mark)
{
    const QByteArray found = DatabaseConnection::libraryId();
    if (!mark.whole && found != mark.library)
        return found.isEmpty() ? BookFolder::kindOf(databaseFile) == BookFolder::Kind::Missing : true;
    for (const char *suffix : {"-wal", "-shm", "-journal", ""}) {
        if (!BookFolder::removeEntry(databaseFile + QLatin1String(suffix)))
            return false;
    }
    BookFolder::syncFolder(QFileInfo(databaseFile).path());
    return BookFolder::removeEntry(DatabaseConnection::libraryIdPath());
}

// Deletes what the mark names, the library file first. The mark goes last,
// once the rest is on the disk; when stop() answers true on the way it stays
// for the next start, as it does when the library file cannot be deleted.
// No value when stopped.
std::optional<bool> deleteUnderMark(const QString &configLocation, const QString &dataLocation,
                                    const QString &markPath, ResetMark mark, const std::function<bool()> &stop)
{
    const QString databaseFile = DatabaseConnection::databaseFilePath();
    if (mark.whole) {
        mark.config = entriesOf(configLocation);
        mark.data = entriesOf(dataLocation);
    }
    if (!removeDatabase(databaseFile, mark)) {
        qWarning() << "[ApplicationCore::resetApplication] 无法删除数据库，未删除任何书籍，重置留待下次启动:"
                   << databaseFile;
        return false;
    }
    BookFolder::step("database");
    bool ok = true;
    const auto removeNamed = [&](const QString &location, const QStringList &names) {
        for (const QString &name : names) {
            if (stop())
                return false;
            // The library folder itself goes only emptied: a newer library stays.
            const QString path = BookFolder::join(location, name);
            if (location == configLocation && name == DatabaseFolder)
                QDir().rmdir(path);
            else
                ok = ApplicationCore::removeLocation(path) && ok;
        }
        return true;
    };
    if (!removeNamed(configLocation, mark.config) || !removeNamed(dataLocation, mark.data))
        return std::nullopt;
    QDir().rmdir(configLocation);
    QDir().rmdir(dataLocation);
    BookFolder::syncFolder(configLocation);
    BookFolder::syncFolder(dataLocation);
    BookFolder::syncFolder(QFileInfo(QDir::cleanPath(configLocation)).path());
    BookFolder::syncFolder(QFileInfo(QDir::cleanPath(dataLocation)).path());
    BookFolder::removeEntry(markPath);
    BookFolder::syncFolder(QFileInfo(markPath).path());
    BookFolder::step("unmarked");
    return ok;
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
    const QString markPath = resetMarkPath(configLocation);
    const BookFolder::Kind kind = BookFolder::kindOf(markPath);
    if (kind == BookFolder::Kind::Missing)
        return;
    if (kind != BookFolder::Kind::File) {
        qWarning() << "[ApplicationCore::resetApplication] 重置标记不是普通文件，保留原样:" << markPath;
        return;
    }
    QByteArray text;
    ResetMark mark;
    if (!BookFolder::readSmallFile(markPath, 64 * 1024 * 1024, &text) || !parseMark(text, &mark)) {
        // Cut short while it was written: nothing went under it.
        BookFolder::removeEntry(markPath);
        return;
    }
    // Nothing went yet, and a book came since the arming (a second program's
    // import): the library is in use again and stays whole.
    const QString databaseFile = DatabaseConnection::databaseFilePath();
    const QByteArray library = DatabaseConnection::libraryId();
    if (!mark.whole && !library.isEmpty() && library == mark.library && QFileInfo::exists(databaseFile)
        && !mark.books.contains(QStringLiteral("*"))) {
        QStringList found = storedBookIds(databaseFile);
        for (const QString &name : entriesOf(Paths::dataLocation())) {
            if (isBookId(name) && !mark.data.contains(name))
                found << name;
        }
        for (const QString &id : qAsConst(found)) {
            if (id != QLatin1String("*") && !mark.books.contains(id) && !mark.data.contains(id)) {
                qWarning() << "[ApplicationCore::resetApplication] 重置标记之后书库又有新书，放弃中断的重置:" << id;
                BookFolder::removeEntry(markPath);
                return;
            }
        }
    }
    qInfo() << "[ApplicationCore::resetApplication] 完成上次中断的重置";
    const std::optional<bool> success =
        deleteUnderMark(configLocation, Paths::dataLocation(), markPath, mark, [] { return false; });
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
        const QString markPath = resetMarkPath(configLocation);
        ResetMark mark;
        mark.library = DatabaseConnection::libraryId();
        mark.config = entriesOf(configLocation);
        mark.data = entriesOf(dataLocation);
        mark.books = storedBookIds(DatabaseConnection::databaseFilePath());
        BookFolder::step("marking");
        std::optional<bool> success = false;
        if (writeResetMark(markPath, markText(mark))) {
            BookFolder::step("marked");
            success = deleteUnderMark(configLocation, dataLocation, markPath, mark,
                                      [this] { return backgroundTasks.stopping(); });
        } else {
            qWarning() << "[ApplicationCore::resetApplication] 无法写入重置标记，未删除任何文件:" << markPath;
        }
        if (!success.has_value())
            return;   // stopped: the next start finishes it
        // The session goes on with what the next start has: a new library
        // once the old one went, the old one when it stays. No later task
        // starts before the main thread has reopened it.
        std::promise<void> reopened;
        std::future<void> done = reopened.get_future();
        const bool result = *success;
        QMetaObject::invokeMethod(this, [this, result, &reopened] {
            if (!BookFolder::exists(resetMarkPath(Paths::configLocation())))
                openFreshLibrary();
            qInfo() << "[ApplicationCore::resetApplication] 重置应用结果:" << result;
            emit applicationResetFinished(result);
            reopened.set_value();
        }, Qt::QueuedConnection);
        while (done.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) {
            if (backgroundTasks.stopping())
                return;   // the core is going: the next start opens the new library
        }
    });
}

void ApplicationCore::openFreshLibrary()
{
    DatabaseConnection::close();
    if (!DatabaseConnection::openAndMigrate())
        qCritical() << "[ApplicationCore::resetApplication] 无法建立新的书库:" << DatabaseConnection::openFailure();
    appConfig->reload();
    forgetContentStats(QString());
    userFontIds.clear();
}
