// FB2 run styles from the style sheet, element semantics and attributes, and
// how white space and inline elements become chunks.

#include "fb2parser.h"
#include "fontregistry.h"

#include <QXmlStreamReader>
#include <QtTest>

namespace {

// The reader on the start tag of the one element inside a wrapper.
void openElement(QXmlStreamReader &reader, const QString &element)
{
    reader.addData(QStringLiteral("<x xmlns:l=\"http://www.w3.org/1999/xlink\">") + element
                   + QStringLiteral("</x>"));
    reader.readNextStartElement();
    reader.readNextStartElement();
}

QString describe(const Fb2RunStyle &s)
{
    return QStringLiteral("%1%2%3%4 w%5 x%6 %7 v%8 %9")
        .arg(s.bold ? "B" : "").arg(s.italic ? "I" : "").arg(s.underline ? "U" : "")
        .arg(s.strikethrough ? "S" : "").arg(s.fontWeight).arg(QString::number(s.fontScale, 'g', 3))
        .arg(s.color).arg(s.vertAlign).arg(s.anchorHref).simplified();
}

}

class TestFb2Styles : public QObject
{
    Q_OBJECT
private slots:
    void elementStyle_data()
    {
        QTest::addColumn<QString>("css");
        QTest::addColumn<QString>("element");
        QTest::addColumn<int>("level");
        QTest::addColumn<QString>("style");   // describe() of the element's style

        QTest::newRow("px under a plain body") << "p{font-size:24px}" << "<p/>" << 0 << "w0 x1.5 v0";
        QTest::newRow("px under a 2em body") << "body{font-size:2em} p{font-size:24px}" << "<p/>" << 0 << "w0 x0.75 v0";
        QTest::newRow("em clamped high") << "p{font-size:10em}" << "<p/>" << 0 << "w0 x3 v0";
        QTest::newRow("px clamped low") << "p{font-size:1px}" << "<p/>" << 0 << "w0 x0.6 v0";
        QTest::newRow("rem does not read") << "p{font-size:2rem}" << "<p/>" << 0 << "w0 x1 v0";
        QTest::newRow("percent and pt") << "p{font-size:150%} .a{font-size:24pt}" << "<p style=\"a\"/>" << 0 << "w0 x2 v0";
        QTest::newRow("keyword") << "p{font-size:x-large}" << "<p/>" << 0 << "w0 x1.5 v0";
        QTest::newRow("smaller") << ".s{font-size:smaller}" << "<p style=\"s\"/>" << 0 << "w0 x0.833 v0";
        QTest::newRow("commented rule, weight 650")
            << "/* p{font-weight:100} */ p{font-weight:650}" << "<p/>" << 0 << "B w650 x1 v0";
        QTest::newRow("selector list inside @media")
            << "@media screen{h1, p{color:red}}" << "<p/>" << 0 << "w0 x1 red v0";
        QTest::newRow("weight clamped") << "p{font-weight:1200}" << "<p/>" << 0 << "B w900 x1 v0";
        QTest::newRow("weight normal after strong") << "strong{font-weight:normal}" << "<strong/>" << 0 << "w400 x1 v0";
        QTest::newRow("weight 300") << "p{font-weight:300}" << "<p/>" << 0 << "w300 x1 v0";
        QTest::newRow("style element: class rules in order")
            << ".note{color:red} style.note{color:blue;font-style:italic}" << "<style name=\"note\"/>" << 0
            << "I w0 x1 blue v0";
        QTest::newRow("inline declarations")
            << "" << "<p style=\"font-style:oblique; text-decoration: underline line-through; color:#123\"/>" << 0
            << "IUS w0 x1 #123 v0";
        QTest::newRow("font size +2") << "" << "<font size=\"+2\"/>" << 0 << "w0 x1.5 v0";
        QTest::newRow("font size 9") << "" << "<font size=\"9\"/>" << 0 << "w0 x3 v0";
        QTest::newRow("font size 1, colour") << "" << "<font size=\"1\" color=\"red\"/>" << 0 << "w0 x0.63 red v0";
        QTest::newRow("title at level 9") << "" << "<title/>" << 9 << "w0 x0.67 v0";
        QTest::newRow("subtitle") << "" << "<subtitle/>" << 0 << "w0 x1.17 v0";
        QTest::newRow("sup") << "" << "<sup/>" << 0 << "w0 x0.8 v1";
        QTest::newRow("strikethrough and strong") << "" << "<strikethrough/>" << 0 << "S w0 x1 v0";
        QTest::newRow("link with a prefixed href") << "" << "<a l:href=\" #n1 \"/>" << 0 << "w0 x1 v0 #n1";
    }
    void elementStyle()
    {
        QFETCH(QString, css);
        QFETCH(QString, element);
        QFETCH(int, level);
        Fb2StyleSheet sheet;
        Fb2Parser::parseStylesheet(sheet, css);
        const Fb2RunStyle body = Fb2Parser::bodyStyle(sheet, QXmlStreamAttributes());
        QXmlStreamReader reader;
        openElement(reader, element);
        QTEST(describe(Fb2Parser::elementStyle(sheet, reader.name().toString(), reader.attributes(),
                                               body, level)),
              "style");
    }

    // A family is matched to the weight the element ends with, whichever rule set it.
    void fontFamily_data()
    {
        QTest::addColumn<QString>("css");
        QTest::addColumn<QString>("element");
        QTest::newRow("bold after the family") << "p{font-family:Book}" << "<p style=\"font-weight:bold\"/>";
        QTest::newRow("bold in the family's rule") << "p{font-family:Book;font-weight:bold}" << "<p/>";
    }
    void fontFamily()
    {
        QFETCH(QString, css);
        QFETCH(QString, element);
        FontRegistry &registry = FontRegistry::instance();
        registry.clearAll();
        registry.setActiveBook(QStringLiteral("b"));
        const QString bold = registry.substituteFamily(QStringLiteral("Book"), 700, false, {QStringLiteral("DejaVu Sans")});
        Fb2StyleSheet sheet;
        Fb2Parser::parseStylesheet(sheet, css);
        QXmlStreamReader reader;
        openElement(reader, element);
        QCOMPARE(Fb2Parser::elementStyle(sheet, reader.name().toString(), reader.attributes(), Fb2RunStyle(), 0).fontFamily, bold);
        registry.clearAll();
    }

    void inlineText_data()
    {
        QTest::addColumn<QString>("paragraph");
        // Paragraphs joined by " / ", chunks by "|", italic chunks marked "*".
        QTest::addColumn<QString>("chunks");
        QTest::newRow("spaces collapse, keep the style where they stand")
            << "<p>  Hello   <emphasis>big</emphasis>\n  world  </p>" << "Hello |*big| world";
        QTest::newRow("only white space") << "<p> \n\t </p>" << "";
        QTest::newRow("no-break and ideographic spaces")
            << QString::fromUtf8("<p>a\u00a0\u00a0b\u3000c</p>") << "a b c";
        QTest::newRow("space across elements") << "<p>a <strong> </strong> b</p>" << "a b";
        QTest::newRow("empty-line changes nothing") << "<p>a<empty-line/>b</p>" << "ab";
        QTest::newRow("inline image splits") << "<p>A <image l:href=\"#img\"/> B</p>" << "A / [img] / B";
        QTest::newRow("unsaved image dropped") << "<p>A<image l:href=\"#none\"/>B</p>" << "A / B";
        QTest::newRow("equal styles share a chunk") << "<p>a<emphasis>b<strong/>c</emphasis></p>" << "a|*bc";
    }
    void inlineText()
    {
        QFETCH(QString, paragraph);
        Fb2Images images;
        images.paths.insert(QStringLiteral("img"), QStringLiteral("/book/images/img.png"));
        QXmlStreamReader reader;
        openElement(reader, paragraph);
        const QVector<Paragraph> out =
            Fb2Parser::readParagraph(reader, 0, images, Fb2StyleSheet(), Fb2RunStyle(), 1, 0);
        QStringList paragraphs;
        for (const Paragraph &p : out) {
            QStringList chunks;
            for (const TextChunk &c : p.chunks)
                chunks << (c.italic ? "*" : "") + c.text;
            paragraphs << (p.kind == Paragraph::Image ? QStringLiteral("[img]") : chunks.join('|'));
        }
        QTEST(paragraphs.join(QStringLiteral(" / ")), "chunks");
    }
};

QTEST_MAIN(TestFb2Styles)
#include "tst_fb2styles.moc"
