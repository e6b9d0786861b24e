#pragma once

#include <QHash>
#include <QSet>
#include <QSqlDatabase>
#include <QString>

// What the start-up sweeps of the book folders may delete, one rule for all
// of them from one reading of the stored book ids. A folder no stored book
// names goes only when it shows itself that it belongs to none: nothing but
// an import's own entries (a new book's import that never committed), or a
// removal's mark naming it; a book file there keeps it. Nothing goes on rows
// being absent when the database fails its check for those rows, nor while
// the database names no book and a folder holds one.
class StartupDeleteRule
{
public:
    explicit StartupDeleteRule(QSqlDatabase db);
    StartupDeleteRule(const StartupDeleteRule &) = delete;
    StartupDeleteRule &operator=(const StartupDeleteRule &) = delete;

    // False when the stored ids could not be read: then nothing may go.
    bool isReadable() const { return m_readable; }
    bool isListed(const QString &bookId) const { return m_stored.contains(bookId); }
    // Whether the folder of a book no row names may go, now; its locks held.
    bool unlistedMayGo(const QString &dir, const QString &bookId);
    // Whether a folder no row names shows itself that it is no book's.
    bool showsNoBook(const QString &dir, const QString &bookId);
    // Whether the stored rows are the edition whose marker holds token: 1
    // yes, 0 no, -1 unknown. Read through the id index and through the
    // book's rows; 0 only when both read whole and neither finds it, as that
    // edition's files then go.
    int editionStored(const QString &bookId, const QString &token);
    // Before a delete resting on absent rows of this table: its check,
    // run once and only when such a delete comes up.
    bool rowsTrusted(const QString &table);
    // No book stored while a folder holds one: an emptied or replaced
    // database file, not a library without books.
    bool looksEmptied();

private:
    QSqlDatabase m_db;
    QSet<QString> m_stored;
    bool m_readable = false;
    int m_emptied = -1;   // not looked yet
    QHash<QString, bool> m_checked;
};
