#include "logcapture.h"
#include "pageimageloader.h"
#include "pagerenderer.h"
#include "testpages.h"
#include "testpdf.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QString pdfSource(const QString &path, int page, int dpi = 72)
{
    return QStringLiteral("pdf://%1?page=%2&dpi=%3").arg(path).arg(page).arg(dpi);
}

int count(const LogCapture &log, const QString &start)
{
    return log.lines(QtDebugMsg).filter(QRegularExpression('^' + QRegularExpression::escape(start))).size();
}

LayoutConfig squarePage(bool continuous = false)
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
    PageLayout page;
    page.lines = {imageLine(y, display.height(), source)};
    page.lines[0].displayWidth = display.width();
    page.lines[0].displayHeight = display.height();
    return page;
}

} // namespace

class TestPdfPages : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    QString m_book;   // A4 blank; letter, 100 x 300 and 100 x 300 red; a 200-inch sheet
    QString page(int index) const { return pdfSource(m_book, index); }

private slots:
    void initTestCase()
    {
        m_book = m_dir.filePath("book.pdf");
        QVERIFY(writeTestPdf(m_book, {{595.276, 841.89}, {612, 792}, {100, 300}, {100, 300}, {14400, 14400}},
                             {QColor(), Qt::red, Qt::red, Qt::red, Qt::blue}));
    }

    void regionRaster_data()
    {
        QTest::addColumn<QRect>("region");
        QTest::addColumn<float>("scale");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<QColor>("middle");
        QTest::newRow("whole at 2") << QRect(0, 0, 540, 699) << 2.0f << QSize(1080, 1398) << QColor(Qt::red);
        QTest::newRow("band inside") << QRect(0, 100, 540, 50) << 1.5f << QSize(810, 75) << QColor(Qt::red);
        QTest::newRow("band in border") << QRect(0, 0, 540, 50) << 1.5f << QSize(810, 75) << QColor(Qt::white);
        QTest::newRow("clipped") << QRect(500, 600, 100, 200) << 1.0f << QSize(40, 99) << QColor(Qt::white);
        QTest::newRow("outside") << QRect(600, 0, 10, 10) << 1.0f << QSize(0, 0) << QColor();
        QTest::newRow("no scale") << QRect(0, 0, 540, 699) << 0.0f << QSize(0, 0) << QColor();
    }

    void regionRaster()
    {
        QFETCH(QRect, region);
        QFETCH(float, scale);
        QFETCH(QColor, middle);
        const QImage image = PdfPageLoader().renderPage(page(1), QSize(540, 699), region, scale);
        QTEST(image.size(), "size");
        if (middle.isValid())
            QCOMPARE(image.pixelColor(image.width() / 2, image.height() / 2), middle);
    }

    // The helper keeps each book's document open, whichever loader asks,
    // until the book changes on disk.
    void documentKeptPerBook()
    {
        const QString one = m_dir.filePath("one.pdf"), other = m_dir.filePath("other.pdf");
        QVERIFY(writeTestPdf(one, {{300, 300}}, {}) && writeTestPdf(other, {{300, 300}}, {}));
        LogCapture log;
        for (const QString &book : {one, one, other, one, one})
            QVERIFY(!PdfPageLoader().renderPage(pdfSource(book, 0), {30, 30}, {0, 0, 30, 30}, 1).isNull());
        QCOMPARE(count(log, "[PdfPerf] documentLoad"), 2);
        QThread::msleep(10);
        QVERIFY(writeTestPdf(one, {{300, 300}}, {Qt::red}));
        QCOMPARE(PdfPageLoader().renderPage(pdfSource(one, 0), {30, 30}, {0, 0, 30, 30}, 1).pixelColor(15, 15),
                 QColor(Qt::red));
        QCOMPARE(count(log, "[PdfPerf] documentLoad"), 3);
    }

    void uncachedPages()
    {
        QCOMPARE(PageImageLoader::imageSize(pdfSource(m_book, 0, 150)), QSize(1240, 1754));
        QCOMPARE(PdfPageLoader::pageSize(m_book, 5, 150), QSize(-1, -1));
        // Blank borders cut away, four pixels kept.
        const QImage letter = PageImageLoader::loadImage(page(1));
        QVERIFY(qAbs(letter.width() - 498) <= 2 && qAbs(letter.height() - 642) <= 2);
        // 200 inches at 150 dpi would be 30000 pixels a side.
        const QImage poster = PdfPageLoader::renderFallback(m_book, 4, 150);
        QVERIFY(poster.width() > 1500 && poster.width() <= 2048 && poster.height() <= 2048);
        LogCapture log;
        QVERIFY(PdfPageLoader::renderFallback(m_book, 5, 72).isNull());
        QVERIFY(log.lines(QtWarningMsg).value(0).startsWith("[PdfPageLoader] 页码越界: 5 / 5"));
    }

    void unreadableFiles()
    {
        const QString locked = m_dir.filePath("locked.pdf"), damaged = m_dir.filePath("damaged.pdf");
        QCOMPARE(QProcess::execute("qpdf", {"--encrypt", "u", "o", "256", "--", m_book, locked}), 0);
        QFile book(m_book), broken(damaged);
        QVERIFY(book.open(QIODevice::ReadOnly) && broken.open(QIODevice::WriteOnly));
        broken.write(book.readAll().replace("/Type /Page", "/Type /Pag").left(1800));
        broken.close();
        LogCapture log;
        for (const QString &path : {locked, damaged, m_dir.filePath("none.pdf")}) {
            PdfPageLoader loader;
            QVERIFY(loader.renderPage(pdfSource(path, 1), {50, 50}, {0, 0, 50, 50}, 1).isNull());
            QVERIFY(PageImageLoader::loadImage(pdfSource(path, 1)).isNull());
            QCOMPARE(PageImageLoader::imageSize(pdfSource(path, 1)), QSize(-1, -1));
        }
        // Poppler's own complaints stay out of the log.
        for (const QString &line : log.lines(QtDebugMsg) + log.lines(QtWarningMsg))
            QVERIFY2(line.startsWith("[PdfPerf]") || line.startsWith("[PdfPageLoader]"), qPrintable(line));
    }

    // Pages that cost poppler far more than their size, drawn in the helper
    // under each request's budget: "drawn" or "refused" per page, at that
    // width in pixels (A4's height to it); a refused page shows its failure
    // on the reading page, and the pages after it and other books read on.
    void hostilePages_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("width");
        QTest::addColumn<QStringList>("pages");
        QTest::newRow("ordinary") << "ordinary page" << 595 << QStringList{"drawn"};
        QTest::newRow("past the pixel bound") << "ordinary page" << 7000 << QStringList{"refused"};
        QTest::newRow("PostScript function shading") << "PostScript function shading" << 1500
                                                     << QStringList{"refused"};
        QTest::newRow("form XObjects") << "form XObjects seven deep by ten" << 595 << QStringList{"refused"};
        QTest::newRow("Flate image 60000x60000") << "Flate image 60000x60000, second page" << 595
                                                 << QStringList{"drawn", "refused"};
        QTest::newRow("JPEG 2000 image 60000x60000") << "JPEG 2000 image 60000x60000, first page" << 595
                                                     << QStringList{"refused", "drawn"};
    }

    void hostilePages()
    {
        QFETCH(QString, kind);
        QFETCH(int, width);
        QFETCH(QStringList, pages);
        const QString path = m_dir.filePath("hostile.pdf");
        QFile::remove(path);
        QCOMPARE(QProcess::execute("python3", {QStringLiteral(QUILLORA_TEST_DATA_DIR "/pdf/make-heavy.py"), kind, path}),
                 0);
        const QSize size(width, width * 842 / 595);
        QStringList got;
        for (int i = 0; i < pages.size(); ++i) {
            const QImage image = PdfPageLoader().renderPage(pdfSource(path, i), size, QRect(QPoint(), size), 1.0f);
            got << (image.isNull() ? "refused" : "drawn");
        }
        QCOMPARE(got, pages);
        const int refused = pages.indexOf("refused");
        if (refused >= 0 && width == 595) {
            LogCapture log;
            PageRenderer renderer;
            renderer.renderPdfBatch({pdfPage(pdfSource(path, refused), 0, {200, 200})}, squarePage());
            QVERIFY(log.lines(QtWarningMsg).join('\n').contains("[PageRenderer] 图片加载失败:"));
        }
        QVERIFY(!PdfPageLoader().renderPage(page(1), {54, 70}, {0, 0, 54, 70}, 1).isNull());
    }

    // A book whose verdict the program does not hold is checked by the
    // helper, on the bytes poppler then reads, before any font is read:
    // what the check refuses is never drawn, wherever the name hides.
    void namesCheckedInHelper_data()
    {
        QTest::addColumn<QString>("place");
        QTest::addColumn<bool>("drawn");
        for (const char *place : {"page font", "table rebuilt by a reference past /Size, font as written",
                                  "object stream", "usecmap inside a ToUnicode map", "annotation appearance"})
            QTest::newRow(place) << QString::fromLatin1(place) << false;
        QTest::newRow("control") << QStringLiteral("control: cmap.pdf") << true;
    }

    void namesCheckedInHelper()
    {
        QFETCH(QString, place);
        QFETCH(bool, drawn);
        const QString path = m_dir.filePath("named.pdf");
        QFile::remove(path);
        QCOMPARE(QProcess::execute("python3", {QStringLiteral(QUILLORA_TEST_DATA_DIR "/pdf/make-hostile.py"), place,
                                               m_dir.filePath("outside.txt"), path}),
                 0);
        const QSize size(300, 424);
        const QImage image = PdfPageLoader().renderPage(pdfSource(path, 0), size, QRect(QPoint(), size), 1.0f);
        QCOMPARE(!image.isNull(), drawn);
        QCOMPARE(PdfPageLoader::pageSize(path, 0, 72).isValid(), drawn);
    }

    void batchComposesEachPagePart()
    {
        PageRenderer renderer;
        QVERIFY(renderer.renderPdfBatch({}, squarePage()).isEmpty());
        QCOMPARE(renderer.rasterCacheCount(), 0);
        const QVector<PageLayout> paged{pdfPage(page(2), 0, {100, 300}), PageLayout()};
        const QVector<QImage> images = renderer.renderPdfBatch(paged, squarePage());
        QCOMPARE(images.value(0), renderer.renderPage(paged[0], squarePage(), {}, {}, {}, 0));
        QCOMPARE(images.value(1), renderer.renderPage(paged[1], squarePage(), {}, {}, {}, 1));

        // A page image on two screens of the strip: rasterised once, then cached.
        const QVector<PageLayout> strip{pdfPage(page(3), 0, {100, 300}), pdfPage(page(3), -200, {100, 300})};
        for (int pass = 0; pass < 2; ++pass) {
            LogCapture log;
            const QVector<QImage> parts = renderer.renderPdfBatch(strip, squarePage(true));
            QCOMPARE(count(log, "[PdfPerf] rasterStart"), 1 - pass);
            QCOMPARE(count(log, "[PdfPerf] cacheHit"), pass);
            QCOMPARE(parts[0].pixelColor(50, 150), QColor(Qt::red));
            QCOMPARE(parts[1].pixelColor(50, 50), QColor(Qt::red));    // 250 of 300
            QCOMPARE(parts[1].pixelColor(50, 90), QColor(Qt::white));  // the border
            QCOMPARE(parts[1].pixelColor(50, 150), QColor(Qt::gray));  // below the page
        }
    }

    void rasterCache_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<qint64>("bytes");
        QTest::newRow("24 MiB") << QSize(4096, 1536) << PageRenderer::RasterCacheLimit;
        QTest::newRow("a row more") << QSize(4096, 1537) << qint64(900 * 1350 * 4);
    }

    void rasterCache()
    {
        QFETCH(QSize, size);
        PageRenderer renderer;
        renderer.resetForGeneration(1);
        const QString prefix = PageRenderer::makePdfCacheKey(page(0), {600, 900}, 1.5f);
        QCOMPARE(prefix, page(0) + "|600x900|1.5");
        const QImage piece(900, 1350, QImage::Format_ARGB32);
        renderer.cacheInsert(prefix, {0, 0, 600, 900}, piece);
        renderer.cacheInsert(prefix, QRect(QPoint(), size), QImage(size, QImage::Format_ARGB32));
        QTEST(renderer.rasterCacheBytes(), "bytes");
        // Cut from a larger cached piece; another scale never matches.
        renderer.cacheInsert(prefix, {0, 0, 600, 900}, piece);
        QCOMPARE(renderer.lookupRaster(prefix, {0, 120, 600, 400}, 1.5f).size(), QSize(900, 600));
        QVERIFY(renderer.lookupRaster(PageRenderer::makePdfCacheKey(page(0), {600, 900}, 1), {0, 0, 9, 9}, 1).isNull());
        renderer.resetForGeneration(1);
        QCOMPARE(renderer.rasterCacheCount(), 1);
        renderer.resetForGeneration(2);
        QCOMPARE(renderer.rasterCacheCount(), 0);
    }

    void splitRect()
    {
        QCOMPARE(PageRenderer::splitRect({0, 0, 600, 900}, 2), QVector<QRect>{QRect(0, 0, 600, 900)});
        const QVector<QRect> quarters{{0, 22500, 2000, 7500}, {0, 15000, 2000, 7500},
                                      {0, 7500, 2000, 7500}, {0, 0, 2000, 7500}};
        QCOMPARE(PageRenderer::splitRect({0, 0, 2000, 30000}, 1), quarters);
        QVERIFY(PageRenderer::splitRect({0, 0, 1, 1}, 6000).isEmpty());
    }

    // Two requests of 40 MiB run together on the pool; two of 60 MiB in turn, here.
    void requestsPairedWithinBudget()
    {
        for (const QSize display : {QSize(2048, 5120), QSize(2048, 7680)}) {
            const bool together = display.height() == 5120;
            PageRenderer renderer;
            LogCapture log;
            renderer.renderPdfBatch({pdfPage(page(2), 0, display), pdfPage(page(3), 0, display)}, squarePage());
            QCOMPARE(count(log, together ? "[PageRenderer] PDF 双 worker" : "[PageRenderer] PDF 单 worker"),
                     together ? 1 : 2);
            const QStringList rasters = log.lines(QtDebugMsg).filter("[PdfPerf] rasterEnd");
            QCOMPARE(rasters.size(), 2);
            for (const QString &line : rasters) {
                QVERIFY(line.contains(QStringLiteral("outputPixels= %1x%2").arg(display.width()).arg(display.height())));
                QCOMPARE(line.endsWith("thread= " + pdfPerfThread()), !together);
            }
        }
    }
};

QTEST_MAIN(TestPdfPages)
#include "tst_pdfpages.moc"
