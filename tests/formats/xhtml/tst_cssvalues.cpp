#include "cssstylesheet.h"

#include <QtTest>

namespace {

// "name=value" per entry in key order, with "!" after important values.
QString describe(const CssDeclarations &map)
{
    QStringList out;
    for (auto it = map.cbegin(); it != map.cend(); ++it)
        out << it.key() + QLatin1Char('=') + it->value + (it->important ? QStringLiteral("!") : QString());
    return out.join(QLatin1String(" | "));
}

}

class TestCssValues : public QObject
{
    Q_OBJECT

private slots:
    void lengths_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("unit");
        QTest::addColumn<float>("value");

        QTest::newRow("auto in capitals") << "AUTO" << int(CssUnit::Auto) << 0.0f;
        QTest::newRow("em in capitals") << " 1.5EM " << int(CssUnit::Em) << 1.5f;
        QTest::newRow("leading point") << ".5rem" << int(CssUnit::Rem) << 0.5f;
        QTest::newRow("trailing point") << "5.px" << int(CssUnit::Px) << 5.0f;
        QTest::newRow("negative number") << "-2" << int(CssUnit::Number) << -2.0f;
        QTest::newRow("plus sign, points") << "+12pt" << int(CssUnit::Pt) << 12.0f;
        QTest::newRow("percent") << "50%" << int(CssUnit::Percent) << 50.0f;
        QTest::newRow("blank before unit") << "12 px" << int(CssUnit::Invalid) << 0.0f;
        QTest::newRow("exponent") << "1e2px" << int(CssUnit::Invalid) << 0.0f;
        QTest::newRow("unknown unit") << "3ex" << int(CssUnit::Invalid) << 0.0f;
        QTest::newRow("sign only") << "-px" << int(CssUnit::Invalid) << 0.0f;
        QTest::newRow("point only") << "." << int(CssUnit::Invalid) << 0.0f;
        QTest::newRow("empty") << "" << int(CssUnit::Invalid) << 0.0f;
    }
    void lengths()
    {
        QFETCH(QString, text);
        QFETCH(int, unit);
        QFETCH(float, value);
        const CssLength length = CssLength::parse(text);
        QCOMPARE(int(length.unit), unit);
        QCOMPARE(length.value, value);
        QCOMPARE(length.isSet(), unit != int(CssUnit::Invalid));
    }

    void pixels_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("converts");
        QTest::addColumn<float>("pixels");   // font size 18, root 10, reference 20

        QTest::newRow("points") << "12pt" << true << 16.0f;
        QTest::newRow("percent of reference") << "50%" << true << 10.0f;
        QTest::newRow("em of font size") << "2em" << true << 36.0f;
        QTest::newRow("rem of root") << "2rem" << true << 20.0f;
        QTest::newRow("unitless") << "7" << true << 7.0f;
        QTest::newRow("auto") << "auto" << false << -1.0f;
        QTest::newRow("invalid") << "3ex" << false << -1.0f;
    }
    void pixels()
    {
        QFETCH(QString, text);
        QFETCH(bool, converts);
        QFETCH(float, pixels);
        float out = -1.0f;
        QCOMPARE(CssLength::parse(text).toPixels(18.0f, 10.0f, 20.0f, out), converts);
        QCOMPARE(out, pixels);
    }

    // Blocks and every shorthand: what ends up in the map.
    void declarations_data()
    {
        QTest::addColumn<QString>("block");
        QTest::addColumn<QString>("stored");

        QTest::newRow("later wins") << "color: red; color: blue" << "color=blue";
        QTest::newRow("important stays") << "color: red !important; color: blue" << "color=red!";
        QTest::newRow("important replaces important") << "color: red !important; color: blue !IMPORTANT"
                                                      << "color=blue!";
        QTest::newRow("name lower, value case kept") << "  COLOR :  Red  " << "color=Red";
        QTest::newRow("marker without value") << "color: !important" << "";
        QTest::newRow("unusable pieces") << ":x; a: ; nocolon; ;; b:c" << "b=c";
        QTest::newRow("semicolon in quotes splits") << "content: 'a;b'" << "content='a";

        QTest::newRow("margin two values") << "margin: 1em 2em"
            << "margin-bottom=1em | margin-left=2em | margin-right=2em | margin-top=1em";
        QTest::newRow("margin three values") << "margin:1px 2px 3px"
            << "margin-bottom=3px | margin-left=2px | margin-right=2px | margin-top=1px";
        QTest::newRow("margin five values dropped") << "margin: 1px 2px 3px 4px 5px" << "";
        QTest::newRow("side after shorthand") << "margin: 0; margin-left: 5px"
            << "margin-bottom=0 | margin-left=5px | margin-right=0 | margin-top=0";
        QTest::newRow("important padding kept") << "padding: 1px !important; padding-top: 9px"
            << "padding-bottom=1px! | padding-left=1px! | padding-right=1px! | padding-top=1px!";

        QTest::newRow("font full") << "font: italic bold 12px/1.5 Georgia, serif"
            << "font=italic bold 12px/1.5 Georgia, serif | font-family=Georgia, serif | font-size=12px";
        QTest::newRow("font size and line height") << "font: 12px/1.5" << "font=12px/1.5 | font-size=12px";
        QTest::newRow("font keyword size") << "font: Small-Caps LARGE Arial"
            << "font=Small-Caps LARGE Arial | font-family=Arial | font-size=large";
        QTest::newRow("font inherit") << "font: inherit"
            << "font=inherit | font-family=inherit | font-size=inherit";
        QTest::newRow("font weight only") << "font: bold" << "font=bold";
        QTest::newRow("font unitless number") << "font: 700 serif"
            << "font=700 serif | font-family=serif | font-size=700";
        QTest::newRow("font important") << "font: 10pt Sans !important; font-size: 20px"
            << "font=10pt Sans! | font-family=Sans! | font-size=10pt!";

        QTest::newRow("background hex") << "background: #fff" << "background-color=#fff";
        QTest::newRow("background rgb") << "background: rgb(0, 0, 0)" << "background-color=rgb(0, 0, 0)";
        QTest::newRow("background colour and image") << "background: white url(a.png)"
                                                     << "background=white url(a.png)";
        QTest::newRow("background lone url") << "background: URL(a.png)" << "background=URL(a.png)";
    }
    void declarations()
    {
        QFETCH(QString, block);
        QFETCH(QString, stored);
        QCOMPARE(describe(CssStyleSheet::parseDeclarations(block)), stored);
    }
};

QTEST_APPLESS_MAIN(TestCssValues)
#include "tst_cssvalues.moc"
