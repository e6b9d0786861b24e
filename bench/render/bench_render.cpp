#include "pagerenderer.h"
#include "rawfontcache.h"
#include "renderpool.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFont>
#include <QGlyphRun>
#include <QTextLayout>
#include <QThreadPool>
#include <QtConcurrent>
#include <QtTest>

namespace {

LayoutConfig phonePage()
{
    LayoutConfig config;
    config.pageWidth = 1080;
    config.pageHeight = 2340;
    config.marginLeft = config.marginRight = 48;
    config.marginTop = config.marginBottom = 60;
    return config;
}

// ~30 lines of mixed Chinese and Latin text, one highlighted run and one
// two-cell table row, shaped on the calling thread.
PageLayout textPage(int pageIndex)
{
    const LayoutConfig config = phonePage();
    QFont font(QStringLiteral("Noto Sans CJK SC"));
    font.setPixelSize(44);
    const QString text = QString::fromUtf8("第一章 风起 The wind rose over 长安城, and 他 walked on 慢慢地走");
    PageLayout page;
    page.pageIndex = pageIndex;
    page.layoutStamp = 1;
    for (int i = 0; i < 30; ++i) {
        QTextLayout layout(text, font);
        layout.beginLayout();
        QTextLine line = layout.createLine();
        line.setLineWidth(config.textAreaWidth());
        layout.endLayout();
        LayoutLine out;
        out.y = i * 72.0f;
        out.height = 66;
        for (const QGlyphRun &run : layout.glyphRuns()) {
            GlyphRunItem item;
            item.fontKey = RawFontCache::forCurrentThread().keyFor(run.rawFont());
            item.glyphIndexes = run.glyphIndexes();
            item.positions = run.positions();
            item.boundingRect = run.boundingRect();
            item.textColor = config.textColor;
            item.paragraphIndex = i;
            out.glyphRuns.append(item);
        }
        if (i == 5)
            out.glyphRuns.first().highlightColor = QColor(255, 240, 160);
        if (i == 20) {
            out.isTableRow = true;
            TableCellBox left;
            left.width = config.textAreaWidth() / 2;
            left.height = 66;
            left.header = true;
            left.paragraphIndex = i;
            TableCellBox right = left;
            right.x = left.width;
            right.header = false;
            right.bgColor = QColor(240, 248, 255);
            right.paragraphIndex = -1;
            out.cells = {left, right};
        }
        page.lines.append(out);
    }
    return page;
}

} // namespace

class BenchRender : public QObject
{
    Q_OBJECT
private slots:
    void renderPageSimple()
    {
        const PageLayout page = textPage(0);
        const LayoutConfig config = phonePage();
        PageRenderer renderer;
        QImage image;
        QBENCHMARK {
            image = renderer.renderPageSimple(page, config);
        }
        QCOMPARE(image.size(), QSize(1080, 2340));
    }

    // A page turn with a full window queued: the time from setCurrentPage
    // until the next page's image is ready.
    void nextPageAfterTurn()
    {
        QThreadPool worker;
        worker.setMaxThreadCount(1);
        worker.setExpiryTimeout(-1);
        RenderPool pool;
        pool.threadPool = &worker;
        pool.setRenderSettings(phonePage());
        pool.setBookContext({{"ch", 0}});

        QFuture<QVector<PageLayout>> shaped = QtConcurrent::run(&worker, [] {
            RawFontCache::clearForCurrentThread(1);
            QVector<PageLayout> pages;
            for (int i = 0; i < 60; ++i)
                pages.append(textPage(i));
            return pages;
        });
        QTRY_VERIFY_WITH_TIMEOUT(shaped.isFinished(), 60000);
        const QVector<PageLayout> pages = shaped.result();

        const int rounds = 10;
        qint64 totalNs = 0;
        for (int round = 0; round < rounds; ++round) {
            pool.resetForSession("book", "ch", 20, 1);
            pool.setChapterPageCount("ch", pages.size(), 1);
            for (int i = 5; i < 35; ++i)
                QCOMPARE(pool.push("ch", pages[i], 1), 0);
            QEventLoop loop;
            const int next = 22;
            QElapsedTimer timer;
            auto conn = connect(&pool, &RenderPool::pageRendered, &loop,
                                [&](const QString &, int index) {
                                    if (index == next)
                                        loop.quit();
                                });
            timer.start();
            pool.setCurrentPage("ch", 21);
            loop.exec();
            totalNs += timer.nsecsElapsed();
            disconnect(conn);
            // Let the rest of the window finish before the next round: as
            // many pages as the memory budget keeps.
            QTRY_VERIFY(pool.readyBytes() + qint64(1080) * 2340 * 4 > RenderPool::MemoryBudget);
            QTest::qWait(300);
        }
        QTest::setBenchmarkResult(totalNs / rounds / 1e6, QTest::WalltimeMilliseconds);
    }
};

QTEST_MAIN(BenchRender)
#include "bench_render.moc"
