#include "databaseconnection.h"
#include "databasemigrator.h"
#include "paths.h"
#include "transaction.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QSqlError>
#include <QThread>
#include <QThreadPool>
#include <QThreadStorage>

#include <sqlite3.h>

#include <atomic>
#include <mutex>

namespace {

QString busyTimeoutOption(int ms)
{
    return QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(ms);
}

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
}

// The main thread never copies the write-ahead log back into the database
// itself: that copy ends in a disk flush, and a page turn must not wait for
// one. Once the log is as long as SQLite would checkpoint it at, a worker
// connection copies what it can without blocking anyone.
std::atomic<bool> s_checkpointQueued{false};

int onMainThreadCommit(void *, sqlite3 *, const char *, int pages)
{
    const int AutoCheckpointPages = 1000;
    if (pages < AutoCheckpointPages || s_checkpointQueued.exchange(true))
        return SQLITE_OK;
    QThreadPool::globalInstance()->start([] {
        if (sqlite3 *handle = Transaction::handle(DatabaseConnection::database()))
            sqlite3_wal_checkpoint_v2(handle, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
        s_checkpointQueued = false;
    });
    return SQLITE_OK;
}

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
        db.setConnectOptions(busyTimeoutOption(DatabaseConnection::WorkerBusyTimeoutMs));
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

bool onMainThread()
{
    const QCoreApplication *app = QCoreApplication::instance();
    return !app || app->thread() == QThread::currentThread();
}

}

QString DatabaseConnection::databaseFilePath()
{
    return Paths::configLocation() + QStringLiteral("/db") + QStringLiteral("/novel_info.db");
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
    db.setDatabaseName(dir + QStringLiteral("/novel_info.db"));
    db.setConnectOptions(busyTimeoutOption(MainThreadBusyTimeoutMs));
    return db;
}

bool DatabaseConnection::openAndMigrate()
{
    QSqlDatabase db = getConnection();
    if (!db.isValid())
        return false;
    if (!db.isOpen() && !db.open()) {
        qCritical() << "[DatabaseConnection] 打开数据库失败:" << db.lastError().text();
        return false;
    }
    configure(db);
    if (sqlite3 *handle = Transaction::handle(db))
        sqlite3_wal_hook(handle, onMainThreadCommit, nullptr);
    QString error;
    if (!DatabaseMigrator::migrate(db, &error)) {
        qCritical() << "[DatabaseConnection] 数据库迁移失败:" << error;
        return false;
    }
    // Workers connect only to a file that is known to be at the current schema.
    rememberOpenedPath(db.databaseName());
    return true;
}

QSqlDatabase DatabaseConnection::database()
{
    if (onMainThread())
        return QSqlDatabase::database(QLatin1String(QSqlDatabase::defaultConnection), false);

    const OpenedFile file = openedFile();
    if (file.generation == 0) {
        qWarning() << "[DatabaseConnection] 数据库尚未打开";
        return QSqlDatabase();
    }
    if (!s_threadConnections.hasLocalData() || s_threadConnections.localData()->generation() != file.generation)
        s_threadConnections.setLocalData(new ThreadConnection(file)); // deletes the stale one
    return s_threadConnections.localData()->database();
}

bool DatabaseConnection::setBusyTimeout(const QSqlDatabase &db, int ms)
{
    sqlite3 *handle = Transaction::handle(db);
    return handle && sqlite3_busy_timeout(handle, ms) == SQLITE_OK;
}
