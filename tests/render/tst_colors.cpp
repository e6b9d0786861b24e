#include "colors.h"

#include <QtTest>

namespace {
// Relative luminance of an opaque colour, as a reader would compute it.
double luminanceOf(const QColor &c)
{
    auto ch = [](int v) {
        const double x = v / 255.0;
        return x <= 0.03928 ? x / 12.92 : std::pow((x + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * ch(c.red()) + 0.7152 * ch(c.green()) + 0.0722 * ch(c.blue());
}
}

class TestColors : public QObject
{
    Q_OBJECT
private slots:
    void parse_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<QRgb>("rgba");
        auto row = [](const char *name, const char *text, QRgb rgba) {
            QTest::newRow(name) << QString::fromUtf8(text) << true << rgba;
        };
        auto bad = [](const char *name, const char *text) {
            QTest::newRow(name) << QString::fromUtf8(text) << false << QRgb(0);
        };
        row("blanks and case", "  RGB( 10 , 20 , 30 ) ", qRgba(10, 20, 30, 255));
        row("#rgba alpha last", "#abcd", qRgba(0xaa, 0xbb, 0xcc, 0xdd));
        row("#rrggbbaa alpha last", "#11223344", qRgba(0x11, 0x22, 0x33, 0x44));
        row("#rgb", "#abc", qRgba(0xaa, 0xbb, 0xcc, 255));
        row("#rrggbb", "#AABBCC", qRgba(0xaa, 0xbb, 0xcc, 255));
        row("keyword", "Navy", qRgba(0, 0, 128, 255));
        row("transparent", "transparent", qRgba(0, 0, 0, 0));
        row("percent channels", "rgb(50%, 100%, 10%)", qRgba(127, 255, 26, 255));
        row("percent clamped", "rgb(150%, -5%, 0%)", qRgba(255, 0, 0, 255));
        row("integers clamped", "rgb(300, -5, 20)", qRgba(255, 0, 20, 255));
        row("rgba percent alpha", "rgba(0, 0, 0, 50%)", qRgba(0, 0, 0, 128));
        row("rgba alpha clamped", "rgba(0, 0, 0, 2)", qRgba(0, 0, 0, 255));
        row("negative hue wraps", "hsl(-120, 100%, 50%)", qRgba(0, 0, 255, 255));
        row("hue above a turn", "hsl(480, 100%, 50%)", qRgba(0, 255, 0, 255));
        row("hsl without percent", "hsl(0, 50, 50)", parseCssColor("hsl(0, 50%, 50%)").rgba());
        row("hsla", "hsla(0, 100%, 50%, 0)", qRgba(255, 0, 0, 0));
        bad("empty", "");
        bad("blank", "   ");
        bad("bad channel", "rgb(1, x, 3)");
        bad("fraction channel", "rgb(1.5, 2, 3)");
        bad("rgba with three", "rgba(1, 2, 3)");
        bad("rgb with four", "rgb(1, 2, 3, 4)");
        bad("bad alpha", "rgba(1, 2, 3, half)");
        bad("hue with unit", "hsl(120deg, 50%, 50%)");
        bad("unknown word", "bluish");
        bad("five digits", "#abcde");
    }
    void parse()
    {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        QFETCH(QRgb, rgba);
        const QColor c = parseCssColor(text);
        QCOMPARE(c.isValid(), valid);
        if (valid)
            QCOMPARE(QString::number(c.rgba(), 16), QString::number(rgba, 16));
    }

    void blendAndRatio_data()
    {
        QTest::addColumn<QColor>("fg");
        QTest::addColumn<QColor>("bg");
        QTest::addColumn<QColor>("blended");
        QTest::addColumn<double>("ratio");
        const QColor halfBlack(0, 0, 0, 128);
        QTest::newRow("black on white") << QColor(Qt::black) << QColor(Qt::white)
                                        << QColor(Qt::black) << 21.0;
        QTest::newRow("self") << QColor(40, 90, 200) << QColor(40, 90, 200)
                              << QColor(40, 90, 200) << 1.0;
        QTest::newRow("half black over white is grey")
            << halfBlack << QColor(Qt::white) << QColor(127, 127, 127)
            << (1.05 / (luminanceOf(QColor(127, 127, 127)) + 0.05));
        QTest::newRow("invisible fg gives bg") << QColor(255, 0, 0, 0) << QColor(Qt::white)
                                               << QColor(Qt::white) << 1.0;
        QTest::newRow("no bg gives fg") << QColor(Qt::red) << QColor() << QColor(Qt::red)
                                        << (luminanceOf(Qt::red) + 0.05) / 0.05;
    }
    void blendAndRatio()
    {
        QFETCH(QColor, fg);
        QFETCH(QColor, bg);
        QFETCH(QColor, blended);
        QFETCH(double, ratio);
        QCOMPARE(blendColor(fg, bg).rgba(), blended.rgba());
        QVERIFY2(qAbs(contrastRatio(fg, bg) - ratio) < 1e-3,
                 qPrintable(QString::number(contrastRatio(fg, bg))));
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
        if (unchanged) {
            QCOMPARE(out.rgba(), colour.rgba());
            return;
        }
        if (kind == 2) {
            QCOMPARE(out, fallback);
            return;
        }
        QCOMPARE(out.alpha(), colour.alpha());
        if (colour.hslSaturation() > 0) {
            QVERIFY(qAbs(out.hslHue() - colour.hslHue()) <= 2);
            QVERIFY(qAbs(out.hslSaturation() - colour.hslSaturation()) <= 2);
        }
        if (kind == 0) {
            const bool dark = luminanceOf(background) < 0.5;
            const double l = luminanceOf(blendColor(out, background));
            QVERIFY2(dark ? (l <= 0.18 && l > 0.15) : (l >= 0.82 && l < 0.85), qPrintable(QString::number(l)));
        } else {
            const float r = contrastRatio(out, background);
            QVERIFY2(r >= 4.5f && r < 4.9f, qPrintable(QString::number(r)));
        }
    }
};

QTEST_APPLESS_MAIN(TestColors)
#include "tst_colors.moc"
