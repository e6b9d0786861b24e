#include "databaseconnection.h"
#include "databasemigrator.h"
#include "paths.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QMutex>
#include <QSqlError>
#include <QThread>
#include <QThreadStorage>

#include <atomic>

namespace {

QString busyTimeoutOption(int ms)
{
    return QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(ms);
}

// The file the default connection was opened on; worker connections follow it.
QMutex s_pathMutex;
QString s_openedPath;

void rememberOpenedPath(const QString &path)
{
    QMutexLocker lock(&s_pathMutex);
    s_openedPath = path;
}

QString openedPath()
{
    QMutexLocker lock(&s_pathMutex);
    return s_openedPath;
}

// One worker thread's connection, removed when the thread ends.
class ThreadConnection
{
public:
    ThreadConnection()
    {
        static std::atomic<quint64> counter{0};
        m_name = QStringLiteral("quillora-worker-%1").arg(++counter);
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
        db.setDatabaseName(openedPath());
        db.setConnectOptions(busyTimeoutOption(DatabaseConnection::WorkerBusyTimeoutMs));
        if (!db.open())
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

    QSqlDatabase database() const { return QSqlDatabase::database(m_name, false); }

private:
    QString m_name;
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
    rememberOpenedPath(db.databaseName());
    QString error;
    if (!DatabaseMigrator::migrate(db, &error)) {
        qCritical() << "[DatabaseConnection] 数据库迁移失败:" << error;
        return false;
    }
    return true;
}

QSqlDatabase DatabaseConnection::database()
{
    if (onMainThread())
        return QSqlDatabase::database(QLatin1String(QSqlDatabase::defaultConnection), false);
    if (!s_threadConnections.hasLocalData())
        s_threadConnections.setLocalData(new ThreadConnection);
    return s_threadConnections.localData()->database();
}
