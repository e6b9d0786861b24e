#pragma once

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>

struct sqlite3;

// A scoped transaction that nests. Whether it nests is the connection's own
// state: outside any transaction it runs BEGIN IMMEDIATE ... COMMIT, inside
// one (ours or anybody's) SAVEPOINT ... RELEASE, so a data access operation
// can keep its own all-or-nothing guarantee and still run inside a caller's
// larger transaction. Destroyed without commit(), it rolls back its own part.
//
// When SQLite rolls the transaction back on its own (disk full, I/O error),
// this object and every enclosing one turn inactive, commit() answers false,
// and every later write on the connection fails until the outermost object
// has ended: nothing of a broken scope can auto-commit behind its back.
//
// Prepared statements that are run once per row can be kept for the life of
// the outermost transaction through cachedQuery(), so a large import prepares
// each of them once instead of once per call.
class Transaction
{
public:
    explicit Transaction(QSqlDatabase db);
    ~Transaction();

    Transaction(const Transaction &) = delete;
    Transaction &operator=(const Transaction &) = delete;

    // False when the transaction could not be begun or has been rolled back
    // by SQLite; commit() then fails.
    bool isActive() const;
    bool isNested() const { return m_nested; }
    // True when beginning failed because another connection holds the write lock.
    bool wasBusy() const { return m_busy; }

    // Ends this level keeping its work. On failure the level has been rolled
    // back and false is returned.
    bool commit();
    // Ends this level dropping its work. False when SQLite refused.
    bool rollback();

    // The driver's error text of the last failed statement of this object.
    QString lastError() const { return m_lastError; }

    // Nesting depth of transactions begun through this class on the connection.
    static int depth(const QSqlDatabase &db);

    // The SQLite handle behind an open connection of Qt's driver, else null.
    static sqlite3 *handle(const QSqlDatabase &db);
    // True when the error code Qt reports is SQLite's "busy" or "locked".
    static bool isBusyCode(const QString &nativeErrorCode);

    // A query prepared with sql on db. While a Transaction is open on the
    // connection the same prepared query is returned to every caller until
    // the outermost transaction ends; otherwise a freshly prepared one. The
    // returned query is prepared (or carries the prepare error in lastError()).
    static QSqlQuery cachedQuery(QSqlDatabase db, const QString &sql, bool *prepared);
    // The same for a statement text with static storage, looked up by its
    // address: hashing a long statement per call shows in a book's store.
    static QSqlQuery cachedQuery(QSqlDatabase db, const char *staticSql, bool *prepared);

private:
    bool run(const QString &statement);
    bool runEnding(const QString &statement);
    bool rolledBackBySqlite() const;
    void finish();

    QSqlDatabase m_db;
    sqlite3 *m_handle = nullptr;
    QString m_savepoint;
    QString m_lastError;
    quint64 m_epoch = 0;
    bool m_active = false;
    bool m_nested = false;
    bool m_busy = false;
    bool m_holdsWriteLock = false; // an outer transaction off the main thread
};
