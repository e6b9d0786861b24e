#include "databaseconnection.h"
#include "testenvironment.h"
#include "transaction.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QtTest>

#include <atomic>
#include <thread>

namespace {

int count(const QString &where)
{
    QSqlQuery q(DatabaseConnection::database());
    q.exec(QStringLiteral("SELECT COUNT(*) FROM time_line_log WHERE ") + where);
    return q.next() ? q.value(0).toInt() : -1;
}

}

class TestTransaction : public QObject
{
    Q_OBJECT

private slots:
    // A worker's transaction reads before it writes (an import checks whether
    // the book exists first). A main-thread write that lands in between must
    // neither fail nor make the worker's later write fail.
    void readThenWriteSurvivesAnotherThreadsCommit()
    {
        TestEnvironment env;
        QVERIFY(env.openDatabase());

        std::atomic<int> stage{0};
        std::atomic<bool> workerOk{false};
        QString workerError;
        std::thread worker([&] {
            QSqlDatabase db = DatabaseConnection::database();
            {
                Transaction tx(db);
                QSqlQuery read(db);
                read.exec(QStringLiteral("SELECT COUNT(*) FROM time_line_log"));
                read.next();
                read.finish();
                stage = 1;
                while (stage.load() < 2)
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                QSqlQuery write(db);
                const bool wrote = write.exec(QStringLiteral(
                    "INSERT INTO time_line_log (id, action_type) VALUES ('w', 'worker')"));
                if (!wrote)
                    workerError = write.lastError().text();
                workerOk = wrote && tx.commit();
            }
            stage = 3;
        });

        while (stage.load() < 1)
            QThread::msleep(1);
        stage = 2;
        // Waits for the worker's write lock (busy timeout) instead of slipping in.
        QSqlQuery main(DatabaseConnection::database());
        const bool mainWrote = main.exec(QStringLiteral(
            "INSERT INTO time_line_log (id, action_type) VALUES ('m', 'main')"));
        worker.join();

        QVERIFY2(mainWrote, qPrintable(main.lastError().text()));
        QVERIFY2(workerOk.load(), qPrintable(workerError));
        QCOMPARE(count(QStringLiteral("id IN ('w', 'm')")), 2);
    }

    void nestedLevelRollsBackOnlyItsOwnPart()
    {
        TestEnvironment env;
        QVERIFY(env.openDatabase());
        QSqlDatabase db = DatabaseConnection::database();
        {
            Transaction outer(db);
            QVERIFY(outer.isActive());
            QVERIFY(!outer.isNested());
            QSqlQuery(db).exec(QStringLiteral("INSERT INTO time_line_log (id, action_type) VALUES ('a', 'x')"));
            {
                Transaction inner(db);
                QVERIFY(inner.isNested());
                QSqlQuery(db).exec(QStringLiteral("INSERT INTO time_line_log (id, action_type) VALUES ('b', 'x')"));
            } // dropped without commit
            QVERIFY(outer.commit());
        }
        QCOMPARE(count(QStringLiteral("id = 'a'")), 1);
        QCOMPARE(count(QStringLiteral("id = 'b'")), 0);
        QCOMPARE(Transaction::depth(db), 0);
    }
};

QTEST_GUILESS_MAIN(TestTransaction)
#include "tst_transaction.moc"
