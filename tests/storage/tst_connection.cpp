#include "databaseconnection.h"
#include "testenvironment.h"

#include <QAtomicInt>
#include <QSemaphore>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>
#include <QVariant>
#include <QtTest>

#include <functional>
#include <memory>

namespace {

// A failed check returns early: the thread is still joined before it goes.
struct Joiner
{
    void operator()(QThread *thread) const
    {
        thread->wait();
        delete thread;
    }
};
using ThreadPtr = std::unique_ptr<QThread, Joiner>;

struct ThreadView
{
    QString name;
    QString secondName;
    QString file;
    bool open = false;
};

// What DatabaseConnection::database() hands a fresh thread.
ThreadView viewFromThread()
{
    ThreadView view;
    ThreadPtr thread(QThread::create([&view] {
        QSqlDatabase db = DatabaseConnection::database();
        view.name = db.connectionName();
        view.open = db.isOpen();
        view.file = db.databaseName();
        view.secondName = DatabaseConnection::database().connectionName();
    }));
    thread->start();
    thread->wait();
    return view;
}

int count(const QString &table)
{
    QSqlQuery q(DatabaseConnection::database());
    if (!q.exec(QStringLiteral("SELECT COUNT(*) FROM %1").arg(table)) || !q.next())
        return -1;
    return q.value(0).toInt();
}

bool insertRecord(QSqlDatabase db, const QString &id, QString *error)
{
    QSqlQuery q(db);
    q.prepare(QStringLiteral("INSERT INTO reading_records (id, novel_id, start_year, start_month, start_day, start_hour, "
                             "start_minute, start_second, duration_seconds) VALUES (?, 'b', 2025, 3, 3, 9, 5, 0, 0)"));
    q.addBindValue(id);
    if (!q.exec()) {
        *error = q.lastError().text();
        return false;
    }
    return true;
}

}

class TestConnection : public QObject
{
    Q_OBJECT

private slots:
    // Runs first: nothing has been opened in this process yet, so a worker
    // must not get a connection to some other file.
    void workerBeforeOpeningGetsNothing()
    {
        QTest::ignoreMessage(QtWarningMsg, "[DatabaseConnection] 数据库尚未打开");
        const ThreadView view = viewFromThread();
        QVERIFY(view.name.isEmpty());
        QVERIFY(!view.open);
    }

    void eachThreadHasItsOwnConnection()
    {
        TestEnvironment env;
        QVERIFY(env.openDatabase());
        QSqlDatabase main = DatabaseConnection::database();
        QCOMPARE(main.connectionName(), QLatin1String(QSqlDatabase::defaultConnection));
        QVERIFY(main.isOpen());

        const ThreadView first = viewFromThread();
        const ThreadView second = viewFromThread();
        QVERIFY(first.open);
        QCOMPARE(first.secondName, first.name);
        QVERIFY(first.name != main.connectionName());
        QVERIFY(second.name != first.name);
        QCOMPARE(first.file, main.databaseName());
        // Removed with the thread.
        QVERIFY(!QSqlDatabase::connectionNames().contains(first.name));
        QVERIFY(!QSqlDatabase::connectionNames().contains(second.name));
        QCOMPARE(QSqlDatabase::connectionNames(), QStringList(QLatin1String(QSqlDatabase::defaultConnection)));
    }

    // A worker commits batches in transactions while the main thread reads
    // and writes: no statement fails, every row arrives, and the main thread
    // never sees half a batch.
    void workerWritesWhileMainReadsAndWrites()
    {
        TestEnvironment env;
        QVERIFY(env.openDatabase());

        const int batches = 150;
        const int perBatch = 7;
        QAtomicInt workerFailures;
        QString workerError;
        ThreadPtr worker(QThread::create([&] {
            QSqlDatabase db = DatabaseConnection::database();
            for (int b = 0; b < batches; ++b) {
                if (!db.transaction()) {
                    workerFailures.ref();
                    workerError = db.lastError().text();
                    continue;
                }
                bool ok = true;
                for (int i = 0; i < perBatch && ok; ++i)
                    ok = insertRecord(db, QStringLiteral("w%1_%2").arg(b).arg(i), &workerError);
                if (!ok || !db.commit()) {
                    workerFailures.ref();
                    db.rollback();
                }
            }
        }));

        worker->start();
        int mainWrites = 0;
        int reads = 0;
        QString mainError;
        QSqlDatabase db = DatabaseConnection::database();
        while (!worker->isFinished()) {
            const int seen = count(QStringLiteral("reading_records"));
            QVERIFY2(seen >= 0, "main thread read failed");
            // Only the worker writes reading_records; the main one writes m* ids
            // there too, counted separately below.
            QSqlQuery q(db);
            QVERIFY(q.exec(QStringLiteral("SELECT COUNT(*) FROM reading_records WHERE id LIKE 'w%'")));
            QVERIFY(q.next());
            QCOMPARE(q.value(0).toInt() % perBatch, 0);
            // A statement left active keeps its read snapshot, and a write on
            // that connection then fails at once once the worker has committed.
            q.finish();
            ++reads;
            QVERIFY2(insertRecord(db, QStringLiteral("m%1").arg(mainWrites), &mainError), qPrintable(mainError));
            ++mainWrites;
        }
        worker->wait();
        QVERIFY2(workerFailures.loadAcquire() == 0, qPrintable(workerError));
        QVERIFY(reads > 0);
        QCOMPARE(count(QStringLiteral("reading_records")), batches * perBatch + mainWrites);
    }

    // A writer waits for the other's write transaction instead of failing.
    void writersWaitForEachOther()
    {
        TestEnvironment env;
        QVERIFY(env.openDatabase());
        QSqlDatabase db = DatabaseConnection::database();

        // The main thread holds the write lock for a while; the worker waits.
        QSqlQuery lock(db);
        QVERIFY(lock.exec(QStringLiteral("BEGIN IMMEDIATE")));
        QString error;
        QVERIFY(insertRecord(db, QStringLiteral("main"), &error));
        bool workerOk = false;
        QString workerError;
        QSemaphore started;
        ThreadPtr worker(QThread::create([&] {
            QSqlDatabase own = DatabaseConnection::database();
            started.release();
            workerOk = insertRecord(own, QStringLiteral("worker"), &workerError);
        }));
        worker->start();
        started.acquire();
        QThread::msleep(300);
        QVERIFY(!worker->isFinished());
        QVERIFY(db.commit());
        QVERIFY(worker->wait(10000));
        QVERIFY2(workerOk, qPrintable(workerError));

        // The other way round: a worker's short transaction delays the main thread.
        QSemaphore locked;
        bool holderOk = false;
        ThreadPtr holder(QThread::create([&] {
            QSqlDatabase own = DatabaseConnection::database();
            QSqlQuery q(own);
            holderOk = q.exec(QStringLiteral("BEGIN IMMEDIATE"));
            locked.release();
            QThread::msleep(200);
            holderOk = own.commit() && holderOk;
        }));
        holder->start();
        locked.acquire();
        QVERIFY2(insertRecord(db, QStringLiteral("main2"), &error), qPrintable(error));
        QVERIFY(holder->wait(10000));
        QVERIFY(holderOk);
        QCOMPARE(count(QStringLiteral("reading_records")), 3);
    }

    // A long-lived worker thread outlives one opening of the database (tests
    // reopen it in another folder): it must follow to the new file, and its
    // old connection goes.
    void longLivedWorkerFollowsReopening()
    {
        QThread thread;
        QObject inThread;
        inThread.moveToThread(&thread);
        thread.start();
        auto runThere = [&](const std::function<void()> &work) {
            QMetaObject::invokeMethod(&inThread, work, Qt::BlockingQueuedConnection);
        };
        struct Stop
        {
            QThread &thread;
            ~Stop() { thread.quit(); thread.wait(); }
        } stop{thread};

        QString firstName;
        QString firstFile;
        {
            TestEnvironment env;
            QVERIFY(env.openDatabase());
            runThere([&] {
                QSqlDatabase db = DatabaseConnection::database();
                firstName = db.connectionName();
                firstFile = db.databaseName();
                QString error;
                insertRecord(db, QStringLiteral("first"), &error);
            });
            QCOMPARE(count(QStringLiteral("reading_records")), 1);
        }
        TestEnvironment env;
        QVERIFY(env.openDatabase());
        QString secondName;
        QString secondFile;
        bool inserted = false;
        runThere([&] {
            QSqlDatabase db = DatabaseConnection::database();
            secondName = db.connectionName();
            secondFile = db.databaseName();
            QString error;
            inserted = insertRecord(db, QStringLiteral("second"), &error);
        });
        QVERIFY(inserted);
        QVERIFY(secondFile != firstFile);
        QCOMPARE(secondFile, DatabaseConnection::database().databaseName());
        QVERIFY(!QSqlDatabase::connectionNames().contains(firstName));
        QVERIFY(QSqlDatabase::connectionNames().contains(secondName));
        QCOMPARE(count(QStringLiteral("reading_records")), 1);

        thread.quit();
        thread.wait();
        QVERIFY(!QSqlDatabase::connectionNames().contains(secondName));
    }
};

QTEST_GUILESS_MAIN(TestConnection)
#include "tst_connection.moc"
