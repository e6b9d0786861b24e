#pragma once

#include <QSqlDatabase>
#include <QString>

// The library database. The main thread uses Qt's default connection; every
// other thread gets its own connection to the same file the first time it
// asks, closed and removed when that thread ends. All code gets its handle
// from database(), so a transaction and its statements always share one
// thread's connection. WAL lets the main thread read while a worker writes;
// writers wait for each other up to the busy timeout.
class DatabaseConnection
{
public:
    // The default connection: the existing one when valid, else a newly added
    // one (not yet open); invalid when the "db" folder cannot be created.
    static QSqlDatabase getConnection();

    // Opens the default connection and brings the file to the current schema.
    // Called once at start-up, on the main thread.
    static bool openAndMigrate();

    // Why SQLite could not open or read the library file at the last
    // openAndMigrate(); empty when it could, though the migration may still
    // have failed. Main thread.
    static QString openFailure();
    // SQLite's primary result code for that failure (SQLITE_NOTADB ...); 0 when none.
    static int openFailureCode();

    // Waits for a write-ahead-log copy under way, then closes and removes the
    // default connection. Main thread, before the program ends or the library
    // is opened elsewhere; whatever else uses the library has ended before.
    static void close();

    // The calling thread's open connection. On a worker thread this is invalid
    // until openAndMigrate() has succeeded.
    static QSqlDatabase database();

    // Whether SQLite's quick check finds the file's pages and b-trees whole.
    // Reads the whole file: for decisions that delete what the rows do not
    // name, not for every start. With a table, only that table and its
    // indexes are checked (and read).
    static bool passesQuickCheck(const QSqlDatabase &db, const QString &table = QString());

    // "<config>/db/novel_info.db"
    static QString databaseFilePath();
    // "<config>/db/library-id": a random name the library file gets when it is
    // first opened, so that what was armed for one library (a reset) never
    // takes another made later at the same path.
    static QString libraryIdPath();
    static QByteArray libraryId();
    // Whether the library file opened last is still the one at the path:
    // false once a reset, this program's or another's, deleted it.
    static bool libraryIsCurrent();

    // How long a statement waits for another connection's lock. The main
    // thread never waits longer than part of a frame: its writes are kept
    // while the lock is taken (DeferredWrites).
    static bool setBusyTimeout(const QSqlDatabase &db, int ms);
    static constexpr int MainThreadBusyTimeoutMs = 10;
    static constexpr int WorkerBusyTimeoutMs = 30000;
    // The timeout of worker connections opened from now on; tests shorten it.
    static void setWorkerBusyTimeout(int ms);
};
