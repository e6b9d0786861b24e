#include "databaseconnection.h"
#include "dbtestutils.h"
#include "logcapture.h"
#include "readprocessdao.h"
#include "readprocessinfo.h"
#include "testenvironment.h"

#include <QMetaProperty>
#include <QSignalSpy>
#include <QSqlError>
#include <QSqlQuery>
#include <QtConcurrent>
#include <QtTest>

#include <cmath>
#include <limits>
#include <memory>

namespace {

using DbTestUtils::execSql;

std::unique_ptr<ReadProcessInfo> takeRecord(QObject *object)
{
    return std::unique_ptr<ReadProcessInfo>(qobject_cast<ReadProcessInfo *>(object));
}

// The stored row as text, column by column, NULL shown as "NULL".
QString storedRow(const QString &id)
{
    return DbTestUtils::storedCells(
        QStringLiteral("SELECT novel_id, chapter_id, chapter_index, last_position, last_progress_index, "
                       "last_block_offset, create_time, update_time FROM read_process_info WHERE id = :id"),
        id, QStringLiteral("NULL"));
}

}

class TestReadProcessDao : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    // Record
    void freshRecordIsUnsetAndPrintsThat();
    void textLeavesOutProgressAndOffset();
    void settersEmitOnlyOnChange_data();
    void settersEmitOnlyOnChange();

    // Insert and reads
    void insertedRecordReadsBack();
    void freshRecordInsertsItsMarkers();
    void nullColumnsReadAsZero();
    void insertRefusals();
    void missingRowsGiveNullWithWarning();
    void listIsNewestFirst();
    void emptyListWithoutWarning();

    // Update rule
    void update_data();
    void update();
    void updateRefusesNullRecordAndId();

    // Removal
    void removeDeletesOnlyItsRow();
    void removeOfMissingRowSucceeds();
    void removeByNovelIdFromWorkerThread();

private:
    ReadProcessInfo *fullRecord(const QString &id, const QString &novelId, const QString &updateTime);

    TestEnvironment m_env;
    ReadProcessDao m_dao;
};

void TestReadProcessDao::initTestCase()
{
    QVERIFY(m_env.isValid());
    QVERIFY(m_env.openDatabase());
}

void TestReadProcessDao::init()
{
    execSql(QStringLiteral("DELETE FROM read_process_info"));
}

ReadProcessInfo *TestReadProcessDao::fullRecord(const QString &id, const QString &novelId,
                                                const QString &updateTime)
{
    auto *p = new ReadProcessInfo;
    p->setId(id);
    p->setNovelId(novelId);
    p->setChapterId(novelId + QStringLiteral("_ch3"));
    p->setChapterIndex(3);
    p->setLastPosition(120);
    p->setLastProgressIndex(Q_INT64_C(5000000000));
    p->setLastBlockOffset(0.25f);
    p->setCreateTime(QStringLiteral("2024-01-01 08:00:00"));
    p->setUpdateTime(updateTime);
    return p;
}

void TestReadProcessDao::freshRecordIsUnsetAndPrintsThat()
{
    ReadProcessInfo p;
    QVERIFY(p.id().isNull() && p.novelId().isNull() && p.chapterId().isNull());
    QVERIFY(p.createTime().isNull() && p.updateTime().isNull());
    QCOMPARE(p.lastPosition(), -1);
    QCOMPARE(p.chapterIndex(), -1);
    QCOMPARE(p.lastProgressIndex(), qint64(-1));
    // Unset lies below -1.0, which is itself a valid offset.
    QCOMPARE(p.lastBlockOffset(), -2.0f);
    QCOMPARE(p.toString(),
             QStringLiteral("ReadProcessInfo{id='', novelId='', chapterId='', lastPosition=-1, "
                            "chapterIndex=-1, createTime='', updateTime=''}"));
}

void TestReadProcessDao::textLeavesOutProgressAndOffset()
{
    std::unique_ptr<ReadProcessInfo> p(fullRecord(QStringLiteral("k"), QStringLiteral("书"),
                                                  QStringLiteral("2024-01-02 09:30:00")));
    QCOMPARE(p->toString(),
             QStringLiteral("ReadProcessInfo{id='k', novelId='书', chapterId='书_ch3', lastPosition=120, "
                            "chapterIndex=3, createTime='2024-01-01 08:00:00', "
                            "updateTime='2024-01-02 09:30:00'}"));
}

void TestReadProcessDao::settersEmitOnlyOnChange_data()
{
    QTest::addColumn<QByteArray>("property");
    QTest::addColumn<QVariant>("first");
    QTest::addColumn<QVariant>("second");
    QTest::addColumn<int>("emissions");

    const QVariant nan = QVariant::fromValue(std::numeric_limits<float>::quiet_NaN());
    QTest::newRow("string changed twice") << QByteArray("novelId") << QVariant(QStringLiteral("a"))
                                          << QVariant(QStringLiteral("b")) << 2;
    QTest::newRow("string same value") << QByteArray("chapterId") << QVariant(QStringLiteral("a"))
                                       << QVariant(QStringLiteral("a")) << 1;
    QTest::newRow("empty onto null") << QByteArray("id") << QVariant(QString(""))
                                     << QVariant(QString("")) << 0;
    QTest::newRow("int default again") << QByteArray("lastPosition") << QVariant(-1) << QVariant(-1) << 0;
    QTest::newRow("int same value") << QByteArray("chapterIndex") << QVariant(4) << QVariant(4) << 1;
    QTest::newRow("int64 changed") << QByteArray("lastProgressIndex")
                                   << QVariant::fromValue(qint64(1)) << QVariant::fromValue(qint64(2)) << 2;
    QTest::newRow("offset same value") << QByteArray("lastBlockOffset") << QVariant::fromValue(0.5f)
                                       << QVariant::fromValue(0.5f) << 1;
    QTest::newRow("offset NaN twice") << QByteArray("lastBlockOffset") << nan << nan << 2;
    QTest::newRow("time changed") << QByteArray("updateTime") << QVariant(QStringLiteral("x"))
                                  << QVariant(QStringLiteral("y")) << 2;
}

void TestReadProcessDao::settersEmitOnlyOnChange()
{
    QFETCH(QByteArray, property);
    QFETCH(QVariant, first);
    QFETCH(QVariant, second);
    QFETCH(int, emissions);

    ReadProcessInfo p;
    const QMetaProperty meta = p.metaObject()->property(p.metaObject()->indexOfProperty(property));
    QVERIFY(meta.isValid() && meta.hasNotifySignal());
    QSignalSpy spy(&p, meta.notifySignal());
    QVERIFY(meta.write(&p, first));
    QVERIFY(meta.write(&p, second));
    QCOMPARE(spy.count(), emissions);
    if (meta.type() == QVariant::String && second.toString().isEmpty())
        QVERIFY(meta.read(&p).toString().isNull());
}

void TestReadProcessDao::insertedRecordReadsBack()
{
    std::unique_ptr<ReadProcessInfo> p(fullRecord(QStringLiteral("id-1"), QStringLiteral("novel-1"),
                                                  QStringLiteral("2024-01-02 09:30:00")));
    p->setLastBlockOffset(-1.0f);
    QVERIFY(m_dao.insert(p.get()));

    for (int pass = 0; pass < 2; ++pass) {
        auto back = takeRecord(pass == 0 ? m_dao.queryById(QStringLiteral("id-1"))
                                         : m_dao.queryByNovelId(QStringLiteral("novel-1")));
        QVERIFY(back);
        QVERIFY(!back->parent());
        QCOMPARE(back->id(), p->id());
        QCOMPARE(back->novelId(), p->novelId());
        QCOMPARE(back->chapterId(), p->chapterId());
        QCOMPARE(back->chapterIndex(), 3);
        QCOMPARE(back->lastPosition(), 120);
        QCOMPARE(back->lastProgressIndex(), Q_INT64_C(5000000000));
        QCOMPARE(back->lastBlockOffset(), -1.0f);
        QCOMPARE(back->createTime(), p->createTime());
        QCOMPARE(back->updateTime(), p->updateTime());
    }
}

void TestReadProcessDao::freshRecordInsertsItsMarkers()
{
    ReadProcessInfo p;
    p.setId(QStringLiteral("bare"));
    QVERIFY(m_dao.insert(&p));
    // Every column is named, so the schema defaults do not apply and null strings stay NULL.
    QCOMPARE(storedRow(QStringLiteral("bare")), QStringLiteral("NULL|NULL|-1|-1|-1|-2|NULL|NULL"));
    auto back = takeRecord(m_dao.queryById(QStringLiteral("bare")));
    QVERIFY(back);
    QCOMPARE(back->lastBlockOffset(), -2.0f);
    QVERIFY(back->novelId().isNull());
}

void TestReadProcessDao::nullColumnsReadAsZero()
{
    execSql(QStringLiteral("INSERT INTO read_process_info (id, novel_id, chapter_index, last_position, "
                           "last_progress_index, last_block_offset) VALUES ('n', 'book', NULL, NULL, NULL, NULL)"));
    auto back = takeRecord(m_dao.queryByNovelId(QStringLiteral("book")));
    QVERIFY(back);
    QCOMPARE(back->chapterIndex(), 0);
    QCOMPARE(back->lastPosition(), 0);
    QCOMPARE(back->lastProgressIndex(), qint64(0));
    QCOMPARE(back->lastBlockOffset(), 0.0f);
    QVERIFY(back->chapterId().isEmpty());
}

void TestReadProcessDao::insertRefusals()
{
    {
        LogCapture log;
        QVERIFY(!m_dao.insert(nullptr));
        QCOMPARE(log.lines(QtWarningMsg), QStringList{QStringLiteral("插入失败：阅读进度对象为空")});
        QVERIFY(log.lines(QtDebugMsg).isEmpty());
    }
    std::unique_ptr<ReadProcessInfo> p(fullRecord(QStringLiteral("dup"), QStringLiteral("b"),
                                                  QStringLiteral("2024-01-02 09:30:00")));
    QVERIFY(m_dao.insert(p.get()));
    LogCapture log;
    QVERIFY(!m_dao.insert(p.get()));
    const QStringList warnings = log.lines(QtWarningMsg);
    QCOMPARE(warnings.size(), 1);
    QVERIFY2(warnings.first().startsWith(QStringLiteral("插入阅读进度失败： \"")), qPrintable(warnings.first()));
    QCOMPARE(log.lines(QtDebugMsg).value(0),
             QStringLiteral("插入阅读进度： \"%1\"").arg(p->toString()));
}

void TestReadProcessDao::missingRowsGiveNullWithWarning()
{
    LogCapture log;
    QVERIFY(!m_dao.queryById(QStringLiteral("nope")));
    QVERIFY(!m_dao.queryByNovelId(QStringLiteral("nobook")));
    QCOMPARE(log.lines(QtWarningMsg),
             QStringList({QStringLiteral("未找到ID为 \"nope\" 的阅读进度"),
                          QStringLiteral("未找到小说[ \"nobook\" ]的阅读进度")}));
}

void TestReadProcessDao::listIsNewestFirst()
{
    const QStringList times = {QStringLiteral("2024-01-02 09:30:00"), QStringLiteral("2024-03-01 00:00:00"),
                               QStringLiteral("2023-12-31 23:59:59"), QStringLiteral("2024-03-01 00:00:01")};
    for (int i = 0; i < times.size(); ++i) {
        std::unique_ptr<ReadProcessInfo> p(fullRecord(QString::number(i), QStringLiteral("b%1").arg(i), times[i]));
        QVERIFY(m_dao.insert(p.get()));
    }
    const QList<QObject *> list = m_dao.queryList();
    QStringList ids;
    for (QObject *o : list) {
        QVERIFY(!o->parent());
        ids << qobject_cast<ReadProcessInfo *>(o)->id();
    }
    qDeleteAll(list);
    QCOMPARE(ids, QStringList({QStringLiteral("3"), QStringLiteral("1"), QStringLiteral("0"), QStringLiteral("2")}));
}

void TestReadProcessDao::emptyListWithoutWarning()
{
    LogCapture log;
    QVERIFY(m_dao.queryList().isEmpty());
    QVERIFY(log.lines(QtWarningMsg).isEmpty());
}

// Each row patches the stored full record with only some fields set and
// states the row afterwards and the statement's assignment list.
void TestReadProcessDao::update_data()
{
    QTest::addColumn<QString>("patchId");
    QTest::addColumn<QVariantMap>("patch");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QString>("assignments");
    QTest::addColumn<QString>("row");

    const QString stored = QStringLiteral("novel-1|novel-1_ch3|3|120|5000000000|0.25|2024-01-01 08:00:00|");
    const QString t = QStringLiteral("2024-05-05 10:00:00");
    const QString onlyTime = QStringLiteral("update_time = :update_time");

    QTest::newRow("only id and time") << QStringLiteral("id-1") << QVariantMap{{"updateTime", t}} << true
                                      << onlyTime << stored + t;
    QTest::newRow("time null writes NULL") << QStringLiteral("id-1") << QVariantMap{} << true
                                           << onlyTime << stored + QStringLiteral("NULL");
    QTest::newRow("offset -1.0 is written")
        << QStringLiteral("id-1") << QVariantMap{{"updateTime", t}, {"lastBlockOffset", -1.0f}} << true
        << QStringLiteral("last_block_offset = :last_block_offset, update_time = :update_time")
        << QStringLiteral("novel-1|novel-1_ch3|3|120|5000000000|-1|2024-01-01 08:00:00|") + t;
    QTest::newRow("offset -1.5 is unset")
        << QStringLiteral("id-1") << QVariantMap{{"updateTime", t}, {"lastBlockOffset", -1.5f}} << true
        << onlyTime << stored + t;
    QTest::newRow("offset NaN is unset")
        << QStringLiteral("id-1")
        << QVariantMap{{"updateTime", t}, {"lastBlockOffset", std::numeric_limits<float>::quiet_NaN()}} << true
        << onlyTime << stored + t;
    QTest::newRow("empty strings stay unset")
        << QStringLiteral("id-1") << QVariantMap{{"updateTime", t}, {"novelId", QString("")}, {"chapterId", QString("")}}
        << true << onlyTime << stored + t;
    QTest::newRow("zeroes are values")
        << QStringLiteral("id-1")
        << QVariantMap{{"updateTime", t}, {"chapterIndex", 0}, {"lastPosition", 0},
                       {"lastProgressIndex", qint64(0)}, {"lastBlockOffset", 0.0f}}
        << true
        << QStringLiteral("chapter_index = :chapter_index, last_position = :last_position, "
                          "last_progress_index = :last_progress_index, last_block_offset = :last_block_offset, "
                          "update_time = :update_time")
        << QStringLiteral("novel-1|novel-1_ch3|0|0|0|0|2024-01-01 08:00:00|") + t;
    QTest::newRow("every field, create time kept")
        << QStringLiteral("id-1")
        << QVariantMap{{"updateTime", t}, {"novelId", "novel-2"}, {"chapterId", "c9"}, {"chapterIndex", 9},
                       {"lastPosition", 7}, {"lastProgressIndex", qint64(77)}, {"lastBlockOffset", 0.5f},
                       {"createTime", "1999-01-01 00:00:00"}}
        << true
        << QStringLiteral("novel_id = :novel_id, chapter_id = :chapter_id, chapter_index = :chapter_index, "
                          "last_position = :last_position, last_progress_index = :last_progress_index, "
                          "last_block_offset = :last_block_offset, update_time = :update_time")
        << QStringLiteral("novel-2|c9|9|7|77|0.5|2024-01-01 08:00:00|") + t;
    QTest::newRow("no such row") << QStringLiteral("other") << QVariantMap{{"updateTime", t}, {"lastPosition", 1}}
                                 << false
                                 << QStringLiteral("last_position = :last_position, update_time = :update_time")
                                 << stored + QStringLiteral("2024-01-02 09:30:00");
}

void TestReadProcessDao::update()
{
    QFETCH(QString, patchId);
    QFETCH(QVariantMap, patch);
    QFETCH(bool, result);
    QFETCH(QString, assignments);
    QFETCH(QString, row);

    std::unique_ptr<ReadProcessInfo> stored(fullRecord(QStringLiteral("id-1"), QStringLiteral("novel-1"),
                                                       QStringLiteral("2024-01-02 09:30:00")));
    QVERIFY(m_dao.insert(stored.get()));

    ReadProcessInfo p;
    p.setId(patchId);
    for (auto it = patch.cbegin(); it != patch.cend(); ++it)
        QVERIFY2(p.setProperty(it.key().toLatin1().constData(), it.value()), qPrintable(it.key()));

    LogCapture log;
    QCOMPARE(m_dao.update(&p), result);
    QVERIFY(log.lines(QtWarningMsg).isEmpty());
    QCOMPARE(log.lines(QtDebugMsg),
             QStringList{QStringLiteral("===》 \"UPDATE read_process_info SET %1 WHERE id = :id\"").arg(assignments)});
    QCOMPARE(storedRow(QStringLiteral("id-1")), row);
}

void TestReadProcessDao::updateRefusesNullRecordAndId()
{
    ReadProcessInfo p;
    p.setLastPosition(5);
    LogCapture log;
    QVERIFY(!m_dao.update(nullptr));
    QVERIFY(!m_dao.update(&p));
    QCOMPARE(log.lines(QtWarningMsg),
             QStringList({QStringLiteral("更新失败：阅读进度对象为空"), QStringLiteral("更新失败：阅读进度ID为空")}));
    QVERIFY(log.lines(QtDebugMsg).isEmpty());
}

void TestReadProcessDao::removeDeletesOnlyItsRow()
{
    for (const QString &id : {QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")}) {
        std::unique_ptr<ReadProcessInfo> p(fullRecord(id, QStringLiteral("book-") + id, QStringLiteral("t")));
        QVERIFY(m_dao.insert(p.get()));
    }
    QVERIFY(m_dao.remove(QStringLiteral("a")));
    LogCapture log;
    QVERIFY(m_dao.removeByNovelId(QStringLiteral("book-b")));
    QCOMPARE(log.lines(QtInfoMsg), QStringList{QStringLiteral("删除小说[ \"book-b\" ]的阅读进度成功")});
    QCOMPARE(storedRow(QStringLiteral("a")), QStringLiteral("<no row>"));
    QCOMPARE(storedRow(QStringLiteral("b")), QStringLiteral("<no row>"));
    QVERIFY(takeRecord(m_dao.queryById(QStringLiteral("c"))));
}

void TestReadProcessDao::removeOfMissingRowSucceeds()
{
    LogCapture log;
    QVERIFY(m_dao.remove(QStringLiteral("ghost")));
    QCOMPARE(log.lines(QtInfoMsg), QStringList{QStringLiteral("删除阅读进度成功： \"ghost\"")});
    QVERIFY(log.lines(QtWarningMsg).isEmpty());
}

void TestReadProcessDao::removeByNovelIdFromWorkerThread()
{
    std::unique_ptr<ReadProcessInfo> p(fullRecord(QStringLiteral("w"), QStringLiteral("worker-book"),
                                                  QStringLiteral("t")));
    QVERIFY(m_dao.insert(p.get()));
    // Import and removal tasks clear positions from the global pool on their own connection.
    const bool ok = QtConcurrent::run([] {
        ReadProcessDao dao;
        return dao.removeByNovelId(QStringLiteral("worker-book"));
    }).result();
    QVERIFY(ok);
    QCOMPARE(storedRow(QStringLiteral("w")), QStringLiteral("<no row>"));
}

QTEST_GUILESS_MAIN(TestReadProcessDao)
#include "tst_readprocessdao.moc"
