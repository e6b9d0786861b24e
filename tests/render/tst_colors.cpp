#include "colors.h"

#include <QtTest>

namespace {
// Relative luminance, read back from the ratio against black.
double luminanceOf(const QColor &c)
{
    return 0.05 * contrastRatio(c, Qt::black) - 0.05;
}
}

class TestColors : public QObject
{
    Q_OBJECT
private slots:
    void parse_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QRgb>("rgba");
        QTest::addColumn<bool>("valid");
        auto row = [](const char *text, QRgb rgba, bool valid = true) {
            QTest::newRow(text) << QString::fromUtf8(text) << rgba << valid;
        };
        row("  RGB( 10 , 20 , 30 ) ", qRgba(10, 20, 30, 255));
        row("#abcd", qRgba(0xaa, 0xbb, 0xcc, 0xdd)); // alpha last, unlike QColor
        row("#11223344", qRgba(0x11, 0x22, 0x33, 0x44));
        row("Navy", qRgba(0, 0, 128, 255));
        row("transparent", qRgba(0, 0, 0, 0));
        row("rgb(50%, 100%, 10%)", qRgba(127, 255, 26, 255));
        row("rgb(150%, -5%, 0%)", qRgba(255, 0, 0, 255));
        row("rgb(300, -5, 20)", qRgba(255, 0, 20, 255));
        row("rgba(0, 0, 0, 50%)", qRgba(0, 0, 0, 128));
        row("rgba(0, 0, 0, 2)", qRgba(0, 0, 0, 255));
        row("hsl(-120, 100%, 50%)", qRgba(0, 0, 255, 255));
        row("hsl(480, 100%, 50%)", qRgba(0, 255, 0, 255));
        row("hsl(0, 50, 50)", parseCssColor("hsl(0, 50%, 50%)").rgba());
        row("hsla(0, 100%, 50%, 0)", qRgba(255, 0, 0, 0));
        for (const char *bad : {"", "rgb(1.5, 2, 3)", "rgba(1, 2, 3)", "rgb(1, 2, 3, 4)",
                                "rgba(1, 2, 3, half)", "hsl(120deg, 50%, 50%)", "bluish", "#abcde"})
            row(bad, 0, false);
    }
    void parse()
    {
        QFETCH(QString, text);
        QFETCH(QRgb, rgba);
        const QColor c = parseCssColor(text);
        QTEST(c.isValid(), "valid");
        if (c.isValid())
            QCOMPARE(QString::number(c.rgba(), 16), QString::number(rgba, 16));
    }

    void blendAndRatio_data()
    {
        QTest::addColumn<QColor>("fg");
        QTest::addColumn<QColor>("bg");
        QTest::addColumn<QColor>("blended");
        QTest::addColumn<double>("ratio");
        QTest::newRow("black on white") << QColor(Qt::black) << QColor(Qt::white) << QColor(Qt::black) << 21.0;
        QTest::newRow("half black over white") << QColor(0, 0, 0, 128) << QColor(Qt::white)
                                               << QColor(127, 127, 127) << 4.004;
        QTest::newRow("invisible fg") << QColor(255, 0, 0, 0) << QColor(Qt::white) << QColor(Qt::white) << 1.0;
        QTest::newRow("no bg") << QColor(Qt::red) << QColor() << QColor(Qt::red) << 5.252;
    }
    void blendAndRatio()
    {
        QFETCH(QColor, fg);
        QFETCH(QColor, bg);
        QFETCH(QColor, blended);
        QFETCH(double, ratio);
        QCOMPARE(blendColor(fg, bg).rgba(), blended.rgba());
        QVERIFY2(qAbs(contrastRatio(fg, bg) - ratio) < 2e-3, qPrintable(QString::number(contrastRatio(fg, bg))));
    }

    // Adjusted colours keep hue, saturation and alpha, and land just past the
    // wanted luminance or ratio (ten bisection steps), or are left alone.
    void adjust_data()
    {
        QTest::addColumn<int>("kind"); // 0 ensureContrast, 1 readableColor 4.5, 2 readableColor 7
        QTest::addColumn<QColor>("colour");
        QTest::addColumn<QColor>("background");
        QTest::addColumn<bool>("unchanged");
        QTest::newRow("white box on dark page") << 0 << QColor(Qt::white) << QColor(Qt::black) << false;
        QTest::newRow("white box on white page") << 0 << QColor(Qt::white) << QColor(Qt::white) << true;
        QTest::newRow("dark box on light page") << 0 << QColor(40, 20, 80, 200) << QColor(250, 250, 240) << false;
        QTest::newRow("pale box on light page") << 0 << QColor(230, 240, 250) << QColor(Qt::white) << true;
        QTest::newRow("invalid box") << 0 << QColor() << QColor(Qt::black) << true;
        QTest::newRow("dark text on dark page") << 1 << QColor(60, 0, 0) << QColor(20, 20, 20) << false;
        QTest::newRow("grey text on mid page") << 1 << QColor(120, 130, 140) << QColor(118, 118, 118) << false;
        QTest::newRow("readable text") << 1 << QColor(Qt::black) << QColor(Qt::white) << true;
        QTest::newRow("ratio 7 unreachable") << 2 << QColor(120, 0, 0) << QColor(118, 118, 118) << false;
    }
    void adjust()
    {
        QFETCH(int, kind);
        QFETCH(QColor, colour);
        QFETCH(QColor, background);
        QFETCH(bool, unchanged);
        const QColor fallback(1, 2, 3);
        const QColor out = kind == 0 ? ensureContrast(colour, background, true)
                                     : readableColor(colour, background, fallback, kind == 1 ? 4.5f : 7.0f);
        if (unchanged || kind == 2) {
            QCOMPARE(out.rgba(), unchanged ? colour.rgba() : fallback.rgba());
            return;
        }
        QCOMPARE(out.alpha(), colour.alpha());
        if (colour.hslSaturation() > 0) {
            QVERIFY(qAbs(out.hslHue() - colour.hslHue()) <= 2);
            QVERIFY(qAbs(out.hslSaturation() - colour.hslSaturation()) <= 2);
        }
        if (kind == 0) {
            const double l = luminanceOf(blendColor(out, background));
            const bool ok = luminanceOf(background) < 0.5 ? (l <= 0.18 && l > 0.15) : (l >= 0.82 && l < 0.85);
            QVERIFY2(ok, qPrintable(QString::number(l)));
        } else {
            const float r = contrastRatio(out, background);
            QVERIFY2(r >= 4.5f && r < 4.9f, qPrintable(QString::number(r)));
        }
    }
};

QTEST_APPLESS_MAIN(TestColors)
#include "tst_colors.moc"
