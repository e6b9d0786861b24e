#include "databaseconnection.h"
#include "databasemigrator.h"
#include "paths.h"
#include "transaction.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>
#include <QThreadStorage>
#include <QUuid>

#include <sqlite3.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

namespace {

QString busyTimeoutOption(int ms)
{
    return QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(ms);
}

int onCommit(void *, sqlite3 *, const char *, int pages);

std::atomic<int> s_workerBusyTimeoutMs{DatabaseConnection::WorkerBusyTimeoutMs};

// Settings every connection gets once it is open. A double-quoted name that
// names no column must be an error, never the string literal SQLite would
// otherwise take it for (a WHERE "nosuch"='nosuch' matches every row).
void configure(const QSqlDatabase &db)
{
    sqlite3 *handle = Transaction::handle(db);
    if (!handle)
        return;
    sqlite3_db_config(handle, SQLITE_DBCONFIG_DQS_DML, 0, nullptr);
    sqlite3_db_config(handle, SQLITE_DBCONFIG_DQS_DDL, 0, nullptr);
    // With the write-ahead log a commit need not wait for the disk: a crash
    // keeps the database whole, a power loss may drop the last commits. A
    // reading position saved at each page turn must not stall the UI thread
    // on a flush while other programs write to the disk.
    sqlite3_exec(handle, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
    // Replaces SQLite's own checkpoint at commit.
    sqlite3_wal_hook(handle, onCommit, nullptr);
}

// No connection copies the write-ahead log back into the database at its own
// commit: that copy ends in a disk flush, and neither a page turn on the main
// thread nor the end of an import (whose commit leaves the longest logs) must
// wait for one. Once the log is as long as SQLite would checkpoint it at, the
// copy runs here, on a thread of its own with a connection of its own that no
// other code touches; it copies what it can without blocking anyone. The
// thread is owned: stop() waits for a copy under way before the library's
// connections close, and shutDown() at the program's end does so for good.
class Checkpointer
{
public:
    void request(const char *path)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopping > 0 || m_shutDown)
            return;
        m_pending = path;
        if (!m_thread.joinable())
            m_thread = std::thread([this] { loop(); });
        m_wake.notify_one();
    }

    // Drops a copy only asked for, waits for the one under way and ends the
    // thread; a later request starts it again. Callers may overlap: requests
    // stay refused until the last of them has joined.
    void stop() { stop(false); }

    // As stop(), and no thread starts again: commits made while the program
    // ends (a pool task finishing late) must not start one that nothing joins.
    void shutDown() { stop(true); }

private:
    void stop(bool forGood)
    {
        std::thread running;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_stopping;
            m_shutDown = m_shutDown || forGood;
            m_pending.clear();
            running = std::move(m_thread);
        }
        m_wake.notify_all();
        if (running.joinable())
            running.join();
        std::lock_guard<std::mutex> lock(m_mutex);
        --m_stopping;
    }

    // Ends as soon as a stop has taken the thread: a flag that the next
    // request clears could otherwise keep it waiting while stop() joins.
    void loop()
    {
        const std::thread::id self = std::this_thread::get_id();
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [&] { return m_thread.get_id() != self || !m_pending.empty(); });
            if (m_thread.get_id() != self)
                return;
            const std::string path = std::move(m_pending);
            m_pending.clear();
            lock.unlock();
            checkpoint(path);
            lock.lock();
        }
    }

    static void checkpoint(const std::string &path)
    {
        sqlite3 *handle = nullptr;
        // A new connection finds the log only at its first read.
        if (sqlite3_open_v2(path.c_str(), &handle, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK
            && sqlite3_exec(handle, "PRAGMA schema_version", nullptr, nullptr, nullptr) == SQLITE_OK)
            sqlite3_wal_checkpoint_v2(handle, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
        sqlite3_close(handle);
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::thread m_thread;
    std::string m_pending;
    int m_stopping = 0;
    bool m_shutDown = false;
};

// Never destroyed: a static destructor would leave a mutex and a thread
// object behind for a commit still made during the program's end.
Checkpointer &checkpointer()
{
    static Checkpointer *instance = [] {
        auto *created = new Checkpointer;
        std::atexit([] { checkpointer().shutDown(); });
        return created;
    }();
    return *instance;
}

int onCommit(void *, sqlite3 *handle, const char *name, int pages)
{
    const int AutoCheckpointPages = 1000;
    if (pages < AutoCheckpointPages)
        return SQLITE_OK;
    // Empty for a database that lives in memory: nothing to copy.
    const char *path = sqlite3_db_filename(handle, name);
    if (path && *path)
        checkpointer().request(path);
    return SQLITE_OK;
}

// The thread that made the default connection: only it uses that connection.
// Compared by itself rather than through the application object, which is
// gone while the last pool tasks run at the end of the program.
std::atomic<QThread *> s_defaultOwner{nullptr};

// The file the default connection was last opened and migrated on, with a
// number that changes at every such opening: a worker thread that outlives
// one opening (a pool thread, a test that reopens in another folder) then
// reconnects instead of writing to the old file.
struct OpenedFile
{
    QString path;
    quint64 generation = 0;
};

// std::mutex rather than QMutex: thread sanitizer sees through it.
std::mutex s_openedMutex;
OpenedFile s_opened;
QByteArray s_openedLibraryId;

void rememberOpenedPath(const QString &path)
{
    std::lock_guard<std::mutex> lock(s_openedMutex);
    s_opened.path = path;
    ++s_opened.generation;
}

OpenedFile openedFile()
{
    std::lock_guard<std::mutex> lock(s_openedMutex);
    return s_opened;
}

// One worker thread's connection, closed and removed when the thread ends.
class ThreadConnection
{
public:
    explicit ThreadConnection(const OpenedFile &file)
        : m_generation(file.generation)
    {
        static std::atomic<quint64> counter{0};
        m_name = QStringLiteral("quillora-worker-%1").arg(++counter);
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
        db.setDatabaseName(file.path);
        db.setConnectOptions(busyTimeoutOption(s_workerBusyTimeoutMs.load()));
        if (db.open())
            configure(db);
        else
            qWarning() << "[DatabaseConnection] 打开数据库失败:" << db.lastError().text();
    }

    ~ThreadConnection()
    {
        {
            QSqlDatabase db = QSqlDatabase::database(m_name, false);
            if (db.isValid())
                db.close();
        }
        QSqlDatabase::removeDatabase(m_name);
    }

    ThreadConnection(const ThreadConnection &) = delete;
    ThreadConnection &operator=(const ThreadConnection &) = delete;

    quint64 generation() const { return m_generation; }

    QSqlDatabase database() const
    {
        QSqlDatabase db = QSqlDatabase::database(m_name, false);
        // A failed open is retried at the next request rather than kept.
        if (!db.isOpen()) {
            if (db.open())
                configure(db);
            else
                qWarning() << "[DatabaseConnection] 打开数据库失败:" << db.lastError().text();
        }
        return db;
    }

private:
    QString m_name;
    quint64 m_generation;
};

QThreadStorage<ThreadConnection *> s_threadConnections;

// Set while the default connection holds the file alone (see openReadable).
std::atomic<bool> s_exclusive{false};
QString s_openFailure;
int s_openFailureCode = 0;

int primaryCode(const QSqlError &error)
{
    return error.nativeErrorCode().toInt() & 0xff;
}

// A statement that reads the file's first page; on a file in WAL mode it also
// opens the log and its index.
bool readsFirstPage(const QSqlDatabase &db, QString *error, int *code)
{
    QSqlQuery query(db);
    if (query.exec(QStringLiteral("PRAGMA schema_version")) && query.next())
        return true;
    *error = query.lastError().text();
    *code = primaryCode(query.lastError());
    return false;
}

// Opens the default connection and reads the file. Reading a write-ahead log
// takes an index in a shared-memory file beside the database, which cannot
// grow on a full disk (nor be made in a folder that cannot be written). Then
// the file is opened again held by this connection alone, with the index in
// its own memory: the library reads, a write fails where it finds no room,
// and no other connection gets in while the program runs.
bool openReadable(QSqlDatabase &db, QString *error, int *code)
{
    if (!db.isOpen() && !db.open()) {
        *error = db.lastError().text();
        *code = primaryCode(db.lastError());
        return false;
    }
    configure(db);
    if (readsFirstPage(db, error, code))
        return true;
    if (*code != SQLITE_IOERR && *code != SQLITE_FULL && *code != SQLITE_CANTOPEN && *code != SQLITE_READONLY)
        return false;
    qWarning() << "[DatabaseConnection] 无法读取数据库，改为独占打开:" << *error;
    db.close();
    if (!db.open()) {
        *error = db.lastError().text();
        *code = primaryCode(db.lastError());
        return false;
    }
    sqlite3_exec(Transaction::handle(db), "PRAGMA locking_mode=EXCLUSIVE", nullptr, nullptr, nullptr);
    configure(db);
    if (!readsFirstPage(db, error, code))
        return false;
    s_exclusive = true;
    return true;
}

bool onMainThread()
{
    if (const QThread *owner = s_defaultOwner.load())
        return owner == QThread::currentThread();
    const QCoreApplication *app = QCoreApplication::instance();
    return !app || app->thread() == QThread::currentThread();
}

// The application's end closes every connection (Qt's own clean-up); the
// checkpoint thread must have finished before.
void stopCheckpointsAtExit()
{
    checkpointer().shutDown();
}

}

QString DatabaseConnection::databaseFilePath()
{
    return Paths::configLocation() + QStringLiteral("/db") + QStringLiteral("/novel_info.db");
}

QString DatabaseConnection::libraryIdPath()
{
    return Paths::configLocation() + QStringLiteral("/db/library-id");
}

QByteArray DatabaseConnection::libraryId()
{
    QFile file(libraryIdPath());
    if (!file.open(QIODevice::ReadOnly) || file.size() > 64)
        return QByteArray();
    return file.readAll().trimmed();
}

bool DatabaseConnection::libraryIsCurrent()
{
    QByteArray opened;
    {
        std::lock_guard<std::mutex> lock(s_openedMutex);
        opened = s_openedLibraryId;
    }
    return libraryId() == opened && QFileInfo::exists(databaseFilePath());
}

QSqlDatabase DatabaseConnection::getConnection()
{
    QSqlDatabase db = QSqlDatabase::database(QLatin1String(QSqlDatabase::defaultConnection), true);
    if (db.isValid())
        return db;

    const QString dir = Paths::configLocation() + QStringLiteral("/db");
    qInfo() << "[DatabaseConnection::getConnection] 数据库存储目录是:" << dir;
    if (!QDir(dir).exists() && !QDir().mkpath(dir)) {
        qWarning() << "[DatabaseConnection] 无法创建数据库目录:" << dir;
        return QSqlDatabase();
    }
    db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
    s_defaultOwner = QThread::currentThread();
    db.setDatabaseName(dir + QStringLiteral("/novel_info.db"));
    db.setConnectOptions(busyTimeoutOption(MainThreadBusyTimeoutMs));
    return db;
}

bool DatabaseConnection::openAndMigrate()
{
    s_openFailure.clear();
    s_openFailureCode = 0;
    QSqlDatabase db = getConnection();
    if (!db.isValid())
        return false;
    QString error;
    int code = SQLITE_OK;
    if (!openReadable(db, &error, &code)) {
        qCritical() << "[DatabaseConnection] 打开数据库失败:" << error;
        s_openFailure = error;
        // A driver error without SQLite's own code is still a failure.
        s_openFailureCode = code == SQLITE_OK ? SQLITE_ERROR : code;
        // Nothing is to read, let alone write, a file SQLite cannot read.
        db.close();
        return false;
    }
    if (!DatabaseMigrator::migrate(db, &error)) {
        qCritical() << "[DatabaseConnection] 数据库迁移失败:" << error;
        return false;
    }
    if (libraryId().isEmpty() && !Paths::writeFile(libraryIdPath(), QUuid::createUuid().toByteArray(QUuid::WithoutBraces)))
        qInfo() << "[DatabaseConnection] 无法写入书库标识:" << libraryIdPath();
    {
        std::lock_guard<std::mutex> lock(s_openedMutex);
        s_openedLibraryId = libraryId();
    }
    // Workers connect only to a file that is known to be at the current schema.
    rememberOpenedPath(db.databaseName());
    // Added after Qt's SQL module registered its clean-up, so it runs first.
    static std::once_flag atExit;
    if (QCoreApplication::instance())
        std::call_once(atExit, [] { qAddPostRoutine(stopCheckpointsAtExit); });
    return true;
}

void DatabaseConnection::close()
{
    checkpointer().stop();
    const QString name = QLatin1String(QSqlDatabase::defaultConnection);
    if (!QSqlDatabase::contains(name))
        return;
    {
        QSqlDatabase db = QSqlDatabase::database(name, false);
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    s_defaultOwner = nullptr;
    s_exclusive = false;
}

QString DatabaseConnection::openFailure()
{
    return s_openFailure;
}

int DatabaseConnection::openFailureCode()
{
    return s_openFailureCode;
}

QSqlDatabase DatabaseConnection::database()
{
    if (onMainThread())
        return QSqlDatabase::database(QLatin1String(QSqlDatabase::defaultConnection), false);

    if (s_exclusive) {
        qWarning() << "[DatabaseConnection] 数据库由主线程独占打开，后台任务无法使用";
        return QSqlDatabase();
    }
    const OpenedFile file = openedFile();
    if (file.generation == 0) {
        qWarning() << "[DatabaseConnection] 数据库尚未打开";
        return QSqlDatabase();
    }
    if (!s_threadConnections.hasLocalData() || s_threadConnections.localData()->generation() != file.generation)
        s_threadConnections.setLocalData(new ThreadConnection(file)); // deletes the stale one
    return s_threadConnections.localData()->database();
}

bool DatabaseConnection::passesQuickCheck(const QSqlDatabase &db, const QString &table)
{
    QSqlQuery query(db);
    // A table limits the check to its own b-trees.
    const QString argument = table.isEmpty() ? QStringLiteral("1") : QLatin1Char('"') + table + QLatin1Char('"');
    if (!query.exec(QStringLiteral("PRAGMA quick_check(%1)").arg(argument)) || !query.next())
        return false;
    return query.value(0).toString() == QLatin1String("ok");
}

bool DatabaseConnection::setBusyTimeout(const QSqlDatabase &db, int ms)
{
    sqlite3 *handle = Transaction::handle(db);
    return handle && sqlite3_busy_timeout(handle, ms) == SQLITE_OK;
}

void DatabaseConnection::setWorkerBusyTimeout(int ms)
{
    s_workerBusyTimeoutMs = ms;
}
