#include "applicationcore.h"
#include "databaseconnection.h"
#include "dbtestutils.h"
#include "noveldao.h"
#include "novelinfo.h"
#include "readingrecorddao.h"
#include "readingrecordinfo.h"
#include "readprocessdao.h"
#include "readprocessinfo.h"
#include "testenvironment.h"

#include <QSignalSpy>
#include <QSqlQuery>
#include <QtTest>

#include <memory>

namespace {

// The time the core sees; each test moves it by hand.
QDateTime s_now;

int durationOf(const QString &id)
{
    QSqlQuery q(DatabaseConnection::database());
    q.prepare(QStringLiteral("SELECT duration_seconds FROM reading_records WHERE id = :id"));
    q.bindValue(QStringLiteral(":id"), id);
    if (!q.exec() || !q.next())
        return -1;
    return q.value(0).toInt();
}

int recordCount()
{
    return DbTestUtils::rowCount(QStringLiteral("reading_records"));
}

QString onlyRecordId()
{
    QSqlQuery q(DatabaseConnection::database());
    q.exec(QStringLiteral("SELECT id FROM reading_records"));
    return q.next() ? q.value(0).toString() : QString();
}

// A finished session dated on a given local day.
bool addSession(const QString &id, const QString &novelId, const QDate &date, int seconds)
{
    ReadingRecordDao dao;
    ReadingRecordInfo record;
    record.setId(id);
    record.setNovelId(novelId);
    record.setStartYear(date.year());
    record.setStartMonth(date.month());
    record.setStartDay(date.day());
    record.setStartHour(12);
    return dao.insert(&record) && dao.updateDuration(id, seconds);
}

bool addNovel(const QString &id, qlonglong totalProgress)
{
    const std::unique_ptr<NovelInfo> novel(DbTestUtils::newNovel(id, id));
    novel->setTotalProgress(totalProgress);
    return NovelDao().insert(novel.get());
}

bool addPosition(const QString &novelId, qint64 progressIndex)
{
    ReadProcessDao dao;
    ReadProcessInfo process;
    process.setId(QStringLiteral("rp-") + novelId);
    process.setNovelId(novelId);
    process.setChapterId(QStringLiteral("c"));
    process.setChapterIndex(0);
    process.setLastPosition(0);
    process.setLastProgressIndex(progressIndex);
    process.setCreateTime(QStringLiteral("2020-01-01 00:00:00"));
    process.setUpdateTime(QStringLiteral("2020-01-01 00:00:00"));
    return dao.insert(&process);
}

}

class TestReadingSessions : public QObject
{
    Q_OBJECT

private:
    TestEnvironment *m_env = nullptr;

private slots:
    void init()
    {
        m_env = new TestEnvironment;
        QVERIFY(m_env->openDatabase());
        s_now = QDateTime(QDate(2024, 3, 5), QTime(23, 50, 7));
        ApplicationCore::setClockForTesting([] { return s_now; });
    }

    void cleanup()
    {
        ApplicationCore::setClockForTesting({});
        delete m_env;
        m_env = nullptr;
    }

    // A script of steps "<seconds to move the clock><action>": h = heartbeat,
    // e = end, c = closeBook; the seconds may be negative (clock set back).
    void sessionDuration_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<int>("duration");
        QTest::newRow("heartbeat after 30 s") << "30h" << 30;
        QTest::newRow("end 50 s after the heartbeat") << "30h 50e" << 80;
        QTest::newRow("end exactly 70 s after the heartbeat") << "30h 70e" << 100;
        QTest::newRow("end 71 s after the heartbeat") << "30h 71e" << 30;
        QTest::newRow("end without heartbeat") << "20e" << 0;
        QTest::newRow("heartbeats store the total") << "30h 30h 30h" << 90;
        QTest::newRow("late heartbeat after a pause still counts") << "30h 200h 10e" << 240;
        QTest::newRow("heartbeat after the end does nothing") << "30h 10e 100h 5e" << 40;
        QTest::newRow("clock set back before the start") << "-40h" << 0;
        QTest::newRow("clock set back at the end") << "30h -10e" << 20;
        QTest::newRow("clock set back behind the start at the end") << "30h -45e" << 0;
        QTest::newRow("closeBook ends the session") << "30h 20c" << 50;
        QTest::newRow("closeBook after a long pause") << "30h 90c" << 30;
    }

    void sessionDuration()
    {
        QFETCH(QString, script);
        QFETCH(int, duration);

        ApplicationCore core;
        core.startReadingSession(QStringLiteral("book"));
        const QString id = onlyRecordId();
        QCOMPARE(durationOf(id), 0);

        for (const QString &step : script.split(QLatin1Char(' '))) {
            bool ok = false;
            const int seconds = step.chopped(1).toInt(&ok);
            QVERIFY(ok);
            s_now = s_now.addSecs(seconds);
            switch (step.back().toLatin1()) {
            case 'h': core.heartbeatReadingSession(); break;
            case 'e': core.endReadingSession(); break;
            case 'c': core.closeBook(); break;
            default: QFAIL("unknown step");
            }
        }
        QCOMPARE(durationOf(id), duration);
        QCOMPARE(recordCount(), 1);
    }

    void sessionRowHoldsTheLocalStart()
    {
        ApplicationCore core;
        core.startReadingSession(QStringLiteral("book"));
        QSqlQuery q(DatabaseConnection::database());
        QVERIFY(q.exec(QStringLiteral("SELECT id, novel_id, start_year, start_month, start_day, "
                                      "start_hour, start_minute, start_second FROM reading_records")));
        QVERIFY(q.next());
        QCOMPARE(q.value(0).toString(),
                 QStringLiteral("book_") + QString::number(s_now.toMSecsSinceEpoch()));
        QCOMPARE(q.value(1).toString(), QStringLiteral("book"));
        const QList<int> fields{q.value(2).toInt(), q.value(3).toInt(), q.value(4).toInt(),
                                q.value(5).toInt(), q.value(6).toInt(), q.value(7).toInt()};
        QCOMPARE(fields, (QList<int>{2024, 3, 5, 23, 50, 7}));

        // A session past midnight stays on the day it started.
        s_now = s_now.addSecs(1800);
        core.heartbeatReadingSession();
        QCOMPARE(core.getDailyReadingStats(2024, 3).size(), 1);
        QCOMPARE(core.getDailyReadingStats(2024, 3).first().toMap().value("day").toInt(), 5);
        QCOMPARE(core.getDailyReadingStats(2024, 3).first().toMap().value("seconds").toInt(), 1800);
    }

    void newSessionReplacesTheCurrentOne()
    {
        ApplicationCore core;
        core.startReadingSession(QStringLiteral("a"));
        const QString first = onlyRecordId();
        s_now = s_now.addSecs(30);
        core.heartbeatReadingSession();
        s_now = s_now.addSecs(5);
        core.startReadingSession(QStringLiteral("b"));
        s_now = s_now.addSecs(10);
        core.endReadingSession();

        QCOMPARE(recordCount(), 2);
        QCOMPARE(durationOf(first), 30);
        // The new session had no heartbeat, so its end stores nothing.
        const QString second = QStringLiteral("b_") + QString::number(s_now.addSecs(-10).toMSecsSinceEpoch());
        QCOMPARE(durationOf(second), 0);
    }

    void failedStartKeepsTheCurrentSession()
    {
        ApplicationCore core;
        core.startReadingSession(QStringLiteral("a"));
        const QString first = onlyRecordId();
        // Same book, same millisecond: the id exists, the insert fails.
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("insert 失败")));
        core.startReadingSession(QStringLiteral("a"));
        QCOMPARE(recordCount(), 1);

        s_now = s_now.addSecs(45);
        core.heartbeatReadingSession();
        QCOMPARE(durationOf(first), 45);
    }

    void failedStartWithoutSessionLeavesNoSession()
    {
        QVERIFY(addSession(QStringLiteral("a_") + QString::number(s_now.toMSecsSinceEpoch()),
                           QStringLiteral("a"), QDate(2024, 3, 5), 12));
        ApplicationCore core;
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("insert 失败")));
        core.startReadingSession(QStringLiteral("a"));
        s_now = s_now.addSecs(30);
        core.heartbeatReadingSession();
        core.endReadingSession();
        // The row that was there is not taken over by a failed start.
        QCOMPARE(durationOf(onlyRecordId()), 12);
    }

    void closeBookAdvancesTheGeneration()
    {
        ApplicationCore core;
        auto *render = core.findChild<RenderPool *>();
        QVERIFY(render);
        QSignalSpy rendered(&core, &ApplicationCore::poolPageRendered);

        // Without a session, closeBook still makes older page work stale.
        core.closeBook();
        emit render->pageRendered(QStringLiteral("c1"), 0, 0);
        QCOMPARE(rendered.count(), 0);
        emit render->pageRendered(QStringLiteral("c1"), 0, 1);
        QCOMPARE(rendered.count(), 1);

        core.closeBook();
        emit render->pageRendered(QStringLiteral("c1"), 1, 1);
        QCOMPARE(rendered.count(), 1);
        QCOMPARE(recordCount(), 0);
    }

    void totalReadingHours_data()
    {
        QTest::addColumn<QList<int>>("durations");
        QTest::addColumn<int>("hours");
        QTest::newRow("empty") << QList<int>{} << 0;
        QTest::newRow("3599 s") << QList<int>{3599} << 0;
        QTest::newRow("3600 s") << QList<int>{3600} << 1;
        QTest::newRow("two halves") << QList<int>{1800, 1800} << 1;
        QTest::newRow("just under two hours") << QList<int>{3600, 1800, 1799} << 1;
        QTest::newRow("ten hours") << QList<int>{36000} << 10;
    }

    void totalReadingHours()
    {
        QFETCH(QList<int>, durations);
        QFETCH(int, hours);
        const QDate today = QDate::currentDate();
        for (int i = 0; i < durations.size(); ++i)
            QVERIFY(addSession(QStringLiteral("s") + QString::number(i), QStringLiteral("b"),
                               today.addDays(-i * 40), durations.at(i)));
        ApplicationCore core;
        QCOMPARE(core.getTotalReadingHours(), hours);
    }

    // Reading days as offsets from today (0 = today, -1 = yesterday ...).
    void readingStreak_data()
    {
        QTest::addColumn<QList<int>>("days");
        QTest::addColumn<int>("streak");
        QTest::addColumn<int>("distinctDays");
        QTest::newRow("nothing read") << QList<int>{} << 0 << 0;
        QTest::newRow("today, yesterday, the day before") << QList<int>{0, -1, -2} << 3 << 3;
        QTest::newRow("yesterday and the day before") << QList<int>{-1, -2} << 2 << 2;
        QTest::newRow("only the day before yesterday") << QList<int>{-2} << 0 << 1;
        QTest::newRow("today and the day before yesterday") << QList<int>{0, -2} << 1 << 2;
        QTest::newRow("only today") << QList<int>{0} << 1 << 1;
        QTest::newRow("several sessions a day") << QList<int>{0, 0, -1, -1, -1} << 2 << 2;
        QTest::newRow("gap ends the count") << QList<int>{-1, -2, -3, -5, -6} << 3 << 5;
        QTest::newRow("across month ends") << QList<int>{0, -1, -2, -3, -4, -5, -6, -7, -8, -9,
                                                         -10, -11, -12, -13, -14, -15, -16, -17,
                                                         -18, -19, -20, -21, -22, -23, -24, -25,
                                                         -26, -27, -28, -29, -30, -31, -32, -33}
                                               << 34 << 34;
        QTest::newRow("a year ago and today") << QList<int>{0, -365} << 1 << 2;
    }

    void readingStreak()
    {
        QFETCH(QList<int>, days);
        QFETCH(int, streak);
        QFETCH(int, distinctDays);
        const QDate today = QDate::currentDate();
        s_now = QDateTime(today, QTime::currentTime());
        for (int i = 0; i < days.size(); ++i)
            QVERIFY(addSession(QStringLiteral("s") + QString::number(i), QStringLiteral("b"),
                               today.addDays(days.at(i)), 60));
        ApplicationCore core;
        QCOMPARE(core.getReadingStreak(), streak);
        QCOMPARE(core.getReadingDays(), distinctDays);
    }

    void todayCountsOnlyToday()
    {
        const QDate today = QDate::currentDate();
        QVERIFY(addSession(QStringLiteral("t1"), QStringLiteral("a"), today, 100));
        QVERIFY(addSession(QStringLiteral("t2"), QStringLiteral("b"), today, 25));
        QVERIFY(addSession(QStringLiteral("y1"), QStringLiteral("a"), today.addDays(-1), 1000));
        QVERIFY(addSession(QStringLiteral("l1"), QStringLiteral("a"), today.addYears(-1), 1000));
        ApplicationCore core;
        QCOMPARE(core.getTodayReadingSeconds(), 125);
    }

    void monthlyFigures()
    {
        QVERIFY(addNovel(QStringLiteral("a"), 10));
        QVERIFY(addSession(QStringLiteral("1"), QStringLiteral("a"), QDate(2024, 2, 29), 50));
        QVERIFY(addSession(QStringLiteral("2"), QStringLiteral("a"), QDate(2024, 3, 7), 10));
        QVERIFY(addSession(QStringLiteral("3"), QStringLiteral("gone"), QDate(2024, 3, 5), 20));
        QVERIFY(addSession(QStringLiteral("4"), QStringLiteral("a"), QDate(2024, 3, 5), 5));
        ApplicationCore core;

        const QVariantList daily = core.getDailyReadingStats(2024, 3);
        QCOMPARE(daily.size(), 2);
        QCOMPARE(daily.at(0).toMap().value("day").toInt(), 5);
        QCOMPARE(daily.at(0).toMap().value("seconds").toInt(), 25);
        QCOMPARE(daily.at(1).toMap().value("day").toInt(), 7);

        const QVariantList perBook = core.getMonthlyPerBookStats(2024, 3);
        QCOMPARE(perBook.size(), 2);
        QCOMPARE(perBook.at(0).toMap().value("novelId").toString(), QStringLiteral("gone"));
        QCOMPARE(perBook.at(0).toMap().value("title").toString(), QString());
        QCOMPARE(perBook.at(1).toMap().value("title").toString(), QStringLiteral("a"));
        QCOMPARE(perBook.at(1).toMap().value("seconds").toInt(), 15);
        QVERIFY(core.getMonthlyPerBookStats(2024, 4).isEmpty());
    }

    // Each book: total progress and reading position (-2 = no position).
    void finishedBookCount_data()
    {
        QTest::addColumn<QList<qlonglong>>("totals");
        QTest::addColumn<QList<qlonglong>>("positions");
        QTest::addColumn<int>("finished");
        QTest::newRow("empty library") << QList<qlonglong>{} << QList<qlonglong>{} << 0;
        QTest::newRow("at the end") << QList<qlonglong>{100} << QList<qlonglong>{100} << 1;
        QTest::newRow("one before the end") << QList<qlonglong>{100} << QList<qlonglong>{99} << 0;
        QTest::newRow("past the end") << QList<qlonglong>{100} << QList<qlonglong>{150} << 1;
        QTest::newRow("no progress scale") << QList<qlonglong>{0} << QList<qlonglong>{0} << 0;
        QTest::newRow("no progress scale, position past it") << QList<qlonglong>{0} << QList<qlonglong>{5} << 0;
        QTest::newRow("never opened") << QList<qlonglong>{100} << QList<qlonglong>{-2} << 0;
        QTest::newRow("beyond 32 bits")
            << QList<qlonglong>{5000000000LL, 5000000000LL}
            << QList<qlonglong>{5000000000LL, 4999999999LL} << 1;
        QTest::newRow("mixed library")
            << QList<qlonglong>{10, 20, 30, 0} << QList<qlonglong>{10, 19, 31, -2} << 2;
    }

    void finishedBookCount()
    {
        QFETCH(QList<qlonglong>, totals);
        QFETCH(QList<qlonglong>, positions);
        QFETCH(int, finished);
        for (int i = 0; i < totals.size(); ++i) {
            const QString id = QStringLiteral("n") + QString::number(i);
            QVERIFY(addNovel(id, totals.at(i)));
            if (positions.at(i) != -2)
                QVERIFY(addPosition(id, positions.at(i)));
        }
        // A position of a book no longer in the library is not counted.
        QVERIFY(addPosition(QStringLiteral("removed"), 1000));
        ApplicationCore core;
        QCOMPARE(core.getFinishedBookCount(), finished);
    }

    void readingPositionRoundTrip()
    {
        QVERIFY(addNovel(QStringLiteral("a"), 100));
        ApplicationCore core;
        QVERIFY(!core.getReadProcessByNovelId(QStringLiteral("a")));
        core.doReading(QStringLiteral("a"), QStringLiteral("a-c1"), 1, 42, 77, 0.5f);
        QScopedPointer<QObject> process(core.getReadProcessByNovelId(QStringLiteral("a")));
        QVERIFY(process);
        QCOMPARE(process->property("chapterId").toString(), QStringLiteral("a-c1"));
        QCOMPARE(process->property("lastPosition").toInt(), 42);
        QCOMPARE(process->property("lastProgressIndex").toLongLong(), 77LL);
        QCOMPARE(process->property("lastBlockOffset").toFloat(), 0.5f);
        QVERIFY(!process->parent());
    }
};

QTEST_MAIN(TestReadingSessions)
#include "tst_readingsessions.moc"
