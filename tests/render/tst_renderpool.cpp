#include "logcapture.h"
#include "pagerenderer.h"
#include "renderpool.h"
#include "testpages.h"
#include "testpdf.h"

#include <QSemaphore>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <QThreadPool>
#include <QtConcurrent>
#include <QtTest>

#include <atomic>
#include <climits>
#include <memory>
#include <mutex>
#include <vector>

namespace {

struct Push
{
    int page, stamp, generationOffset, answer;
};

PageLayout emptyPage(int index, qint64 stamp = 1)
{
    PageLayout page;
    page.pageIndex = index;
    page.layoutStamp = stamp;
    return page;
}

constexpr int Unknown = INT_MIN;

// The threads that handed freed memory back, in order.
std::mutex trimMutex;
std::vector<QThread *> trimThreads;  // copied deeply: the sanitizer sees no shared data

} // namespace

// Stands in for the C library's, so the test sees where memory is handed back.
extern "C" int malloc_trim(size_t)
{
    std::lock_guard<std::mutex> lock(trimMutex);
    trimThreads.push_back(QThread::currentThread());
    return 0;
}

Q_DECLARE_METATYPE(QVector<Push>)

class TestRenderPool : public QObject
{
    Q_OBJECT
    const quint64 m_gen = 5;
    std::unique_ptr<QThreadPool> m_threads;
    std::unique_ptr<RenderPool> m_pool;
    std::unique_ptr<QSignalSpy> m_rendered;
    QSemaphore m_gate;
    bool m_held = false;

    // Occupies the one worker thread, so the next render task stays in flight.
    void hold()
    {
        m_threads->start([this] { m_gate.acquire(); });
        m_held = true;
    }
    void release()
    {
        if (std::exchange(m_held, false))
            m_gate.release();
    }
    // Until pageRendered has been emitted `total` times in this test.
    bool renderedReach(int total)
    {
        return QTest::qWaitFor([&] { return m_rendered->count() >= total; });
    }
    void open(LayoutConfig config = LayoutConfig(), int side = 40)
    {
        config.pageWidth = config.pageHeight = side;
        m_pool->setRenderSettings(config);
        m_pool->setBookContext({{"ch", 0}});
        m_pool->resetForSession("book", "ch", 0, m_gen);
    }

private slots:
    void init()
    {
        m_threads.reset(new QThreadPool);
        m_threads->setMaxThreadCount(1);
        m_threads->setExpiryTimeout(-1);
        m_pool.reset(new RenderPool);
        m_pool->threadPool = m_threads.get();
        m_rendered.reset(new QSignalSpy(m_pool.get(), &RenderPool::pageRendered));
        open();
    }
    void cleanup()
    {
        release();
        m_rendered.reset();
        m_pool.reset();
        m_threads.reset();
    }

    void distance_data()
    {
        QTest::addColumn<bool>("continuous");
        QTest::addColumn<QString>("current");
        QTest::addColumn<QString>("target");
        QTest::addColumn<int>("expected");
        QTest::addColumn<bool>("staleTables");
        auto row = [](const char *name, bool continuous, const char *current, const char *target, int expected,
                      bool staleTables = false) {
            QTest::newRow(name) << continuous << current << target << expected << staleTables;
        };
        row("same chapter", false, "A:3", "A:7", 4);
        row("later chapter", false, "A:5", "B:2", 7);
        row("earlier chapter", false, "B:2", "A:5", -7);
        row("page count in between missing", false, "A:0", "D:0", Unknown);
        row("chapter outside the book", false, "A:0", "Z:0", Unknown);
        row("chapter id with a colon", false, "A:1", "a:b:12", 11 + 10 + 4);
        row("no colon", false, "A:1", "A", Unknown);
        row("page counts of another generation", false, "A:5", "B:2", Unknown, true);
        row("continuous, across chapters", true, "c:1", "d:0", 1);
        row("continuous, outside the strip", true, "c:1", "A:0", Unknown);
        row("continuous, strip of another generation", true, "c:1", "c:1", Unknown, true);
    }
    void distance()
    {
        QFETCH(bool, continuous);
        QFETCH(QString, current);
        QFETCH(QString, target);
        QFETCH(bool, staleTables);
        LayoutConfig config;
        config.continuousMode = continuous;
        m_pool->setRenderSettings(config);
        m_pool->setBookContext({{"A", 0}, {"B", 1}, {"a:b", 2}, {"C", 3}, {"D", 4}});
        m_pool->resetForSession("book", current.section(':', 0, 0), current.section(':', 1).toInt(), m_gen);
        const quint64 tables = staleTables ? m_gen - 1 : m_gen;
        const QMap<QString, int> counts{{"A", 10}, {"B", 4}, {"a:b", 20}};
        for (auto it = counts.cbegin(); it != counts.cend(); ++it)
            m_pool->setChapterPageCount(it.key(), it.value(), tables);
        m_pool->setPageSequence({{"c:0", 40}, {"c:1", 41}, {"d:0", 42}}, tables);
        int d = 0;
        QTEST(m_pool->keyDistance(target, d) ? d : Unknown, "expected");
    }

    void pushAnswers_data()
    {
        QTest::addColumn<int>("worker"); // 0 free, 1 held, 2 free and no page can be drawn
        QTest::addColumn<QVector<Push>>("pushes");
        QTest::newRow("same content while queued and in flight") << 1
            << QVector<Push>{{0, 5, 0, 0}, {0, 5, 0, 1}, {1, 5, 0, 0}, {1, 5, 0, 1}, {0, 5, 0, 1}};
        QTest::newRow("new content while in flight queues again") << 1
            << QVector<Push>{{0, 5, 0, 0}, {0, 6, 0, 0}, {0, 6, 0, 1}, {0, 7, 0, 0}};
        QTest::newRow("ready: same content done, new content queued") << 0
            << QVector<Push>{{0, 5, 0, 0}, {0, 5, 0, 1}, {0, 6, 0, 0}, {0, 6, 0, 1}};
        QTest::newRow("failed page done like any other") << 2 << QVector<Push>{{1, 5, 0, 0}, {1, 5, 0, 1}};
        QTest::newRow("other generations refused") << 0 << QVector<Push>{{0, 5, 1, 3}, {0, 5, -1, 3}, {0, 5, 0, 0}};
    }
    void pushAnswers()
    {
        QFETCH(int, worker);
        QFETCH(QVector<Push>, pushes);
        if (worker == 1)
            hold();
        if (worker == 2)
            open(LayoutConfig(), 0);
        int queued = 0;
        for (const Push &p : pushes) {
            QCOMPARE(m_pool->push("ch", emptyPage(p.page, p.stamp), m_gen + p.generationOffset), p.answer);
            queued += p.answer == 0 ? 1 : 0;
            if (worker == 1)
                QCoreApplication::processEvents(); // the first page goes in flight
            else
                QVERIFY(renderedReach(queued));
        }
    }

    void renderOrder_data()
    {
        QTest::addColumn<int>("movedFrom");
        QTest::addColumn<QStringList>("pushed");
        QTest::addColumn<QStringList>("order");
        auto row = [](const char *name, int movedFrom, const char *pushed, const char *order) {
            QTest::newRow(name) << movedFrom << QString(pushed).split(' ') << QString(order).split(' ');
        };
        row("forward: the next page first", 9, "ch:9 ch:11", "ch:11 ch:9");
        row("backward: the previous page first", 11, "ch:11 ch:9", "ch:9 ch:11");
        row("nearest before direction", 9, "ch:13 ch:9 ch:12", "ch:9 ch:12 ch:13");
        row("no distance never first", 9, "zz:0 ch:30 ch:10", "ch:10 ch:30 zz:0");
    }
    void renderOrder()
    {
        QFETCH(int, movedFrom);
        QFETCH(QStringList, pushed);
        m_pool->setCurrentPage("ch", movedFrom);
        m_pool->setCurrentPage("ch", 10);
        for (const QString &key : pushed)
            QCOMPARE(m_pool->push(key.section(':', 0, 0), emptyPage(key.section(':', 1).toInt()), m_gen), 0);
        QVERIFY(renderedReach(pushed.size()));
        QStringList rendered;
        for (const QList<QVariant> &signal : *m_rendered)
            rendered << RenderPool::makeKey(signal.at(0).toString(), signal.at(1).toInt());
        QTEST(rendered, "order");
    }

    // Batches show in the raster counts: a batch rasterises the PDF page
    // once, a later batch takes it from the renderer's cache.
    void pdfPagesBatched_data()
    {
        QTest::addColumn<bool>("continuous");
        QTest::addColumn<int>("batches");
        QTest::addColumn<int>("side");
        // The current page goes alone; in the strip a page n screens ahead takes fewer than n along.
        QTest::newRow("paged: two at a time") << false << 3 << 40;
        QTest::newRow("continuous: fewer than the distance") << true << 3 << 40;
        QTest::newRow("continuous: as many as the budget holds") << true << 4 << 2048;
    }

    void pdfPagesBatched()
    {
        QFETCH(bool, continuous);
        QFETCH(int, batches);
        QFETCH(int, side);
        QTemporaryDir dir;
        QVERIFY(writeTestPdf(dir.filePath("a.pdf"), {{40, 40}}, {}));
        LayoutConfig config;
        config.continuousMode = continuous;
        open(config, side);
        const QString source = "pdf://" + dir.filePath("a.pdf") + "?page=0&dpi=72";
        m_pool->setPageSequence({{"ch:0", 0}, {"ch:1", 1}, {"ch:2", 2}, {"ch:3", 3}}, m_gen);
        LogCapture log;
        for (int i = 0; i < 4; ++i) {
            PageLayout page = emptyPage(i);
            page.lines = {imageLine(0, side, source, side)};
            QCOMPARE(m_pool->push("ch", page, m_gen), 0);
        }
        QVERIFY(renderedReach(4));
        QCOMPARE(log.lines(QtDebugMsg).filter(QRegularExpression("rasterStart|cacheHit")).size(), batches);
    }

    // A stale page in flight, then a full queue of the new opening, shrunk by
    // finished tasks, a retained set or a page move: one signal, of the pool's
    // generation, and nothing of the stale page arrives.
    void spaceSignal_data()
    {
        QTest::addColumn<int>("shrink"); // 0 tasks finish, 1 retainPages, 2 setCurrentPage
        QTest::addColumn<int>("renderedAtSignal");
        QTest::addColumn<int>("rendered");
        QTest::newRow("tasks finish") << 0 << 7 << 30; // 22 queued once the eighth is done
        QTest::newRow("five pages retained") << 1 << 0 << 5;
        QTest::newRow("page move keeps 21") << 2 << 0 << 21;
    }
    void spaceSignal()
    {
        QFETCH(int, shrink);
        const quint64 gen = m_gen + 1;
        QSignalSpy space(m_pool.get(), &RenderPool::inputQueueHasSpace);
        int renderedAtSignal = -1;
        connect(m_pool.get(), &RenderPool::inputQueueHasSpace, this, [&] { renderedAtSignal = m_rendered->count(); });
        hold();
        QCOMPARE(m_pool->push("ch", emptyPage(0), m_gen), 0);
        QCoreApplication::processEvents();
        m_pool->resetForSession("book", "ch", 0, gen); // the same pages, another opening
        for (int i = 0; i < 30; ++i)
            QCOMPARE(m_pool->push("ch", emptyPage(i), gen), 0);
        QCOMPARE(m_pool->push("ch", emptyPage(30), gen), 2);
        if (shrink == 1) {
            const QSet<QString> keep{"ch:0", "ch:1", "ch:2", "ch:3", "ch:4"};
            m_pool->retainPages(keep, m_gen); // another generation: ignored
            QCOMPARE(space.count(), 0);
            m_pool->retainPages(keep, gen);
        } else if (shrink == 2) {
            m_pool->setCurrentPage("ch", 29);
        }
        QCOMPARE(space.count(), shrink == 0 ? 0 : 1);
        release();
        QFETCH(int, rendered);
        QVERIFY(renderedReach(rendered));
        QCOMPARE(space.count(), 1);
        QCOMPARE(space.first().first().toULongLong(), gen);
        QTEST(renderedAtSignal, "renderedAtSignal");
        for (const QList<QVariant> &signal : *m_rendered)
            QCOMPARE(signal.at(2).toULongLong(), gen);
    }

    void keptPages()
    {
        for (int i = 0; i <= 20; ++i)
            m_pool->push("ch", emptyPage(i), m_gen);
        QVERIFY(renderedReach(21));
        QCOMPARE(m_pool->forwardReadyCount(), 20);
        m_pool->setCurrentPage("ch", 25);
        QCOMPARE(m_pool->backwardReadyCount(), 16);
        QVERIFY(!m_pool->isPageReady("ch", 4) && m_pool->isPageReady("ch", 5));
        QVERIFY(m_pool->isWindowReady({"ch:5", "ch:20"}) && !m_pool->isWindowReady({"ch:5", "ch:4"}));

        // Without any distance only the current page and retained pages stay.
        LayoutConfig continuous;
        continuous.continuousMode = true;
        open(continuous);
        m_pool->retainPages({"ch:2"}, m_gen);
        for (int i = 0; i < 3; ++i)
            m_pool->push("ch", emptyPage(i), m_gen);
        QVERIFY(renderedReach(24));
        QVERIFY(m_pool->isWindowReady({"ch:0", "ch:2"}) && !m_pool->isPageReady("ch", 1));
    }

    // Ready pages never take more than the memory budget: of large pages
    // those nearest the reader are kept, ahead before behind, and a move
    // brings the new neighbours in; small pages all fit.
    void memoryBudget_data()
    {
        QTest::addColumn<int>("side");
        QTest::addColumn<int>("moveTo");
        QTest::addColumn<QString>("ready");
        QTest::addColumn<int>("cachedRows");  // of 4096 pixels: 24 MiB of pictures at 1536
        QTest::newRow("large pages from the first") << 2048 << 0 << "0 1 2 3 4 5" << 0;
        QTest::newRow("large pages, moved on") << 2048 << 8 << "7 8 9 10 11 12" << 0;
        QTest::newRow("small pages") << 40 << 8 << "0 1 2 3 4 5 6 7 8 9 10 11 12 13 14" << 0;
        QTest::newRow("large pages beside cached pictures") << 2048 << 8 << "7 8 9 10" << 1536;
    }
    void memoryBudget()
    {
        QFETCH(int, side);
        QFETCH(int, moveTo);
        QFETCH(QString, ready);
        QFETCH(int, cachedRows);
        PageRenderer pictures;
        if (cachedRows > 0)
            pictures.storeDrawnImage("picture", QImage(4096, cachedRows, QImage::Format_RGB32));
        QCOMPARE(RenderPool::pageBudget(), RenderPool::MemoryBudget - 4096 * 4 * cachedRows);
        open(LayoutConfig(), side);
        qint64 largest = 0;
        connect(m_pool.get(), &RenderPool::pageRendered, m_pool.get(),
                [&] { largest = qMax(largest, m_pool->readyBytes()); });
        const auto readyPages = [&] {
            QStringList pages;
            for (int i = 0; i < 15; ++i) {
                if (m_pool->isPageReady("ch", i))
                    pages << QString::number(i);
            }
            return pages.join(' ');
        };
        for (int i = 0; i < 15; ++i)
            QCOMPARE(m_pool->push("ch", emptyPage(i), m_gen), 0);
        QTRY_VERIFY_WITH_TIMEOUT(readyPages().startsWith(cachedRows > 0 ? "0 1 2 3" : "0 1 2 3 4 5"), 20000);
        m_pool->setCurrentPage("ch", moveTo);
        QTRY_COMPARE_WITH_TIMEOUT(readyPages(), ready, 20000);
        QVERIFY(largest <= RenderPool::pageBudget());
    }

    // Text shaped on the worker as the layout engine does it (font keys mean
    // something only on that thread) is rendered there with no glyph run
    // dropped, while another thread queries the pool.
    void shapedOnTheWorkerWhileAnotherThreadReads()
    {
        LayoutConfig config;
        config.pageWidth = 200;
        config.pageHeight = 300;
        m_pool->setRenderSettings(config);
        const QString chapter = QStringLiteral("第 1 章");
        m_pool->resetForSession("book", chapter, 0, m_gen);
        // Polled: QFuture::result() may run a queued task on this thread.
        const QFuture<QVector<PageLayout>> shaped = QtConcurrent::run(m_threads.get(), [this] {
            RawFontCache::clearForCurrentThread(m_gen);
            QVector<PageLayout> out(3);
            for (int p = 0; p < 3; ++p) {
                out[p].pageIndex = p;
                for (int l = 0; l < 4; ++l)
                    out[p].lines.append(textLine(l * 60, 50, {shapedRun(QString(3, QChar(0x2588)), 20 + 5 * l, {0, 0})}));
            }
            return out;
        });
        QTRY_VERIFY(shaped.isFinished());
        QVector<PageLayout> pages = shaped.result();

        const QString id = QString::fromLatin1(QUrl::toPercentEncoding(RenderPool::makeKey(chapter, 2)));
        std::atomic<bool> done{false};
        std::atomic<int> found{0};
        std::unique_ptr<QThread> reader(QThread::create([&] {
            while (!done) {
                found += m_pool->imageForKey(id).isNull() ? 0 : 1;
                m_pool->isWindowReady({RenderPool::makeKey(chapter, 1)});
                m_pool->forwardReadyCount();
            }
        }));
        reader->start();
        for (int stamp = 1; stamp <= 10; ++stamp) {
            for (PageLayout &page : pages) {
                page.layoutStamp = stamp;
                QCOMPARE(m_pool->push(chapter, page, m_gen), 0);
            }
            QVERIFY(renderedReach(3 * stamp));
        }
        QTRY_VERIFY(found > 0);
        done = true;
        reader->wait();
        for (const PageLayout &page : pages) {
            const QImage image = m_pool->imageForKey(RenderPool::makeKey(chapter, page.pageIndex));
            for (const LayoutLine &line : page.lines) {
                const QPointF centre = line.glyphRuns.first().boundingRect.center()
                    + QPointF(config.marginLeft, config.marginTop + line.y);
                QCOMPARE(image.pixelColor(centre.toPoint()), QColor(Qt::black));
            }
        }
    }

    // Handing memory back takes the UI thread a frame: it is done on the worker,
    // once per clear, after the first page of a book opened next.
    void freedMemoryReturnedOnTheWorker_data()
    {
        QTest::addColumn<bool>("opened");
        QTest::newRow("book closed") << false;
        QTest::newRow("another book opened") << true;
    }
    void freedMemoryReturnedOnTheWorker()
    {
        QFETCH(bool, opened);
        QVERIFY(m_pool->push("ch", emptyPage(0), m_gen) == RenderPool::Queued);
        QVERIFY(renderedReach(1));
        const auto trims = [] {
            std::lock_guard<std::mutex> lock(trimMutex);
            return trimThreads;
        };
        {
            std::lock_guard<std::mutex> lock(trimMutex);
            trimThreads.clear();
        }
        hold();
        m_pool->clear(m_gen + 1);
        if (opened) {
            m_pool->setBookContext({{"ch", 0}});
            m_pool->resetForSession("book", "ch", 0, m_gen + 1);
            QVERIFY(m_pool->push("ch", emptyPage(0), m_gen + 1) == RenderPool::Queued);
        }
        QTest::qWait(50);
        QVERIFY(trims().empty());
        release();
        if (opened)
            QVERIFY(renderedReach(2));
        QTRY_COMPARE(trims().size(), size_t(1));
        QVERIFY(trims().front() != QThread::currentThread());
        QTest::qWait(50);
        QCOMPARE(trims().size(), size_t(1));
    }

    void destroyedWithTaskInFlight()
    {
        hold();
        m_pool->push("ch", emptyPage(0), m_gen);
        QCoreApplication::processEvents();
        m_threads->clear(); // the task never runs
        m_pool.reset();     // must not wait for it
    }
};

QTEST_MAIN(TestRenderPool)
#include "tst_renderpool.moc"
