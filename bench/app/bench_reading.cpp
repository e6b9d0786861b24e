// Reading a large Chinese plain-text book (about 20 MB of UTF-8): from
// openBookForReading to the first page image beside a floor that does only
// the unavoidable work (fetch the chapter, lay it out, draw page 1), then page
// turns and the peak memory while reading.
#include "applicationcore.h"
#include "chapterinfo.h"
#include "chinesebook.h"
#include "databaseconnection.h"
#include "keys.h"
#include "layoutengine.h"
#include "logmanager.h"
#include "pagerenderer.h"
#include "paragraphutils.h"
#include "renderpool.h"
#include "testenvironment.h"
#include "textpagefloor.h"
#include "unifiedchunkdao.h"
#include "unifiedparagraphdao.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

#include <algorithm>
#include <cstdio>
#include <memory>

namespace {

double median(QVector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.isEmpty() ? 0.0 : values.at(values.size() / 2);
}

// VmHWM or VmRSS of this process in MiB.
double memoryMiB(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(int(qstrlen(field))).trimmed().split(' ').first().toDouble() / 1024.0;
    }
    return -1;
}

// Starts the peak (VmHWM) afresh from the current RSS.
void resetPeakMemory()
{
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5");
}

struct ViewSize
{
    int width;
    int height;
};

} // namespace

class BenchReading : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestEnvironment> env;
    std::unique_ptr<ApplicationCore> core;
    QString bookId;
    QStringList chapters;

    static bool readingChild() { return qEnvironmentVariableIsSet("BENCH_READING_BOOK"); }

    QString open(const QString &chapter, const ViewSize &view)
    {
        return core->openBookForReading(bookId, chapter, 0, -1.0f, 20, 0, view.width, view.height,
                                        QStringLiteral("#202020"), QStringLiteral("#fdf8ee"),
                                        QStringLiteral("#fdf8ee"));
    }

    // openBookForReading until the start page's image is ready; also the time
    // of the call itself and all the UI thread's work until then (CPU time).
    double openMs(const QString &chapter, const ViewSize &view, double &callMs, double &uiMs)
    {
        QEventLoop loop;
        QString key;
        const auto rendered = connect(core.get(), &ApplicationCore::poolPageRendered, &loop,
                                      [&](const QString &c, int p) {
                                          if (!key.isEmpty() && RenderPool::makeKey(c, p) == key)
                                              loop.quit();
                                      });
        const auto located = connect(core.get(), &ApplicationCore::poolStartPageLocated, &loop,
                                     [&](const QString &c, int p) {
                                         key = RenderPool::makeKey(c, p);
                                         if (core->isPageReady(c, p))
                                             loop.quit();
                                     });
        const double cpu = threadCpuMs();
        QElapsedTimer timer;
        timer.start();
        const bool opened = !open(chapter, view).isEmpty();
        callMs = timer.nsecsElapsed() / 1e6;
        QTimer::singleShot(10000, &loop, &QEventLoop::quit);
        if (opened && !(key.size() && core->isPageReady(key.section(':', 0, 0), key.section(':', 1).toInt())))
            loop.exec();
        const double ms = timer.nsecsElapsed() / 1e6;
        uiMs = threadCpuMs() - cpu;
        disconnect(rendered);
        disconnect(located);
        if (!opened || core->imageForId(key).isNull())
            qWarning("open: no page image");
        return ms;
    }

    // Turns forward one page every interval; counts the turns whose page was
    // not rendered yet when it was turned to.
    int turnPages(const QString &token, QString &chapter, int &page, int turns, int intervalMs)
    {
        int waits = 0;
        for (int turn = 0; turn < turns; ++turn) {
            if (++page >= core->getChapterPageCount(chapter)) {
                chapter = chapters.at(chapters.indexOf(chapter) + 1);
                page = 0;
            }
            waits += core->isPageReady(chapter, page) ? 0 : 1;
            core->poolReportPageTurn(chapter, page, token);
            QTest::qWait(intervalMs);
        }
        return waits;
    }

private slots:
    void initTestCase()
    {
        qInstallMessageHandler(&LogManager::messageHandler);
        LogManager::setLevel(LogManager::Warning);
        if (readingChild()) {
            // Reads the library the parent imported, as a freshly started
            // program would: no import in this process's memory.
            QCoreApplication::setOrganizationName(QStringLiteral("com.tivex"));
            QCoreApplication::setApplicationName(QStringLiteral("harbour-Quillora"));
            QVERIFY(DatabaseConnection::openAndMigrate());
            core.reset(new ApplicationCore);
            bookId = QString::fromUtf8(qgetenv("BENCH_READING_BOOK"));
            for (QObject *chapter : core->getChaptersByNovelId(bookId)) {
                chapters << qobject_cast<ChapterInfo *>(chapter)->id();
                delete chapter;
            }
            QVERIFY(chapters.size() > 1000);
            return;
        }
        env.reset(new TestEnvironment);
        QVERIFY(env->openDatabase());
        const QString path = ChineseBook::write(env->root(), 1750, 4000);
        std::printf("book: %lld bytes, 1750 chapters of about 4000 characters\n",
                    QFileInfo(path).size());
        core.reset(new ApplicationCore);
        QSignalSpy imported(core.get(), &ApplicationCore::novelImportSucceeded);
        core->importNovel(path);
        QVERIFY(imported.wait(600000));
        bookId = md5Hex(path);
        for (QObject *chapter : core->getChaptersByNovelId(bookId)) {
            chapters << qobject_cast<ChapterInfo *>(chapter)->id();
            delete chapter;
        }
        QVERIFY(chapters.size() > 1000);
    }

    // Open to first page image against the floor, at the first, middle and
    // last chapter, on a small and a large phone screen.
    void firstPageImage()
    {
        if (readingChild())
            QSKIP("measured by the parent");
        {
            for (const ViewSize view : {ViewSize{540, 960}, ViewSize{1080, 2340}}) {
                const QPair<const char *, QString> places[] = {{"first", chapters.first()},
                                                               {"middle", chapters.at(chapters.size() / 2)},
                                                               {"last", chapters.last()}};
                for (const auto &place : places) {
                    QVector<double> opens, floors, calls, uis;
                    for (int i = 0; i < 7; ++i) {
                        double call = 0, ui = 0;
                        opens << openMs(place.second, view, call, ui);
                        calls << call;
                        uis << ui;
                        core->closeBook();
                        // The worker finishes what the closed session left.
                        QTest::qWait(30);
                        floors << textPageFloorMs(core.get(), bookId, place.second, view.width, view.height);
                    }
                    const double open = median(opens);
                    const double floor = median(floors);
                    std::printf("%dx%d %-6s chapter: open to first page image %.1f ms, floor %.1f ms, "
                                "ratio %.2f; UI thread: openBookForReading %.1f ms, CPU until the image %.1f ms "
                                "(most %.1f)\n",
                                view.width, view.height, place.first, open, floor, open / floor,
                                median(calls), median(uis), *std::max_element(uis.cbegin(), uis.cend()));
                }
            }
        }
    }

    // Fifty turns at one per 100 ms, then fifty at one per 16 ms, once the
    // pages ahead are rendered; the peak memory from the open on.
    void pageTurns_data()
    {
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::newRow("540x960") << 540 << 960;
        QTest::newRow("1080x2340") << 1080 << 2340;
    }
    void pageTurns()
    {
        QFETCH(int, width);
        QFETCH(int, height);
        if (!readingChild()) {
            QProcess child;
            QStringList environment = env->childEnvironment();
            environment << QStringLiteral("BENCH_READING_BOOK=") + bookId;
            child.setEnvironment(environment);
            child.start(QCoreApplication::applicationFilePath(),
                        {QStringLiteral("pageTurns:") + QTest::currentDataTag()});
            QVERIFY(child.waitForFinished(300000));
            for (const QByteArray &line : child.readAllStandardOutput().split('\n')) {
                if (line.contains("when turned to"))
                    std::printf("%s\n", line.constData());
            }
            QCOMPARE(child.exitCode(), 0);
            return;
        }
        QTest::qWait(200);
        const double idle = memoryMiB("VmRSS:");
        resetPeakMemory();
        const QString chapter = chapters.at(500);
        QSignalSpy located(core.get(), &ApplicationCore::poolStartPageLocated);
        const QString token = open(chapter, {width, height});
        QVERIFY(!token.isEmpty());
        QVERIFY(located.wait(10000));
        QString at = chapter;
        int page = located.first().at(1).toInt();
        QVERIFY(QTest::qWaitFor([&] { return core->poolForwardPageCount() >= 5; }, 30000));
        int slowWaits = 0;
        int fastWaits = 0;
        slowWaits = turnPages(token, at, page, 50, 100);
        QTest::qWait(1000);
        fastWaits = turnPages(token, at, page, 50, 16);
        QTest::qWait(500);
        std::printf("%dx%d: pages not ready when turned to: %d of 50 at one per 100 ms, %d of 50 at "
                    "one per 16 ms; RSS idle %.0f MiB, peak while reading %.0f MiB\n",
                    width, height, slowWaits, fastWaits, idle, memoryMiB("VmHWM:"));
    }

    void cleanupTestCase()
    {
        core.reset();
        env.reset();
    }
};

QTEST_MAIN(BenchReading)
#include "bench_reading.moc"
