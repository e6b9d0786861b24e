#include "databaseconnection.h"
#include "dbtestutils.h"
#include "noveldao.h"
#include "novelinfo.h"
#include "testenvironment.h"

#include <QMetaProperty>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QThread>
#include <QtTest>

#include <limits>
#include <memory>

namespace {

using NovelPtr = std::unique_ptr<NovelInfo>;

// The stored row as the database holds it, NULLs included.
QVariantMap storedRow(const QString &id)
{
    return DbTestUtils::storedRow(QStringLiteral("novel_info"), id);
}

int rowCount()
{
    return DbTestUtils::rowCount(QStringLiteral("novel_info"));
}

// A book with every value set, none of them a marker.
NovelInfo *fullNovel(const QString &id)
{
    auto *novel = new NovelInfo;
    novel->setId(id);
    novel->setTitle(QStringLiteral("三体"));
    novel->setAuthor(QStringLiteral("刘慈欣"));
    novel->setCoverPath(QStringLiteral("/data/") + id + QStringLiteral("/cover.jpg"));
    novel->setDescription(QStringLiteral("a 'quoted' description"));
    novel->setCategory(QStringLiteral("科幻"));
    novel->setTags(QStringLiteral("a,b"));
    novel->setLanguage(QStringLiteral("zh-CN"));
    novel->setStatus(3);
    novel->setChaptersCount(120);
    novel->setWordCount(500000);
    novel->setTotalGlyphs(480000);
    novel->setTotalProgress(Q_INT64_C(6000000000));
    novel->setPublishTime(QStringLiteral("2008-01-01"));
    novel->setLastReadChapter(QStringLiteral("chapter-7"));
    novel->setFileSize(Q_INT64_C(3221225472)); // 3 GiB
    novel->setFileType(QStringLiteral("EPUB"));
    novel->setSourceType(1);
    novel->setSourceUrl(QStringLiteral("/books/三体.epub"));
    novel->setDataDir(QStringLiteral("/data/") + id);
    novel->setLoadStatus(2);
    novel->setParseProgress(0.75);
    novel->setCreateTime(QStringLiteral("2024-01-02 03:04:05"));
    novel->setUpdateTime(QStringLiteral("2024-01-02 03:04:06"));
    novel->setPublisher(QStringLiteral("重庆出版社"));
    novel->setPublishDate(QStringLiteral("2008-01"));
    novel->setIsbn(QStringLiteral("9787536692930"));
    return novel;
}

void compareAllProperties(const NovelInfo &actual, const NovelInfo &expected)
{
    DbTestUtils::compareAllProperties(actual, expected, DbTestUtils::StringNulls::Matter);
}

}

class TestNovelDao : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TestEnvironment> m_env;
    NovelDao m_dao;

private slots:
    void init()
    {
        m_env.reset(new TestEnvironment);
        QVERIFY(m_env->isValid());
        QVERIFY(m_env->openDatabase());
    }

    void cleanup() { m_env.reset(); }

    void insertedBookReadsBackWhole()
    {
        NovelPtr novel(fullNovel(QStringLiteral("b1")));
        QVERIFY(m_dao.insert(novel.get()));
        NovelPtr loaded(m_dao.queryById(QStringLiteral("b1")));
        QVERIFY(loaded);
        QVERIFY(!loaded->parent());
        compareAllProperties(*loaded, *novel);
        // 3 GiB is stored as a 64-bit integer, not wrapped.
        QCOMPARE(storedRow(QStringLiteral("b1")).value(QStringLiteral("file_size")).toLongLong(),
                 Q_INT64_C(3221225472));
    }

    void insertStoresMarkersNotDefaults()
    {
        NovelPtr novel(new NovelInfo);
        novel->setId(QStringLiteral("bare"));
        novel->setTitle(QStringLiteral("t"));
        QVERIFY(m_dao.insert(novel.get()));

        const QVariantMap row = storedRow(QStringLiteral("bare"));
        QVERIFY(row.value(QStringLiteral("author")).isNull()); // not the column default '用户'
        QVERIFY(row.value(QStringLiteral("language")).isNull());
        QVERIFY(row.value(QStringLiteral("publish_time")).isNull());
        QCOMPARE(row.value(QStringLiteral("status")).toInt(), -1);
        QCOMPARE(row.value(QStringLiteral("file_size")).toLongLong(), Q_INT64_C(-1));
        QCOMPARE(row.value(QStringLiteral("parse_progress")).toDouble(), -1.0);

        NovelPtr loaded(m_dao.queryById(QStringLiteral("bare")));
        QVERIFY(loaded);
        compareAllProperties(*loaded, *novel);
    }

    void nullIntegerColumnsLoadAsZero()
    {
        QSqlQuery query(DatabaseConnection::database());
        QVERIFY(query.exec(QStringLiteral(
            "INSERT INTO novel_info (id, title, status, file_size, parse_progress, total_progress) "
            "VALUES ('n', 't', NULL, NULL, NULL, NULL)")));
        NovelPtr loaded(m_dao.queryById(QStringLiteral("n")));
        QVERIFY(loaded);
        QCOMPARE(loaded->status(), 0);
        QCOMPARE(loaded->fileSize(), Q_INT64_C(0));
        QCOMPARE(loaded->parseProgress(), 0.0);
        QCOMPARE(loaded->totalProgress(), Q_INT64_C(0));
        // Column defaults apply to rows inserted with fewer columns.
        QCOMPARE(loaded->author(), QStringLiteral("用户"));
    }

    void rejectedInserts_data()
    {
        QTest::addColumn<bool>("nullRecord");
        QTest::addColumn<bool>("withTitle");
        QTest::addColumn<QString>("id");
        QTest::newRow("null record") << true << true << "x";
        QTest::newRow("title never set") << false << false << "x";
        QTest::newRow("id already stored") << false << true << "existing";
    }

    void rejectedInserts()
    {
        QFETCH(bool, nullRecord);
        QFETCH(bool, withTitle);
        QFETCH(QString, id);
        NovelPtr existing(fullNovel(QStringLiteral("existing")));
        QVERIFY(m_dao.insert(existing.get()));

        NovelPtr novel(fullNovel(id));
        if (!withTitle)
            novel->setTitle(QString());
        if (nullRecord)
            QTest::ignoreMessage(QtWarningMsg, "新增失败：NovelInfo对象为空");
        else
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^新增小说失败，错误: \".+\"$")));
        QVERIFY(!m_dao.insert(nullRecord ? nullptr : novel.get()));
        QCOMPARE(rowCount(), 1);
        NovelPtr kept(m_dao.queryById(QStringLiteral("existing")));
        compareAllProperties(*kept, *existing);
    }

    // One property set on an otherwise fresh record; update must write the
    // columns listed (and update_time, which it always writes) and leave
    // every other column as stored.
    void updateWritesOnlySetValues_data()
    {
        QTest::addColumn<QString>("property");
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<bool>("forceCoverPath");
        QTest::addColumn<QVariantMap>("changed");

        const QVariant unchanged;
        const auto changes = [](const char *column, const QVariant &value) {
            return QVariantMap{{QString::fromLatin1(column), value}};
        };
        QTest::newRow("reading touch") << QString() << unchanged << false << QVariantMap();
        QTest::newRow("title") << "title" << QVariant(QStringLiteral("新")) << false
                               << changes("title", QStringLiteral("新"));
        QTest::newRow("empty title") << "title" << QVariant(QStringLiteral("")) << false << QVariantMap();
        QTest::newRow("isbn") << "isbn" << QVariant(QStringLiteral("1")) << false << changes("isbn", QStringLiteral("1"));
        QTest::newRow("status 0") << "status" << QVariant(0) << false << changes("status", 0);
        QTest::newRow("status -1") << "status" << QVariant(-1) << false << QVariantMap();
        QTest::newRow("chapters -1") << "chaptersCount" << QVariant(-1) << false << QVariantMap();
        QTest::newRow("chapters 9") << "chaptersCount" << QVariant(9) << false << changes("chapters_count", 9);
        QTest::newRow("word count -2") << "wordCount" << QVariant(-2) << false << changes("word_count", -2);
        QTest::newRow("file size -1") << "fileSize" << QVariant(qlonglong(-1)) << false << QVariantMap();
        QTest::newRow("file size 5 GiB") << "fileSize" << QVariant(Q_INT64_C(5368709120)) << false
                                         << changes("file_size", Q_INT64_C(5368709120));
        QTest::newRow("glyphs 0") << "totalGlyphs" << QVariant(0) << false << QVariantMap();
        QTest::newRow("glyphs 5") << "totalGlyphs" << QVariant(5) << false << changes("total_glyphs", 5);
        QTest::newRow("progress 0") << "totalProgress" << QVariant(qlonglong(0)) << false << QVariantMap();
        QTest::newRow("progress 2^40") << "totalProgress" << QVariant(Q_INT64_C(1) << 40) << false
                                       << changes("total_progress", Q_INT64_C(1) << 40);
        QTest::newRow("parse -0.5") << "parseProgress" << QVariant(-0.5) << false << QVariantMap();
        QTest::newRow("parse NaN") << "parseProgress" << QVariant(std::numeric_limits<double>::quiet_NaN())
                                   << false << QVariantMap();
        QTest::newRow("parse 0") << "parseProgress" << QVariant(0.0) << false << changes("parse_progress", 0.0);
        QTest::newRow("cover kept") << QString() << unchanged << false << QVariantMap();
        QTest::newRow("cover forced empty") << QString() << unchanged << true
                                            << changes("cover_path", QVariant(QVariant::String));
        QTest::newRow("cover set") << "coverPath" << QVariant(QStringLiteral("/c.png")) << false
                                   << changes("cover_path", QStringLiteral("/c.png"));
        QTest::newRow("update time unset") << "updateTime" << QVariant(QString()) << false
                                           << changes("update_time", QVariant(QVariant::String));
        QTest::newRow("create time") << "createTime" << QVariant(QStringLiteral("2020-01-01 00:00:00")) << false
                                     << changes("create_time", QStringLiteral("2020-01-01 00:00:00"));
    }

    void updateWritesOnlySetValues()
    {
        QFETCH(QString, property);
        QFETCH(QVariant, value);
        QFETCH(bool, forceCoverPath);
        QFETCH(QVariantMap, changed);

        NovelPtr stored(fullNovel(QStringLiteral("u")));
        QVERIFY(m_dao.insert(stored.get()));
        const QVariantMap before = storedRow(QStringLiteral("u"));

        NovelInfo change;
        change.setId(QStringLiteral("u"));
        change.setUpdateTime(QStringLiteral("2030-05-06 07:08:09"));
        if (!property.isEmpty())
            QVERIFY(change.setProperty(property.toLatin1().constData(), value));
        if (!changed.contains(QStringLiteral("update_time")))
            changed.insert(QStringLiteral("update_time"), QStringLiteral("2030-05-06 07:08:09"));

        QVERIFY(m_dao.update(&change, forceCoverPath));

        const QVariantMap after = storedRow(QStringLiteral("u"));
        QCOMPARE(after.keys(), before.keys());
        for (const QString &column : after.keys()) {
            const QVariant expected = changed.contains(column) ? changed.value(column) : before.value(column);
            const QVariant actual = after.value(column);
            QVERIFY2(actual.isNull() == expected.isNull() && actual.toString() == expected.toString(),
                     qPrintable(QStringLiteral("%1: %2 instead of %3").arg(column, actual.toString(),
                                                                          expected.toString())));
        }
    }

    void updateRefusals()
    {
        NovelInfo noId;
        noId.setTitle(QStringLiteral("t"));
        QTest::ignoreMessage(QtWarningMsg, "更新失败：主键ID为空");
        QVERIFY(!m_dao.update(&noId, false));
        QTest::ignoreMessage(QtWarningMsg, "更新失败：NovelInfo对象为空");
        QVERIFY(!m_dao.update(nullptr, true));

        // No row with that id: the statement ran, so the answer is true.
        NovelInfo missing;
        missing.setId(QStringLiteral("nobody"));
        missing.setTitle(QStringLiteral("t"));
        QVERIFY(m_dao.update(&missing, false));
        QCOMPARE(rowCount(), 0);
    }

    void removeReportsWhetherARowWent()
    {
        NovelPtr a(fullNovel(QStringLiteral("a")));
        NovelPtr b(fullNovel(QStringLiteral("b")));
        QVERIFY(m_dao.insert(a.get()));
        QVERIFY(m_dao.insert(b.get()));

        QVERIFY(m_dao.remove(QStringLiteral("a")));
        QVERIFY(!NovelPtr(m_dao.queryById(QStringLiteral("a"))));
        QVERIFY(NovelPtr(m_dao.queryById(QStringLiteral("b"))));

        QTest::ignoreMessage(QtWarningMsg, "删除小说失败：未找到主键为 \"a\" 的记录");
        QVERIFY(!m_dao.remove(QStringLiteral("a")));
        QTest::ignoreMessage(QtWarningMsg, "删除失败：主键ID为空");
        QVERIFY(!m_dao.remove(QString()));
        QCOMPARE(rowCount(), 1);
    }

    void lookupMisses()
    {
        QTest::ignoreMessage(QtWarningMsg, "查询失败：ID为空");
        QVERIFY(!m_dao.queryById(QString()));
        QVERIFY(!m_dao.queryById(QStringLiteral("absent")));
    }

    void countExisting_data()
    {
        QTest::addColumn<QStringList>("ids");
        QTest::addColumn<int>("expected");
        QTest::newRow("empty list") << QStringList() << 0;
        QTest::newRow("one stored") << QStringList{"k1"} << 1;
        QTest::newRow("unknown") << QStringList{"zz"} << 0;
        QTest::newRow("repeated id counted once") << QStringList{"k1", "k2", "k1", "zz"} << 2;

        // Longer than one statement's parameters allow on old SQLite builds.
        QStringList many;
        for (int i = 0; i < 1500; ++i)
            many << QStringLiteral("k%1").arg(i % 700);
        QTest::newRow("1500 ids, 700 distinct") << many << 3;
        many.clear();
        for (int i = 0; i < 40000; ++i)
            many << QStringLiteral("u%1").arg(i);
        many << QStringLiteral("k3");
        QTest::newRow("40001 ids") << many << 1;
    }

    void countExisting()
    {
        QFETCH(QStringList, ids);
        QFETCH(int, expected);
        for (const char *id : {"k1", "k2", "k3"}) {
            NovelPtr novel(fullNovel(QString::fromLatin1(id)));
            QVERIFY(m_dao.insert(novel.get()));
        }
        QCOMPARE(m_dao.countExisting(ids), expected);
    }

    void libraryListOrder()
    {
        QVERIFY(m_dao.queryList().isEmpty());

        const struct { const char *id; const char *title; const char *time; } rows[] = {
            {"old", "A", "2024-01-01 00:00:00"},
            {"never", "A", nullptr},
            {"newLower", "a", "2024-06-01 12:00:00"},
            {"newUpper", "B", "2024-06-01 12:00:00"},
            {"newChinese", "中", "2024-06-01 12:00:00"},
            {"newest", "z", "2024-06-02 00:00:00"},
        };
        for (const auto &row : rows) {
            NovelPtr novel(fullNovel(QString::fromLatin1(row.id)));
            novel->setTitle(QString::fromUtf8(row.title));
            novel->setUpdateTime(row.time ? QString::fromLatin1(row.time) : QString());
            QVERIFY(m_dao.insert(novel.get()));
        }

        QList<NovelInfo *> list = m_dao.queryList();
        QStringList order;
        for (NovelInfo *novel : list)
            order << novel->id();
        // Newest first, ties by title byte order, never-touched books last.
        QCOMPARE(order, (QStringList{"newest", "newUpper", "newLower", "newChinese", "old", "never"}));

        // Only the list's ten columns are read; the rest keep start values.
        NovelPtr full(fullNovel(QStringLiteral("newest")));
        NovelInfo *first = list.first();
        QCOMPARE(first->title(), QStringLiteral("z"));
        QCOMPARE(first->author(), full->author());
        QCOMPARE(first->coverPath(), full->coverPath());
        QCOMPARE(first->status(), full->status());
        QCOMPARE(first->fileType(), full->fileType());
        QCOMPARE(first->dataDir(), full->dataDir());
        QCOMPARE(first->totalProgress(), full->totalProgress());
        QCOMPARE(first->createTime(), full->createTime());
        QVERIFY(first->description().isNull());
        QVERIFY(first->isbn().isNull());
        QCOMPARE(first->chaptersCount(), -1);
        QCOMPARE(first->fileSize(), Q_INT64_C(-1));
        QCOMPARE(first->totalGlyphs(), 0);
        QCOMPARE(first->parseProgress(), -1.0);
        QVERIFY(!first->parent());
        qDeleteAll(list);
    }

    // Import and removal call the DAO from worker threads, each of which has
    // its own connection to the same file.
    void worksFromAWorkerThread()
    {
        bool inserted = false;
        bool removed = false;
        int counted = -1;
        std::unique_ptr<QThread> worker(QThread::create([&] {
            NovelDao dao;
            NovelPtr novel(fullNovel(QStringLiteral("w")));
            NovelPtr other(fullNovel(QStringLiteral("gone")));
            inserted = dao.insert(novel.get()) && dao.insert(other.get());
            removed = dao.remove(QStringLiteral("gone"));
            counted = dao.countExisting({QStringLiteral("w"), QStringLiteral("gone")});
        }));
        worker->start();
        QVERIFY(worker->wait(30000));
        QVERIFY(inserted);
        QVERIFY(removed);
        QCOMPARE(counted, 1);
        NovelPtr loaded(m_dao.queryById(QStringLiteral("w")));
        QVERIFY(loaded);
        compareAllProperties(*loaded, *NovelPtr(fullNovel(QStringLiteral("w"))));
    }
};

QTEST_GUILESS_MAIN(TestNovelDao)
#include "tst_noveldao.moc"
