#include "applicationcore.h"
#include "chapterdao.h"
#include "chapterinfo.h"
#include "chapterservice.h"
#include "databaseconnection.h"
#include "dbtestutils.h"
#include "keys.h"
#include "logcapture.h"
#include "noveldao.h"
#include "novelinfo.h"
#include "novelservice.h"
#include "readprocessdao.h"
#include "readprocessinfo.h"
#include "testenvironment.h"
#include "transaction.h"
#include "unifiedchunkdao.h"
#include "unifiedparagraphdao.h"

#include <QQmlComponent>
#include <QQmlContext>
#include <QQmlEngine>
#include <QSignalSpy>
#include <QSqlQuery>
#include <QTimer>
#include <QtTest>

namespace {

NovelInfo *makeNovel(const QString &id, const QString &title)
{
    return DbTestUtils::newNovel(id, title);
}

ChapterInfo *makeChapter(const QString &novelId, int index)
{
    auto *chapter = new ChapterInfo;
    chapter->setId(novelId + QStringLiteral("-c") + QString::number(index));
    chapter->setNovelId(novelId);
    chapter->setTitle(QStringLiteral("第%1章").arg(index + 1));
    chapter->setChapterIndex(index);
    chapter->setGlyphCount(100 + index);
    return chapter;
}

// Counts the objects it was shown and how many of them have been destroyed.
class LifeCounter : public QObject
{
    Q_OBJECT
public:
    int created = 0;
    int destroyed = 0;
    Q_INVOKABLE void track(QObject *object)
    {
        ++created;
        connect(object, &QObject::destroyed, this, [this] { ++destroyed; });
    }
};

using DbTestUtils::rowCount;

}

class TestApplicationCore : public QObject
{
    Q_OBJECT

private:
    TestEnvironment *m_env = nullptr;

private slots:
    void init()
    {
        m_env = new TestEnvironment;
        QVERIFY(m_env->openDatabase());
    }

    void cleanup()
    {
        delete m_env;
        m_env = nullptr;
    }

    void instancePointerFollowsLifetime()
    {
        QCOMPARE(ApplicationCore::instance(), nullptr);
        auto *core = new ApplicationCore;
        QCOMPARE(ApplicationCore::instance(), core);
        // The pools are children, so QML-side lookups by type find them.
        QVERIFY(core->findChild<LayoutPool *>());
        QVERIFY(core->findChild<RenderPool *>());
        delete core;
        QCOMPARE(ApplicationCore::instance(), nullptr);

        // Each construction takes the pointer over; destroying an older core
        // leaves the newer one in place.
        auto *first = new ApplicationCore;
        auto *second = new ApplicationCore;
        QCOMPARE(ApplicationCore::instance(), second);
        delete first;
        QCOMPARE(ApplicationCore::instance(), second);
        delete second;
        QCOMPARE(ApplicationCore::instance(), nullptr);
    }

    void minuteClockTicks()
    {
        ApplicationCore core;
        QList<QTimer *> clocks = core.findChildren<QTimer *>(QString(), Qt::FindDirectChildrenOnly);
        QCOMPARE(clocks.size(), 1);
        QTimer *clock = clocks.first();
        QVERIFY(clock->isActive());
        QVERIFY(clock->interval() > 0 && clock->interval() <= 60000);

        QSignalSpy ticks(&core, &ApplicationCore::systemTimeUpdated);
        const QString before = QTime::currentTime().toString(QStringLiteral("HH:mm"));
        QVERIFY(QMetaObject::invokeMethod(clock, "timeout"));
        const QString after = QTime::currentTime().toString(QStringLiteral("HH:mm"));
        QCOMPARE(ticks.count(), 1);
        const QString shown = ticks.first().first().toString();
        QVERIFY2(shown == before || shown == after, qPrintable(shown));
        // The clock keeps running, aimed at the next whole minute.
        QVERIFY(clock->isActive());
        QVERIFY(clock->interval() > 0 && clock->interval() <= 60000);

        LogCapture log;
        core.initAppTime();
        QCOMPARE(log.lines(QtInfoMsg), QStringList{QStringLiteral("[ApplicationCore::initAppTime] 初始化应用时间")});
        clocks = core.findChildren<QTimer *>(QString(), Qt::FindDirectChildrenOnly);
        QCOMPARE(clocks.size(), 2);
    }

    void libraryQueriesOfUnknownBooks()
    {
        ApplicationCore core;
        LogCapture log;
        QCOMPARE(core.getNovelInfo(QStringLiteral("missing")), nullptr);
        QVERIFY(core.getChaptersByNovelId(QStringLiteral("missing")).isEmpty());
        QVERIFY(core.getNovelList().isEmpty());
        QCOMPARE(log.lines(QtInfoMsg),
                 (QStringList{QStringLiteral("[ApplicationCore::getNovelInfo] 查询小说信息： \"missing\""),
                              QStringLiteral("[ApplicationCore::getChaptersByNovelId] 查询小说的章节列表,小说id: \"missing\""),
                              QStringLiteral("[ApplicationCore::getNovelList] 查询小说列表")}));
        // The metadata of a file offered for import is not logged.
        core.getFileMetadata(QStringLiteral("/nowhere/book.txt"));
        QCOMPARE(log.count(), 3);
    }

    void chapterServiceRemovesEveryRowOfTheBook()
    {
        ChapterDao chapters;
        UnifiedParagraphDao paragraphs;
        UnifiedChunkDao chunks;
        ChapterService service(&chapters, &paragraphs, &chunks);
        QVector<ChapterInfo *> owned;
        for (const QString &book : {QStringLiteral("gone"), QStringLiteral("kept")}) {
            QVector<ChapterInfo *> list{makeChapter(book, 0), makeChapter(book, 1)};
            owned += list;
            QVERIFY(service.replaceChapters(list, book));
            Paragraph paragraph;
            paragraph.kind = Paragraph::PlainTextBlock;
            TextChunk chunk;
            chunk.text = QStringLiteral("第一行\n第二行");
            paragraph.chunks = {chunk, chunk};
            Transaction transaction(DatabaseConnection::database());
            for (ChapterInfo *chapter : list) {
                const QVector<QString> ids = paragraphs.insertParagraphsLocked(book, chapter->id(), {paragraph, paragraph});
                QCOMPARE(ids.size(), 2);
                for (const QString &id : ids)
                    QVERIFY(chunks.insertChunks(id, paragraph.chunks));
            }
            QVERIFY(transaction.commit());
        }
        qDeleteAll(owned);
        QCOMPARE(rowCount(QStringLiteral("unified_chunk")), 16);

        QVERIFY(service.removeByNovelId(QStringLiteral("gone")));
        QCOMPARE(rowCount(QStringLiteral("chapter_info"), QStringLiteral("novel_id"), QStringLiteral("gone")), 0);
        QCOMPARE(rowCount(QStringLiteral("unified_paragraph"), QStringLiteral("novel_id"), QStringLiteral("gone")), 0);
        // No chunk is left behind without its paragraph.
        QCOMPARE(rowCount(QStringLiteral("unified_chunk")), 8);
        QCOMPARE(rowCount(QStringLiteral("unified_paragraph")), 4);
        QCOMPARE(rowCount(QStringLiteral("chapter_info")), 2);
        // Nothing left to remove is still a success.
        QVERIFY(service.removeByNovelId(QStringLiteral("gone")));
    }

    void delayToNextMinute_data()
    {
        QTest::addColumn<QTime>("time");
        QTest::addColumn<int>("delay");
        QTest::newRow("mid minute") << QTime(12, 34, 56, 789) << 3211;
        QTest::newRow("whole minute") << QTime(8, 0, 0, 0) << 60000;
        QTest::newRow("last millisecond of day") << QTime(23, 59, 59, 999) << 1;
        QTest::newRow("midnight") << QTime(0, 0, 0, 0) << 60000;
        QTest::newRow("invalid") << QTime() << 60000;
    }

    void delayToNextMinute()
    {
        QFETCH(QTime, time);
        QFETCH(int, delay);
        QCOMPARE(ApplicationCore::delayToNextMinute(time.isValid() ? time.msecsSinceStartOfDay() : -1), delay);
    }

    void poolSignalsOfOtherGenerationsAreDropped()
    {
        ApplicationCore core;
        auto *layout = core.findChild<LayoutPool *>();
        auto *render = core.findChild<RenderPool *>();
        QSignalSpy rendered(&core, &ApplicationCore::poolPageRendered);
        QSignalSpy ready(&core, &ApplicationCore::poolChapterLayoutReady);
        QSignalSpy located(&core, &ApplicationCore::poolStartPageLocated);

        // No book opened yet: the current generation is 0.
        emit render->pageRendered(QStringLiteral("c1"), 3, 1);
        emit layout->chapterLayoutReady(QStringLiteral("c1"), 9, 7);
        emit layout->startPageLocated(QStringLiteral("c1"), 2, 1);
        QCOMPARE(rendered.count() + ready.count() + located.count(), 0);

        emit render->pageRendered(QStringLiteral("c1"), 3, 0);
        emit layout->chapterLayoutReady(QStringLiteral("c1"), 9, 0);
        emit layout->startPageLocated(QStringLiteral("c1"), 2, 0);
        QCOMPARE(rendered.count(), 1);
        QCOMPARE(rendered.first(), (QList<QVariant>{QStringLiteral("c1"), 3}));
        QCOMPARE(ready.first(), (QList<QVariant>{QStringLiteral("c1"), 9}));
        QCOMPARE(located.first(), (QList<QVariant>{QStringLiteral("c1"), 2}));
    }

    void saveNovelInsertsThenUpdates()
    {
        NovelDao novels;
        ChapterDao chapters;
        ReadProcessDao progress;
        NovelService service(&novels, &chapters, &progress);

        QTest::ignoreMessage(QtWarningMsg, "解析小说基本信息失败，NovelInfo 为空");
        QVERIFY(!service.saveNovel(nullptr));

        QScopedPointer<NovelInfo> first(makeNovel(QStringLiteral("n1"), QStringLiteral("旧标题")));
        first->setCoverPath(QStringLiteral("/covers/n1.jpg"));
        QVERIFY(service.saveNovel(first.data()));

        QScopedPointer<NovelInfo> again(makeNovel(QStringLiteral("n1"), QStringLiteral("新标题")));
        QVERIFY(service.saveNovel(again.data()));
        QCOMPARE(rowCount(QStringLiteral("novel_info")), 1);

        QScopedPointer<NovelInfo> stored(service.getNovelInfo(QStringLiteral("n1")));
        QVERIFY(stored);
        QCOMPARE(stored->title(), QStringLiteral("新标题"));
        // A re-import clears a cover the file no longer has.
        QVERIFY(stored->coverPath().isEmpty());
        QVERIFY(stored->updateTime() != QStringLiteral("2020-01-01 00:00:00"));
        QVERIFY(!service.getNovelInfo(QStringLiteral("missing")));
    }

    void doReadingKeepsOneRowAndMovesBookFirst()
    {
        NovelDao novels;
        ChapterDao chapters;
        ReadProcessDao progress;
        NovelService service(&novels, &chapters, &progress);
        for (const QString &id : {QStringLiteral("a"), QStringLiteral("b")}) {
            QScopedPointer<NovelInfo> novel(makeNovel(id, id.toUpper()));
            QVERIFY(service.saveNovel(novel.data()));
        }
        QScopedPointer<ChapterInfo> chapter(makeChapter(QStringLiteral("b"), 0));
        { QVector<ChapterInfo *> one{chapter.data()}; QVERIFY(chapters.batchInsert(one)); }

        service.doReading(QStringLiteral("b"), chapter->id(), 0, 40, 41, 0.25f);
        QScopedPointer<ReadProcessInfo> firstPosition(service.getReadProcess(QStringLiteral("b")));
        QVERIFY(firstPosition);
        QCOMPARE(firstPosition->createTime(), firstPosition->updateTime());
        // The row's id follows from the book id alone.
        QCOMPARE(firstPosition->id(), md5Hex(QStringLiteral("b")));
        service.doReading(QStringLiteral("b"), chapter->id(), 0, 90, 95, -1.0f);
        QCOMPARE(rowCount(QStringLiteral("read_process_info")), 1);

        QScopedPointer<ReadProcessInfo> position(service.getReadProcess(QStringLiteral("b")));
        QVERIFY(position);
        QCOMPARE(position->id(), firstPosition->id());
        QCOMPARE(position->createTime(), firstPosition->createTime());
        QCOMPARE(position->lastPosition(), 90);
        QCOMPARE(position->lastProgressIndex(), qint64(95));

        const QList<NovelInfo *> list = service.getNovelList();
        QCOMPARE(list.size(), 2);
        QCOMPARE(list.first()->id(), QStringLiteral("b"));
        qDeleteAll(list);

        // Only the status and update time of the chapter change.
        const QList<ChapterInfo *> stored = chapters.queryByNovelId(QStringLiteral("b"));
        QCOMPARE(stored.size(), 1);
        QCOMPARE(stored.first()->status(), 2);
        QCOMPARE(stored.first()->glyphCount(), 100);
        qDeleteAll(stored);

        QVERIFY(service.removeReadProcess(QStringLiteral("b")));
        QVERIFY(service.removeReadProcess(QStringLiteral("b")));
        QCOMPARE(rowCount(QStringLiteral("read_process_info")), 0);
    }

    void replaceChapters()
    {
        ChapterDao chapters;
        ChapterService service(&chapters, nullptr, nullptr);
        QVector<ChapterInfo *> list{makeChapter(QStringLiteral("n"), 2), makeChapter(QStringLiteral("n"), 0),
                                    makeChapter(QStringLiteral("n"), 1)};
        QVERIFY(service.replaceChapters(list, QStringLiteral("n")));
        const QList<ChapterInfo *> stored = service.getChaptersByNovelId(QStringLiteral("n"));
        QCOMPARE(stored.size(), 3);
        QCOMPARE(stored.at(0)->chapterIndex(), 0);
        QCOMPARE(stored.at(2)->chapterIndex(), 2);
        qDeleteAll(stored);
        // An empty list still deletes the old chapters, and reports failure.
        QVERIFY(!service.replaceChapters({}, QStringLiteral("n")));
        QCOMPARE(rowCount(QStringLiteral("chapter_info")), 0);
        qDeleteAll(list);
    }

    void fileMetadata()
    {
        ApplicationCore core;
        const QString dir = m_env->root() + QStringLiteral("/books");
        QDir().mkpath(dir);
        QFile file(dir + QStringLiteral("/book.epub"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(1234, 'x'));
        file.close();

        QVariantMap meta = core.getFileMetadata(file.fileName());
        QCOMPARE(meta.value(QStringLiteral("type")).toString(), QStringLiteral("EPUB"));
        QCOMPARE(meta.value(QStringLiteral("size")).toLongLong(), 1234);
        QVERIFY(meta.value(QStringLiteral("modified")).toDateTime().isValid());
        QCOMPARE(meta.value(QStringLiteral("directory")).toString(), dir);

        meta = core.getFileMetadata(dir + QStringLiteral("/README"));
        QCOMPARE(meta.value(QStringLiteral("type")).toString(), QString());
        QCOMPARE(meta.value(QStringLiteral("size")).toLongLong(), 0);
        QVERIFY(!meta.value(QStringLiteral("modified")).toDateTime().isValid());
    }

    void listsHandedToQmlAreReleased()
    {
        {
            NovelDao novels;
            ChapterDao chapters;
            for (int i = 0; i < 3; ++i) {
                QScopedPointer<NovelInfo> novel(makeNovel(QStringLiteral("n%1").arg(i), QStringLiteral("T")));
                QVERIFY(novels.insert(novel.data()));
            }
            QScopedPointer<ChapterInfo> chapter(makeChapter(QStringLiteral("n0"), 0));
            { QVector<ChapterInfo *> one{chapter.data()}; QVERIFY(chapters.batchInsert(one)); }
        }
        qmlRegisterType<ApplicationCore>("com.quillora.applicationcore", 1, 0, "ApplicationCore");
        QQmlEngine engine;
        LifeCounter counter;
        engine.rootContext()->setContextProperty(QStringLiteral("counter"), &counter);
        QQmlComponent component(&engine);
        component.setData("import QtQml 2.2\n"
                          "import com.quillora.applicationcore 1.0\n"
                          "QtObject {\n"
                          "  property var core: ApplicationCore {}\n"
                          "  function churn(n) {\n"
                          "    for (var i = 0; i < n; ++i) {\n"
                          "      var lists = [core.getNovelList(), core.getChaptersByNovelId('n0')];\n"
                          "      for (var l = 0; l < lists.length; ++l)\n"
                          "        for (var j = 0; j < lists[l].length; ++j)\n"
                          "          counter.track(lists[l][j]);\n"
                          "    }\n"
                          "  }\n"
                          "}\n",
                          QUrl());
        QScopedPointer<QObject> root(component.create());
        QVERIFY2(root, qPrintable(component.errorString()));
        QMetaObject::invokeMethod(root.data(), "churn", Q_ARG(QVariant, 1000));
        QCOMPARE(counter.created, 4000);
        for (int round = 0; round < 20 && counter.destroyed < 4000; ++round) {
            engine.collectGarbage();
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            QTest::qWait(10);
        }
        QCOMPARE(counter.destroyed, 4000);
    }
};

QTEST_MAIN(TestApplicationCore)
#include "tst_applicationcore.moc"
