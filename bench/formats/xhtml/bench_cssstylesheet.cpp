#include "cssstylesheet.h"
#include "epubunifiedparser.h"

#include <QRandomGenerator>
#include <QtTest>

namespace {

const QStringList tags{"p", "div", "span", "em", "a", "li", "h1", "h2", "h3", "blockquote", "td", "small"};

// About 200 KB in the shape of a book's style sheet: a charset line, comments,
// font faces, media blocks, selector groups with shorthands.
QString generatedSheet()
{
    QString css = QStringLiteral("@charset \"UTF-8\";\n@import url(base.css);\n");
    for (int i = 0; css.size() < 200 * 1024; ++i) {
        if (i % 50 == 0)
            css += QStringLiteral("/* section %1 { } */\n@font-face { font-family: 'F%1'; font-weight: bold;"
                                  " src: url(../fonts/f%1.woff2) format('woff2'), local('F%1'); }\n").arg(i);
        if (i % 40 == 0)
            css += QStringLiteral("@media screen and (min-width: %1px) { .m%1 { display: none } }\n").arg(i);
        css += QStringLiteral("%1.c%2, #i%2, div > .c%2, a:hover {\n  margin: 1em %3px;\n"
                              "  font: italic bold %3px/1.4 Georgia, serif;\n  color: #%4;\n"
                              "  background: #fff !important;\n  text-indent: 2em;\n}\n")
                   .arg(tags[i % tags.size()]).arg(i).arg(i % 30).arg(i % 4096, 3, 16, QLatin1Char('0'));
    }
    return css;
}

// Printable text without braces, with the at-signs, semicolons and comment openers
// that send a pattern-based reader back to every position.
QString garbage(int size, const QString &prefix)
{
    static const QString alphabet = QStringLiteral("abcdefgh ;:@/*.#,-0123456789\n");
    QRandomGenerator random(7);
    QString text = prefix;
    text.reserve(size);
    while (text.size() < size) {
        const QChar c = alphabet[random.bounded(alphabet.size())];
        if (c == QLatin1Char('/') && text.endsWith(QLatin1Char('*')))
            continue;   // keep an opened comment open
        text += c;
    }
    return text;
}

}

class BenchCssStyleSheet : public QObject
{
    Q_OBJECT

private slots:
    void parseSheet()
    {
        const QString css = generatedSheet();
        CssRuleList rules;
        QBENCHMARK {
            rules = CssStyleSheet::parse(css);
        }
        QVERIFY(rules.size() > 1000);
        static bool reported = false;
        if (!reported)
            qInfo("%d characters, %d rules", css.size(), rules.size());
        reported = true;
    }

    void parseGarbage_data()
    {
        QTest::addColumn<QString>("css");
        QTest::newRow("no braces, 0.5 MB") << garbage(512 * 1024, {});
        QTest::newRow("no braces, 1 MB") << garbage(1024 * 1024, {});
        QTest::newRow("unterminated comment, 0.5 MB") << garbage(512 * 1024, QStringLiteral("p{a:b} /*"));
        QTest::newRow("unterminated comment, 1 MB") << garbage(1024 * 1024, QStringLiteral("p{a:b} /*"));
        QTest::newRow("unclosed blocks, 1 MB") << QStringLiteral("p { color: red ").repeated(1024 * 1024 / 15);
    }
    void parseGarbage()
    {
        QFETCH(QString, css);
        CssRuleList rules;
        QBENCHMARK {
            rules = CssStyleSheet::parse(css);
        }
        QVERIFY(rules.size() <= 1);
    }

    void fontFacesGarbage_data()
    {
        QTest::addColumn<QString>("css");
        QTest::newRow("unclosed sources, 0.5 MB")
            << "@font-face { font-family: A; src: " + QStringLiteral("url(").repeated(128 * 1024) + " }";
        QTest::newRow("unclosed sources, 1 MB")
            << "@font-face { font-family: A; src: " + QStringLiteral("url(").repeated(256 * 1024) + " }";
    }
    void fontFacesGarbage()
    {
        QFETCH(QString, css);
        QVector<FontFaceRule> faces;
        QBENCHMARK {
            faces = EpubUnifiedParser::parseFontFaces({{QStringLiteral("a.css"), css}});
        }
        QVERIFY(faces.isEmpty());
    }

    void computeStyle_data()
    {
        QTest::addColumn<bool>("plainTagRules");
        // Tag rules mostly carry a class, as in books: a handful of rules match each element.
        QTest::newRow("2,000 rules, mostly tag.class") << false;
        // Every fourth rule a bare tag: each element matches about 45 rules.
        QTest::newRow("2,000 rules, 500 bare tags") << true;
    }
    // 2,000 rules of every bucket kind over 50,000 elements nested up to six deep.
    void computeStyle()
    {
        QFETCH(bool, plainTagRules);
        QString css;
        for (int i = 0; i < 2000; ++i) {
            switch (i % 4) {
            case 0: css += QStringLiteral("p.c%1").arg(i % 300); break;
            case 1: css += QStringLiteral(".c%1.d%2").arg(i % 300).arg(i % 7); break;
            case 2: css += QStringLiteral("#id%1").arg(i % 500); break;
            default:
                css += tags[i % tags.size()];
                if (!plainTagRules && i >= 100)
                    css += QStringLiteral(".k%1").arg(i % 100);
                break;
            }
            css += QStringLiteral(" { color: #%1; margin-left: %2px; font-size: 1.%3em }\n")
                       .arg(i % 4096, 3, 16, QLatin1Char('0')).arg(i % 20).arg(i % 10);
        }
        CssStyleSheet sheet;
        sheet.mergeText(css);
        QCOMPARE(sheet.rules().size(), 2000);

        // Element names made once, so that the loop measures the cascade alone.
        const int elements = 50000;
        QStringList classes, ids, styles;
        for (int i = 0; i < elements; ++i) {
            classes << QStringLiteral("c%1 d%2 k%3").arg(i % 300).arg(i % 7).arg(i % 100);
            ids << (i % 10 == 0 ? QStringLiteral("id%1").arg(i % 500) : QString());
            styles << (i % 20 == 0 ? QStringLiteral("font-weight: bold") : QString());
        }
        float total = 0;
        QBENCHMARK {
            QVector<ComputedStyle> stack;
            stack.reserve(8);
            stack.append(sheet.computeStyle(QStringLiteral("body"), {}, {}, {}, nullptr));
            for (int i = 0; i < elements; ++i) {
                while (stack.size() > 1 + i % 6)
                    stack.removeLast();
                stack.append(sheet.computeStyle(tags[i % tags.size()], ids[i], classes[i], styles[i],
                                                &stack.last()));
                total += stack.last().fontSize;
            }
        }
        QVERIFY(total > 0);
    }
    // A document linking its sheet over and over: time in proportion to the links.
    void linkedRepeatedly_data()
    {
        QTest::addColumn<int>("links");
        QTest::newRow("5,000 links") << 5000;
        QTest::newRow("20,000 links") << 20000;
    }
    void linkedRepeatedly()
    {
        QFETCH(int, links);
        const CssStyleSheetMap sheets = CssStyleSheet::parseAll(
            {{"OEBPS/s.css", "p{margin:0} h1{color:red} .big{font-size:2em} #t{color:blue} a{color:green}"}});
        const QString xhtml = QStringLiteral("<html xmlns=\"http://www.w3.org/1999/xhtml\"><head>%1</head>"
                                             "<body><p class='big'>x</p></body></html>")
                                  .arg(QStringLiteral("<link href='s.css'/>").repeated(links));
        QBENCHMARK {
            EpubUnifiedParser::convertXhtml(xhtml, sheets, {{"OEBPS/s.css", "OEBPS/s.css"}}, {},
                                            "OEBPS/c.xhtml", "OEBPS/content.opf", "", {}, {});
        }
    }
};

QTEST_APPLESS_MAIN(BenchCssStyleSheet)
#include "bench_cssstylesheet.moc"
