// What a page turn costs the UI thread: reporting the turn and saving the
// reading position, the way the reading page does it, one turn every 16 ms,
// first with the library idle and then while another book imports into it.
#include "applicationcore.h"
#include "benchlibrary.h"
#include "chapterinfo.h"
#include "chinesebook.h"
#include "keys.h"
#include "testenvironment.h"

#include <QDir>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QtTest>

#include <algorithm>
#include <cstdio>
#include <memory>

class BenchPageTurn : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestEnvironment> env;
    std::unique_ptr<ApplicationCore> core;
    QString bookId;
    QStringList chapters;
    QString token;
    QString chapter;
    int page = 0;
    static constexpr int Imports = 8;

    static QString bookIn(const QString &root, const QString &name, int chapterCount)
    {
        const QString dir = root + QLatin1Char('/') + name;
        QDir().mkpath(dir);
        return ChineseBook::write(dir, chapterCount, 4000);
    }

    // One turn as the reading page makes it; returns the UI thread's cost in ms.
    double turn()
    {
        if (++page >= core->getChapterPageCount(chapter)) {
            chapter = chapters.at(chapters.indexOf(chapter) + 1);
            page = 0;
        }
        QElapsedTimer timer;
        timer.start();
        core->poolReportPageTurn(chapter, page, token);
        const QVariantMap start = core->getPageStartSource(chapter, page);
        core->doReading(bookId, chapter, chapters.indexOf(chapter), start.value("glyphIndex").toInt(),
                        start.value("progressIndex").toLongLong(), -1);
        return timer.nsecsElapsed() / 1e6;
    }

    static void report(const char *what, QVector<double> costs)
    {
        std::sort(costs.begin(), costs.end());
        const int p99 = qMin(costs.size() - 1, int(costs.size() * 0.99));
        std::printf("%s: %d turns, UI thread per turn median %.2f ms, p99 %.2f ms, max %.2f ms\n", what,
                    int(costs.size()), costs.at(costs.size() / 2), costs.at(p99), costs.last());
    }

private slots:
    void initTestCase()
    {
        env = openBenchLibrary();
        QVERIFY(env);
        const QString path = bookIn(env->root(), QStringLiteral("read"), 400);
        core.reset(new ApplicationCore);
        QSignalSpy imported(core.get(), &ApplicationCore::novelImportSucceeded);
        core->importNovel(path);
        QVERIFY(imported.wait(600000));
        bookId = md5Hex(path);
        for (QObject *info : core->getChaptersByNovelId(bookId)) {
            chapters << qobject_cast<ChapterInfo *>(info)->id();
            delete info;
        }
        chapter = chapters.at(10);
        QSignalSpy located(core.get(), &ApplicationCore::poolStartPageLocated);
        token = core->openBookForReading(bookId, chapter, 0, -1.0f, 20, 0, 540, 960, "#202020", "#fdf8ee",
                                         "#fdf8ee");
        QVERIFY(!token.isEmpty());
        QVERIFY(located.wait(10000));
        page = located.first().at(1).toInt();
        QVERIFY(QTest::qWaitFor([&] { return core->isRenderWindowReady(15, 15); }, 30000));
    }

    void turns()
    {
        QVector<double> idle;
        for (int i = 0; i < 200; ++i) {
            idle << turn();
            QTest::qWait(16);
        }
        report("library idle", idle);

        // A 20 MB book keeps the import's write transaction open for a while;
        // it is imported again and again to turn pages through several imports.
        const QString big = bookIn(env->root(), QStringLiteral("import"), 1750);
        QVector<double> busy;
        QElapsedTimer importTime;
        importTime.start();
        for (int import = 0; import < Imports; ++import) {
            QSignalSpy done(core.get(), &ApplicationCore::novelImportSucceeded);
            QSignalSpy failed(core.get(), &ApplicationCore::novelImportFailed);
            core->importNovel(big);
            while (done.isEmpty() && failed.isEmpty()) {
                busy << turn();
                QTest::qWait(16);
            }
            QVERIFY(failed.isEmpty());
        }
        std::printf("%d imports of a 20 MB book: %lld ms\n", Imports, importTime.elapsed());
        report("while a book imports", busy);
    }

    void cleanupTestCase()
    {
        core.reset();
        env.reset();
    }
};

QTEST_MAIN(BenchPageTurn)
#include "bench_pageturn.moc"
