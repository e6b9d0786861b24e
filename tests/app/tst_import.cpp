#include "applicationcore.h"
#include "chapterdao.h"
#include "chapterinfo.h"
#include "databaseconnection.h"
#include "iformatparser.h"
#include "keys.h"
#include "noveldao.h"
#include "novelinfo.h"
#include "novelservice.h"
#include "parserregistry.h"
#include "readprocessdao.h"
#include "readprocessinfo.h"
#include "testenvironment.h"
#include "transaction.h"
#include "unifiedchunkdao.h"
#include "unifiedparagraphdao.h"

#include <QMutex>
#include <QSemaphore>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTextCodec>
#include <QThread>
#include <QTranslator>
#include <QtTest>

#include <atomic>
#include <memory>
#include <thread>

namespace {

// Where a fake parser should fail.
enum class Stage { None, BookInfo, Chapters, NoChapters, Begin, Unified, SaveNovel,
                   ReplaceChapters, RemoveReadProcess, Finish };

// What the fake parsers do, set by each test before it imports.
struct FakeScript
{
    Stage failAt = Stage::None;
    QString title = QStringLiteral("Fake book");
    QVector<int> glyphs{3, 4};
    QVector<qint64> progress{30, 40};
    bool nullChapter = false;       // insert a null entry in the middle
    QString blockIn;                // stage name whose hook blocks
};

QMutex s_mutex;
FakeScript s_script;
QStringList s_log;                  // "<stage>@main" / "<stage>@worker"
std::atomic<int> s_created{0};
std::atomic<int> s_destroyed{0};
std::atomic<int> s_objectsAlive{0};    // books and chapters the parsers made
QVector<bool> s_finishCalls;
QSemaphore s_entered;
QSemaphore s_release;
QThread *s_mainThread = nullptr;

FakeScript script()
{
    QMutexLocker lock(&s_mutex);
    return s_script;
}

void record(const QString &stage, const QString &tag = QString())
{
    const bool main = QThread::currentThread() == s_mainThread;
    const QString blockIn = script().blockIn;
    {
        QMutexLocker lock(&s_mutex);
        s_log << (tag.isEmpty() ? QString() : tag + QLatin1Char(':')) + stage
                     + (main ? QStringLiteral("@main") : QStringLiteral("@worker"));
    }
    if (stage == blockIn) {
        s_entered.release();
        s_release.acquire();
    }
}

template <typename T>
T *tracked(T *object)
{
    ++s_objectsAlive;
    QObject::connect(object, &QObject::destroyed, [] { --s_objectsAlive; });
    return object;
}

QStringList takeLog()
{
    QMutexLocker lock(&s_mutex);
    const QStringList log = s_log;
    s_log.clear();
    return log;
}

class FakeParser : public IFormatParser
{
public:
    explicit FakeParser(bool transaction) : m_transaction(transaction) { ++s_created; }
    ~FakeParser() override
    {
        delete m_open;   // an unfinished import transaction rolls back
        ++s_destroyed;
    }

    ParseResult parseBookInfo(const QString &filePath) override
    {
        m_tag = QFileInfo(filePath).completeBaseName();
        record(QStringLiteral("bookInfo"), m_tag);
        ParseResult result;
        if (script().failAt == Stage::BookInfo) {
            result.errorMessage = QStringLiteral("书坏了");
            return result;
        }
        auto *novel = tracked(new NovelInfo);
        novel->setId(md5Hex(filePath));
        novel->setTitle(script().failAt == Stage::SaveNovel ? QStringLiteral("FAIL")
                                                            : script().title);
        novel->setCreateTime(currentTimeString());
        novel->setUpdateTime(currentTimeString());
        result.success = true;
        result.novel = novel;
        return result;
    }

    ParseResult parseChapters(const QString &, NovelInfo *novel) override
    {
        record(QStringLiteral("chapters"), m_tag);
        const FakeScript s = script();
        ParseResult result;
        if (s.failAt == Stage::Chapters) {
            result.errorMessage = QStringLiteral("章节坏了");
            return result;
        }
        result.success = true;
        if (s.failAt == Stage::NoChapters)
            return result;
        for (int i = 0; i < s.glyphs.size(); ++i) {
            if (s.nullChapter && i == 1)
                result.chapters.append(nullptr);
            auto *chapter = tracked(new ChapterInfo);
            chapter->setId(novel->id() + QStringLiteral("-") + s.title + QString::number(i));
            chapter->setNovelId(novel->id());
            chapter->setTitle(s.failAt == Stage::ReplaceChapters && i == 1
                                  ? QStringLiteral("FAIL")
                                  : s.title + QString::number(i));
            chapter->setChapterIndex(i);
            result.chapters.append(chapter);
        }
        return result;
    }

    bool parseUnified(const QVector<ChapterInfo *> &chapters, const QString &novelId,
                      UnifiedParagraphDao *paragraphDao, UnifiedChunkDao *chunkDao) override
    {
        record(QStringLiteral("unified"), m_tag);
        const FakeScript s = script();
        Transaction transaction(DatabaseConnection::database());
        if (!chunkDao->removeByNovelId(novelId) || !paragraphDao->removeByNovelId(novelId))
            return false;
        int i = 0;
        for (ChapterInfo *chapter : chapters) {
            if (!chapter)
                continue;
            Paragraph paragraph;
            paragraph.kind = Paragraph::PlainTextBlock;
            TextChunk chunk;
            chunk.text = chapter->title() + QStringLiteral(" text");
            paragraph.chunks.append(chunk);
            const QVector<QString> ids =
                paragraphDao->insertParagraphsLocked(novelId, chapter->id(), {paragraph});
            if (ids.isEmpty() || !chunkDao->insertChunks(ids.first(), paragraph.chunks))
                return false;
            chapter->setGlyphCount(s.glyphs.value(i));
            chapter->setProgressTotal(s.progress.value(i));
            ++i;
        }
        // Fails only after it has written: the rows must go again.
        if (s.failAt == Stage::Unified)
            return false;
        return transaction.commit();
    }

    bool hasImportTransaction() override { return m_transaction; }

    bool beginImport() override
    {
        record(QStringLiteral("begin"), m_tag);
        if (script().failAt == Stage::Begin)
            return false;
        m_open = new Transaction(DatabaseConnection::database());
        return m_open->isActive();
    }

    bool finishImport(bool success) override
    {
        record(success ? QStringLiteral("finish(true)") : QStringLiteral("finish(false)"), m_tag);
        {
            QMutexLocker lock(&s_mutex);
            s_finishCalls.append(success);
        }
        if (!m_transaction)
            return true;
        bool ok = true;
        if (m_open) {
            if (success && script().failAt != Stage::Finish)
                ok = m_open->commit();
            else
                ok = !success && m_open->rollback();
            delete m_open;
            m_open = nullptr;
        }
        return success ? ok && script().failAt != Stage::Finish : true;
    }

private:
    bool m_transaction;
    Transaction *m_open = nullptr;
    QString m_tag;
};

const ParserRegistration plainRegistration("fakebook", [] () -> IFormatParser * {
    return new FakeParser(false);
});
const ParserRegistration transactionRegistration("fakebooktx", [] () -> IFormatParser * {
    return new FakeParser(true);
});

// Collects the core's import signals on the main thread, queued.
class Receiver : public QObject
{
    Q_OBJECT
public:
    explicit Receiver(ApplicationCore *core)
    {
        connect(core, &ApplicationCore::novelImportProgress, this,
                [this](const QString &m) { add(QStringLiteral("progress"), m); },
                Qt::QueuedConnection);
        connect(core, &ApplicationCore::novelImportSucceeded, this,
                [this](const QString &m) { add(QStringLiteral("succeeded"), m); ++finished; },
                Qt::QueuedConnection);
        connect(core, &ApplicationCore::novelImportFailed, this,
                [this](const QString &m) { add(QStringLiteral("failed"), m); ++finished; },
                Qt::QueuedConnection);
    }
    void add(const QString &kind, const QString &message)
    {
        QVERIFY(QThread::currentThread() == s_mainThread);
        signals_ << kind + QLatin1Char(' ') + message;
    }
    QStringList signals_;
    int finished = 0;
};

// Every table, every row, every column: the library as the user would see it.
QStringList snapshot()
{
    QStringList dump;
    QSqlQuery tables(DatabaseConnection::database());
    tables.exec(QStringLiteral(
        "SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name"));
    QStringList names;
    while (tables.next())
        names << tables.value(0).toString();
    for (const QString &table : qAsConst(names)) {
        QSqlQuery rows(DatabaseConnection::database());
        rows.exec(QStringLiteral("SELECT * FROM ") + table + QStringLiteral(" ORDER BY rowid"));
        int count = 0;
        while (rows.next()) {
            QStringList values;
            for (int c = 0; c < rows.record().count(); ++c)
                values << rows.value(c).toString();
            dump << table + QLatin1Char('|') + values.join(QLatin1Char('|'));
            ++count;
        }
        dump << table + QStringLiteral(" rows ") + QString::number(count);
    }
    return dump;
}

int rowCount(const QString &sql)
{
    QSqlQuery query(DatabaseConnection::database());
    query.exec(sql);
    return query.next() ? query.value(0).toInt() : -1;
}

const QString P1 = QStringLiteral("progress 正在解析小说信息....");
const QString P2 = QStringLiteral("progress 正在解析章节信息列表....");
const QString P3 = QStringLiteral("progress 正在构建排版数据....");

}

class TestImport : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TestEnvironment> env;
    std::unique_ptr<ApplicationCore> core;

    void setScript(const FakeScript &s)
    {
        QMutexLocker lock(&s_mutex);
        s_script = s;
        s_finishCalls.clear();
    }

    QVector<bool> finishCalls()
    {
        QMutexLocker lock(&s_mutex);
        return s_finishCalls;
    }

    // Imports and waits for the outcome; the signals received in order.
    QStringList importAndWait(const QString &path, Receiver &receiver)
    {
        const int before = receiver.finished;
        const int from = receiver.signals_.size();
        core->importNovel(path);
        if (!QTest::qWaitFor([&] { return receiver.finished > before; }, 20000))
            return {QStringLiteral("timeout")};
        // Anything emitted after the outcome would show up here.
        QTest::qWait(20);
        return receiver.signals_.mid(from);
    }

    QString bookPath(bool transaction, const QString &name = QStringLiteral("book"))
    {
        return env->root() + QLatin1Char('/') + name
               + (transaction ? QStringLiteral(".fakebooktx") : QStringLiteral(".fakebook"));
    }

private slots:
    void initTestCase()
    {
        s_mainThread = QThread::currentThread();
    }

    void init()
    {
        env.reset(new TestEnvironment);
        QVERIFY(env->openDatabase());
        QSqlQuery q(DatabaseConnection::database());
        // Refusals the fake parsers can provoke, one per write of the store step.
        QVERIFY(q.exec(QStringLiteral(
            "CREATE TRIGGER refuse_book_insert BEFORE INSERT ON novel_info WHEN NEW.title = 'FAIL' "
            "BEGIN SELECT RAISE(ABORT, 'refused'); END")));
        QVERIFY(q.exec(QStringLiteral(
            "CREATE TRIGGER refuse_book_update BEFORE UPDATE ON novel_info WHEN NEW.title = 'FAIL' "
            "BEGIN SELECT RAISE(ABORT, 'refused'); END")));
        QVERIFY(q.exec(QStringLiteral(
            "CREATE TRIGGER refuse_chapter BEFORE INSERT ON chapter_info WHEN NEW.title = 'FAIL' "
            "BEGIN SELECT RAISE(ABORT, 'refused'); END")));
        QVERIFY(q.exec(QStringLiteral(
            "CREATE TRIGGER refuse_position BEFORE DELETE ON read_process_info "
            "WHEN OLD.chapter_id = 'KEEP' BEGIN SELECT RAISE(ABORT, 'refused'); END")));
        core.reset(new ApplicationCore);
        s_created = 0;
        s_destroyed = 0;
        takeLog();
        setScript(FakeScript());
    }

    void cleanup()
    {
        core.reset();
        TestEnvironment::closeDatabase();
        env.reset();
    }

    void unsupportedFile_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("no suffix") << QStringLiteral("book");
        QTest::newRow("unknown suffix") << QStringLiteral("book.nosuchformat");
        QTest::newRow("trailing dot") << QStringLiteral("book.");
    }

    void unsupportedFile()
    {
        QFETCH(QString, name);
        Receiver receiver(core.get());
        const QStringList before = snapshot();
        QCOMPARE(importAndWait(env->root() + QLatin1Char('/') + name, receiver),
                 QStringList{QStringLiteral("failed 不支持的文件格式")});
        QCOMPARE(snapshot(), before);
    }

    void successfulImport_data()
    {
        QTest::addColumn<bool>("transaction");
        QTest::newRow("plain parser") << false;
        QTest::newRow("import transaction") << true;
    }

    void successfulImport()
    {
        QFETCH(bool, transaction);
        Receiver receiver(core.get());
        const QString path = bookPath(transaction);
        QCOMPARE(importAndWait(path, receiver),
                 (QStringList{P1, P2, P3, QStringLiteral("succeeded 解析完成")}));

        const QString where = transaction ? QStringLiteral("@main") : QStringLiteral("@worker");
        QStringList expected{QStringLiteral("book:bookInfo@worker"),
                             QStringLiteral("book:chapters@worker")};
        if (transaction)
            expected << QStringLiteral("book:begin@main");
        expected << QStringLiteral("book:unified") + where
                 << QStringLiteral("book:finish(true)") + where;
        QCOMPARE(takeLog(), expected);
        QCOMPARE(finishCalls(), QVector<bool>{true});
        QCOMPARE(s_created.load(), 1);
        QCOMPARE(s_destroyed.load(), 1);
        QCOMPARE(s_objectsAlive.load(), 0);

        const QString id = md5Hex(path);
        const auto list = core->getNovelList();
        QCOMPARE(list.size(), 1);
        QCOMPARE(list.first()->property("id").toString(), id);
        qDeleteAll(list);
        std::unique_ptr<QObject> novel(core->getNovelInfo(id));
        QCOMPARE(novel->property("chaptersCount").toInt(), 2);
        QCOMPARE(novel->property("totalGlyphs").toInt(), 7);
        QCOMPARE(novel->property("totalProgress").toLongLong(), 70);
        QCOMPARE(rowCount(QStringLiteral("SELECT COUNT(*) FROM chapter_info")), 2);
        QCOMPARE(rowCount(QStringLiteral("SELECT COUNT(*) FROM unified_paragraph")), 2);
        QCOMPARE(rowCount(QStringLiteral("SELECT COUNT(*) FROM unified_chunk")), 2);
    }

    // The import texts are looked up under the context they are extracted
    // under, so a translation file for ApplicationCore reaches them.
    void importTextsUseTheCoreContext()
    {
        struct CoreOnly : QTranslator
        {
            QString translate(const char *context, const char *source, const char *, int) const override
            {
                return qstrcmp(context, "ApplicationCore") == 0
                    ? QStringLiteral("T:") + QString::fromUtf8(source) : QString();
            }
            bool isEmpty() const override { return false; }
        } translator;
        QCoreApplication::installTranslator(&translator);
        Receiver receiver(core.get());
        const QStringList ok = importAndWait(bookPath(true), receiver);
        const QStringList refused = importAndWait(env->root() + QStringLiteral("/book.none"), receiver);
        QCoreApplication::removeTranslator(&translator);
        QCOMPARE(ok.size(), 4);
        for (const QString &line : ok + refused)
            QVERIFY2(line.section(QLatin1Char(' '), 1).startsWith(QLatin1String("T:")), qPrintable(line));
    }

    void numbering_data()
    {
        QTest::addColumn<QVector<int>>("glyphs");
        QTest::addColumn<QVector<qint64>>("progress");
        QTest::addColumn<bool>("nullChapter");
        QTest::addColumn<QVector<int>>("startGlyphs");
        QTest::addColumn<QVector<qint64>>("startProgress");
        QTest::addColumn<int>("totalGlyphs");
        QTest::addColumn<qint64>("totalProgress");
        QTest::addColumn<int>("chaptersCount");
        const qint64 big = Q_INT64_C(5000000000);
        QTest::newRow("negative counts as zero")
            << QVector<int>{10, -5, 7} << QVector<qint64>{big, -1, 3} << false
            << QVector<int>{0, 10, 10} << QVector<qint64>{0, big, big} << 17 << big + 3 << 3;
        QTest::newRow("null entry counted, skipped")
            << QVector<int>{10, -5, 7} << QVector<qint64>{1, 2, 3} << true
            << QVector<int>{0, 10, 10} << QVector<qint64>{0, 1, 3} << 17 << qint64(6) << 4;
    }

    void numbering()
    {
        QFETCH(QVector<int>, glyphs);
        QFETCH(QVector<qint64>, progress);
        QFETCH(bool, nullChapter);
        FakeScript s;
        s.glyphs = glyphs;
        s.progress = progress;
        s.nullChapter = nullChapter;
        setScript(s);
        Receiver receiver(core.get());
        const QString path = bookPath(false);
        QCOMPARE(importAndWait(path, receiver).value(3), QStringLiteral("succeeded 解析完成"));

        const QString id = md5Hex(path);
        ChapterDao chapters;
        const QList<ChapterInfo *> stored = chapters.queryByNovelId(id);
        QVector<int> startGlyphs;
        QVector<qint64> startProgress;
        for (ChapterInfo *chapter : stored) {
            startGlyphs << chapter->startGlyphIndex();
            startProgress << chapter->startProgressIndex();
        }
        qDeleteAll(stored);
        QTEST(startGlyphs, "startGlyphs");
        QTEST(startProgress, "startProgress");
        NovelDao novels;
        std::unique_ptr<NovelInfo> novel(novels.queryById(id));
        QVERIFY(novel);
        QTEST(novel->totalGlyphs(), "totalGlyphs");
        QTEST(novel->totalProgress(), "totalProgress");
        QTEST(novel->chaptersCount(), "chaptersCount");
    }

    void failureLeavesLibraryUnchanged_data()
    {
        QTest::addColumn<bool>("transaction");
        QTest::addColumn<bool>("reimport");
        QTest::addColumn<int>("stage");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<QVector<bool>>("finish");

        const QString indexFailed = QStringLiteral("failed 保存书籍索引失败");
        struct Row { const char *name; Stage stage; QStringList signalList; bool plain;
                     QVector<bool> finish; };
        const QList<Row> rows{
            {"book info", Stage::BookInfo, {P1, QStringLiteral("failed 书坏了")}, true, {false}},
            {"chapters", Stage::Chapters, {P1, P2, QStringLiteral("failed 章节坏了")}, true,
             {false}},
            {"no chapters", Stage::NoChapters, {P1, P2, indexFailed}, true, {false}},
            {"begin", Stage::Begin, {P1, P2, QStringLiteral("failed 开启导入事务失败")}, false,
             {false}},
            {"unified", Stage::Unified, {P1, P2, P3, QStringLiteral("failed 构建排版数据失败")},
             true, {false}},
            {"save book", Stage::SaveNovel, {P1, P2, P3, indexFailed}, true, {false}},
            {"replace chapters", Stage::ReplaceChapters, {P1, P2, P3, indexFailed}, true,
             {false}},
            {"remove position", Stage::RemoveReadProcess, {P1, P2, P3, indexFailed}, true,
             {false}},
            {"finish", Stage::Finish, {P1, P2, P3, QStringLiteral("failed 提交导入事务失败")},
             false, {true}},
        };
        for (const Row &row : rows) {
            for (int t = 0; t < 2; ++t) {
                if (t == 0 && !row.plain)
                    continue;
                for (int r = 0; r < 2; ++r) {
                    QTest::addRow("%s, %s, %s", row.name, t ? "transaction" : "plain",
                                  r ? "re-import" : "new book")
                        << bool(t) << bool(r) << int(row.stage) << row.signalList
                        << row.finish;
                }
            }
        }
    }

    void failureLeavesLibraryUnchanged()
    {
        QFETCH(bool, transaction);
        QFETCH(bool, reimport);
        QFETCH(int, stage);
        QFETCH(QStringList, expected);
        Receiver receiver(core.get());
        const QString path = bookPath(transaction);
        const QString id = md5Hex(path);
        // Another book that must stay as it is.
        QCOMPARE(importAndWait(bookPath(false, QStringLiteral("other")), receiver).last(),
                 QStringLiteral("succeeded 解析完成"));
        if (reimport) {
            FakeScript first;
            first.title = QStringLiteral("Old");
            first.glyphs = {5, 6, 7};
            first.progress = {50, 60, 70};
            setScript(first);
            QCOMPARE(importAndWait(path, receiver).last(), QStringLiteral("succeeded 解析完成"));
        }
        // A saved reading position that the failing import must not clear;
        // for a new book one that an earlier version kept after a removal.
        ReadProcessInfo position;
        position.setId(md5Hex(id));
        position.setNovelId(id);
        position.setChapterId(Stage(stage) == Stage::RemoveReadProcess ? QStringLiteral("KEEP") : QStringLiteral("c"));
        QVERIFY(ReadProcessDao().insert(&position));
        const QStringList before = snapshot();
        takeLog();
        s_created = 0;
        s_destroyed = 0;

        FakeScript s;
        s.title = QStringLiteral("New");
        s.failAt = Stage(stage);
        setScript(s);
        QCOMPARE(importAndWait(path, receiver), expected);
        QCOMPARE(snapshot(), before);
        QTEST(finishCalls(), "finish");
        QCOMPARE(s_created.load(), 1);
        QCOMPARE(s_destroyed.load(), 1);
        QCOMPARE(s_objectsAlive.load(), 0);
        const QString thread = QStringLiteral("@main");
        for (const QString &line : takeLog()) {
            if (transaction && !line.contains(QLatin1String("bookInfo"))
                && !line.contains(QLatin1String("chapters"))
                && !line.contains(QLatin1String("finish(false)"))) {
                QVERIFY2(line.endsWith(thread), qPrintable(line));
            }
            if (!transaction)
                QVERIFY2(line.endsWith(QLatin1String("@worker")), qPrintable(line));
        }
    }

    void reimportReplacesBook()
    {
        Receiver receiver(core.get());
        const QString path = bookPath(false);
        const QString id = md5Hex(path);
        FakeScript first;
        first.title = QStringLiteral("Old");
        first.glyphs = {5, 6, 7};
        first.progress = {50, 60, 70};
        setScript(first);
        QCOMPARE(importAndWait(path, receiver).last(), QStringLiteral("succeeded 解析完成"));
        NovelDao novelDao;
        ChapterDao chapterDao;
        ReadProcessDao processDao;
        NovelService service(&novelDao, &chapterDao, &processDao);
        service.doReading(id, id + QStringLiteral("-Old1"), 1, 3, 3, 0.5f);
        QVERIFY(QScopedPointer<QObject>(processDao.queryByNovelId(id)));

        FakeScript second;
        second.title = QStringLiteral("New");
        setScript(second);
        QCOMPARE(importAndWait(path, receiver).last(), QStringLiteral("succeeded 解析完成"));
        QCOMPARE(rowCount(QStringLiteral("SELECT COUNT(*) FROM novel_info")), 1);
        std::unique_ptr<NovelInfo> novel(novelDao.queryById(id));
        QCOMPARE(novel->title(), QStringLiteral("New"));
        QCOMPARE(novel->chaptersCount(), 2);
        QCOMPARE(novel->totalGlyphs(), 7);
        const QList<ChapterInfo *> chapters = chapterDao.queryByNovelId(id);
        QStringList titles;
        for (ChapterInfo *chapter : chapters)
            titles << chapter->title();
        qDeleteAll(chapters);
        QCOMPARE(titles, (QStringList{QStringLiteral("New0"), QStringLiteral("New1")}));
        QCOMPARE(rowCount(QStringLiteral("SELECT COUNT(*) FROM unified_paragraph")), 2);
        QCOMPARE(rowCount(QStringLiteral("SELECT COUNT(*) FROM unified_chunk")), 2);
        QCOMPARE(rowCount(QStringLiteral("SELECT COUNT(*) FROM read_process_info")), 0);
    }

    void importsRunOneAtATimeInOrder()
    {
        Receiver receiver(core.get());
        FakeScript s;
        s.blockIn = QStringLiteral("unified");
        setScript(s);
        core->importNovel(bookPath(false, QStringLiteral("first")));
        QVERIFY(s_entered.tryAcquire(1, 10000));
        {
            FakeScript t;
            setScript(t);   // later parsers do not block
        }
        core->importNovel(bookPath(true, QStringLiteral("second")));
        core->importNovel(bookPath(false, QStringLiteral("third")));
        QTest::qWait(100);
        // Nothing of the later imports has started while the first one waits.
        QCOMPARE(takeLog(), (QStringList{QStringLiteral("first:bookInfo@worker"),
                                         QStringLiteral("first:chapters@worker"),
                                         QStringLiteral("first:unified@worker")}));
        s_release.release();
        QTRY_COMPARE_WITH_TIMEOUT(receiver.finished, 3, 20000);
        QCOMPARE(takeLog(), (QStringList{QStringLiteral("first:finish(true)@worker"),
                                         QStringLiteral("second:bookInfo@worker"),
                                         QStringLiteral("second:chapters@worker"),
                                         QStringLiteral("second:begin@main"),
                                         QStringLiteral("second:unified@main"),
                                         QStringLiteral("second:finish(true)@main"),
                                         QStringLiteral("third:bookInfo@worker"),
                                         QStringLiteral("third:chapters@worker"),
                                         QStringLiteral("third:unified@worker"),
                                         QStringLiteral("third:finish(true)@worker")}));
        QCOMPARE(rowCount(QStringLiteral("SELECT COUNT(*) FROM novel_info")), 3);
    }

    void coreDestroyedDuringImport_data()
    {
        QTest::addColumn<bool>("transaction");
        QTest::addColumn<QString>("blockIn");
        QTest::newRow("plain, in chapters") << false << QStringLiteral("chapters");
        QTest::newRow("plain, in unified content") << false << QStringLiteral("unified");
        QTest::newRow("transaction, in chapters") << true << QStringLiteral("chapters");
        QTest::newRow("transaction, step posted") << true << QString();
    }

    void coreDestroyedDuringImport()
    {
        QFETCH(bool, transaction);
        QFETCH(QString, blockIn);
        const QStringList before = snapshot();
        Receiver receiver(core.get());
        FakeScript s;
        s.blockIn = blockIn.isEmpty() ? QStringLiteral("chapters") : blockIn;
        setScript(s);
        core->importNovel(bookPath(transaction));
        QVERIFY(s_entered.tryAcquire(1, 10000));
        if (blockIn.isEmpty()) {
            // Let the worker post the main-thread step, then go before it runs.
            s_release.release();
            QThread::msleep(200);
            core.reset();
        } else {
            std::thread releaser([] {
                QThread::msleep(200);
                s_release.release();
            });
            core.reset();   // waits for the worker
            releaser.join();
        }
        QTest::qWait(100);
        for (const QString &line : qAsConst(receiver.signals_))
            QVERIFY2(line.startsWith(QLatin1String("progress")), qPrintable(line));
        QCOMPARE(finishCalls(), QVector<bool>{false});
        QCOMPARE(s_created.load(), 1);
        QCOMPARE(s_destroyed.load(), 1);
        QCOMPARE(s_objectsAlive.load(), 0);
        QCOMPARE(snapshot(), before);
    }

    // The real plain-text parser, end to end, in every encoding it reads.
    void plainTextBook_data()
    {
        QTest::addColumn<QByteArray>("codec");
        QTest::addColumn<QByteArray>("bom");
        QTest::addColumn<QString>("text");
        // Heading lines become chapter titles instead of content.
        QTest::addColumn<QStringList>("headings");
        QString chinese;
        for (int i = 0; i < 400; ++i)
            chinese += QStringLiteral("他走进了那座古老的城堡，四周一片寂静。\n");
        QString english;
        for (int i = 0; i < 300; ++i)
            english += QStringLiteral("The old castle stood silent on the hill, line %1.\n").arg(i);
        QTest::newRow("UTF-8 Chinese") << QByteArray("UTF-8") << QByteArray() << chinese
                                   << QStringList();
        QTest::newRow("UTF-8 English") << QByteArray("UTF-8") << QByteArray() << english
                                   << QStringList();
        QTest::newRow("GB18030") << QByteArray("GB18030") << QByteArray() << chinese
                                   << QStringList();
        QTest::newRow("UTF-16LE") << QByteArray("UTF-16LE") << QByteArray("\xFF\xFE") << chinese
                                   << QStringList();
        QTest::newRow("UTF-16BE") << QByteArray("UTF-16BE") << QByteArray("\xFE\xFF") << english
                                   << QStringList();
        QString headed;
        QStringList headings;
        const QStringList numbers{QStringLiteral("一"), QStringLiteral("二"), QStringLiteral("三")};
        for (const QString &number : numbers) {
            headings << QStringLiteral("第") + number + QStringLiteral("章 夜路");
            headed += headings.last() + QLatin1Char('\n');
            for (int i = 0; i < 60; ++i)
                headed += QStringLiteral("他走进了那座古老的城堡，四周一片寂静。\n");
        }
        QTest::newRow("GB18030 with headings") << QByteArray("GB18030") << QByteArray() << headed
                                               << headings;
    }

    void plainTextBook()
    {
        QFETCH(QByteArray, codec);
        QFETCH(QByteArray, bom);
        QFETCH(QString, text);
        QFETCH(QStringList, headings);
        const QString path = env->root() + QStringLiteral("/小说.txt");
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        // Only the row's own mark: Qt's UTF-16 codecs would write a second one.
        std::unique_ptr<QTextEncoder> encoder(
            QTextCodec::codecForName(codec)->makeEncoder(QTextCodec::IgnoreHeader));
        file.write(bom + encoder->fromUnicode(text));
        file.close();

        Receiver receiver(core.get());
        QCOMPARE(importAndWait(path, receiver),
                 (QStringList{P1, P2, P3, QStringLiteral("succeeded 解析完成")}));

        const QString id = md5Hex(path);
        const QList<QObject *> list = core->getNovelList();
        QCOMPARE(list.size(), 1);
        QCOMPARE(list.first()->property("id").toString(), id);
        qDeleteAll(list);
        std::unique_ptr<QObject> novel(core->getNovelInfo(id));
        const int chaptersCount = novel->property("chaptersCount").toInt();
        const int totalGlyphs = novel->property("totalGlyphs").toInt();
        QVERIFY(chaptersCount > 1);
        QCOMPARE(rowCount(QStringLiteral("SELECT COUNT(*) FROM chapter_info")), chaptersCount);

        // One raw text block per chapter, together holding the whole text.
        ChapterDao chapterDao;
        UnifiedParagraphDao paragraphDao;
        UnifiedChunkDao chunkDao;
        const QList<ChapterInfo *> chapters = chapterDao.queryByNovelId(id);
        QString joined;
        QStringList titles;
        int glyphs = 0;
        for (ChapterInfo *chapter : chapters) {
            titles << chapter->title();
            QVector<QString> rowIds;
            const QVector<Paragraph> paragraphs =
                paragraphDao.loadParagraphs(id, chapter->id(), &rowIds);
            QCOMPARE(paragraphs.size(), 1);
            QCOMPARE(paragraphs.first().kind, int(Paragraph::PlainTextBlock));
            const auto chunks = chunkDao.loadChunks(id, chapter->id());
            QCOMPARE(chunks.value(rowIds.first()).size(), 1);
            joined += chunks.value(rowIds.first()).first().text;
            QCOMPARE(chapter->startGlyphIndex(), glyphs);
            glyphs += chapter->glyphCount();
        }
        qDeleteAll(chapters);
        QCOMPARE(glyphs, totalGlyphs);
        if (!headings.isEmpty())
            QCOMPARE(titles, headings);
        QString expected = text;
        for (const QString &heading : qAsConst(headings))
            expected.remove(heading + QLatin1Char('\n'));
        expected.remove(QRegularExpression(QStringLiteral("\\s")));
        joined.remove(QRegularExpression(QStringLiteral("\\s")));
        QCOMPARE(joined, expected);
    }
};

QTEST_MAIN(TestImport)
#include "tst_import.moc"
