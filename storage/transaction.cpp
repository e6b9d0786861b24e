#include "transaction.h"
#include "deferredwrites.h"

#include <QDebug>
#include <QHash>
#include <QSqlDriver>
#include <QSqlError>

#include <sqlite3.h>

#include <atomic>
#include <mutex>

namespace {

// Per connection while one of our transactions is open: how many levels, the
// statements kept until the outermost one ends, and whether SQLite has ended
// the transaction under us.
struct ConnectionState
{
    int depth = 0;
    quint64 epoch = 0;         // which outermost transaction
    bool broken = false;       // SQLite rolled it back on its own
    bool ending = false;       // our own COMMIT, RELEASE or ROLLBACK is running
    QHash<QString, QSqlQuery> queries;
    QHash<const char *, QSqlQuery> staticQueries;
    QString savedCacheSize;    // restored when the outermost transaction ends
};

// Page cache allowed while one of our transactions runs (KiB). The large
// stores (books of many paragraphs) take ascending row ids, so their inserts
// fill the indexes page after page and need few pages at hand; a larger
// cache only grows with the pages a big import dirties (256 MiB stored
// those books no faster). Past it SQLite writes dirty pages out inside the
// transaction. The memory is taken only as pages are used and given back
// when the setting is restored.
const int TransactionCacheKiB = 32 * 1024;

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

// No SQL may run while this is held: SQLite calls the hooks below from
// inside a statement, and they take it.
std::mutex s_mutex;
QHash<sqlite3 *, ConnectionState> s_states;
std::atomic<quint64> s_epochs{0};

// A commit that is not ours while ours is open can only be a statement
// auto-committing after SQLite rolled our transaction back: refused, so it
// fails instead of persisting a piece of a broken transaction.
int commitHook(void *handle)
{
    std::lock_guard<std::mutex> lock(s_mutex);
    auto it = s_states.find(static_cast<sqlite3 *>(handle));
    if (it == s_states.end() || it->depth == 0 || it->ending)
        return 0;
    it->broken = true;
    return 1;
}

void rollbackHook(void *handle)
{
    std::lock_guard<std::mutex> lock(s_mutex);
    auto it = s_states.find(static_cast<sqlite3 *>(handle));
    if (it != s_states.end() && it->depth > 0 && !it->ending)
        it->broken = true;
}

}

sqlite3 *Transaction::handle(const QSqlDatabase &db)
{
    if (!db.isOpen() || !db.driver())
        return nullptr;
    const QVariant value = db.driver()->handle();
    if (!value.isValid() || qstrcmp(value.typeName(), "sqlite3*") != 0)
        return nullptr;
    return *static_cast<sqlite3 *const *>(value.constData());
}

bool Transaction::isBusyCode(const QString &nativeErrorCode)
{
    bool ok = false;
    const int code = nativeErrorCode.toInt(&ok) & 0xff;
    return ok && (code == SQLITE_BUSY || code == SQLITE_LOCKED);
}

Transaction::Transaction(QSqlDatabase db)
    : m_db(db)
    , m_handle(handle(db))
{
    if (!m_handle) {
        m_lastError = QStringLiteral("database is not open");
        qWarning() << "[Transaction] 开启事务失败:" << m_lastError;
        return;
    }
    const bool inTransaction = sqlite3_get_autocommit(m_handle) == 0;
    int level = 0;
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        auto it = s_states.constFind(m_handle);
        if (it != s_states.constEnd()) {
            level = it->depth;
            // Ours is open but SQLite has ended it: nothing more of this
            // scope may be written, and a fresh BEGIN would let it.
            if (it->broken || (level > 0 && !inTransaction)) {
                m_lastError = QStringLiteral("the enclosing transaction was rolled back");
                qWarning() << "[Transaction] 开启事务失败:" << m_lastError;
                return;
            }
        }
    }
    sqlite3_commit_hook(m_handle, commitHook, m_handle);
    sqlite3_rollback_hook(m_handle, rollbackHook, m_handle);

    if (inTransaction) {
        m_savepoint = QStringLiteral("quillora_sp_%1").arg(level + 1);
        m_nested = true;
        if (!run(QStringLiteral("SAVEPOINT ") + m_savepoint)) {
            qWarning() << "[Transaction] 开启事务失败:" << m_lastError;
            return;
        }
    } else {
        // IMMEDIATE takes the write lock up front: a deferred transaction that
        // reads first cannot upgrade once another connection has committed
        // (WAL). When the lock stays taken past the busy timeout, this fails.
        if (!run(QStringLiteral("BEGIN IMMEDIATE"))) {
            // Busy is what the main thread's writes expect during an import.
            if (m_busy)
                qInfo() << "[Transaction] 开启事务失败:" << m_lastError;
            else
                qWarning() << "[Transaction] 开启事务失败:" << m_lastError;
            return;
        }
    }
    m_active = true;
    if (!m_nested && !DeferredWrites::onMainThread()) {
        m_holdsWriteLock = true;
        DeferredWrites::writerStarted();
    }
    const QString savedCacheSize = m_nested ? QString() : raiseCacheSize(m_db);
    std::lock_guard<std::mutex> lock(s_mutex);
    ConnectionState &state = s_states[m_handle];
    if (state.depth == 0) {
        state.epoch = ++s_epochs;
        state.broken = false;
        state.savedCacheSize = savedCacheSize;
    }
    ++state.depth;
    m_epoch = state.epoch;
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
    m_busy = isBusyCode(query.lastError().nativeErrorCode());
    return false;
}

// Our own end of a level: the hooks let it through.
bool Transaction::runEnding(const QString &statement)
{
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        s_states[m_handle].ending = true;
    }
    const bool ok = run(statement);
    std::lock_guard<std::mutex> lock(s_mutex);
    s_states[m_handle].ending = false;
    return ok;
}

bool Transaction::rolledBackBySqlite() const
{
    if (sqlite3_get_autocommit(m_handle) != 0)
        return true;
    std::lock_guard<std::mutex> lock(s_mutex);
    auto it = s_states.constFind(m_handle);
    return it == s_states.constEnd() || it->broken || it->epoch != m_epoch;
}

bool Transaction::isActive() const
{
    return m_active && !rolledBackBySqlite();
}

void Transaction::finish()
{
    m_active = false;
    if (m_holdsWriteLock) {
        m_holdsWriteLock = false;
        DeferredWrites::writerEnded();
    }
    QString savedCacheSize;
    bool outermost = false;
    {
        QHash<QString, QSqlQuery> dropped;
        QHash<const char *, QSqlQuery> droppedStatic;
        {
            std::lock_guard<std::mutex> lock(s_mutex);
            auto it = s_states.find(m_handle);
            if (it == s_states.end())
                return;
            if (--it->depth <= 0) {
                outermost = true;
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
    if (outermost)
        DeferredWrites::lockReleased();
}

bool Transaction::commit()
{
    if (!m_active)
        return false;
    if (rolledBackBySqlite()) {
        m_lastError = QStringLiteral("the transaction was rolled back");
        qWarning() << "[Transaction] 提交事务失败:" << m_lastError;
        finish();
        return false;
    }
    if (m_nested) {
        if (runEnding(QStringLiteral("RELEASE SAVEPOINT ") + m_savepoint)) {
            finish();
            return true;
        }
        qWarning() << "[Transaction] 释放保存点失败:" << m_lastError;
        rollback();
        return false;
    }
    // Kept statements must not be in progress while the transaction ends.
    QList<QSqlQuery> kept;
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        auto it = s_states.find(m_handle);
        if (it != s_states.end() && it->depth == 1)
            kept = it->queries.values() + it->staticQueries.values();
    }
    for (QSqlQuery &query : kept)
        query.finish();
    if (runEnding(QStringLiteral("COMMIT"))) {
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
    // Already undone by SQLite: there is nothing left to roll back, and a
    // ROLLBACK now could hit somebody else's transaction.
    if (rolledBackBySqlite()) {
        finish();
        return true;
    }
    bool ok;
    if (m_nested) {
        ok = runEnding(QStringLiteral("ROLLBACK TO SAVEPOINT ") + m_savepoint);
        ok = runEnding(QStringLiteral("RELEASE SAVEPOINT ") + m_savepoint) && ok;
    } else {
        ok = runEnding(QStringLiteral("ROLLBACK"));
    }
    if (!ok)
        qWarning() << "[Transaction] 回滚事务失败:" << m_lastError;
    finish();
    return ok;
}

int Transaction::depth(const QSqlDatabase &db)
{
    sqlite3 *h = handle(db);
    std::lock_guard<std::mutex> lock(s_mutex);
    auto it = s_states.constFind(h);
    return it == s_states.constEnd() ? 0 : it->depth;
}

namespace {

// The query kept under key in one of the connection's caches while a
// transaction of ours is open, else one freshly prepared with sql() (which is
// only built on a miss) and kept when such a transaction is open.
template<typename Key, typename SqlText>
QSqlQuery cachedIn(QHash<Key, QSqlQuery> ConnectionState::*cache, QSqlDatabase db,
                   const Key &key, SqlText sql, bool *prepared)
{
    sqlite3 *h = Transaction::handle(db);
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        auto it = s_states.find(h);
        if (it != s_states.end() && it->depth > 0) {
            const QHash<Key, QSqlQuery> &queries = (*it).*cache;
            auto cached = queries.constFind(key);
            if (cached != queries.constEnd()) {
                *prepared = true;
                return cached.value();
            }
        }
    }
    QSqlQuery query(db);
    *prepared = query.prepare(sql());
    if (*prepared) {
        std::lock_guard<std::mutex> lock(s_mutex);
        auto it = s_states.find(h);
        if (it != s_states.end() && it->depth > 0)
            ((*it).*cache).insert(key, query);
    }
    return query;
}

}

QSqlQuery Transaction::cachedQuery(QSqlDatabase db, const QString &sql, bool *prepared)
{
    return cachedIn(&ConnectionState::queries, db, sql, [&sql] { return sql; }, prepared);
}

QSqlQuery Transaction::cachedQuery(QSqlDatabase db, const char *staticSql, bool *prepared)
{
    return cachedIn(&ConnectionState::staticQueries, db, staticSql,
                    [staticSql] { return QString::fromUtf8(staticSql); }, prepared);
}
