#include "transaction.h"

#include <QDebug>
#include <QHash>
#include <QMutex>
#include <QSqlError>

namespace {

// Per connection: how many of our transactions are open, and the statements
// kept until the outermost one ends.
struct ConnectionState
{
    int depth = 0;
    QHash<QString, QSqlQuery> queries;
    QHash<const char *, QSqlQuery> staticQueries;
    QString savedCacheSize;   // restored when the outermost transaction ends
};

// Page cache allowed while one of our transactions runs (KiB). Stored content
// is keyed by random ids, so a large import touches index pages all over the
// file; with a cache smaller than the pages a transaction dirties it keeps
// writing pages out and reading them back (a 400,000-row book dirties about
// 140 MiB, and stored 40 % slower with 64 MiB). The memory is taken only as
// pages are used and given back when the setting is restored.
const int TransactionCacheKiB = 256 * 1024;

QString pragmaValue(QSqlDatabase db, const QString &pragma)
{
    QSqlQuery query(db);
    if (query.exec(QStringLiteral("PRAGMA ") + pragma) && query.next())
        return query.value(0).toString();
    return QString();
}

// Raises the connection's page cache; returns the previous setting, empty
// when nothing was changed.
QString raiseCacheSize(QSqlDatabase db)
{
    const QString old = pragmaValue(db, QStringLiteral("cache_size"));
    bool ok = false;
    const qint64 value = old.toLongLong(&ok);
    if (!ok)
        return QString();
    const qint64 pageSize = pragmaValue(db, QStringLiteral("page_size")).toLongLong();
    const qint64 kib = value < 0 ? -value : value * qMax<qint64>(pageSize, 512) / 1024;
    if (kib >= TransactionCacheKiB)
        return QString();
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("PRAGMA cache_size = -%1").arg(TransactionCacheKiB)))
        return QString();
    return old;
}

QMutex s_mutex;
QHash<QString, ConnectionState> s_states;

}

Transaction::Transaction(QSqlDatabase db)
    : m_db(db)
{
    if (!m_db.isOpen()) {
        m_lastError = QStringLiteral("database is not open");
        return;
    }
    int level;
    {
        QMutexLocker lock(&s_mutex);
        level = s_states[m_db.connectionName()].depth;
    }
    // IMMEDIATE takes the write lock up front: a deferred transaction that
    // reads first cannot upgrade once another connection has committed (WAL),
    // and the busy timeout would not help it.
    if (level == 0 && run(QStringLiteral("BEGIN IMMEDIATE"))) {
        m_active = true;
    } else {
        // Either ours is open already, or someone else's BEGIN is: nest.
        m_savepoint = QStringLiteral("quillora_sp_%1").arg(level + 1);
        if (run(QStringLiteral("SAVEPOINT ") + m_savepoint)) {
            m_active = true;
            m_nested = true;
        }
    }
    if (m_active) {
        const QString savedCacheSize = level == 0 ? raiseCacheSize(m_db) : QString();
        QMutexLocker lock(&s_mutex);
        ConnectionState &state = s_states[m_db.connectionName()];
        ++state.depth;
        if (level == 0)
            state.savedCacheSize = savedCacheSize;
    } else {
        qWarning() << "[Transaction] 开启事务失败:" << m_lastError;
    }
}

Transaction::~Transaction()
{
    if (m_active)
        rollback();
}

bool Transaction::run(const QString &statement)
{
    QSqlQuery query(m_db);
    if (query.exec(statement))
        return true;
    m_lastError = query.lastError().text();
    return false;
}

void Transaction::finish()
{
    m_active = false;
    QString savedCacheSize;
    {
        QHash<QString, QSqlQuery> dropped;
        QHash<const char *, QSqlQuery> droppedStatic;
        {
            QMutexLocker lock(&s_mutex);
            auto it = s_states.find(m_db.connectionName());
            if (it == s_states.end())
                return;
            if (--it->depth <= 0) {
                dropped.swap(it->queries);
                droppedStatic.swap(it->staticQueries);
                savedCacheSize = it->savedCacheSize;
                s_states.erase(it);
            }
        }
        // The kept statements are finalised here, outside the lock.
    }
    if (!savedCacheSize.isEmpty()) {
        QSqlQuery query(m_db);
        query.exec(QStringLiteral("PRAGMA cache_size = ") + savedCacheSize);
    }
}

bool Transaction::commit()
{
    if (!m_active)
        return false;
    if (m_nested) {
        if (run(QStringLiteral("RELEASE SAVEPOINT ") + m_savepoint)) {
            finish();
            return true;
        }
        qWarning() << "[Transaction] 释放保存点失败:" << m_lastError;
        rollback();
        return false;
    }
    // Kept statements must not be in progress while the transaction ends.
    {
        QMutexLocker lock(&s_mutex);
        auto it = s_states.find(m_db.connectionName());
        if (it != s_states.end() && it->depth == 1) {
            for (QSqlQuery &query : it->queries)
                query.finish();
            for (QSqlQuery &query : it->staticQueries)
                query.finish();
        }
    }
    if (run(QStringLiteral("COMMIT"))) {
        finish();
        return true;
    }
    const QString error = m_lastError;
    qWarning() << "[Transaction] 提交事务失败:" << error;
    rollback();
    m_lastError = error;
    return false;
}

bool Transaction::rollback()
{
    if (!m_active)
        return false;
    bool ok;
    if (m_nested) {
        ok = run(QStringLiteral("ROLLBACK TO SAVEPOINT ") + m_savepoint);
        // RELEASE after ROLLBACK TO removes the savepoint; when it was the
        // outermost one this also ends the (now empty) transaction.
        ok = run(QStringLiteral("RELEASE SAVEPOINT ") + m_savepoint) && ok;
    } else {
        ok = run(QStringLiteral("ROLLBACK"));
    }
    if (!ok)
        qWarning() << "[Transaction] 回滚事务失败:" << m_lastError;
    finish();
    return ok;
}

int Transaction::depth(const QSqlDatabase &db)
{
    QMutexLocker lock(&s_mutex);
    auto it = s_states.constFind(db.connectionName());
    return it == s_states.constEnd() ? 0 : it->depth;
}

QSqlQuery Transaction::cachedQuery(QSqlDatabase db, const QString &sql, bool *prepared)
{
    {
        QMutexLocker lock(&s_mutex);
        auto it = s_states.find(db.connectionName());
        if (it != s_states.end() && it->depth > 0) {
            auto cached = it->queries.constFind(sql);
            if (cached != it->queries.constEnd()) {
                *prepared = true;
                return cached.value();
            }
        }
    }
    QSqlQuery query(db);
    *prepared = query.prepare(sql);
    if (*prepared) {
        QMutexLocker lock(&s_mutex);
        auto it = s_states.find(db.connectionName());
        if (it != s_states.end() && it->depth > 0)
            it->queries.insert(sql, query);
    }
    return query;
}

QSqlQuery Transaction::cachedQuery(QSqlDatabase db, const char *staticSql, bool *prepared)
{
    const QString name = db.connectionName();
    {
        QMutexLocker lock(&s_mutex);
        auto it = s_states.find(name);
        if (it != s_states.end() && it->depth > 0) {
            auto cached = it->staticQueries.constFind(staticSql);
            if (cached != it->staticQueries.constEnd()) {
                *prepared = true;
                return cached.value();
            }
        }
    }
    QSqlQuery query(db);
    *prepared = query.prepare(QString::fromUtf8(staticSql));
    if (*prepared) {
        QMutexLocker lock(&s_mutex);
        auto it = s_states.find(name);
        if (it != s_states.end() && it->depth > 0)
            it->staticQueries.insert(staticSql, query);
    }
    return query;
}
