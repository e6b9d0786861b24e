#include "databaseconnection.h"
#include "dbtestutils.h"
#include "logcapture.h"
#include "readingrecorddao.h"
#include "readingrecordinfo.h"
#include "testenvironment.h"

#include <QDateTime>
#include <QSqlError>
#include <QSqlQuery>
#include <QtTest>

namespace {

using DbTestUtils::execSql;

// id|novel_id|y|m|d|h|min|s|duration|create_time is null|update_time is null
QString storedRow(const QString &id)
{
    return DbTestUtils::storedCells(
        QStringLiteral("SELECT novel_id, start_year, start_month, start_day, start_hour, start_minute, "
                       "start_second, duration_seconds, create_time IS NULL, update_time IS NULL "
                       "FROM reading_records WHERE id = :id"),
        id);
}

int rowCount()
{
    return DbTestUtils::rowCount(QStringLiteral("reading_records"));
}

QVariantMap day(int y, int m, int d, int seconds)
{
    return {{QStringLiteral("year"), y}, {QStringLiteral("month"), m}, {QStringLiteral("day"), d},
            {QStringLiteral("seconds"), seconds}};
}

QVariantMap book(const QString &id, const QString &title, int seconds)
{
    return {{QStringLiteral("novelId"), id}, {QStringLiteral("title"), title}, {QStringLiteral("seconds"), seconds}};
}

}

class TestReadingRecordDao : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void insertStoresStartWithZeroDuration();
    void insertRefusals();
    void updateDuration_data();
    void updateDuration();
    void removeByNovelIdKeepsOtherBooks();
    void recoverDanglingOnlyLogs();

    void emptyTableStatistics();
    void todayCountsOnlySessionsStartedToday();
    void daysAndDates();
    void dailyStatsOfAMonth();
    void perBookStats();

private:
    // Inserts a session and gives it its duration as a heartbeat would.
    void addSession(const QString &id, const QString &novelId, const QDateTime &start, int seconds);

    TestEnvironment m_env;
    ReadingRecordDao m_dao;
};

void TestReadingRecordDao::initTestCase()
{
    QVERIFY(m_env.isValid());
    QVERIFY(m_env.openDatabase());
}

void TestReadingRecordDao::init()
{
    execSql(QStringLiteral("DELETE FROM reading_records"));
    execSql(QStringLiteral("DELETE FROM novel_info"));
}

void TestReadingRecordDao::addSession(const QString &id, const QString &novelId, const QDateTime &start,
                                      int seconds)
{
    ReadingRecordInfo r;
    r.setId(id);
    r.setNovelId(novelId);
    r.setStartYear(start.date().year());
    r.setStartMonth(start.date().month());
    r.setStartDay(start.date().day());
    r.setStartHour(start.time().hour());
    r.setStartMinute(start.time().minute());
    r.setStartSecond(start.time().second());
    QVERIFY(m_dao.insert(&r));
    QVERIFY(m_dao.updateDuration(id, seconds));
}

void TestReadingRecordDao::insertStoresStartWithZeroDuration()
{
    ReadingRecordInfo r;
    r.setId(QStringLiteral("book_1709600000000"));
    r.setNovelId(QStringLiteral("book"));
    r.setStartYear(2024);
    r.setStartMonth(3);
    r.setStartDay(5);
    r.setStartHour(23);
    r.setStartMinute(50);
    r.setStartSecond(7);
    r.setDurationSeconds(100);
    LogCapture log;
    QVERIFY(m_dao.insert(&r));
    QCOMPARE(log.lines(QtInfoMsg),
             QStringList{QStringLiteral("[ReadingRecordDao] 会话开始: \"book_1709600000000\"")});
    // The duration starts at 0 whatever the record says; create_time takes
    // the column default, update_time stays NULL.
    QCOMPARE(storedRow(r.id()), QStringLiteral("book|2024|3|5|23|50|7|0|0|1"));
}

void TestReadingRecordDao::insertRefusals()
{
    {
        LogCapture log;
        QVERIFY(!m_dao.insert(nullptr));
        QCOMPARE(log.lines(QtWarningMsg), QStringList{QStringLiteral("[ReadingRecordDao] insert 失败：record 为空")});
    }
    addSession(QStringLiteral("s"), QStringLiteral("b"), QDateTime(QDate(2024, 1, 1), QTime(8, 0)), 60);
    ReadingRecordInfo again;
    again.setId(QStringLiteral("s"));
    again.setNovelId(QStringLiteral("b"));
    LogCapture log;
    QVERIFY(!m_dao.insert(&again));
    QCOMPARE(log.lines(QtWarningMsg).size(), 1);
    QVERIFY(log.lines(QtWarningMsg).first().startsWith(QStringLiteral("[ReadingRecordDao] insert 失败: \"")));
    QCOMPARE(storedRow(QStringLiteral("s")), QStringLiteral("b|2024|1|1|8|0|0|60|0|1"));
}

// Durations written one after another to a session, and what is stored at the end.
void TestReadingRecordDao::updateDuration_data()
{
    QTest::addColumn<QString>("id");
    QTest::addColumn<QList<int>>("writes");
    QTest::addColumn<int>("stored");

    QTest::newRow("last write wins, not a sum") << QStringLiteral("s") << QList<int>{30, 80} << 80;
    QTest::newRow("shorter total overwrites") << QStringLiteral("s") << QList<int>{80, 30} << 30;
    QTest::newRow("negative counts as nothing") << QStringLiteral("s") << QList<int>{-5} << 0;
    QTest::newRow("negative after progress") << QStringLiteral("s") << QList<int>{40, -3600} << 0;
    QTest::newRow("no such session") << QStringLiteral("other") << QList<int>{30} << 0;
}

void TestReadingRecordDao::updateDuration()
{
    QFETCH(QString, id);
    QFETCH(QList<int>, writes);
    QFETCH(int, stored);

    ReadingRecordInfo r;
    r.setId(QStringLiteral("s"));
    r.setNovelId(QStringLiteral("b"));
    r.setStartYear(2024);
    r.setStartMonth(6);
    r.setStartDay(1);
    QVERIFY(m_dao.insert(&r));
    LogCapture log;
    for (int seconds : writes)
        QVERIFY(m_dao.updateDuration(id, seconds));
    QCOMPARE(log.count(), 0);
    QCOMPARE(storedRow(QStringLiteral("s")), QStringLiteral("b|2024|6|1|0|0|0|%1|0|1").arg(stored));
    QCOMPARE(rowCount(), 1);
    QVERIFY(m_dao.getTotalSeconds() >= 0);
}

void TestReadingRecordDao::removeByNovelIdKeepsOtherBooks()
{
    const QDateTime start(QDate(2024, 2, 2), QTime(10, 0));
    addSession(QStringLiteral("a1"), QStringLiteral("a"), start, 10);
    addSession(QStringLiteral("a2"), QStringLiteral("a"), start.addDays(1), 20);
    addSession(QStringLiteral("b1"), QStringLiteral("b"), start, 40);
    LogCapture log;
    QVERIFY(m_dao.removeByNovelId(QStringLiteral("a")));
    QCOMPARE(log.lines(QtInfoMsg), QStringList{QStringLiteral("[ReadingRecordDao] 已删除小说 \"a\" 的阅读记录")});
    QCOMPARE(rowCount(), 1);
    QCOMPARE(m_dao.getTotalSeconds(), 40);
}

void TestReadingRecordDao::recoverDanglingOnlyLogs()
{
    addSession(QStringLiteral("cut"), QStringLiteral("b"), QDateTime(QDate(2024, 2, 2), QTime(10, 0)), 90);
    LogCapture log;
    m_dao.recoverDangling();
    QCOMPARE(log.lines(QtInfoMsg),
             QStringList{QStringLiteral("[ReadingRecordDao] 崩溃恢复：心跳已保数据安全，无需修复")});
    QCOMPARE(storedRow(QStringLiteral("cut")), QStringLiteral("b|2024|2|2|10|0|0|90|0|1"));
    QCOMPARE(rowCount(), 1);
}

void TestReadingRecordDao::emptyTableStatistics()
{
    const QDate today = QDate::currentDate();
    LogCapture log;
    QCOMPARE(m_dao.getTodaySeconds(), 0);
    QCOMPARE(m_dao.getTotalSeconds(), 0);
    QCOMPARE(m_dao.getDistinctDays(), 0);
    QVERIFY(m_dao.getDistinctDatesDesc().isEmpty());
    QVERIFY(m_dao.getDailyStats(today.year(), today.month()).isEmpty());
    QVERIFY(m_dao.getMonthlyPerBookStats(today.year(), today.month()).isEmpty());
    QVERIFY(m_dao.getPerBookStats().isEmpty());
    QCOMPARE(log.count(), 0);
}

void TestReadingRecordDao::todayCountsOnlySessionsStartedToday()
{
    // Seeded relative to the current date; redone if midnight passes meanwhile.
    QDate today;
    int seconds = -1;
    do {
        init();
        today = QDate::currentDate();
        const QDate yesterday = today.addDays(-1);
        addSession(QStringLiteral("t1"), QStringLiteral("a"), QDateTime(today, QTime(0, 0, 1)), 300);
        addSession(QStringLiteral("t2"), QStringLiteral("b"), QDateTime(today, QTime(23, 59, 59)), 45);
        // Ran past midnight into today: counts for yesterday only.
        addSession(QStringLiteral("y1"), QStringLiteral("a"), QDateTime(yesterday, QTime(23, 50)), 1800);
        addSession(QStringLiteral("l1"), QStringLiteral("a"), QDateTime(today.addYears(-1), QTime(12, 0)), 999);
        addSession(QStringLiteral("m1"), QStringLiteral("a"), QDateTime(today.addMonths(-1), QTime(12, 0)), 777);
        seconds = m_dao.getTodaySeconds();
    } while (today != QDate::currentDate());

    QCOMPARE(seconds, 345);
    QCOMPARE(m_dao.getTotalSeconds(), 300 + 45 + 1800 + 999 + 777);
    const QVariantList yesterdayStats = m_dao.getDailyStats(today.addDays(-1).year(), today.addDays(-1).month());
    QVERIFY(yesterdayStats.contains(
        day(today.addDays(-1).year(), today.addDays(-1).month(), today.addDays(-1).day(), 1800)));
}

void TestReadingRecordDao::daysAndDates()
{
    addSession(QStringLiteral("1"), QStringLiteral("a"), QDateTime(QDate(2024, 3, 5), QTime(8, 0)), 10);
    addSession(QStringLiteral("2"), QStringLiteral("b"), QDateTime(QDate(2024, 3, 5), QTime(21, 0)), 20);
    addSession(QStringLiteral("3"), QStringLiteral("a"), QDateTime(QDate(2024, 3, 7), QTime(9, 0)), 30);
    // Day texts without leading zeros must still keep these two days apart.
    addSession(QStringLiteral("4"), QStringLiteral("a"), QDateTime(QDate(2024, 1, 11), QTime(9, 0)), 1);
    addSession(QStringLiteral("5"), QStringLiteral("a"), QDateTime(QDate(2024, 11, 1), QTime(9, 0)), 1);
    addSession(QStringLiteral("6"), QStringLiteral("a"), QDateTime(QDate(2023, 12, 31), QTime(9, 0)), 1);
    // A session with no time read still makes its day a reading day.
    addSession(QStringLiteral("7"), QStringLiteral("a"), QDateTime(QDate(2024, 3, 10), QTime(9, 0)), 0);

    QCOMPARE(m_dao.getDistinctDays(), 6);
    // Numeric order: November before March before January, then the year before.
    QCOMPARE(m_dao.getDistinctDatesDesc(),
             QList<QDate>({QDate(2024, 11, 1), QDate(2024, 3, 10), QDate(2024, 3, 7), QDate(2024, 3, 5),
                           QDate(2024, 1, 11), QDate(2023, 12, 31)}));
}

void TestReadingRecordDao::dailyStatsOfAMonth()
{
    addSession(QStringLiteral("1"), QStringLiteral("a"), QDateTime(QDate(2024, 3, 5), QTime(8, 0)), 10);
    addSession(QStringLiteral("2"), QStringLiteral("b"), QDateTime(QDate(2024, 3, 5), QTime(21, 0)), 20);
    addSession(QStringLiteral("3"), QStringLiteral("a"), QDateTime(QDate(2024, 3, 7), QTime(9, 0)), 30);
    addSession(QStringLiteral("4"), QStringLiteral("a"), QDateTime(QDate(2024, 3, 31), QTime(23, 50)), 1800);
    addSession(QStringLiteral("5"), QStringLiteral("a"), QDateTime(QDate(2024, 3, 12), QTime(9, 0)), 40);
    addSession(QStringLiteral("6"), QStringLiteral("a"), QDateTime(QDate(2024, 4, 1), QTime(9, 0)), 50);
    addSession(QStringLiteral("7"), QStringLiteral("a"), QDateTime(QDate(2023, 3, 6), QTime(9, 0)), 60);

    QCOMPARE(m_dao.getDailyStats(2024, 3),
             QVariantList({day(2024, 3, 5, 30), day(2024, 3, 7, 30), day(2024, 3, 12, 40), day(2024, 3, 31, 1800)}));
    QCOMPARE(m_dao.getDailyStats(2024, 4), QVariantList({day(2024, 4, 1, 50)}));
    QVERIFY(m_dao.getDailyStats(2024, 5).isEmpty());
}

void TestReadingRecordDao::perBookStats()
{
    execSql(QStringLiteral("INSERT INTO novel_info (id, title) VALUES ('a', '甲书'), ('b', 'Book B')"));
    const QDate march(2024, 3, 1);
    addSession(QStringLiteral("a1"), QStringLiteral("a"), QDateTime(march, QTime(8, 0)), 100);
    addSession(QStringLiteral("a2"), QStringLiteral("a"), QDateTime(march.addDays(3), QTime(8, 0)), 150);
    addSession(QStringLiteral("b1"), QStringLiteral("b"), QDateTime(march.addDays(1), QTime(8, 0)), 400);
    // A book no longer in the library keeps its sessions, with an empty title.
    addSession(QStringLiteral("g1"), QStringLiteral("gone"), QDateTime(march.addDays(2), QTime(8, 0)), 10);
    addSession(QStringLiteral("a3"), QStringLiteral("a"), QDateTime(QDate(2024, 4, 2), QTime(8, 0)), 500);

    QCOMPARE(m_dao.getMonthlyPerBookStats(2024, 3),
             QVariantList({book("b", "Book B", 400), book("a", "甲书", 250), book("gone", "", 10)}));
    QCOMPARE(m_dao.getMonthlyPerBookStats(2024, 4), QVariantList({book("a", "甲书", 500)}));
    QVERIFY(m_dao.getMonthlyPerBookStats(2024, 5).isEmpty());
    QCOMPARE(m_dao.getPerBookStats(),
             QVariantList({book("a", "甲书", 750), book("b", "Book B", 400), book("gone", "", 10)}));
}

QTEST_GUILESS_MAIN(TestReadingRecordDao)
#include "tst_readingrecorddao.moc"
