#include "logcapture.h"
#include "pagerenderer.h"
#include "testpages.h"
#include "testpdf.h"

#include <QTemporaryDir>
#include <QtTest>

namespace {

LayoutConfig config(bool continuous = false)
{
    LayoutConfig config;
    config.pageWidth = config.pageHeight = 200;
    config.marginTop = config.marginBottom = config.marginLeft = config.marginRight = 0;
    config.backgroundColor = Qt::gray;
    config.continuousMode = continuous;
    return config;
}

PageLayout pdfPage(const QString &source, float y, QSize display)
{
    LayoutLine line = imageLine(y, display.height(), source);
    line.displayWidth = display.width();
    line.displayHeight = display.height();
    PageLayout page;
    page.lines = {line};
    return page;
}

QStringList linesStarting(const LogCapture &log, const QString &start)
{
    return log.lines(QtDebugMsg).filter(QRegularExpression("^" + QRegularExpression::escape(start)));
}

} // namespace

class TestPdfBatch : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    QString m_pdf;  // two red pages inside a 10 % blank border

    QString page(int index) const { return QStringLiteral("pdf://%1?page=%2&dpi=72").arg(m_pdf).arg(index); }

private slots:
    void initTestCase()
    {
        m_pdf = m_dir.filePath("pages.pdf");
        QVERIFY(writeTestPdf(m_pdf, {QSizeF(100, 300), QSizeF(100, 300)}, {Qt::red, Qt::red}));
    }

    void batchComposesEachPagePart()
    {
        PageRenderer renderer;
        QVERIFY(renderer.renderPdfBatch({}, config()).isEmpty());
        QCOMPARE(renderer.rasterCacheCount(), 0);

        // Paged: the same as drawing each page directly.
        const QVector<PageLayout> paged{pdfPage(page(0), 0, QSize(100, 300)), PageLayout()};
        const QVector<QImage> images = renderer.renderPdfBatch(paged, config());
        QCOMPARE(images.size(), 2);
        QCOMPARE(images[0], renderer.renderPage(paged[0], config(), {}, {}, {}, 0));
        QCOMPARE(images[1], renderer.renderPage(paged[1], config(), {}, {}, {}, 1));

        // Continuous: a page image straddling two screens is rasterised once,
        // then served from the cache.
        const QVector<PageLayout> strip{pdfPage(page(1), 0, QSize(100, 300)),
                                        pdfPage(page(1), -200, QSize(100, 300))};
        for (int pass = 0; pass < 2; ++pass) {
            LogCapture log;
            const QVector<QImage> parts = renderer.renderPdfBatch(strip, config(true));
            QCOMPARE(linesStarting(log, "[PdfPerf] rasterStart").size(), pass == 0 ? 1 : 0);
            QCOMPARE(linesStarting(log, "[PdfPerf] cacheHit").size(), pass == 0 ? 0 : 1);
            QCOMPARE(parts[0].pixelColor(50, 150), QColor(Qt::red));
            QCOMPARE(parts[1].pixelColor(50, 50), QColor(Qt::red));   // 250 of 300
            QCOMPARE(parts[1].pixelColor(50, 90), QColor(Qt::white)); // 290: the border
            QCOMPARE(parts[1].pixelColor(50, 150), QColor(Qt::gray)); // below the page
        }
    }

    void rasterCache_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<bool>("kept");
        QTest::newRow("96 MiB") << QSize(4096, 6144) << true;
        QTest::newRow("a row more") << QSize(4096, 6145) << false;
    }

    void rasterCache()
    {
        QFETCH(QSize, size);
        QFETCH(bool, kept);
        PageRenderer renderer;
        renderer.resetForGeneration(1);
        const QString prefix = PageRenderer::makePdfCacheKey(page(0), QSize(600, 900), 1.5f);
        QCOMPARE(prefix, page(0) + "|600x900|1.5");
        renderer.cacheInsert(prefix, QRect(0, 0, 600, 900), QImage(900, 1350, QImage::Format_ARGB32));
        renderer.cacheInsert(prefix, QRect(QPoint(0, 0), size), QImage(size, QImage::Format_ARGB32));
        QCOMPARE(renderer.rasterCacheBytes(), kept ? PageRenderer::PdfByteLimit : 900 * 1350 * 4);

        // A piece inside a cached one is cut from it; another size or scale never matches.
        renderer.cacheInsert(prefix, QRect(0, 0, 600, 900), QImage(900, 1350, QImage::Format_ARGB32));
        QCOMPARE(renderer.lookupRaster(prefix, QRect(0, 120, 600, 400), 1.5f).size(), QSize(900, 600));
        const QString otherScale = PageRenderer::makePdfCacheKey(page(0), QSize(600, 900), 1.0f);
        QVERIFY(renderer.lookupRaster(otherScale, QRect(0, 120, 600, 400), 1.0f).isNull());
        renderer.resetForGeneration(1);
        QCOMPARE(renderer.rasterCacheCount(), 1);
        renderer.resetForGeneration(2);
        QCOMPARE(renderer.rasterCacheCount(), 0);
    }

    void splitRect_data()
    {
        QTest::addColumn<QRect>("rect");
        QTest::addColumn<float>("scale");
        QTest::addColumn<QVector<QRect>>("pieces");
        QTest::newRow("fits") << QRect(0, 0, 600, 900) << 2.0f << QVector<QRect>{{0, 0, 600, 900}};
        QTest::newRow("tall") << QRect(0, 0, 2000, 30000) << 1.0f
                              << QVector<QRect>{{0, 22500, 2000, 7500}, {0, 15000, 2000, 7500},
                                                {0, 7500, 2000, 7500}, {0, 0, 2000, 7500}};
        QTest::newRow("one pixel too big") << QRect(0, 0, 1, 1) << 6000.0f << QVector<QRect>{};
    }

    void splitRect()
    {
        QFETCH(QRect, rect);
        QFETCH(float, scale);
        QFETCH(QVector<QRect>, pieces);
        QCOMPARE(PageRenderer::splitRect(rect, scale), pieces);
    }

    void requestsPairedWithinBudget_data()
    {
        QTest::addColumn<QSize>("display");
        QTest::addColumn<QString>("worker");
        QTest::addColumn<int>("runs");
        QTest::addColumn<bool>("onCallingThread");
        QTest::newRow("two of 40 MiB") << QSize(2048, 5120) << "双" << 1 << false;
        QTest::newRow("two of 60 MiB") << QSize(2048, 7680) << "单" << 2 << true;
    }

    void requestsPairedWithinBudget()
    {
        QFETCH(QSize, display);
        QFETCH(QString, worker);
        QFETCH(int, runs);
        QFETCH(bool, onCallingThread);
        PageRenderer renderer;
        LogCapture log;
        renderer.renderPdfBatch({pdfPage(page(0), 0, display), pdfPage(page(1), 0, display)},
                                config());
        QCOMPARE(linesStarting(log, "[PageRenderer] PDF " + worker + " worker").size(), runs);
        const QStringList rasters = linesStarting(log, "[PdfPerf] rasterEnd");
        QCOMPARE(rasters.size(), 2);
        for (const QString &line : rasters) {
            QVERIFY(line.contains(QStringLiteral("outputPixels= %1x%2").arg(display.width()).arg(display.height())));
            QCOMPARE(line.endsWith("thread= " + pdfPerfThread()), onCallingThread);
        }
    }
};

QTEST_MAIN(TestPdfBatch)
#include "tst_pdfbatch.moc"
