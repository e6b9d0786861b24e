#include "epubunifiedparser.h"

#include <QtTest>

namespace {

// "path:family:weight[:italic] -> url a.ttf (truetype), local Foo" per rule.
QStringList describe(const QVector<FontFaceRule> &rules)
{
    QStringList out;
    for (const FontFaceRule &rule : rules) {
        QStringList sources;
        for (const FontFaceSource &s : rule.sources)
            sources << (s.isUrl ? QStringLiteral("url ") : QStringLiteral("local ")) + s.value
                           + (s.format.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(s.format));
        out << QStringLiteral("%1:%2:%3%4 -> %5")
                   .arg(rule.stylesheetPath, rule.family).arg(rule.weight)
                   .arg(rule.italic ? QStringLiteral(":italic") : QString(), sources.join(QLatin1String(", ")));
    }
    return out;
}

QVector<FontFaceRule> fromBlock(const QString &declarations)
{
    return EpubUnifiedParser::parseFontFaces(
        {{QStringLiteral("s.css"), QStringLiteral("@font-face {%1}").arg(declarations)}});
}

}

class TestFontFace : public QObject
{
    Q_OBJECT

private slots:
    // Weight and slant of a rule that otherwise reads.
    void faceStyle_data()
    {
        QTest::addColumn<QString>("declarations");
        QTest::addColumn<int>("weight");
        QTest::addColumn<bool>("italic");

        QTest::newRow("absent") << "" << 400 << false;
        QTest::newRow("below range") << "font-weight: 50" << 100 << false;
        QTest::newRow("above range") << "font-weight: 1000" << 900 << false;
        QTest::newRow("huge") << "font-weight: 99999999999" << 900 << false;
        QTest::newRow("normal") << "font-weight: normal" << 400 << false;
        QTest::newRow("range") << "font-weight: 100 900" << 400 << false;
        QTest::newRow("bold") << "font-weight: Bold" << 700 << false;
        QTest::newRow("oblique") << "font-style: Oblique" << 400 << true;
        QTest::newRow("italic") << "font-style: italic; font-weight: 300" << 300 << true;
        QTest::newRow("oblique with angle") << "font-style: oblique 10deg" << 400 << false;
        QTest::newRow("later declaration wins") << "font-style: italic; font-style: normal" << 400 << false;
    }
    void faceStyle()
    {
        QFETCH(QString, declarations);
        QFETCH(int, weight);
        QFETCH(bool, italic);
        const QVector<FontFaceRule> rules = fromBlock("font-family: F; src: url(f.ttf); " + declarations);
        QCOMPARE(rules.size(), 1);
        QCOMPARE(rules[0].weight, weight);
        QCOMPARE(rules[0].italic, italic);
    }

    void sources_data()
    {
        QTest::addColumn<QString>("src");
        QTest::addColumn<QString>("sources");   // empty: the rule is dropped

        QTest::newRow("url with format, then local")
            << "url('a.woff2') format('WOFF2'), local('Foo')" << "url a.woff2 (woff2), local Foo";
        QTest::newRow("keyword in capitals") << "URL(x.ttf)" << "url x.ttf";
        QTest::newRow("spaces inside") << "url(  \"Fonts/A B.otf\"  )  format ( opentype )"
                                       << "url Fonts/A B.otf (opentype)";
        QTest::newRow("empty item dropped") << "url(), local(\"\"), url(b.ttf)" << "url b.ttf";
        QTest::newRow("no items") << "none" << "";
        QTest::newRow("unclosed item") << "url(a.ttf" << "";
        QTest::newRow("unclosed item after a good one") << "local(A), url(b.ttf" << "local A";
        QTest::newRow("keyword without parenthesis") << "url a, url(b.ttf)" << "url b.ttf";
    }
    void sources()
    {
        QFETCH(QString, src);
        QFETCH(QString, sources);
        const QStringList rules = describe(fromBlock("font-family: F; src: " + src));
        QCOMPARE(rules, sources.isEmpty() ? QStringList() : QStringList{"s.css:F:400 -> " + sources});
    }

    // Which rules a set of sheets yields, in which order.
    void rules_data()
    {
        QTest::addColumn<QStringList>("sheets");   // path, text, path, text ...
        QTest::addColumn<QStringList>("rules");

        QTest::newRow("sorted by path, then position")
            << QStringList{"b.css", "@font-face{font-family:B1;src:url(1)} @font-face{font-family:B2;src:url(2)}",
                           "a.css", "p{} @font-face{font-family:A;src:url(3)}"}
            << QStringList{"a.css:A:400 -> url 3", "b.css:B1:400 -> url 1", "b.css:B2:400 -> url 2"};
        QTest::newRow("same family twice")
            << QStringList{"s.css", "@font-face{font-family:\"F\";src:url(r.ttf)}"
                                    "@font-face{font-family:'F';font-weight:bold;src:url(b.ttf)}"}
            << QStringList{"s.css:F:400 -> url r.ttf", "s.css:F:700 -> url b.ttf"};
        QTest::newRow("family list kept as written")
            << QStringList{"s.css", "@font-face{font-family: 'A', serif; src: url(a)}"}
            << QStringList{"s.css:'A', serif:400 -> url a"};
        QTest::newRow("comment before the family")
            << QStringList{"s.css", "@font-face{src:url(a); /* the face */ font-family: A /* x */;}"}
            << QStringList{"s.css:A:400 -> url a"};
        QTest::newRow("comment between keyword and brace")
            << QStringList{"s.css", "@font-face /* x */ {font-family: A; src: url(a)}"}
            << QStringList{"s.css:A:400 -> url a"};
        QTest::newRow("commented-out rule")
            << QStringList{"s.css", "/* @font-face{font-family:A;src:url(a)} */"} << QStringList{};
        QTest::newRow("keyword in capitals, inside media")
            << QStringList{"s.css", "@media screen { @FONT-FACE { font-family: A; src: url(a) } }"}
            << QStringList{"s.css:A:400 -> url a"};
        QTest::newRow("brace inside block")
            << QStringList{"s.css", "@font-face { font-family: A; { src: url(a) } @font-face{font-family:B;src:url(b)}"}
            << QStringList{"s.css:B:400 -> url b"};
        QTest::newRow("no family") << QStringList{"s.css", "@font-face{font-family: ''; src: url(a)}"}
                                   << QStringList{};
        QTest::newRow("unclosed block") << QStringList{"s.css", "@font-face{font-family:A;src:url(a)"}
                                        << QStringList{};
    }
    void rules()
    {
        QFETCH(QStringList, sheets);
        QFETCH(QStringList, rules);
        QMap<QString, QString> texts;
        for (int i = 0; i + 1 < sheets.size(); i += 2)
            texts.insert(sheets[i], sheets[i + 1]);
        QCOMPARE(describe(EpubUnifiedParser::parseFontFaces(texts)), rules);
    }

    void declarationsAndQuotes()
    {
        const QMap<QString, QString> d = EpubUnifiedParser::parseFontFaceDeclarations(
            QStringLiteral(" Font-Family : X ; :bad; novalue: ; src: url(a) !important; src: url(b)"));
        QCOMPARE(d, (QMap<QString, QString>{{"font-family", "X"}, {"src", "url(b)"}}));

        const QStringList in{" ' A ' ", "\"B\"", "'C\"", "'", "\"", "'D'E'", "plain"};
        const QStringList out{"A", "B", "'C\"", "'", "\"", "D'E", "plain"};
        for (int i = 0; i < in.size(); ++i)
            QCOMPARE(EpubUnifiedParser::unquoteCssValue(in[i]), out[i]);
    }
};

QTEST_APPLESS_MAIN(TestFontFace)
#include "tst_fontface.moc"
