#include "databaseconnection.h"
#include "deferredwrites.h"
#include "testenvironment.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QThread>
#include <QVariant>
#include <QtTest>

#include <atomic>
#include <functional>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

namespace {

// Threads and hand-offs use the standard library: the thread sanitizer sees
// its synchronisation, not that of Qt's futex-based primitives.
// A failed check returns early: the thread is still joined before it goes.
class Worker
{
public:
    template<typename F>
    explicit Worker(F &&work) : m_thread([this, work] { work(); m_finished.store(true); }) {}
    ~Worker() { join(); }
    bool isFinished() const { return m_finished.load(); }
    void join()
    {
        if (m_thread.joinable())
            m_thread.join();
    }

private:
    std::atomic<bool> m_finished{false};
    std::thread m_thread;
};

// One thread that runs the jobs handed to it, one at a time, until stopped.
class JobThread
{
public:
    JobThread() : m_thread([this] { loop(); }) {}
    ~JobThread() { stop(); }

    // Runs job on the thread and returns when it is done.
    void run(std::function<void()> job)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_job = std::move(job);
        m_cond.notify_all();
        m_cond.wait(lock, [this] { return !m_job; });
    }

    void stop()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
            m_cond.notify_all();
        }
        if (m_thread.joinable())
            m_thread.join();
    }

private:
    void loop()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            m_cond.wait(lock, [this] { return m_stop || m_job; });
            if (m_job) {
                m_job();
                m_job = nullptr;
                m_cond.notify_all();
            } else {
                return;
            }
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_cond;
    std::function<void()> m_job;
    bool m_stop = false;
    std::thread m_thread;
};

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
    Worker thread([&view] {
        QSqlDatabase db = DatabaseConnection::database();
        view.name = db.connectionName();
        view.open = db.isOpen();
        view.file = db.databaseName();
        view.secondName = DatabaseConnection::database().connectionName();
    });
    thread.join();
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
        std::atomic<int> workerFailures{0};
        QString workerError;
        Worker worker([&] {
            QSqlDatabase db = DatabaseConnection::database();
            for (int b = 0; b < batches; ++b) {
                if (!db.transaction()) {
                    ++workerFailures;
                    workerError = db.lastError().text();
                    continue;
                }
                bool ok = true;
                for (int i = 0; i < perBatch && ok; ++i)
                    ok = insertRecord(db, QStringLiteral("w%1_%2").arg(b).arg(i), &workerError);
                if (!ok || !db.commit()) {
                    ++workerFailures;
                    db.rollback();
                }
            }
        });

        int mainWrites = 0;
        int reads = 0;
        QString mainError;
        QSqlDatabase db = DatabaseConnection::database();
        while (!worker.isFinished()) {
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
            // While the worker holds the lock the write is kept, not lost.
            const QString id = QStringLiteral("m%1").arg(mainWrites);
            QVERIFY2(DeferredWrites::instance().submit(QString(), [db, id] {
                QString error;
                return insertRecord(db, id, &error);
            }), qPrintable(mainError));
            ++mainWrites;
        }
        worker.join();
        QVERIFY(DeferredWrites::instance().flush(5000));
        QVERIFY2(workerFailures.load() == 0, qPrintable(workerError));
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
        std::promise<void> started;
        Worker worker([&] {
            QSqlDatabase own = DatabaseConnection::database();
            started.set_value();
            workerOk = insertRecord(own, QStringLiteral("worker"), &workerError);
        });
        started.get_future().wait();
        QThread::msleep(300);
        QVERIFY(!worker.isFinished());
        QVERIFY(db.commit());
        worker.join();
        QVERIFY2(workerOk, qPrintable(workerError));

        // The other way round: the main thread's write is kept while a
        // worker holds the lock, and goes in once it is free.
        std::promise<void> locked;
        bool holderOk = false;
        Worker holder([&] {
            QSqlDatabase own = DatabaseConnection::database();
            QSqlQuery q(own);
            holderOk = q.exec(QStringLiteral("BEGIN IMMEDIATE"));
            locked.set_value();
            QThread::msleep(200);
            holderOk = own.commit() && holderOk;
        });
        locked.get_future().wait();
        QVERIFY(DeferredWrites::instance().submit(QString(), [db] {
            QString error;
            return insertRecord(db, QStringLiteral("main2"), &error);
        }));
        holder.join();
        QVERIFY(holderOk);
        QTRY_COMPARE(count(QStringLiteral("reading_records")), 3);
    }

    // A long-lived worker thread outlives one opening of the database (tests
    // reopen it in another folder): it must follow to the new file, and its
    // old connection goes.
    void longLivedWorkerFollowsReopening()
    {
        JobThread thread;
        QString firstName;
        QString firstFile;
        {
            TestEnvironment env;
            QVERIFY(env.openDatabase());
            thread.run([&] {
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
        thread.run([&] {
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

        thread.stop();
        QVERIFY(!QSqlDatabase::connectionNames().contains(secondName));
    }
};

QTEST_GUILESS_MAIN(TestConnection)
#include "tst_connection.moc"
