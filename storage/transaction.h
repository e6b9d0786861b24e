#pragma once

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>

// A scoped transaction that nests. The outermost one on a connection runs
// BEGIN ... COMMIT; one begun while the connection is already inside a
// transaction (ours or anybody's) becomes SAVEPOINT ... RELEASE, so a data
// access operation can keep its own all-or-nothing guarantee and still run
// inside a caller's larger transaction. Destroyed without commit(), it rolls
// back its own part only.
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

    // False when the transaction could not be begun; commit() then fails too.
    bool isActive() const { return m_active; }
    bool isNested() const { return m_nested; }

    // Ends this level keeping its work. On failure the level has been rolled
    // back and false is returned.
    bool commit();
    // Ends this level dropping its work. False when SQLite refused (the
    // transaction may already have been rolled back by SQLite itself).
    bool rollback();

    // The driver's error text of the last failed statement of this object.
    QString lastError() const { return m_lastError; }

    // Nesting depth of transactions begun through this class on the connection.
    static int depth(const QSqlDatabase &db);

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
    void finish();

    QSqlDatabase m_db;
    QString m_savepoint;
    QString m_lastError;
    bool m_active = false;
    bool m_nested = false;
};
