#include "applicationcore.h"
#include "chapterdao.h"
#include "chapterinfo.h"
#include "databaseconnection.h"
#include "dbtestutils.h"
#include "deferredwrites.h"
#include "noveldao.h"
#include "novelinfo.h"
#include "testenvironment.h"
#include "transaction.h"

#include <QElapsedTimer>
#include <QSqlQuery>
#include <QtTest>

#include <sqlite3.h>

#include <atomic>
#include <memory>
#include <thread>

namespace {

QDateTime s_now;

// A worker that holds the write lock the way an import's store step does:
// one transaction that writes, waits, and commits.
class LockHolder
{
public:
    explicit LockHolder(int holdMs)
    {
        m_thread = std::thread([this, holdMs] {
            Transaction transaction(DatabaseConnection::database());
            QSqlQuery(DatabaseConnection::database()).exec(QStringLiteral(
                "INSERT INTO time_line_log (id, action_type) VALUES ('import', 'x')"));
            m_locked = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(holdMs));
            m_committed = transaction.commit();
        });
        while (!m_locked.load())
            QThread::msleep(1);
    }
    ~LockHolder() { join(); }

    bool join()
    {
        if (m_thread.joinable())
            m_thread.join();
        return m_committed.load();
    }

private:
    std::thread m_thread;
    std::atomic<bool> m_locked{false};
    std::atomic<bool> m_committed{false};
};

QString cell(const QString &select)
{
    QSqlQuery query(DatabaseConnection::database());
    if (!query.exec(select) || !query.next())
        return QStringLiteral("<no row>");
    return query.value(0).toString();
}

}

class TestWritesWhileBusy : public QObject
{
    Q_OBJECT

private:
    TestEnvironment *m_env = nullptr;

    // The longest the main thread may be held up by one call.
    static constexpr qint64 QuickMs = 500;

private slots:
    void init()
    {
        m_env = new TestEnvironment;
        QVERIFY(m_env->openDatabase());
        const std::unique_ptr<NovelInfo> novel(DbTestUtils::newNovel(QStringLiteral("book"), QStringLiteral("书")));
        QVERIFY(NovelDao().insert(novel.get()));
        ChapterInfo chapter;
        chapter.setId(QStringLiteral("c1"));
        chapter.setNovelId(QStringLiteral("book"));
        chapter.setTitle(QStringLiteral("一"));
        chapter.setStatus(0);
        QVERIFY(ChapterDao().insert(&chapter));
        s_now = QDateTime(QDate(2024, 3, 5), QTime(20, 0, 0));
        ApplicationCore::setClockForTesting([] { return s_now; });
    }

    void cleanup()
    {
        QCOMPARE(DeferredWrites::instance().pendingCount(), 0);
        ApplicationCore::setClockForTesting({});
        delete m_env;
        m_env = nullptr;
    }

    // Everything the reader writes during a 3 s import returns at once and
    // is in the library, in the order it was made, once the import is done.
    void readerWritesDuringAnImport()
    {
        ApplicationCore core;
        LockHolder import(3000);
        QElapsedTimer timer;
        qint64 slowest = 0;
        const auto call = [&](const std::function<void()> &f) {
            timer.start();
            f();
            slowest = qMax(slowest, timer.elapsed());
        };

        call([&] { core.doReading("book", "c1", 0, 10, 100, 0.f); });
        call([&] { core.startReadingSession("book"); });
        s_now = s_now.addSecs(30);
        call([&] { core.heartbeatReadingSession(); });
        call([&] { core.doReading("book", "c1", 0, 25, 250, 0.5f); });
        // A later edit of the same row wins over the reader's status.
        call([&] { QVERIFY(core.updateTableCell("chapter_info", "id", "c1", "status", 7)); });
        s_now = s_now.addSecs(15);
        call([&] { core.heartbeatReadingSession(); });
        QVERIFY2(slowest < QuickMs, qPrintable(QString::number(slowest)));
        QCOMPARE(cell("SELECT COUNT(*) FROM reading_records"), QStringLiteral("0"));

        QVERIFY(import.join());
        QTRY_COMPARE(DeferredWrites::instance().pendingCount(), 0);
        QCOMPARE(cell("SELECT COUNT(*) FROM time_line_log"), QStringLiteral("1"));
        QCOMPARE(cell("SELECT COUNT(*) || ' ' || last_position || ' ' || last_progress_index "
                      "FROM read_process_info"), QStringLiteral("1 25 250"));
        QCOMPARE(cell("SELECT status FROM chapter_info WHERE id = 'c1'"), QStringLiteral("7"));
        QCOMPARE(cell("SELECT duration_seconds FROM reading_records"), QStringLiteral("45"));
        QVERIFY(cell("SELECT update_time FROM novel_info").startsWith(QDate::currentDate().toString(Qt::ISODate)));
    }

    // Kept writes go in before the core is gone, waiting for the lock then.
    void keptWritesGoInBeforeExit()
    {
        {
            ApplicationCore core;
            LockHolder import(1000);
            core.doReading("book", "c1", 0, 33, 330, 0.f);
            QCOMPARE(DeferredWrites::instance().pendingCount(), 3);
        }
        QCOMPARE(DeferredWrites::instance().pendingCount(), 0);
        QCOMPARE(cell("SELECT last_position FROM read_process_info"), QStringLiteral("33"));
        QCOMPARE(cell("SELECT status FROM chapter_info"), QStringLiteral("2"));
    }

    // A page turn's save waits for no disk flush on any connection, and the
    // position a turn saved is in the file when the program quits right after.
    void turnThenQuit()
    {
        {
            ApplicationCore core;
            QCOMPARE(cell("PRAGMA synchronous"), QStringLiteral("1"));
            QString worker;
            std::thread([&worker] { worker = cell("PRAGMA synchronous"); }).join();
            QCOMPARE(worker, QStringLiteral("1"));
            core.doReading("book", "c1", 0, 44, 440, 0.f);
        }
        sqlite3 *other = nullptr;
        QCOMPARE(sqlite3_open_v2(QFile::encodeName(DatabaseConnection::databaseFilePath()).constData(),
                                 &other, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
        sqlite3_stmt *statement = nullptr;
        QCOMPARE(sqlite3_prepare_v2(other, "SELECT last_position FROM read_process_info", -1, &statement, nullptr),
                 SQLITE_OK);
        QCOMPARE(sqlite3_step(statement), SQLITE_ROW);
        QCOMPARE(sqlite3_column_int(statement, 0), 44);
        sqlite3_finalize(statement);
        sqlite3_close(other);
    }

    // The main thread leaves the copy of a long write-ahead log into the
    // database to a worker; it happens all the same.
    void longLogCheckpointed()
    {
        const QString file = DatabaseConnection::databaseFilePath();
        const qint64 before = QFileInfo(file).size();
        {
            Transaction transaction(DatabaseConnection::database());
            QSqlQuery insert(DatabaseConnection::database());
            insert.prepare(QStringLiteral("INSERT INTO time_line_log (id, action_type) VALUES (?, ?)"));
            for (int i = 0; i < 100; ++i) {
                insert.addBindValue(QString::number(i));
                insert.addBindValue(QString(50000, QLatin1Char('x')));
                QVERIFY(insert.exec());
            }
            QVERIFY(transaction.commit());
        }
        QTRY_VERIFY(QFileInfo(file).size() > before + 4500000);
    }
};

QTEST_MAIN(TestWritesWhileBusy)
#include "tst_writeswhilebusy.moc"
