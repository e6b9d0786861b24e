#include "pagebuilder.h"
#include "pagerenderer.h"
#include "testpages.h"

#include <QTemporaryDir>
#include <QtTest>

namespace {

struct Probe
{
    QPoint at;
    QColor colour; // Qt::transparent: alpha 0
    int tolerance = 2;
};

const QColor Grey(230, 230, 230);
const QColor Honeydew(240, 255, 240);
const QColor Lemon(255, 250, 205);

LayoutConfig smallPage()
{
    LayoutConfig config;
    config.pageWidth = config.pageHeight = 200;
    config.marginTop = config.marginBottom = config.marginLeft = config.marginRight = 10;
    config.backgroundColor = Grey;
    config.textColor = Qt::black;
    return config;
}

QImage filled(int w, int h, const QColor &colour)
{
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(colour);
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
    QString path(const char *name) const { return m_dir.filePath(name); }

private slots:
    void initTestCase()
    {
        // The ramp fits the loader's box as it is: only the painter can smooth it.
        QImage ramp = filled(2048, 2, Qt::white);
        std::fill_n(reinterpret_cast<QRgb *>(ramp.scanLine(0)), 2048, qRgb(0, 0, 0));
        QImage halves = filled(20, 40, Qt::blue);
        for (int y = 0; y < 20; ++y)
            std::fill_n(reinterpret_cast<QRgb *>(halves.scanLine(y)), 20, qRgb(255, 0, 0));
        QVERIFY(filled(20, 10, Qt::red).save(path("red.png")) && filled(10, 10, Qt::blue).save(path("blue.png"))
                && ramp.save(path("ramp.png")) && halves.save(path("halves.png")));
    }

    void pixels_data()
    {
        QTest::addColumn<PageLayout>("page");
        QTest::addColumn<LayoutConfig>("config");
        QTest::addColumn<QString>("key"); // set: keyed mode
        QTest::addColumn<QVector<Probe>>("probes");
        const LayoutConfig config = smallPage();
        PageLayout page;

        page.lines = {textLine(0, 20), textLine(100, 20)};
        page.lines[0].docBgColor = Lemon;
        QTest::newRow("bands: first from the image top, uncoloured one repainted") << page << config << QString()
            << QVector<Probe>{{{5, 2}, Lemon}, {{5, 108}, Lemon}, {{5, 112}, Grey}, {{195, 198}, Grey}};

        page.lines = {textLine(20, 30)};
        page.lines[0].spaceAfter = 10;
        page.lines[0].bgColor = Honeydew;
        QTest::newRow("line background over its spacing, inside the margins") << page << config << QString()
            << QVector<Probe>{{{100, 32}, Honeydew}, {{100, 68}, Honeydew}, {{5, 50}, Grey}, {{100, 72}, Grey}};

        // The space before a paragraph lies above its first line, except at
        // the top of a page.
        LayoutConfig unspaced = config;
        unspaced.paragraphSpacing = 0;
        LayoutLine first = textLine(0, 24, {shapedRun(QString(QChar(0x2588)), 20, {0, 0})});
        LayoutLine spaced = first;
        first.paragraphIndex = 0;
        spaced.paragraphIndex = 1;
        spaced.spaceBefore = 40;
        page = PageBuilder::buildPages({first, spaced}, unspaced).constFirst();
        QTest::newRow("space before a paragraph above its first line") << page << unspaced << QString()
            << QVector<Probe>{{{15, 45}, Grey}, {{15, 84}, Qt::black}};
        LayoutConfig strip = unspaced;
        strip.continuousMode = true;
        page = PageBuilder::buildPages({first, spaced}, strip).constFirst();
        QTest::newRow("space before a paragraph, continuous") << page << strip << QString()
            << QVector<Probe>{{{15, 45}, Grey}, {{15, 84}, Qt::black}};
        page = PageBuilder::buildPages({spaced}, unspaced).constFirst();
        QTest::newRow("space before dropped at the page top") << page << unspaced << QString()
            << QVector<Probe>{{{15, 24}, Qt::black}};

        GlyphRunItem highlighted = shapedRun(QString::fromUtf8(" \u2588"), 40, {0, 0});
        highlighted.highlightColor = Lemon;
        const QRectF box = highlighted.boundingRect.translated(10, 10);
        page.lines = {textLine(0, 50, {highlighted})};
        QTest::newRow("highlight behind the run, text on it") << page << config << QString()
            << QVector<Probe>{{QPoint(box.left() + 4, box.center().y()), Lemon},
                              {QPoint(box.right() - 6, box.center().y()), Qt::black}};

        LayoutLine row = textLine(0, 60, {shapedRun(QString(8, QChar(0x2588)), 30, {0, 5}, 1)});
        row.isTableRow = true;
        row.cells = {{0, 0, 90, 60, 1, true, QColor()}, {90, 0, 90, 60, 2, false, Honeydew}};
        page.lines = {row};
        QTest::newRow("table row: faint header, coloured cell, run clipped to its cell") << page << config << QString()
            << QVector<Probe>{{{50, 30}, Qt::black}, {{50, 66}, QColor(208, 208, 208)}, {{140, 30}, Honeydew}};

        // Decoded images are enlarged to the loader's box; laid-out lines carry their display size.
        page.lines = {textLine(0, 20), imageLine(20, 10, path("red.png"), 20), imageLine(40, 10, path("blue.png"), 20),
                      textLine(60, 50, {shapedRun(QString(QChar(0x2588)), 40, {0, 0})})};
        page.lines[0].docBgColor = Lemon;
        QTest::newRow("keyed mode: only the keyed image, the rest transparent") << page << config << path("red.png")
            << QVector<Probe>{{{15, 35}, Qt::red}, {{15, 55}, Qt::transparent}, {{5, 5}, Qt::transparent},
                              {{20, 90}, Qt::transparent}};

        page.lines = {imageLine(20.5, 40, path("missing.png"))};
        QTest::newRow("missing image: grey outline") << page << config << QString()
            << QVector<Probe>{{{100, 30}, QColor(Qt::gray)}, {{180, 65}, Grey}};

        page.lines = {imageLine(0, 90, path("red.png"))};
        page.lines[0].vCenter = true;
        QTest::newRow("fitted image enlarged and centred in paged mode") << page << config << QString()
            << QVector<Probe>{{{100, 52}, Grey}, {{100, 58}, Qt::red}, {{185, 142}, Qt::red}, {{100, 148}, Grey}};
        LayoutConfig continuous = config;
        continuous.continuousMode = true;
        QTest::newRow("fitted image not centred in continuous mode") << page << continuous << QString()
            << QVector<Probe>{{{100, 12}, Qt::red}, {{100, 102}, Grey}};

        // Taller than the page: only the part on it is decoded, where it lies.
        page.lines = {imageLine(-180, 360, path("halves.png"), 180)};
        QTest::newRow("tall image above the page top, continuous") << page << continuous << QString()
            << QVector<Probe>{{{5, 100}, Grey}, {{15, 0}, Qt::red}, {{15, 20}, Qt::blue}, {{185, 185}, Qt::blue},
                              {{100, 195}, Grey}};

        page.lines = {imageLine(0, 20, path("ramp.png"), 180)};
        QTest::newRow("scaled image resampled smoothly") << page << config << QString()
            << QVector<Probe>{{{100, 20}, QColor(128, 128, 128), 60}};

        auto blank = [](qreal x, qreal height) {
            GlyphRunItem run = shapedRun(QStringLiteral("  "), 10, {x, 0});
            run.boundingRect.setHeight(height);
            return run;
        };
        GlyphRunItem under = blank(0, 19.5), link = blank(50, 19.5), strike = blank(100, 21);
        under.underline = true;
        link.anchorHref = QStringLiteral("#note");
        strike.strikeOut = true;
        page.lines = {textLine(0, 30, {under, link, strike})};
        QTest::newRow("underline, link and strike-out at least one pixel") << page << config << QString()
            << QVector<Probe>{{{13, 30}, Qt::black}, {{63, 30}, Qt::black}, {{113, 20}, Qt::black},
                              {{13, 32}, Grey}, {{113, 22}, Grey}};
    }
    void pixels()
    {
        QFETCH(PageLayout, page);
        QFETCH(LayoutConfig, config);
        QFETCH(QString, key);
        QFETCH(QVector<Probe>, probes);
        const QImage image = PageRenderer::forCurrentThread().renderPage(
            page, config, key, QImage(), QRect(),
            key.isEmpty() ? PageRenderer::DrawEverything : PageRenderer::DrawKeyedImages);
        QCOMPARE(image.size(), QSize(200, 200));
        for (const Probe &p : probes) {
            const QColor got = image.pixelColor(p.at);
            const int off = qMax(qAbs(got.red() - p.colour.red()),
                                 qMax(qAbs(got.green() - p.colour.green()), qAbs(got.blue() - p.colour.blue())));
            const bool same = p.colour.alpha() == 0 ? got.alpha() == 0 : got.alpha() == 255 && off <= p.tolerance;
            QVERIFY2(same, qPrintable(QStringLiteral("at (%1, %2): got %3 alpha %4, want %5").arg(p.at.x())
                                          .arg(p.at.y()).arg(got.name()).arg(got.alpha()).arg(p.colour.name())));
        }
    }

    void drawnImages()
    {
        PageRenderer renderer;
        renderer.storeDrawnImage("limit", filled(4096, 1536, Qt::red)); // exactly the 24 MiB
        renderer.storeDrawnImage("over", filled(4096, 1537, Qt::red));
        QVERIFY(renderer.lookupDrawnImage("over").isNull());
        QCOMPARE(renderer.drawnImageBytes(), PageRenderer::DrawnImageCacheLimit);
        // 16 MiB each: the least recently used goes.
        renderer.storeDrawnImage("a", filled(4096, 1024, Qt::red));
        renderer.storeDrawnImage("b", filled(4096, 1024, Qt::red));
        QVERIFY(renderer.lookupDrawnImage("limit").isNull() && renderer.lookupDrawnImage("a").isNull());
        QVERIFY(!renderer.lookupDrawnImage("b").isNull());

        // A page image shared by neighbouring pages is decoded once per book opening.
        const QString shared = m_dir.filePath("shared.png");
        QVERIFY(filled(10, 10, Qt::blue).save(shared));
        PageLayout page;
        page.lines = {imageLine(0, 10, shared)};
        renderer.resetForGeneration(7);
        renderer.renderPageSimple(page, smallPage());
        QVERIFY(QFile::remove(shared));
        QCOMPARE(renderer.renderPageSimple(page, smallPage()).pixelColor(15, 15), QColor(Qt::blue));
        renderer.resetForGeneration(7);
        QVERIFY(!renderer.lookupDrawnImage(shared).isNull());
        renderer.resetForGeneration(8);
        QVERIFY(renderer.lookupDrawnImage(shared).isNull());
        QCOMPARE(renderer.drawnImageBytes(), 0);
    }

    // A page that left the window lends its buffer to the next page of its size, never one still shared.
    void spareBuffer_data()
    {
        QTest::addColumn<bool>("stillShown");
        QTest::addColumn<int>("nextSide");
        QTest::addColumn<bool>("reused");
        QTest::newRow("left the window") << false << 200 << true;
        QTest::newRow("still shown") << true << 200 << false;
        QTest::newRow("another size") << false << 300 << false;
    }
    void spareBuffer()
    {
        QFETCH(bool, stillShown);
        QFETCH(int, nextSide);
        PageLayout red;
        red.lines = {imageLine(0, 180, path("red.png"), 180)};
        QImage leaving = PageRenderer::forCurrentThread().renderPageSimple(red, smallPage());
        const uchar *bits = leaving.constBits();
        const QImage shown = stillShown ? leaving : QImage();
        PageRenderer::recyclePageImage(leaving);
        QCOMPARE(leaving.isNull(), !stillShown);
        LayoutConfig config = smallPage();
        config.pageWidth = config.pageHeight = nextSide;
        const QImage next = PageRenderer::forCurrentThread().renderPageSimple(PageLayout(), config);
        QTEST(next.constBits() == bits, "reused");
        QCOMPARE(next.pixelColor(100, 100), Grey);
        PageRenderer::dropSpareBuffer();
    }
};

QTEST_MAIN(TestPageRenderer)
#include "tst_pagerenderer.moc"
