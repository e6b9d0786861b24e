// Start-up cost of the library database: opening an existing version-2 file
// and verifying it column by column, as every start does.
#include "databaseconnection.h"
#include "databasemigrator.h"
#include "testenvironment.h"

#include <QtTest>

class BenchOpen : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_env.isValid());
        QVERIFY(m_env.openDatabase()); // creates the file once
        TestEnvironment::closeDatabase();
    }

    // What start-up does: connect, open, migrate (here: only verify).
    void openAndVerifyExisting()
    {
        QBENCHMARK {
            if (!DatabaseConnection::openAndMigrate())
                QFAIL("open failed");
            TestEnvironment::closeDatabase();
        }
    }

    // The verification alone on an open connection.
    void verifyV2Only()
    {
        QVERIFY(DatabaseConnection::openAndMigrate());
        QSqlDatabase db = DatabaseConnection::database();
        QBENCHMARK {
            if (!DatabaseMigrator::verifyV2(db, nullptr))
                QFAIL("verification failed");
        }
        db = QSqlDatabase();
        TestEnvironment::closeDatabase();
    }

private:
    TestEnvironment m_env;
};

QTEST_GUILESS_MAIN(BenchOpen)
#include "bench_open.moc"
