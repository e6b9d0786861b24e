// Reading a large Chinese plain-text book (about 20 MB of UTF-8): from
// openBookForReading to the first page image, and page turns once the
// windows are full.
#include "applicationcore.h"
#include "chapterinfo.h"
#include "chinesebook.h"
#include "keys.h"
#include "logmanager.h"
#include "renderpool.h"
#include "testenvironment.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

#include <algorithm>
#include <cstdio>
#include <memory>

class BenchReading : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestEnvironment> env;
    std::unique_ptr<ApplicationCore> core;
    QString bookId;
    QStringList chapters;

    QString open(const QString &chapter)
    {
        return core->openBookForReading(bookId, chapter, 0, -1.0f, 20, 0, 540, 960,
                                        QStringLiteral("#202020"), QStringLiteral("#fdf8ee"),
                                        QStringLiteral("#fdf8ee"));
    }

private slots:
    void initTestCase()
    {
        qInstallMessageHandler(&LogManager::messageHandler);
        LogManager::setLevel(LogManager::Warning);
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

    // openBookForReading until the start page's image is ready, at chapters
    // spread over the book.
    void firstPageImage()
    {
        QVector<double> times;
        QBENCHMARK_ONCE {
            for (int i = 0; i < 9; ++i) {
                const QString chapter = chapters.at((i * 197 + 3) % chapters.size());
                QEventLoop loop;
                QString key;
                const auto rendered = connect(core.get(), &ApplicationCore::poolPageRendered,
                                              &loop, [&](const QString &c, int p) {
                    if (!key.isEmpty() && RenderPool::makeKey(c, p) == key)
                        loop.quit();
                });
                const auto located = connect(core.get(), &ApplicationCore::poolStartPageLocated,
                                             &loop, [&](const QString &c, int p) {
                    key = RenderPool::makeKey(c, p);
                    if (core->isPageReady(c, p))
                        loop.quit();
                });
                QElapsedTimer timer;
                timer.start();
                QVERIFY(!open(chapter).isEmpty());
                QTimer::singleShot(10000, &loop, &QEventLoop::quit);
                loop.exec();
                times << timer.nsecsElapsed() / 1e6;
                disconnect(rendered);
                disconnect(located);
                QVERIFY(!core->imageForId(key).isNull());
            }
        }
        std::sort(times.begin(), times.end());
        std::printf("open to first page image: median %.1f ms, min %.1f ms, max %.1f ms\n",
                    times.at(times.size() / 2), times.first(), times.last());
    }

    // Fifty turns forward, one every 100 ms, once the windows are full: was
    // the next page rendered before the turn, and what does the turn cost the
    // main thread.
    void pageTurns()
    {
        QString chapter = chapters.at(500);
        QSignalSpy located(core.get(), &ApplicationCore::poolStartPageLocated);
        const QString token = open(chapter);
        QVERIFY(!token.isEmpty());
        QVERIFY(located.wait(10000));
        int page = located.first().at(1).toInt();
        QVERIFY(QTest::qWaitFor([&] { return core->isRenderWindowReady(15, 15); }, 30000));
        int ready = 0;
        QVector<double> costs;
        QBENCHMARK_ONCE {
            for (int turn = 0; turn < 50; ++turn) {
                if (++page >= core->getChapterPageCount(chapter)) {
                    chapter = chapters.at(chapters.indexOf(chapter) + 1);
                    page = 0;
                }
                ready += core->isPageReady(chapter, page) ? 1 : 0;
                QElapsedTimer timer;
                timer.start();
                core->poolReportPageTurn(chapter, page, token);
                costs << timer.nsecsElapsed() / 1e3;
                QTest::qWait(100);
            }
        }
        std::sort(costs.begin(), costs.end());
        double total = 0;
        for (double cost : costs)
            total += cost;
        std::printf("50 turns: next page already rendered %d of 50; poolReportPageTurn "
                    "mean %.0f us, median %.0f us, max %.0f us\n",
                    ready, total / costs.size(), costs.at(costs.size() / 2), costs.last());
    }

    void cleanupTestCase()
    {
        core.reset();
        env.reset();
    }
};

QTEST_MAIN(BenchReading)
#include "bench_reading.moc"
