#include "confinement.h"
#include "decodeservice.h"
#include "logcapture.h"
#include "pagerenderer.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QPainter>
#include <QPdfWriter>
#include <QTemporaryDir>
#include <QtTest>

#include <limits>
#include <sys/resource.h>

namespace {

constexpr int PdfPages = 50;
const QSize Screen(540, 1170);      // layout pixels of a phone screen
const QSize PdfDisplay(540, 699);   // a letter page across the screen width

// Fifty letter pages of body text with a heading and a framed figure each.
bool writeBook(const QString &path)
{
    QPdfWriter writer(path);
    writer.setResolution(72);
    writer.setPageSize(QPageSize(QPageSize::Letter));
    writer.setPageMargins(QMarginsF(0, 0, 0, 0));
    QPainter painter(&writer);
    QFont body(QStringLiteral("DejaVu Serif"));
    body.setPointSizeF(10);
    for (int page = 0; page < PdfPages; ++page) {
        if (page > 0)
            writer.newPage();
        painter.setFont(QFont(QStringLiteral("DejaVu Sans"), 18));
        painter.drawText(QPointF(60, 70), QStringLiteral("Chapter %1").arg(page + 1));
        painter.setFont(body);
        for (int line = 0; line < 40; ++line)
            painter.drawText(QPointF(60, 100 + line * 13),
                             QStringLiteral("Line %1 of page %2: the quick brown fox jumps over "
                                            "the lazy dog, again and again.").arg(line).arg(page));
        painter.drawRect(QRectF(60, 640, 490, 110));
        painter.fillRect(QRectF(70, 650, 200, 90), QColor(80, 120, 200));
    }
    return painter.end();
}

LayoutLine pdfLine(const QString &pdf, int page, float y)
{
    LayoutLine line;
    line.isImage = true;
    line.imageSource = QStringLiteral("pdf://%1?page=%2&dpi=150").arg(pdf).arg(page);
    line.displayWidth = PdfDisplay.width();
    line.displayHeight = PdfDisplay.height();
    line.height = PdfDisplay.height();
    line.y = y;
    line.vCenter = true;
    return line;
}

// Paged: one PDF page per screen. Continuous: the pages stacked with a
// 10-pixel gap and cut into screens, so pages straddle two screens.
QVector<PageLayout> screens(const QString &pdf, bool continuous)
{
    QVector<PageLayout> out;
    if (!continuous) {
        for (int i = 0; i < PdfPages; ++i) {
            PageLayout page;
            page.pageIndex = i;
            page.lines = {pdfLine(pdf, i, 0)};
            out.append(page);
        }
        return out;
    }
    const int step = PdfDisplay.height() + 10;
    const int stripHeight = PdfPages * step;
    for (int top = 0, index = 0; top < stripHeight; top += Screen.height(), ++index) {
        PageLayout page;
        page.pageIndex = index;
        for (int i = 0; i < PdfPages; ++i) {
            const int y = i * step - top;
            if (y < Screen.height() && y + PdfDisplay.height() > 0)
                page.lines.append(pdfLine(pdf, i, y));
        }
        out.append(page);
    }
    return out;
}

// Renders the screens in the render pool's batch sizes; returns the milliseconds.
qint64 renderAll(PageRenderer &renderer, const QVector<PageLayout> &pages,
                 const LayoutConfig &config)
{
    const int batch = config.continuousMode ? 11 : 2;
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < pages.size(); i += batch)
        renderer.renderPdfBatch(pages.mid(i, batch), config);
    return timer.elapsed();
}

} // namespace

class BenchPdfPages : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    QString m_pdf;
    double m_toolSeconds = 0;

    static double seconds(const rusage &use)
    {
        return use.ru_utime.tv_sec + use.ru_stime.tv_sec + (use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1e6;
    }

private slots:
    void initTestCase()
    {
        m_pdf = m_dir.filePath("book.pdf");
        QVERIFY(writeBook(m_pdf));
    }

    // The book opened and its first page drawn at twice the layout size,
    // from no helper running; the floor is poppler's own tool doing the same
    // in a process of its own (start, open, draw, write).
    void firstPage()
    {
        LayoutConfig config;
        config.pageWidth = Screen.width();
        config.pageHeight = Screen.height();
        config.marginTop = config.marginBottom = config.marginLeft = config.marginRight = 0;
        config.scale = 2.0f;
        DecodeService::setHelperPath(QFile::decodeName(Confinement::helperPath()));
        PageRenderer renderer;
        renderer.resetForGeneration(1000);
        QElapsedTimer timer;
        timer.start();
        {
            LogCapture silence;
            QVERIFY(!renderer.renderPdfBatch(screens(m_pdf, false).mid(0, 1), config).value(0).isNull());
        }
        const qint64 firstUs = timer.nsecsElapsed() / 1000;
        qint64 floorUs = std::numeric_limits<qint64>::max();
        rusage before {}, after {};
        getrusage(RUSAGE_CHILDREN, &before);
        for (int run = 0; run < 3; ++run) {
            timer.restart();
            QProcess::execute("pdftoppm", {"-f", "1", "-l", "1", "-scale-to", "1398", "-png", m_pdf,
                                           m_dir.filePath("floor")});
            floorUs = qMin(floorUs, timer.nsecsElapsed() / 1000);
        }
        getrusage(RUSAGE_CHILDREN, &after);
        // The tool's own CPU is not the reader's.
        m_toolSeconds = seconds(after) - seconds(before);
        qInfo("open to first page: %.1f ms, floor (pdftoppm) %.1f ms, ratio %.2f", firstUs / 1000.0,
              floorUs / 1000.0, double(firstUs) / double(floorUs));
    }

    void batches_data()
    {
        QTest::addColumn<bool>("continuous");
        QTest::addColumn<float>("scale");
        QTest::newRow("paged, scale 1") << false << 1.0f;
        QTest::newRow("paged, scale 2") << false << 2.0f;
        QTest::newRow("continuous, scale 1") << true << 1.0f;
        QTest::newRow("continuous, scale 2") << true << 2.0f;
    }

    // First pass from an empty cache, then the same screens again.
    void batches()
    {
        QFETCH(bool, continuous);
        QFETCH(float, scale);
        LayoutConfig config;
        config.pageWidth = Screen.width();
        config.pageHeight = Screen.height();
        config.marginTop = config.marginBottom = config.marginLeft = config.marginRight = 0;
        config.continuousMode = continuous;
        config.scale = scale;
        const QVector<PageLayout> pages = screens(m_pdf, continuous);

        static quint64 generation = 0;
        PageRenderer renderer;
        renderer.resetForGeneration(qint64(++generation));
        qint64 firstMs = 0;
        QBENCHMARK_ONCE {
            LogCapture silence;  // thousands of debug lines would dominate the time
            firstMs = renderAll(renderer, pages, config);
        }
        QStringList lines;
        qint64 secondMs = 0;
        {
            LogCapture log;
            secondMs = renderAll(renderer, pages, config);
            lines = log.lines(QtDebugMsg);
        }
        const int hits = lines.filter(QStringLiteral("[PdfPerf] cacheHit")).size();
        const int rasters = lines.filter(QStringLiteral("[PdfPerf] rasterStart")).size();
        qInfo("%s: %d screens, first pass %.1f ms/screen; second pass %.1f ms/screen, "
              "cache hits %d of %d pieces (%.0f %%)",
              QTest::currentDataTag(), pages.size(), double(firstMs) / pages.size(),
              double(secondMs) / pages.size(), hits, hits + rasters,
              hits + rasters ? 100.0 * hits / (hits + rasters) : 0.0);
    }

    // CPU and peak memory of this process and its helpers, which end first
    // so that their figures count.
    void cleanupTestCase()
    {
        DecodeService::setHelperPath(QFile::decodeName(Confinement::helperPath()));
        rusage self {}, helpers {};
        getrusage(RUSAGE_SELF, &self);
        getrusage(RUSAGE_CHILDREN, &helpers);
        qInfo("CPU: program %.2f s, helpers %.2f s; peak RSS: program %ld MiB, largest helper %ld MiB",
              seconds(self), seconds(helpers) - m_toolSeconds, self.ru_maxrss / 1024, helpers.ru_maxrss / 1024);
    }
};

QTEST_MAIN(BenchPdfPages)
#include "bench_pdfpages.moc"
