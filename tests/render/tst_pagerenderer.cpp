#include "pagerenderer.h"
#include "testpages.h"

#include <QTemporaryDir>
#include <QtTest>

namespace {

struct Probe
{
    QPoint at;
    QColor colour;  // Qt::transparent: alpha 0
    int tolerance = 2;
};

const QColor Grey(230, 230, 230);
const QColor Honeydew(240, 255, 240);
const QColor Lemon(255, 250, 205);

LayoutConfig smallPage()
{
    LayoutConfig config;
    config.pageWidth = 200;
    config.pageHeight = 200;
    config.marginTop = config.marginBottom = config.marginLeft = config.marginRight = 10;
    config.backgroundColor = Grey;
    config.readerBgColor = QColor();
    config.textColor = Qt::black;
    return config;
}

QImage solidImage(const QString &path, QSize size, const QColor &colour)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(colour);
    image.save(path);
    return image;
}

} // namespace

Q_DECLARE_METATYPE(QVector<Probe>)
Q_DECLARE_METATYPE(PageLayout)
Q_DECLARE_METATYPE(LayoutConfig)

class TestPageRenderer : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    QString m_red, m_blue, m_ramp;

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_red = m_dir.filePath("red.png");
        m_blue = m_dir.filePath("blue.png");
        m_ramp = m_dir.filePath("ramp.png");
        solidImage(m_red, QSize(20, 10), Qt::red);
        solidImage(m_blue, QSize(10, 10), Qt::blue);
        QImage ramp = solidImage(m_ramp, QSize(2, 1), Qt::black);
        ramp.setPixelColor(1, 0, Qt::white);
        ramp.save(m_ramp);
    }

    void pixels_data()
    {
        QTest::addColumn<PageLayout>("page");
        QTest::addColumn<LayoutConfig>("config");
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QVector<Probe>>("probes");
        const LayoutConfig config = smallPage();
        PageLayout page;

        page.lines = {textLine(0, 20), textLine(100, 20)};
        page.lines[0].docBgColor = Lemon;
        QTest::newRow("bands: first from the image top, uncoloured one repainted")
            << page << config << 0 << QString()
            << QVector<Probe>{{{5, 2}, Lemon}, {{5, 108}, Lemon}, {{5, 112}, Grey}, {{195, 198}, Grey}};

        page.lines[1].docBgColor = Lemon;
        QTest::newRow("one shared colour: one band to the page bottom")
            << page << config << 0 << QString()
            << QVector<Probe>{{{5, 2}, Lemon}, {{195, 198}, Lemon}};

        page.lines = {textLine(20, 30)};
        page.lines[0].spaceAfter = 10;
        page.lines[0].bgColor = Honeydew;
        QTest::newRow("line background over its spacing, inside the margins")
            << page << config << 0 << QString()
            << QVector<Probe>{{{100, 32}, Honeydew}, {{100, 68}, Honeydew}, {{5, 50}, Grey}, {{100, 72}, Grey}};

        GlyphRunItem highlighted = shapedRun(QString::fromUtf8(" \u2588"), 40, {0, 0});
        highlighted.highlightColor = Lemon;
        const QRectF box = highlighted.boundingRect.translated(10, 10);
        page.lines = {textLine(0, 50, {highlighted})};
        QTest::newRow("highlight behind the run, text on it")
            << page << config << 0 << QString()
            << QVector<Probe>{{QPoint(box.left() + 4, box.center().y()), Lemon},
                              {QPoint(box.right() - 6, box.center().y()), Qt::black}};

        LayoutLine row = textLine(0, 60, {shapedRun(QString(8, QChar(0x2588)), 30, {0, 5}, 1)});
        row.isTableRow = true;
        TableCellBox header;
        header.width = 90;
        header.height = 60;
        header.header = true;
        header.paragraphIndex = 1;
        TableCellBox coloured = header;
        coloured.x = 90;
        coloured.header = false;
        coloured.bgColor = Honeydew;
        coloured.paragraphIndex = 2;
        row.cells = {header, coloured};
        page.lines = {row};
        QTest::newRow("table row: faint header, coloured cell, run clipped to its cell")
            << page << config << 0 << QString()
            << QVector<Probe>{{{50, 30}, Qt::black}, {{50, 66}, QColor(208, 208, 208)}, {{140, 30}, Honeydew}};

        page.lines = {textLine(0, 20), imageLine(20, 10, m_red), imageLine(40, 10, m_blue),
                      textLine(60, 50, {shapedRun(QString(QChar(0x2588)), 40, {0, 0})})};
        page.lines[0].docBgColor = Lemon;
        // Decoded images are enlarged to the loader's box; laid-out lines carry their display size.
        for (int i : {1, 2}) {
            page.lines[i].displayWidth = 20;
            page.lines[i].displayHeight = 10;
        }
        QTest::newRow("keyed mode: only the keyed image, the rest transparent")
            << page << config << 2 << m_red
            << QVector<Probe>{{{15, 35}, Qt::red}, {{15, 55}, Qt::transparent},
                              {{5, 5}, Qt::transparent}, {{20, 90}, Qt::transparent}};

        page.lines = {imageLine(20.5, 40, m_dir.filePath("missing.png"))};
        QTest::newRow("missing image: grey outline") << page << config << 0 << QString()
            << QVector<Probe>{{{100, 30}, QColor(Qt::gray)}, {{180, 65}, Grey}};

        page.lines = {imageLine(0, 90, m_red)};
        page.lines[0].vCenter = true;
        QTest::newRow("fitted image enlarged and centred in paged mode") << page << config << 0 << QString()
            << QVector<Probe>{{{100, 52}, Grey}, {{100, 58}, Qt::red}, {{185, 142}, Qt::red}, {{100, 148}, Grey}};
        LayoutConfig continuous = config;
        continuous.continuousMode = true;
        QTest::newRow("fitted image not centred in continuous mode") << page << continuous << 0 << QString()
            << QVector<Probe>{{{100, 12}, Qt::red}, {{100, 102}, Grey}};

        page.lines = {imageLine(0, 20, m_ramp)};
        page.lines[0].displayWidth = 180;
        page.lines[0].displayHeight = 20;
        QTest::newRow("scaled image resampled smoothly") << page << config << 0 << QString()
            << QVector<Probe>{{{100, 20}, QColor(128, 128, 128), 60}};

        GlyphRunItem under = shapedRun(QStringLiteral("  "), 10, {0, 0});
        under.boundingRect.setHeight(19.5);
        under.underline = true;
        GlyphRunItem strike = shapedRun(QStringLiteral("  "), 10, {100, 0});
        strike.boundingRect.setHeight(21);
        strike.strikeOut = true;
        GlyphRunItem link = shapedRun(QStringLiteral("  "), 10, {50, 0});
        link.boundingRect.setHeight(19.5);
        link.anchorHref = QStringLiteral("#note");
        page.lines = {textLine(0, 30, {under, strike, link})};
        QTest::newRow("underline, link and strike-out at least one pixel") << page << config << 0 << QString()
            << QVector<Probe>{{{13, 30}, Qt::black}, {{63, 30}, Qt::black}, {{113, 20}, Qt::black},
                              {{13, 32}, Grey}, {{113, 22}, Grey}};
    }

    void pixels()
    {
        QFETCH(PageLayout, page);
        QFETCH(LayoutConfig, config);
        QFETCH(int, mode);
        QFETCH(QString, key);
        QFETCH(QVector<Probe>, probes);
        const QImage image =
            PageRenderer::forCurrentThread().renderPage(page, config, key, QImage(), QRect(), mode);
        QCOMPARE(image.size(), QSize(200, 200));
        QCOMPARE(image.format(), QImage::Format_ARGB32_Premultiplied);
        for (const Probe &probe : probes) {
            const QColor got = image.pixelColor(probe.at);
            const QColor &want = probe.colour;
            const bool same = want.alpha() == 0
                ? got.alpha() == 0
                : got.alpha() == 255 && qAbs(got.red() - want.red()) <= probe.tolerance
                    && qAbs(got.green() - want.green()) <= probe.tolerance
                    && qAbs(got.blue() - want.blue()) <= probe.tolerance;
            if (!same)
                QFAIL(qPrintable(QStringLiteral("at (%1, %2): got %3 alpha %4, want %5")
                                     .arg(probe.at.x()).arg(probe.at.y()).arg(got.name())
                                     .arg(got.alpha()).arg(want.name())));
        }
    }

    void drawnImageCache_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<bool>("kept");
        QTest::newRow("exactly 48 MiB") << QSize(4096, 3072) << true;
        QTest::newRow("one row more") << QSize(4096, 3073) << false;
        QTest::newRow("null image") << QSize() << false;
    }

    void drawnImageCache()
    {
        QFETCH(QSize, size);
        QFETCH(bool, kept);
        PageRenderer renderer;
        QImage image;
        if (size.isValid()) {
            image = QImage(size, QImage::Format_ARGB32);
            image.fill(Qt::red);
        }
        renderer.storeDrawnImage("a", image);
        QCOMPARE(!renderer.lookupDrawnImage("a").isNull(), kept);
        QCOMPARE(renderer.drawnImageBytes(), kept ? PageRenderer::DrawnImageCacheLimit : 0);
    }

    void drawnImageLifetime()
    {
        PageRenderer renderer;
        QImage big(4096, 2048, QImage::Format_ARGB32);  // 32 MiB: two never fit together
        big.fill(Qt::red);
        renderer.storeDrawnImage("a", big);
        renderer.storeDrawnImage("b", big);
        QVERIFY(renderer.lookupDrawnImage("a").isNull());
        QVERIFY(!renderer.lookupDrawnImage("b").isNull());

        // A page image shared by neighbouring pages is decoded once per book opening.
        const QString path = m_dir.filePath("shared.png");
        solidImage(path, QSize(10, 10), Qt::blue);
        PageLayout page;
        page.lines = {imageLine(0, 10, path)};
        renderer.resetForGeneration(7);
        renderer.renderPageSimple(page, smallPage());
        QVERIFY(QFile::remove(path));
        QCOMPARE(renderer.renderPageSimple(page, smallPage()).pixelColor(15, 15), QColor(Qt::blue));
        renderer.resetForGeneration(7);
        QVERIFY(!renderer.lookupDrawnImage(path).isNull());
        renderer.resetForGeneration(8);
        QVERIFY(renderer.lookupDrawnImage(path).isNull());
        QCOMPARE(renderer.drawnImageBytes(), 0);
    }
};

QTEST_MAIN(TestPageRenderer)
#include "tst_pagerenderer.moc"
