#include "chapterdao.h"
#include "chapterinfo.h"
#include "databaseconnection.h"
#include "dbtestutils.h"
#include "testenvironment.h"

#include <QMetaProperty>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QThread>
#include <QtTest>

#include <limits>
#include <memory>

namespace {

using ChapterPtr = std::unique_ptr<ChapterInfo>;

QVariantMap storedRow(const QString &id)
{
    return DbTestUtils::storedRow(QStringLiteral("chapter_info"), id);
}

int rowCount()
{
    return DbTestUtils::rowCount(QStringLiteral("chapter_info"));
}

// A chapter with every value set, none of them a marker.
ChapterInfo *fullChapter(const QString &id, const QString &novelId = QStringLiteral("book"), int index = 4)
{
    auto *chapter = new ChapterInfo;
    chapter->setId(id);
    chapter->setNovelId(novelId);
    chapter->setTitle(QStringLiteral("第%1章").arg(index + 1));
    chapter->setChapterIndex(index);
    chapter->setPath(QStringLiteral("/data/%1/ch%2.xhtml").arg(novelId).arg(index));
    chapter->setWordCount(3000);
    chapter->setStartGlyphIndex(12000);
    chapter->setGlyphCount(2900);
    chapter->setStartProgressIndex(Q_INT64_C(5000000000));
    chapter->setProgressTotal(Q_INT64_C(4294967296));
    chapter->setStartOffset(100);
    chapter->setEndOffset(3099);
    chapter->setPrevChapter(QStringLiteral("prev"));
    chapter->setNextChapter(QStringLiteral("next"));
    chapter->setLoadStatus(0);
    chapter->setStatus(0);
    chapter->setCreateTime(QStringLiteral("2024-01-02 03:04:05"));
    chapter->setUpdateTime(QStringLiteral("2024-01-02 03:04:06"));
    chapter->setNovelProcess(0.125);
    return chapter;
}

void compareAllProperties(const ChapterInfo &actual, const ChapterInfo &expected)
{
    DbTestUtils::compareAllProperties(actual, expected);
}

QStringList idsOf(const QList<ChapterInfo *> &chapters)
{
    QStringList ids;
    for (const ChapterInfo *chapter : chapters)
        ids << chapter->id();
    return ids;
}

}

class TestChapterDao : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TestEnvironment> m_env;
    ChapterDao m_dao;

private slots:
    void init()
    {
        m_env.reset(new TestEnvironment);
        QVERIFY(m_env->isValid());
        QVERIFY(m_env->openDatabase());
    }

    void cleanup() { m_env.reset(); }

    void roundTripThroughEachRead()
    {
        ChapterPtr chapter(fullChapter(QStringLiteral("c1")));
        QVERIFY(m_dao.insert(chapter.get()));

        QList<ChapterInfo *> list = m_dao.queryByNovelId(QStringLiteral("book"));
        QCOMPARE(list.size(), 1);
        QVERIFY(!list.first()->parent());
        compareAllProperties(*list.first(), *chapter);
        qDeleteAll(list);

        // The single reads leave novelProcess unset whatever the row holds.
        chapter->setNovelProcess(-1.0);
        ChapterPtr byId(m_dao.queryById(QStringLiteral("c1")));
        QVERIFY(byId);
        compareAllProperties(*byId, *chapter);
        ChapterPtr one(m_dao.queryOne(QStringLiteral("book"), 4));
        QVERIFY(one);
        compareAllProperties(*one, *chapter);
    }

    void insertOfAFreshRecordStoresMarkers()
    {
        ChapterPtr chapter(new ChapterInfo);
        chapter->setId(QStringLiteral("bare"));
        QVERIFY(m_dao.insert(chapter.get()));
        const QVariantMap row = storedRow(QStringLiteral("bare"));
        for (const char *column : {"chapter_index", "word_count", "start_offset", "end_offset", "load_status", "status"})
            QCOMPARE(row.value(QLatin1String(column)).toInt(), -1);
        QCOMPARE(row.value(QStringLiteral("novel_process")).toDouble(), -1.0);
        for (const char *column : {"start_glyph_index", "glyph_count", "start_progress_index", "progress_total"}) {
            QVERIFY(!row.value(QLatin1String(column)).isNull());
            QCOMPARE(row.value(QLatin1String(column)).toInt(), 0);
        }
        for (const char *column : {"title", "novel_id", "path", "prev_chapter", "next_chapter", "create_time", "update_time"})
            QVERIFY2(row.value(QLatin1String(column)).isNull(), column);

        // NULL texts load as empty strings.
        ChapterPtr loaded(m_dao.queryById(QStringLiteral("bare")));
        QVERIFY(loaded);
        QCOMPARE(loaded->title(), QString());
        QCOMPARE(loaded->chapterIndex(), -1);
    }

    void insertRefusals()
    {
        ChapterPtr chapter(fullChapter(QStringLiteral("dup")));
        QVERIFY(m_dao.insert(chapter.get()));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^插入章节信息失败，信息: \".+\"$")));
        QVERIFY(!m_dao.insert(chapter.get()));
        QVERIFY(!m_dao.insert(nullptr));
        QCOMPARE(rowCount(), 1);
    }

    // One change on a record holding only the id; the listed columns must
    // change and every other column stay as stored.
    void updateWritesOnlyValidFields_data()
    {
        QTest::addColumn<QVariantMap>("set");
        QTest::addColumn<QVariantMap>("changed");

        const QVariantMap none;
        QTest::newRow("only id") << none << none;
        QTest::newRow("reading update")
            << QVariantMap{{"status", 2}, {"updateTime", "2030-01-01 10:00:00"}}
            << QVariantMap{{"status", 2}, {"update_time", "2030-01-01 10:00:00"}};
        QTest::newRow("title") << QVariantMap{{"title", "新标题"}} << QVariantMap{{"title", "新标题"}};
        QTest::newRow("empty texts") << QVariantMap{{"title", ""}, {"path", ""}, {"prevChapter", ""}} << none;
        QTest::newRow("book id") << QVariantMap{{"novelId", "other"}} << QVariantMap{{"novel_id", "other"}};
        QTest::newRow("index 0") << QVariantMap{{"chapterIndex", 0}} << QVariantMap{{"chapter_index", 0}};
        QTest::newRow("markers") << QVariantMap{{"chapterIndex", -1}, {"wordCount", -1}, {"startOffset", -1},
                                                {"endOffset", -1}, {"loadStatus", -1}, {"status", -1},
                                                {"novelProcess", -1.0}}
                                 << none;
        QTest::newRow("offsets") << QVariantMap{{"startOffset", 7}, {"endOffset", 9}, {"wordCount", 3}}
                                 << QVariantMap{{"start_offset", 7}, {"end_offset", 9}, {"word_count", 3}};
        QTest::newRow("neighbours") << QVariantMap{{"prevChapter", "p2"}, {"nextChapter", "n2"}}
                                    << QVariantMap{{"prev_chapter", "p2"}, {"next_chapter", "n2"}};
        QTest::newRow("load status") << QVariantMap{{"loadStatus", 1}} << QVariantMap{{"load_status", 1}};
        QTest::newRow("novel process 0") << QVariantMap{{"novelProcess", 0.0}} << QVariantMap{{"novel_process", 0.0}};
        QTest::newRow("counters never") << QVariantMap{{"glyphCount", 0}, {"startGlyphIndex", 5},
                                                       {"startProgressIndex", 6}, {"progressTotal", 0},
                                                       {"createTime", "2031-01-01 00:00:00"}}
                                        << none;
    }

    void updateWritesOnlyValidFields()
    {
        QFETCH(QVariantMap, set);
        QFETCH(QVariantMap, changed);

        ChapterPtr stored(fullChapter(QStringLiteral("u")));
        QVERIFY(m_dao.insert(stored.get()));
        const QVariantMap before = storedRow(QStringLiteral("u"));

        ChapterInfo change;
        change.setId(QStringLiteral("u"));
        for (auto it = set.cbegin(); it != set.cend(); ++it)
            QVERIFY2(change.setProperty(it.key().toLatin1().constData(), it.value()), qPrintable(it.key()));
        QVERIFY(m_dao.update(&change));

        const QVariantMap after = storedRow(QStringLiteral("u"));
        QCOMPARE(after.keys(), before.keys());
        for (const QString &column : after.keys()) {
            const QVariant expected = changed.contains(column) ? changed.value(column) : before.value(column);
            QVERIFY2(after.value(column).toString() == expected.toString(),
                     qPrintable(QStringLiteral("%1: %2 instead of %3")
                                    .arg(column, after.value(column).toString(), expected.toString())));
        }
    }

    void updateRefusals()
    {
        QTest::ignoreMessage(QtWarningMsg, "更新失败：章节对象为空");
        QVERIFY(!m_dao.update(nullptr));
        ChapterInfo noId;
        noId.setStatus(2);
        QTest::ignoreMessage(QtWarningMsg, "更新失败：章节ID为空");
        QVERIFY(!m_dao.update(&noId));

        ChapterInfo missing;
        missing.setId(QStringLiteral("nowhere"));
        missing.setStatus(2);
        QTest::ignoreMessage(QtWarningMsg, "更新章节失败（ID： \"nowhere\" ）：未找到匹配记录");
        QVERIFY(!m_dao.update(&missing));
    }

    void listsFollowChapterIndex()
    {
        QVERIFY(m_dao.queryByNovelId(QStringLiteral("book")).isEmpty());
        // Stored out of order, with another book's chapters in between.
        for (int index : {3, 0, 2, 1}) {
            ChapterPtr chapter(fullChapter(QStringLiteral("b%1").arg(index), QStringLiteral("book"), index));
            QVERIFY(m_dao.insert(chapter.get()));
            ChapterPtr other(fullChapter(QStringLiteral("o%1").arg(index), QStringLiteral("other"), index));
            QVERIFY(m_dao.insert(other.get()));
        }
        QList<ChapterInfo *> list = m_dao.queryByNovelId(QStringLiteral("book"));
        QCOMPARE(idsOf(list), (QStringList{"b0", "b1", "b2", "b3"}));
        qDeleteAll(list);

        ChapterPtr third(m_dao.queryOne(QStringLiteral("book"), 2));
        QVERIFY(third);
        QCOMPARE(third->id(), QStringLiteral("b2"));
        QTest::ignoreMessage(QtWarningMsg, "未找到章节，novel_id: \"book\" ，chapter_index: 9");
        QVERIFY(!m_dao.queryOne(QStringLiteral("book"), 9));
        QVERIFY(!m_dao.queryById(QStringLiteral("b9")));
    }

    void removeByNovelIdTakesOnlyThatBook()
    {
        ChapterPtr a(fullChapter(QStringLiteral("a"), QStringLiteral("book"), 0));
        ChapterPtr b(fullChapter(QStringLiteral("b"), QStringLiteral("book"), 1));
        ChapterPtr c(fullChapter(QStringLiteral("c"), QStringLiteral("other"), 0));
        for (ChapterInfo *chapter : {a.get(), b.get(), c.get()})
            QVERIFY(m_dao.insert(chapter));
        QVERIFY(m_dao.removeByNovelId(QStringLiteral("book")));
        QCOMPARE(rowCount(), 1);
        QVERIFY(ChapterPtr(m_dao.queryById(QStringLiteral("c"))));
        QVERIFY(m_dao.removeByNovelId(QStringLiteral("book")));
    }

    void batchStoresAllSkippingNulls()
    {
        ChapterPtr a(fullChapter(QStringLiteral("a"), QStringLiteral("book"), 0));
        ChapterPtr b(fullChapter(QStringLiteral("b"), QStringLiteral("book"), 1));
        QVector<ChapterInfo *> batch{a.get(), nullptr, b.get()};
        QTest::ignoreMessage(QtInfoMsg, "批量插入成功，共插入 3 个章节");
        QVERIFY(m_dao.batchInsert(batch));
        QList<ChapterInfo *> list = m_dao.queryByNovelId(QStringLiteral("book"));
        QCOMPARE(idsOf(list), (QStringList{"a", "b"}));
        qDeleteAll(list);

        QVector<ChapterInfo *> empty;
        QTest::ignoreMessage(QtWarningMsg, "批量插入失败：章节列表为空");
        QVERIFY(!m_dao.batchInsert(empty));
        QVERIFY(!m_dao.insertAllInTransaction(empty));
        // No transaction was left open by the refused batch.
        QVERIFY(DatabaseConnection::database().transaction());
        QVERIFY(DatabaseConnection::database().rollback());
    }

    void batchIsAllOrNothing()
    {
        ChapterPtr first(fullChapter(QStringLiteral("dup"), QStringLiteral("book"), 0));
        ChapterPtr second(fullChapter(QStringLiteral("two"), QStringLiteral("book"), 1));
        ChapterPtr third(fullChapter(QStringLiteral("dup"), QStringLiteral("book"), 2));
        ChapterPtr fourth(fullChapter(QStringLiteral("four"), QStringLiteral("book"), 3));
        QVector<ChapterInfo *> batch{first.get(), second.get(), third.get(), fourth.get()};

        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral("^批量插入失败，章节ID: \"dup\" ，错误信息: \".+\"$")));
        QVERIFY(!m_dao.batchInsert(batch));
        QCOMPARE(rowCount(), 0);

        // The connection is usable again: the next batch commits.
        batch.remove(2);
        QVERIFY(m_dao.batchInsert(batch));
        QCOMPARE(rowCount(), 3);
    }

    void insertAllLeavesTheTransactionToTheCaller()
    {
        QSqlDatabase db = DatabaseConnection::database();
        ChapterPtr a(fullChapter(QStringLiteral("a"), QStringLiteral("book"), 0));
        ChapterPtr b(fullChapter(QStringLiteral("b"), QStringLiteral("book"), 1));
        QVector<ChapterInfo *> chapters{a.get(), b.get()};

        QVERIFY(db.transaction());
        QVERIFY(m_dao.insertAllInTransaction(chapters));
        QCOMPARE(rowCount(), 2);
        QVERIFY(db.rollback());
        QCOMPARE(rowCount(), 0);

        // A failure stops the batch; what came before stays in the open
        // transaction until the caller decides.
        QVector<ChapterInfo *> withDuplicate{a.get(), b.get(), a.get()};
        QVERIFY(db.transaction());
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^批量插入失败，章节ID: \"a\" ")));
        QVERIFY(!m_dao.insertAllInTransaction(withDuplicate));
        QCOMPARE(rowCount(), 2);
        QVERIFY(db.commit());
        QCOMPARE(rowCount(), 2);
    }

    // Import runs on a worker thread with its own connection; its batch and
    // rollback must happen there, not on the main thread's connection.
    void batchOnAWorkerThread()
    {
        bool refused = false;
        bool stored = false;
        std::unique_ptr<QThread> worker(QThread::create([&] {
            ChapterDao dao;
            ChapterPtr a(fullChapter(QStringLiteral("wa"), QStringLiteral("book"), 0));
            ChapterPtr b(fullChapter(QStringLiteral("wb"), QStringLiteral("book"), 1));
            QVector<ChapterInfo *> bad{a.get(), b.get(), a.get()};
            refused = !dao.batchInsert(bad);
            QVector<ChapterInfo *> good{a.get(), b.get()};
            stored = dao.batchInsert(good);
        }));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^批量插入失败，章节ID: \"wa\" ")));
        worker->start();
        QVERIFY(worker->wait(30000));
        QVERIFY(refused);
        QVERIFY(stored);
        QList<ChapterInfo *> list = m_dao.queryByNovelId(QStringLiteral("book"));
        QCOMPARE(idsOf(list), (QStringList{"wa", "wb"}));
        qDeleteAll(list);
    }

    void invokableThroughTheMetaObject()
    {
        ChapterPtr chapter(fullChapter(QStringLiteral("m")));
        bool ok = false;
        QVERIFY(QMetaObject::invokeMethod(&m_dao, "insert", Q_RETURN_ARG(bool, ok),
                                          Q_ARG(ChapterInfo *, chapter.get())));
        QVERIFY(ok);
        ChapterInfo *found = nullptr;
        QVERIFY(QMetaObject::invokeMethod(&m_dao, "queryOne", Q_RETURN_ARG(ChapterInfo *, found),
                                          Q_ARG(QString, QStringLiteral("book")), Q_ARG(int, 4)));
        QVERIFY(found);
        QCOMPARE(found->id(), QStringLiteral("m"));
        delete found;
    }
};

QTEST_GUILESS_MAIN(TestChapterDao)
#include "tst_chapterdao.moc"
