#include "databaseconnection.h"
#include "deferredwrites.h"
#include "testenvironment.h"
#include "transaction.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QtTest>

#include <sqlite3.h>

#include <atomic>
#include <memory>
#include <vector>
#include <thread>

namespace {

int count(const QString &where)
{
    QSqlQuery q(DatabaseConnection::database());
    q.exec(QStringLiteral("SELECT COUNT(*) FROM time_line_log WHERE ") + where);
    return q.next() ? q.value(0).toInt() : -1;
}

bool insertLog(const QString &id, const QString &payload = QStringLiteral("'x'"))
{
    return QSqlQuery(DatabaseConnection::database()).exec(
        QStringLiteral("INSERT INTO time_line_log (id, action_type) VALUES ('%1', %2)").arg(id, payload));
}

bool inTransaction()
{
    return sqlite3_get_autocommit(Transaction::handle(DatabaseConnection::database())) == 0;
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
        // Kept while the worker holds the lock instead of slipping in.
        const bool mainWrote = DeferredWrites::instance().submit(QString(), [] {
            return QSqlQuery(DatabaseConnection::database()).exec(QStringLiteral(
                "INSERT INTO time_line_log (id, action_type) VALUES ('m', 'main')"));
        });
        worker.join();

        QVERIFY(mainWrote);
        QVERIFY2(workerOk.load(), qPrintable(workerError));
        QTRY_COMPARE(count(QStringLiteral("id IN ('w', 'm')")), 2);
    }

    // SQLite rolls the whole transaction back itself when the file cannot
    // grow. Every level must then say so, and nothing the scope writes
    // afterwards may auto-commit.
    void rollbackBySqliteEndsEveryLevel_data()
    {
        QTest::addColumn<int>("levels");
        QTest::newRow("outermost") << 1;
        QTest::newRow("inside one savepoint") << 2;
        QTest::newRow("inside two savepoints") << 3;
    }

    void rollbackBySqliteEndsEveryLevel()
    {
        QFETCH(int, levels);
        TestEnvironment env;
        QVERIFY(env.openDatabase());
        QSqlDatabase db = DatabaseConnection::database();
        {
            std::vector<std::unique_ptr<Transaction>> open;
            for (int i = 0; i < levels; ++i) {
                open.push_back(std::make_unique<Transaction>(db));
                QVERIFY(open.back()->isActive());
                QCOMPARE(open.back()->isNested(), i > 0);
                QVERIFY(insertLog(QStringLiteral("before%1").arg(i)));
            }
            QSqlQuery pages(db);
            QVERIFY(pages.exec(QStringLiteral("PRAGMA page_count")) && pages.next());
            const int pageCount = pages.value(0).toInt();
            pages.finish();
            QVERIFY(QSqlQuery(db).exec(QStringLiteral("PRAGMA max_page_count = %1").arg(pageCount)));
            QVERIFY(!insertLog(QStringLiteral("big"), QStringLiteral("randomblob(1000000)")));
            QVERIFY(!inTransaction());
            QVERIFY(QSqlQuery(db).exec(QStringLiteral("PRAGMA max_page_count = 1073741823")));

            for (const auto &transaction : open)
                QVERIFY(!transaction->isActive());
            QVERIFY(!insertLog(QStringLiteral("after")));
            QVERIFY(!Transaction(db).isActive());
            while (!open.empty()) {
                QVERIFY(!open.back()->commit());
                open.pop_back();
            }
        }
        QCOMPARE(count(QStringLiteral("1 = 1")), 0);
        // The connection is whole again.
        Transaction next(db);
        QVERIFY(next.isActive() && !next.isNested());
        QVERIFY(insertLog(QStringLiteral("next")));
        QVERIFY(next.commit());
        QCOMPARE(count(QStringLiteral("1 = 1")), 1);
    }

    // Nesting follows what the connection is in, not what this class began;
    // and a BEGIN that cannot get the lock fails rather than nesting.
    void nestingFollowsTheConnection_data()
    {
        QTest::addColumn<QString>("before");
        QTest::addColumn<bool>("active");
        QTest::addColumn<bool>("nested");
        QTest::newRow("nothing open") << QString() << true << false;
        QTest::newRow("someone's BEGIN") << QStringLiteral("BEGIN") << true << true;
        QTest::newRow("another connection holds the lock") << QStringLiteral("worker") << false << false;
    }

    void nestingFollowsTheConnection()
    {
        QFETCH(QString, before);
        QFETCH(bool, active);
        QFETCH(bool, nested);
        TestEnvironment env;
        QVERIFY(env.openDatabase());
        QSqlDatabase db = DatabaseConnection::database();

        std::atomic<int> stage{0};
        std::thread holder;
        if (before == QLatin1String("worker")) {
            holder = std::thread([&] {
                QSqlDatabase own = DatabaseConnection::database();
                QSqlQuery(own).exec(QStringLiteral("BEGIN IMMEDIATE"));
                stage = 1;
                while (stage.load() < 2)
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                QSqlQuery(own).exec(QStringLiteral("ROLLBACK"));
            });
            while (stage.load() < 1)
                QThread::msleep(1);
        } else if (!before.isEmpty()) {
            QVERIFY(QSqlQuery(db).exec(before));
        }
        {
            Transaction transaction(db);
            QCOMPARE(transaction.isActive(), active);
            QCOMPARE(transaction.isNested(), nested);
            QCOMPARE(transaction.wasBusy(), !active);
            QCOMPARE(inTransaction(), active);
            if (active) {
                QVERIFY(insertLog(QStringLiteral("a")));
                QVERIFY(transaction.commit());
                // A savepoint's release leaves the enclosing transaction open.
                QCOMPARE(inTransaction(), nested);
            }
        }
        stage = 2;
        if (holder.joinable())
            holder.join();
        if (inTransaction())
            QVERIFY(QSqlQuery(db).exec(QStringLiteral("COMMIT")));
        QCOMPARE(count(QStringLiteral("1 = 1")), active ? 1 : 0);
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
