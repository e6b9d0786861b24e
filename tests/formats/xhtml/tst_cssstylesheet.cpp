#include "cssscanner.h"
#include "cssstylesheet.h"

#include <QRegularExpression>
#include <QtTest>

namespace {

QString selectorOf(const CssRule &rule)
{
    QString s = rule.tag.isEmpty() ? QStringLiteral("*") : rule.tag;
    if (!rule.id.isEmpty())
        s += QLatin1Char('#') + rule.id;
    for (const QString &c : rule.classes)
        s += QLatin1Char('.') + c;
    return s;
}

// "selector/specificity/order" per rule.
QString describe(const CssRuleList &rules)
{
    QStringList out;
    for (const CssRule &rule : rules)
        out << selectorOf(rule) + QStringLiteral("/%1/%2").arg(rule.specificity).arg(rule.order);
    return out.join(QLatin1Char(' '));
}

CssStyleSheet sheetOf(const QStringList &texts)
{
    CssStyleSheet sheet;
    for (const QString &text : texts)
        sheet.mergeText(text);
    return sheet;
}

ComputedStyle parentStyle(float fontSize, float rootFontSize, const QString &inlineStyle = {})
{
    ComputedStyle parent = CssStyleSheet().computeStyle(QStringLiteral("div"), {}, {}, inlineStyle, nullptr);
    parent.fontSize = fontSize;
    parent.rootFontSize = rootFontSize;
    return parent;
}

QString valueOrNone(const ComputedStyle &style, const QString &name)
{
    return style.has(name) ? style.value(name) : QStringLiteral("<none>");
}

// "name=value" per entry in key order, with "!" after important values.
QString describeDeclarations(const CssDeclarations &map)
{
    QStringList out;
    for (auto it = map.cbegin(); it != map.cend(); ++it)
        out << it.key() + QLatin1Char('=') + it->value + (it->important ? QStringLiteral("!") : QString());
    return out.join(QLatin1String(" | "));
}

}

class TestCssStyleSheet : public QObject
{
    Q_OBJECT

private slots:
    void lengths_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("unit");
        QTest::addColumn<float>("value");
        QTest::addColumn<QString>("pixels");   // font size 18, root 10, reference 20; empty: none

        QTest::newRow("auto in capitals") << "AUTO" << int(CssUnit::Auto) << 0.0f << "";
        QTest::newRow("em in capitals") << " 1.5EM " << int(CssUnit::Em) << 1.5f << "27";
        QTest::newRow("leading point") << ".5rem" << int(CssUnit::Rem) << 0.5f << "5";
        QTest::newRow("negative number") << "-2" << int(CssUnit::Number) << -2.0f << "-2";
        QTest::newRow("plus sign, points") << "+12pt" << int(CssUnit::Pt) << 12.0f << "16";
        QTest::newRow("percent of reference") << "50%" << int(CssUnit::Percent) << 50.0f << "10";
        QTest::newRow("blank before unit") << "12 px" << int(CssUnit::Invalid) << 0.0f << "";
        QTest::newRow("exponent") << "1e2px" << int(CssUnit::Invalid) << 0.0f << "";
        QTest::newRow("unknown unit") << "3ex" << int(CssUnit::Invalid) << 0.0f << "";
        QTest::newRow("sign only") << "-px" << int(CssUnit::Invalid) << 0.0f << "";
    }
    void lengths()
    {
        QFETCH(QString, text);
        const CssLength length = CssLength::parse(text);
        QTEST(int(length.unit), "unit");
        QTEST(length.value, "value");
        float px = 0.0f;
        QTEST(length.toPixels(18.0f, 10.0f, 20.0f, px) ? QString::number(double(px)) : QString(), "pixels");
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
        QCOMPARE(describeDeclarations(CssStyleSheet::parseDeclarations(block)), stored);
    }

    // Which rules a sheet yields: selectors, at-rules, comments, broken text.
    void rules_data()
    {
        QTest::addColumn<QString>("css");
        QTest::addColumn<QString>("rules");   // selector/specificity/order

        QTest::newRow("group keeps simple selectors") << "p, .note, div > p, a:hover { color: red }"
                                                      << "p/1/0 *.note/10/1";
        QTest::newRow("tag, id and class in capitals") << "P#Main.Note { color: red }" << "p#main.note/111/0";
        QTest::newRow("universal with class") << "*.x { color: red }" << "*.x/10/0";
        QTest::newRow("two classes") << ".a.b { color: red }" << "*.a.b/20/0";
        QTest::newRow("refused forms") << "#a#b, 1p, p[x], ns|p, p\\:x, p..a, p#, é { color: red }" << "";
        QTest::newRow("empty parts") << "h1 , , h2 { color: red }" << "h1/1/0 h2/1/1";
        QTest::newRow("no declarations") << "p { } q { ; nocolon }" << "";
        QTest::newRow("order counts kept rules") << "a:hover { x: y } p { x: y } div { x: y }" << "p/1/0 div/1/1";
        QTest::newRow("import and namespace") << "@import url(a.css);\n@namespace e url(x);\np{a:b}" << "p/1/0";
        QTest::newRow("statement between rules") << "p{a:b}@charset 'x'; q{c:d}" << "p/1/0 q/1/1";
        QTest::newRow("media body read as rules") << "@media screen { p { a: b } } div{a:b}" << "p/1/0 div/1/1";
        QTest::newRow("block at-rules") << "@font-face { font-family: X } @page :first { margin: 0 } p{a:b}"
                                        << "p/1/0";
        QTest::newRow("at-rule block inside media") << "@media print { @page { x: y } p { a: b } }" << "p/1/0";
        QTest::newRow("comment with braces and at") << "/* q{a:b} */ p/* } @x; { */{a:b}" << "p/1/0";
        QTest::newRow("unterminated comment") << "p{a:b} /* open q{c:d}" << "p/1/0";
        QTest::newRow("stray closing brace") << "p{a:b}} q{c:d}" << "p/1/0 q/1/1";
        QTest::newRow("unclosed block before rule") << "p{a:b q{c:d}" << "";
        QTest::newRow("unclosed last block") << "p{a:b} q { c: d" << "p/1/0";
        QTest::newRow("text without braces") << "just text; @and more" << "";
        QTest::newRow("text before rule") << "p{a:b}garbage;q{c:d}" << "p/1/0";
    }
    void rules()
    {
        QFETCH(QString, css);
        QFETCH(QString, rules);
        QCOMPARE(describe(CssStyleSheet::parse(css)), rules);
    }

    // Without statement at-rules, the scanner finds the blocks that the brace-pair
    // and comment patterns find.
    void blocksAsPatternsFind_data()
    {
        QTest::addColumn<QString>("css");
        QTest::newRow("media and font-face") << "@font-face{font-family:X;src:url(x)}\n"
                                                "@media (min-width: 1px) { .a { b: c } #d { e: f } }";
        QTest::newRow("comments") << "/* head */ p { a: b } /* between */ q /* in */ { c: d /* end */ }";
        QTest::newRow("nested supports") << "@supports (x) { @media y { p { a: b } } } q{c:d}";
    }
    void blocksAsPatternsFind()
    {
        QFETCH(QString, css);
        QString text = css;
        text.remove(QRegularExpression(QStringLiteral("/\\*.*?\\*/"),
                                       QRegularExpression::DotMatchesEverythingOption));
        QStringList expected;
        QRegularExpressionMatchIterator it =
            QRegularExpression(QStringLiteral("([^{}]+)\\{([^{}]*)\\}")).globalMatch(text);
        while (it.hasNext()) {
            const QRegularExpressionMatch m = it.next();
            expected << m.captured(1).trimmed() + QLatin1Char('|') + m.captured(2);
        }

        QStringList found;
        const QString scanned = CssScanner::removeComments(css);
        CssScanner::forEachBlock(scanned, [&found](const CssScanner::Block &block) {
            found << block.prelude.trimmed().toString() + QLatin1Char('|') + block.body.toString();
        });
        QCOMPARE(found, expected);
        QVERIFY(!found.isEmpty());
    }

    void cascade_data()
    {
        QTest::addColumn<QStringList>("sheets");
        QTest::addColumn<QString>("element");   // tag#id.classes
        QTest::addColumn<QString>("inlineStyle");
        QTest::addColumn<QString>("property");
        QTest::addColumn<QString>("expected");

        QTest::newRow("later sheet wins") << QStringList{"p{color:red}", "p{color:blue}"}
            << "p" << "" << "color" << "blue";
        QTest::newRow("class beats later tag") << QStringList{".a{color:red} p{color:blue}"}
            << "p.a" << "" << "color" << "red";
        QTest::newRow("id beats classes") << QStringList{"#x{color:red} p.a.b.c{color:blue}"}
            << "p#x.c b a" << "" << "color" << "red";
        QTest::newRow("important beats specific") << QStringList{"p{color:red !important} #x{color:blue}"}
            << "p#x" << "" << "color" << "red";
        QTest::newRow("important rule beats inline") << QStringList{"p{color:red !important}"}
            << "p" << "color: blue" << "color" << "red";
        QTest::newRow("important inline wins") << QStringList{"p{color:red !important}"}
            << "p" << "color: blue !important" << "color" << "blue";
        QTest::newRow("inline beats id") << QStringList{"#x{color:red}"}
            << "p#x" << "color: green" << "color" << "green";
        QTest::newRow("names compared in lower case") << QStringList{"P#Main.Note{color:red}"}
            << "P#MAIN.note other" << "" << "color" << "red";
        QTest::newRow("missing class") << QStringList{".a.b{color:red}"} << "p.a" << "" << "color" << "<none>";
        QTest::newRow("other tag") << QStringList{"div.a{color:red}"} << "p.a" << "" << "color" << "<none>";
        QTest::newRow("other id") << QStringList{"#x{color:red}"} << "p#y" << "" << "color" << "<none>";
        QTest::newRow("universal") << QStringList{"*{color:red}"} << "span" << "" << "color" << "red";
        QTest::newRow("class listed twice") << QStringList{"p.a{color:red}"} << "p. a  a " << "" << "color" << "red";
        QTest::newRow("inline shorthand") << QStringList{"p{margin-left:9px}"}
            << "p" << "margin: 1px 2px" << "margin-left" << "2px";
    }
    void cascade()
    {
        QFETCH(QStringList, sheets);
        QFETCH(QString, element);
        QFETCH(QString, inlineStyle);
        QFETCH(QString, property);
        QFETCH(QString, expected);
        const QRegularExpressionMatch m =
            QRegularExpression(QStringLiteral("^(\\w*)(?:#(\\w*))?(?:\\.(.*))?$")).match(element);
        const ComputedStyle style = sheetOf(sheets).computeStyle(
            m.captured(1), m.captured(2), m.captured(3), inlineStyle, nullptr);
        QCOMPARE(valueOrNone(style, property.toUpper()), expected);
    }

    void inheritanceKeywords_data()
    {
        QTest::addColumn<bool>("hasParent");   // the parent says color red, margin-left 5px
        QTest::addColumn<QString>("childStyle");
        QTest::addColumn<QString>("property");
        QTest::addColumn<QString>("expected");

        QTest::newRow("color inherited") << true << "" << "color" << "red";
        QTest::newRow("margin not inherited") << true << "" << "margin-left" << "<none>";
        QTest::newRow("inherit without parent") << false << "color: inherit" << "color" << "<none>";
        QTest::newRow("inherit in capitals") << true << "color: INHERIT" << "color" << "red";
        QTest::newRow("inherit of a plain property") << true << "margin-left: inherit" << "margin-left" << "5px";
        QTest::newRow("unset of a plain property") << true << "margin-left: unset" << "margin-left" << "<none>";
        QTest::newRow("unset of an inherited property") << true << "color: unset" << "color" << "red";
        QTest::newRow("initial") << true << "color: initial" << "color" << "<none>";
        QTest::newRow("own value") << true << "color: blue" << "color" << "blue";
    }
    void inheritanceKeywords()
    {
        QFETCH(bool, hasParent);
        QFETCH(QString, childStyle);
        QFETCH(QString, property);
        QFETCH(QString, expected);
        const ComputedStyle parent = parentStyle(16, 16, QStringLiteral("color: red; margin-left: 5px"));
        const ComputedStyle child = CssStyleSheet().computeStyle(
            QStringLiteral("p"), {}, {}, childStyle, hasParent ? &parent : nullptr);
        QCOMPARE(valueOrNone(child, property), expected);
    }

    void fontSizes_data()
    {
        QTest::addColumn<QString>("tag");
        QTest::addColumn<QString>("childStyle");   // parent: 20px, root 10px
        QTest::addColumn<float>("fontSize");
        QTest::addColumn<bool>("declared");

        QTest::newRow("nothing declared") << "p" << "" << 20.0f << false;
        QTest::newRow("heading factor") << "h1" << "" << 40.0f << false;
        QTest::newRow("small factor") << "small" << "color: red" << 16.0f << false;
        QTest::newRow("declared size replaces factor") << "h1" << "font-size: 10px" << 10.0f << true;
        QTest::newRow("inherit") << "p" << "font-size: inherit" << 20.0f << true;
        QTest::newRow("unset") << "h2" << "font-size: unset" << 20.0f << true;
        QTest::newRow("initial") << "p" << "font-size: initial" << 16.0f << true;
        QTest::newRow("smaller") << "p" << "font-size: smaller" << 16.0f << true;
        QTest::newRow("keyword") << "p" << "font-size: X-Large" << 24.0f << true;
        QTest::newRow("em") << "p" << "font-size: 2em" << 40.0f << true;
        QTest::newRow("percent") << "p" << "font-size: 150%" << 30.0f << true;
        QTest::newRow("points") << "p" << "font-size: 12pt" << 16.0f << true;
        QTest::newRow("zero") << "p" << "font-size: 0px" << 20.0f << true;
        QTest::newRow("unparsable") << "p" << "font-size: huge" << 20.0f << true;
        QTest::newRow("from font shorthand") << "p" << "font: italic 9px serif" << 9.0f << true;
    }
    void fontSizes()
    {
        QFETCH(QString, tag);
        QFETCH(QString, childStyle);
        QFETCH(float, fontSize);
        QFETCH(bool, declared);
        const ComputedStyle parent = parentStyle(20, 10);
        const ComputedStyle child = CssStyleSheet().computeStyle(tag, {}, {}, childStyle, &parent);
        QCOMPARE(child.fontSize, fontSize);
        QCOMPARE(child.declaredFontSize, declared);
    }

    void rootFontSizeFromHtml()
    {
        const CssStyleSheet sheet = sheetOf({QStringLiteral("html { font-size: 10px } p { font-size: 2rem }"
                                                           " span { font-family: 'A B' }")});
        const ComputedStyle html = sheet.computeStyle(QStringLiteral("HTML"), {}, {}, {}, nullptr);
        const ComputedStyle body = sheet.computeStyle(QStringLiteral("body"), {}, {}, {}, &html);
        const ComputedStyle p = sheet.computeStyle(QStringLiteral("p"), {}, {}, {}, &body);
        const ComputedStyle span = sheet.computeStyle(QStringLiteral("span"), {}, {}, {}, &p);
        QCOMPARE(p.fontSize, 20.0f);
        QCOMPARE(span.fontSize, 20.0f);
        QCOMPARE(span.fontFamily, QStringLiteral("'A B'"));
        QVERIFY(span.declaredFontFamily && !span.declaredFontSize);
        QCOMPARE(span.fontSizeText, QStringLiteral("2rem"));
        QCOMPARE(span.length(QStringLiteral("Font-Size")).unit, CssUnit::Rem);
    }

    // An empty sheet and a sheet whose rules match nothing give the same style.
    void emptySheetAsGeneralPath()
    {
        const ComputedStyle parent = parentStyle(18, 12, QStringLiteral("color: red; font: 18px Serif; margin: 1px"));
        const CssStyleSheet unmatched = sheetOf({QStringLiteral("nothing-here { color: blue }")});
        for (const char *tag : {"p", "h3"}) {
            const ComputedStyle a = CssStyleSheet().computeStyle(tag, {}, {}, QStringLiteral("  "), &parent);
            const ComputedStyle b = unmatched.computeStyle(tag, {}, {}, {}, &parent);
            QCOMPARE(a.values, b.values);
            QCOMPARE(a.fontSize, b.fontSize);
            QCOMPARE(a.fontFamily, b.fontFamily);
            QCOMPARE(a.fontSizeText, b.fontSizeText);
            QVERIFY(!a.declaredFontFamily && !b.declaredFontFamily);
            QCOMPARE(a.values.value(QStringLiteral("font-family")), QStringLiteral("Serif"));
        }
    }

    void parseAllKeepsEveryPath()
    {
        const CssStyleSheetMap sheets = CssStyleSheet::parseAll({{"b.css", "p{a:b}"}, {"a.css", "garbage"}});
        QCOMPARE(sheets.keys(), (QStringList{"a.css", "b.css"}));
        QCOMPARE(describe(sheets.value("a.css")) + '|' + describe(sheets.value("b.css")), QStringLiteral("|p/1/0"));
    }
};

QTEST_APPLESS_MAIN(TestCssStyleSheet)
#include "tst_cssstylesheet.moc"
