#include "logcapture.h"
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
#include <memory>

namespace {

struct Push
{
    int page;
    qint64 stamp;
    int generationOffset;
    int answer;
};

PageLayout emptyPage(int index, qint64 stamp = 1)
{
    PageLayout page;
    page.pageIndex = index;
    page.layoutStamp = stamp;
    return page;
}

// Occupies the one worker thread until released, so a render task stays in flight.
class Gate : public QRunnable
{
public:
    explicit Gate(QSemaphore *open) : m_open(open) {}
    void run() override { m_open->acquire(); }

private:
    QSemaphore *m_open;
};

} // namespace

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

    void hold()
    {
        m_threads->start(new Gate(&m_gate));
        m_held = true;
    }
    void release()
    {
        if (m_held)
            m_gate.release();
        m_held = false;
    }
    // Waits until pageRendered has been emitted `total` times in this test.
    bool renderedReach(int total)
    {
        return QTest::qWaitFor([&] { return m_rendered->count() >= total; });
    }
    void open(const LayoutConfig &config = LayoutConfig())
    {
        LayoutConfig small = config;
        small.pageWidth = 40;
        small.pageHeight = 40;
        m_pool->setRenderSettings(small);
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
        QTest::addColumn<bool>("staleTables");
        QTest::addColumn<bool>("known");
        QTest::addColumn<int>("expected");
        QTest::newRow("same chapter") << false << "A:3" << "A:7" << false << true << 4;
        QTest::newRow("later chapter") << false << "A:5" << "B:2" << false << true << 7;
        QTest::newRow("earlier chapter") << false << "B:2" << "A:5" << false << true << -7;
        QTest::newRow("page count in between missing") << false << "A:0" << "D:0" << false << false << 0;
        QTest::newRow("chapter outside the book") << false << "A:0" << "Z:0" << false << false << 0;
        QTest::newRow("chapter id with a colon") << false << "A:1" << "a:b:12" << false << true << 11 + 10 + 4;
        QTest::newRow("no colon") << false << "A:1" << "A" << false << false << 0;
        QTest::newRow("page that is not a number") << false << "A:2" << "A:x" << false << true << -2;
        QTest::newRow("page count of another generation") << false << "A:5" << "B:2" << true << false << 0;
        QTest::newRow("continuous, next in strip") << true << "c:1" << "d:0" << false << true << 1;
        QTest::newRow("continuous, previous in strip") << true << "c:1" << "c:0" << false << true << -1;
        QTest::newRow("continuous, outside strip") << true << "c:1" << "A:0" << false << false << 0;
        QTest::newRow("continuous, no sequence") << true << "c:1" << "c:1" << true << false << 0;
    }

    void distance()
    {
        QFETCH(bool, continuous);
        QFETCH(QString, current);
        QFETCH(QString, target);
        QFETCH(bool, staleTables);
        QFETCH(bool, known);
        QFETCH(int, expected);
        LayoutConfig config;
        config.continuousMode = continuous;
        m_pool->setRenderSettings(config);
        m_pool->setBookContext({{"A", 0}, {"B", 1}, {"a:b", 2}, {"C", 3}, {"D", 4}});
        const int colon = current.lastIndexOf(':');
        m_pool->resetForSession("book", current.left(colon), current.mid(colon + 1).toInt(), m_gen);
        const quint64 tableGeneration = staleTables ? m_gen - 1 : m_gen;
        m_pool->setChapterPageCount("A", 10, tableGeneration);
        m_pool->setChapterPageCount("B", 4, tableGeneration);
        m_pool->setChapterPageCount("a:b", 20, tableGeneration);
        m_pool->setPageSequence({{"c:0", 40}, {"c:1", 41}, {"d:0", 42}}, tableGeneration);
        int d = 0;
        QCOMPARE(m_pool->keyDistance(target, d), known);
        if (known)
            QCOMPARE(d, expected);
        QCOMPARE(RenderPool::makeKey("a:b", 12), QString("a:b:12"));
        QCOMPARE(RenderPool::makeKey("ch1", -3), QString("ch1:-3"));
    }

    void pushAnswers_data()
    {
        QTest::addColumn<bool>("holdWorker");
        QTest::addColumn<QVector<Push>>("pushes");
        QTest::newRow("same content while queued and in flight") << true
            << QVector<Push>{{0, 5, 0, 0}, {0, 5, 0, 1}, {1, 5, 0, 0}, {1, 5, 0, 1}, {0, 5, 0, 1}};
        QTest::newRow("new content while in flight queues again") << true
            << QVector<Push>{{0, 5, 0, 0}, {0, 6, 0, 0}, {0, 6, 0, 1}, {0, 7, 0, 0}};
        QTest::newRow("ready: same content done, new content queued") << false
            << QVector<Push>{{0, 5, 0, 0}, {0, 5, 0, 1}, {0, 6, 0, 0}, {0, 6, 0, 1}};
        QTest::newRow("other generations refused") << false
            << QVector<Push>{{0, 5, 1, 3}, {0, 5, -1, 3}, {0, 5, 0, 0}};
    }

    void pushAnswers()
    {
        QFETCH(bool, holdWorker);
        QFETCH(QVector<Push>, pushes);
        if (holdWorker)
            hold();
        int queued = 0;
        for (const Push &p : pushes) {
            QCOMPARE(m_pool->push("ch", emptyPage(p.page, p.stamp), m_gen + p.generationOffset),
                     p.answer);
            queued += p.answer == 0 ? 1 : 0;
            if (holdWorker)
                QCoreApplication::processEvents();  // the first page goes in flight
            else
                QVERIFY(renderedReach(queued));
        }
    }

    void renderOrder_data()
    {
        QTest::addColumn<int>("movedFrom");
        QTest::addColumn<QStringList>("pushed");
        QTest::addColumn<QStringList>("order");
        QTest::newRow("forward: the next page first") << 9 << QStringList{"ch:9", "ch:11"}
            << QStringList{"ch:11", "ch:9"};
        QTest::newRow("backward: the previous page first") << 11 << QStringList{"ch:11", "ch:9"}
            << QStringList{"ch:9", "ch:11"};
        QTest::newRow("nearest before direction") << 9 << QStringList{"ch:13", "ch:9", "ch:12"}
            << QStringList{"ch:9", "ch:12", "ch:13"};
        QTest::newRow("no distance never first") << 9 << QStringList{"zz:0", "ch:30", "ch:10"}
            << QStringList{"ch:10", "ch:30", "zz:0"};
    }

    void renderOrder()
    {
        QFETCH(int, movedFrom);
        QFETCH(QStringList, pushed);
        QFETCH(QStringList, order);
        m_pool->setCurrentPage("ch", movedFrom);
        m_pool->setCurrentPage("ch", 10);
        for (const QString &key : pushed)
            QCOMPARE(m_pool->push(key.section(':', 0, 0), emptyPage(key.section(':', 1).toInt()), m_gen), 0);
        QVERIFY(renderedReach(order.size()));
        QStringList rendered;
        for (const QList<QVariant> &signal : *m_rendered)
            rendered << RenderPool::makeKey(signal.at(0).toString(), signal.at(1).toInt());
        QCOMPARE(rendered, order);
    }

    // Batches show in the raster counts: a batch rasterises the PDF page
    // once, a later batch takes it from the renderer's cache.
    void pdfPagesBatched_data()
    {
        QTest::addColumn<bool>("continuous");
        QTest::addColumn<int>("batches");
        QTest::newRow("paged: two at a time") << false << 2;
        QTest::newRow("continuous: eleven at a time") << true << 1;
    }

    void pdfPagesBatched()
    {
        QFETCH(bool, continuous);
        QFETCH(int, batches);
        QTemporaryDir dir;
        QVERIFY(writeTestPdf(dir.filePath("a.pdf"), {{40, 40}}, {}));
        LayoutConfig config;
        config.continuousMode = continuous;
        open(config);
        const QString source = "pdf://" + dir.filePath("a.pdf") + "?page=0&dpi=72";
        m_pool->setPageSequence({{"ch:0", 0}, {"ch:1", 1}, {"ch:2", 2}, {"ch:3", 3}}, m_gen);
        LogCapture log;
        for (int i = 0; i < 4; ++i) {
            PageLayout page = emptyPage(i);
            page.lines = {imageLine(0, 40, source)};
            page.lines[0].displayWidth = page.lines[0].displayHeight = 40;
            QCOMPARE(m_pool->push("ch", page, m_gen), 0);
        }
        QVERIFY(renderedReach(4));
        QCOMPARE(log.lines(QtDebugMsg).filter(QRegularExpression("rasterStart|cacheHit")).size(), batches);
    }

    void backPressure()
    {
        QSignalSpy space(m_pool.get(), &RenderPool::inputQueueHasSpace);
        int renderedAtSignal = -1;
        connect(m_pool.get(), &RenderPool::inputQueueHasSpace, this,
                [&] { renderedAtSignal = m_rendered->count(); });
        hold();
        for (int i = 0; i <= 30; ++i) {
            QCOMPARE(m_pool->push("ch", emptyPage(i), m_gen), 0);
            QCoreApplication::processEvents();  // page 0 goes in flight, the rest queue
        }
        QCOMPARE(m_pool->push("ch", emptyPage(31), m_gen), 2);
        QCOMPARE(m_pool->push("ch", emptyPage(32), m_gen), 2);
        release();
        QVERIFY(renderedReach(31));
        QCOMPARE(space.count(), 1);
        QCOMPARE(space.first().first().toULongLong(), m_gen);
        QCOMPARE(renderedAtSignal, 8);  // 30 queued, down to 22 after the eighth of them
    }

    void staleTaskAndShrunkQueue()
    {
        QSignalSpy space(m_pool.get(), &RenderPool::inputQueueHasSpace);
        hold();
        QCOMPARE(m_pool->push("ch", emptyPage(0), m_gen), 0);
        QCoreApplication::processEvents();
        m_pool->clear(m_gen + 1);  // a book opening, as the core does it
        m_pool->setBookContext({{"ch", 0}});
        m_pool->resetForSession("book", "ch", 0, m_gen + 1);
        QSet<QString> retained;
        for (int i = 0; i < 30; ++i) {
            QCOMPARE(m_pool->push("ch", emptyPage(i, 2), m_gen + 1), 0);
            if (i < 5)
                retained << RenderPool::makeKey("ch", i);
        }
        QCOMPARE(m_pool->push("ch", emptyPage(30, 2), m_gen + 1), 2);
        m_pool->retainPages(retained, m_gen);  // another generation: nothing happens
        QCOMPARE(space.count(), 0);
        m_pool->retainPages(retained, m_gen + 1);
        QCOMPARE(space.count(), 1);
        QCOMPARE(space.first().first().toULongLong(), m_gen + 1);
        release();
        QVERIFY(renderedReach(5));
        QCOMPARE(space.count(), 1);
        for (const QList<QVariant> &signal : *m_rendered)
            QCOMPARE(signal.at(2).toULongLong(), m_gen + 1);
        QVERIFY(!m_pool->isPageReady("ch", 5));
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

    void failedPageStaysReady()
    {
        LayoutConfig config;
        config.pageWidth = 0;
        m_pool->setRenderSettings(config);
        QCOMPARE(m_pool->push("ch", emptyPage(1), m_gen), 0);
        QVERIFY(renderedReach(1));
        QVERIFY(m_pool->isPageReady("ch", 1));
        QVERIFY(m_pool->imageForKey("ch:1").isNull());
        QCOMPARE(m_pool->push("ch", emptyPage(1), m_gen), 1);
    }

    void imageForKeyFromAnotherThread()
    {
        const QString chapter = QStringLiteral("第 1 章");
        const QString id = QString::fromLatin1(QUrl::toPercentEncoding(RenderPool::makeKey(chapter, 3)));
        std::atomic<bool> done{false};
        std::atomic<int> found{0};
        std::unique_ptr<QThread> reader(QThread::create([&] {
            while (!done) {
                found += m_pool->imageForKey(id).isNull() ? 0 : 1;
                m_pool->isWindowReady({RenderPool::makeKey(chapter, 2)});
                m_pool->forwardReadyCount();
            }
        }));
        reader->start();
        m_pool->resetForSession("book", chapter, 0, m_gen);
        for (qint64 stamp = 1; stamp <= 5; ++stamp) {
            for (int i = 0; i < 10; ++i)
                m_pool->push(chapter, emptyPage(i, stamp), m_gen);
            QVERIFY(renderedReach(10 * stamp));
        }
        QTRY_VERIFY(found > 0);
        done = true;
        reader->wait();
        QCOMPARE(m_pool->imageForKey(id).size(), QSize(40, 40));
    }

    void layoutAndRenderShareTheWorker()
    {
        // Shaped on the worker, as the layout engine does: the font keys mean
        // something only on that thread.
        LayoutConfig config;
        config.pageWidth = 200;
        config.pageHeight = 300;
        m_pool->setRenderSettings(config);
        // Waited for by polling: QFuture::result() may run a queued task on the calling thread.
        const QFuture<QVector<PageLayout>> shaped = QtConcurrent::run(m_threads.get(), [this] {
            RawFontCache::clearForCurrentThread(m_gen);
            QVector<PageLayout> out;
            for (int p = 0; p < 3; ++p) {
                PageLayout page = emptyPage(p);
                for (int l = 0; l < 4; ++l)
                    page.lines.append(textLine(l * 60, 50, {shapedRun(QString(3, QChar(0x2588)), 20 + 5 * l, {0, 0})}));
                out.append(page);
            }
            return out;
        });
        QTRY_VERIFY(shaped.isFinished());
        const QVector<PageLayout> pages = shaped.result();
        for (const PageLayout &page : pages)
            QCOMPARE(m_pool->push("ch", page, m_gen), 0);
        QVERIFY(renderedReach(3));
        for (const PageLayout &page : pages) {
            const QImage image = m_pool->imageForKey(RenderPool::makeKey("ch", page.pageIndex));
            for (const LayoutLine &line : page.lines) {
                const QPointF centre = line.glyphRuns.first().boundingRect.center()
                    + QPointF(config.marginLeft, config.marginTop + line.y);
                QCOMPARE(image.pixelColor(centre.toPoint()), QColor(Qt::black));
            }
        }
    }

    void destroyedWithTaskInFlight()
    {
        hold();
        m_pool->push("ch", emptyPage(0), m_gen);
        QCoreApplication::processEvents();
        m_threads->clear();  // the task never runs
        m_pool.reset();      // must not wait for it
    }
};

QTEST_MAIN(TestRenderPool)
#include "tst_renderpool.moc"
