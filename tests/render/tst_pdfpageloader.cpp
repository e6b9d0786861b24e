#include "logcapture.h"
#include "pageimageloader.h"
#include "pdfpageloader.h"
#include "testpdf.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QString source(const QString &path, int page, int dpi = 72)
{
    return QStringLiteral("pdf://%1?page=%2&dpi=%3").arg(path).arg(page).arg(dpi);
}

int countLines(const LogCapture &log, const QString &start)
{
    const QStringList lines = log.lines(QtDebugMsg);
    return int(std::count_if(lines.begin(), lines.end(),
                             [&](const QString &line) { return line.startsWith(start); }));
}

} // namespace

class TestPdfPageLoader : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    QString m_book;   // A4, letter (red inside a blank border), 200 x 200 inches
    QString m_other;

private slots:
    void initTestCase()
    {
        m_book = m_dir.filePath("book.pdf");
        m_other = m_dir.filePath("other.pdf");
        QVERIFY(writeTestPdf(m_book, {QSizeF(595.276, 841.89), QSizeF(612, 792),
                                      QSizeF(14400, 14400)},
                             {QColor(), Qt::red, Qt::blue}));
        QVERIFY(writeTestPdf(m_other, {QSizeF(300, 300)}));
    }

    void regionRaster_data()
    {
        QTest::addColumn<QRect>("region");
        QTest::addColumn<float>("scale");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<QColor>("middle");  // of the output
        QTest::newRow("whole page at 2") << QRect(0, 0, 540, 699) << 2.0f << QSize(1080, 1398)
                                         << QColor(Qt::red);
        QTest::newRow("band inside") << QRect(0, 100, 540, 50) << 1.5f << QSize(810, 75)
                                     << QColor(Qt::red);
        QTest::newRow("band in the border") << QRect(0, 0, 540, 50) << 1.5f << QSize(810, 75)
                                            << QColor(Qt::white);
        QTest::newRow("clipped to the page") << QRect(500, 600, 100, 200) << 1.0f
                                             << QSize(40, 99) << QColor(Qt::white);
        QTest::newRow("outside") << QRect(600, 0, 10, 10) << 1.0f << QSize(0, 0) << QColor();
        QTest::newRow("no region") << QRect() << 1.0f << QSize(0, 0) << QColor();
        QTest::newRow("no scale") << QRect(0, 0, 540, 699) << 0.0f << QSize(0, 0) << QColor();
    }

    void regionRaster()
    {
        QFETCH(QRect, region);
        QFETCH(float, scale);
        QFETCH(QSize, size);
        QFETCH(QColor, middle);
        PdfPageLoader loader;
        const QImage image = loader.renderPage(source(m_book, 1), QSize(540, 699), region, scale);
        QCOMPARE(image.size(), size);
        if (middle.isValid())
            QCOMPARE(image.pixelColor(image.width() / 2, image.height() / 2), middle);
    }

    void documentKeptPerPathAndGeneration()
    {
        PdfPageLoader loader;
        LogCapture log;
        auto render = [&](const QString &path) {
            return loader.renderPage(source(path, 0), QSize(30, 30), QRect(0, 0, 30, 30), 1.0f);
        };
        QVERIFY(!render(m_book).isNull());
        QVERIFY(!render(m_book).isNull());
        QCOMPARE(countLines(log, "[PdfPerf] documentLoad"), 1);
        render(m_other);
        render(m_book);
        QCOMPARE(countLines(log, "[PdfPerf] documentLoad"), 3);
        loader.releaseDocument(0);
        render(m_book);
        QCOMPARE(countLines(log, "[PdfPerf] documentLoad"), 3);
        loader.releaseDocument(7);
        render(m_book);
        QCOMPARE(countLines(log, "[PdfPerf] documentLoad"), 4);
        QCOMPARE(countLines(log, "[PdfPerf] rasterEnd"), 6);
    }

    void uncachedPages()
    {
        QCOMPARE(PageImageLoader::imageSize(source(m_book, 0, 150)), QSize(1240, 1754));
        QCOMPARE(PdfPageLoader::pageSize(m_book, 3, 150), QSize(-1, -1));

        // Blank borders are cut away, four pixels kept.
        const QImage letter = PageImageLoader::loadImage(source(m_book, 1, 72));
        QVERIFY(qAbs(letter.width() - (490 + 8)) <= 2);
        QVERIFY(qAbs(letter.height() - (634 + 8)) <= 2);

        // A 200-inch sheet at 150 dpi would be 30000 pixels a side.
        const QImage poster = PdfPageLoader::renderFallback(m_book, 2, 150);
        QVERIFY(!poster.isNull());
        QVERIFY(poster.width() <= 2048 && poster.height() <= 2048);
        QVERIFY(poster.width() > 1500);

        LogCapture log;
        QVERIFY(PdfPageLoader::renderFallback(m_book, 3, 72).isNull());
        QVERIFY(log.lines(QtWarningMsg).value(0).startsWith("[PdfPageLoader] 页码越界: 3 / 3"));
    }

    void unreadableFiles()
    {
        const QString locked = m_dir.filePath("locked.pdf");
        QCOMPARE(QProcess::execute("qpdf", {"--encrypt", "reader", "owner", "256", "--", m_book,
                                            locked}),
                 0);
        QFile damaged(m_dir.filePath("damaged.pdf"));
        QFile book(m_book);
        QVERIFY(book.open(QIODevice::ReadOnly) && damaged.open(QIODevice::WriteOnly));
        damaged.write(book.readAll().replace("/Type /Page", "/Type /Pag").left(1800));
        damaged.close();

        LogCapture log;
        for (const QString &path : {locked, damaged.fileName(), m_dir.filePath("none.pdf")}) {
            PdfPageLoader loader;
            QVERIFY(loader.renderPage(source(path, 1), QSize(50, 50), QRect(0, 0, 50, 50), 1.0f)
                        .isNull());
            QVERIFY(PageImageLoader::loadImage(source(path, 1)).isNull());
            QCOMPARE(PageImageLoader::imageSize(source(path, 1)), QSize(-1, -1));
        }
        // Poppler's own complaints about the damaged file stay out of the log.
        QStringList lines = log.lines(QtDebugMsg) + log.lines(QtWarningMsg);
        for (const QString &line : lines)
            QVERIFY2(line.startsWith("[PdfPerf]") || line.startsWith("[PdfPageLoader]"),
                     qPrintable(line));
    }
};

QTEST_MAIN(TestPdfPageLoader)
#include "tst_pdfpageloader.moc"
