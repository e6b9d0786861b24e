#include "epubunifiedparser.h"

#include <QImage>
#include <QTemporaryDir>
#include <QtTest>

namespace {

using StringMap = QMap<QString, QString>;

QString page(const QString &body, const QString &css)
{
    return QStringLiteral("<html xmlns=\"http://www.w3.org/1999/xhtml\" "
                          "xmlns:epub=\"http://www.idpf.org/2007/ops\"><head><style>%1</style>"
                          "</head><body>%2</body></html>").arg(css, body);
}

XhtmlConvertResult convert(const QString &body, const QString &css = QString(),
                           const StringMap &resources = {}, const StringMap &types = {})
{
    return EpubUnifiedParser::convertXhtml(page(body, css), {}, resources, types,
                                           QStringLiteral("OEBPS/Text/c.xhtml"),
                                           QStringLiteral("OEBPS/content.opf"),
                                           QStringLiteral("zip://b.epub::"), {}, {});
}

// "text{flags}" per chunk of every paragraph; flags only where a chunk differs from
// plain text.
QString runs(const XhtmlConvertResult &r)
{
    QStringList out;
    for (const Paragraph &p : r.paragraphs) {
        for (const TextChunk &c : p.chunks) {
            QStringList f;
            if (c.bold) f << "b";
            if (c.italic) f << "i";
            if (c.underline) f << "u";
            if (c.strikethrough) f << "s";
            if (c.fontWeight != (c.bold ? 700 : 400)) f << QStringLiteral("w%1").arg(c.fontWeight);
            if (!qFuzzyCompare(c.fontScale, 1.0f)) f << QStringLiteral("x%1").arg(double(c.fontScale));
            if (!c.color.isEmpty()) f << "c=" + c.color;
            if (!c.highlightColor.isEmpty()) f << "h=" + c.highlightColor;
            if (c.vertAlign) f << QStringLiteral("v%1").arg(c.vertAlign);
            if (!c.anchorHref.isEmpty()) f << "a=" + c.anchorHref;
            out << c.text + "{" + f.join(' ') + "}";
        }
    }
    return out.join(' ');
}

// The layout fields of the first paragraph.
QString block(const XhtmlConvertResult &r)
{
    if (r.paragraphs.isEmpty())
        return QStringLiteral("none");
    const Paragraph &p = r.paragraphs.first();
    return QStringLiteral("k%1 a%2 l%3 r%4 i%5 t%6 b%7 h%8 bg=%9 doc=%10")
        .arg(p.kind).arg(p.alignment).arg(double(p.marginLeft)).arg(double(p.marginRight))
        .arg(double(p.textIndent)).arg(double(p.spaceBefore)).arg(double(p.spaceAfter))
        .arg(double(p.lineHeight)).arg(p.bgColor, p.documentBgColor);
}

}

class TestXhtmlStyles : public QObject
{
    Q_OBJECT

private slots:
    void runStyles_data()
    {
        QTest::addColumn<QString>("css");
        QTest::addColumn<QString>("body");
        QTest::addColumn<QString>("expected");
        QTest::newRow("font scale and limits")
            << ".a{font-size:32px} .b{font-size:100px} .c{font-size:4px}"
            << "<p><span class='a'>A</span><span class='b'>B</span><span class='c'>C</span></p>"
            << "A{x2} B{x3} C{x0.6}";
        QTest::newRow("weights")
            << ".a{font-weight:650} .b{font-weight:bolder} .c{font-weight:550} .d{font-weight:1000}"
            << "<p><span class='a'>A</span><span class='b'>B</span><span class='c'>C</span>"
               "<span class='d'>D</span></p>"
            << "A{b w650} B{b} C{w550} D{b w900}";
        QTest::newRow("css overrides the tag") << "b{font-weight:normal}" << "<p><b>x</b></p>" << "x{}";
        QTest::newRow("inline tags")
            << "" << "<p><b>b</b><i>i</i><u>u</u><del>d</del><sup>p</sup><sub>s</sub></p>"
            << "b{b} i{i} u{u} d{s} p{v1} s{v2}";
        QTest::newRow("links but not note references")
            << "" << "<p><a href='c2.xhtml#x'>go</a><a epub:type='noteref' href='#n'>1</a></p>"
            << "go{a=c2.xhtml#x} 1{}";
        QTest::newRow("colour, highlight, decoration")
            << ".h{background-color:yellow; text-decoration:underline line-through; color:#123}"
            << "<p><span class='h'>x</span></p>" << "x{u s c=#123 h=yellow}";
        QTest::newRow("paragraph background is not a highlight")
            << "p{background-color:gray}" << "<p>x</p>" << "x{}";
        QTest::newRow("font size attribute")
            << "" << "<p><font size='+2'>a</font><font size='1'>b</font><font size='x'>c</font></p>"
            << "a{x1.5} b{x0.63} c{}";
        QTest::newRow("colour attribute and th bold")
            << "" << "<p><font color='red'>r</font></p><table><tr><th>h</th></tr></table>"
            << "r{c=red} h{b}";
        QTest::newRow("container italic and bold reach the blocks inside")
            << "div.e{font-style:italic} table{font-weight:bold}"
            << "<div class='e'><p>a</p></div><blockquote><i><p>b</p></i></blockquote>"
               "<table><tr><td>c</td></tr></table><div class='e'><p style='font-style:normal'>d</p></div>"
            << "a{i} b{i} c{b} d{}";
    }
    void runStyles()
    {
        QFETCH(QString, css);
        QFETCH(QString, body);
        QTEST(runs(convert(body, css)), "expected");
    }

    void blockStyles_data()
    {
        QTest::addColumn<QString>("css");
        QTest::addColumn<QString>("body");
        QTest::addColumn<QString>("expected");
        QTest::newRow("line height percent") << "p{line-height:150%}" << "<p>x</p>"
                                             << "k0 a0 l0 r0 i0 t0 b0 h1.5 bg= doc=";
        QTest::newRow("negative line height") << "p{line-height:-2}" << "<p>x</p>"
                                              << "k0 a0 l0 r0 i0 t0 b0 h0 bg= doc=";
        QTest::newRow("margins in em, percent ignored")
            << "p{font-size:20px; margin:1em 50% 0.5em 2em; text-indent:1em}" << "<p>x</p>"
            << "k0 a0 l40 r0 i20 t20 b10 h0 bg= doc=";
        QTest::newRow("auto margin ignored") << "p{margin-left:auto}" << "<p>x</p>"
                                             << "k0 a0 l0 r0 i0 t0 b0 h0 bg= doc=";
        QTest::newRow("blockquote indent") << "" << "<blockquote>x</blockquote>"
                                           << "k0 a0 l40 r0 i0 t0 b0 h0 bg= doc=";
        QTest::newRow("align attribute and center")
            << "" << "<center>x</center>" << "k0 a1 l0 r0 i0 t0 b0 h0 bg= doc=";
        QTest::newRow("css wins over align") << "p{text-align:justify}" << "<p align='right'>x</p>"
                                             << "k0 a3 l0 r0 i0 t0 b0 h0 bg= doc=";
        QTest::newRow("document and block backgrounds")
            << "body{background-color:#eee} p{background-color:red}" << "<p>x</p>"
            << "k0 a0 l0 r0 i0 t0 b0 h0 bg=red doc=#eee";
        QTest::newRow("alignment inherited by implicit text")
            << "div{text-align:right}" << "<div><p>a</p>b</div>" << "k0 a2 l0 r0 i0 t0 b0 h0 bg= doc=";
        // 0 is "not given" (the reader's indent); a given zero is kept apart from it.
        QTest::newRow("text-indent zero") << "p{text-indent:0}" << "<p>x</p>"
                                          << "k0 a0 l0 r0 i0.001 t0 b0 h0 bg= doc=";
        QTest::newRow("hanging indent") << "p{text-indent:-1em; margin-left:1em}" << "<p>x</p>"
                                        << "k0 a0 l16 r0 i-16 t0 b0 h0 bg= doc=";
        QTest::newRow("ideographic spaces are the indent") << "" << QString::fromUtf8("<p>\u3000\u3000x</p>")
                                                           << "k0 a0 l0 r0 i0.001 t0 b0 h0 bg= doc=";
    }
    void blockStyles()
    {
        QFETCH(QString, css);
        QFETCH(QString, body);
        QTEST(block(convert(body, css)), "expected");
    }

    void resources_data()
    {
        QTest::addColumn<QString>("href");
        QTest::addColumn<QString>("resolved");
        QTest::addColumn<QString>("found");
        const QString pic = "OEBPS/Images/Pic 1.JPG";
        QTest::newRow("relative, encoded, fragment") << "../Images/Pic%201.JPG#x" << pic << pic;
        QTest::newRow("lower-case key") << "../images/pic%201.jpg" << "OEBPS/images/pic 1.jpg" << pic;
        QTest::newRow("root path") << "/cover.png" << "cover.png" << "cover.png";
        QTest::newRow("query dropped") << "s.css?v=2" << "OEBPS/Text/s.css" << "OEBPS/s.css";
        QTest::newRow("file name only") << "x/y/LOGO.GIF" << "OEBPS/Text/x/y/LOGO.GIF" << "OEBPS/a/logo.gif";
        QTest::newRow("scheme") << "http://example.com/a.png" << "" << "";
        QTest::newRow("mailto") << "mailto:a@b.c" << "" << "";
    }
    void resources()
    {
        QFETCH(QString, href);
        const StringMap table{{"oebps/images/pic 1.jpg", "OEBPS/Images/Pic 1.JPG"},
                              {"cover.png", "cover.png"}, {"OEBPS/s.css", "OEBPS/s.css"},
                              {"logo.gif", "OEBPS/a/logo.gif"}};
        QTEST(EpubUnifiedParser::resolveHref(href, "OEBPS/Text/c.xhtml"), "resolved");
        QTEST(EpubUnifiedParser::lookupResource(href, table, "OEBPS/Text/c.xhtml", "OEBPS/content.opf"),
              "found");
    }

    // Images and formulas: what each paragraph becomes.
    void images_data()
    {
        QTest::addColumn<QString>("css");
        QTest::addColumn<QString>("body");
        QTest::addColumn<QString>("expected");
        QTest::newRow("sizes and split")
            << "" << "<p>a<img src='../i/a.png' width='300px ' height='50%'/>b</p>"
            << "0:a / 2:OEBPS/i/a.png 300x0 / 0:b";
        QTest::newRow("jpeg with a parameter") << "" << "<img src='../i/p.jpg'/>" << "2:OEBPS/i/p.jpg 0x0";
        QTest::newRow("not an image") << "" << "<img src='../i/doc.png' alt='alt text'/>"
                                      << "0:alt text";
        // Qt's SVG image plugin is installed (tools/deps.sh): SVG is an image.
        QTest::newRow("svg file") << "" << "<img src='../i/v.svg' alt='v'/>" << "2:OEBPS/i/v.svg 0x0";
        QTest::newRow("type that is no media type") << "" << "<img src='../i/a.png' type='cover'/>" << "2:OEBPS/i/a.png 0x0";
        QTest::newRow("svg by media type") << "" << "<img src='../i/t.svg' alt='t' width='9'/>" << "2:OEBPS/i/t.svg 9x0";
        QTest::newRow("centred by auto margins") << "img{margin-left:auto;margin-right:auto}"
                                                 << "<img src='../i/a.png'/>" << "2:OEBPS/i/a.png 0x0 c1";
        QTest::newRow("centred by paragraph") << "" << "<p align='center'><img src='../i/a.png'/></p>"
                                              << "2:OEBPS/i/a.png 0x0 c1";
        QTest::newRow("svg image") << "" << "<svg><image xlink:href='../i/a.png' "
                                            "xmlns:xlink='http://www.w3.org/1999/xlink'/><text>t</text></svg>"
                                   << "2:OEBPS/i/a.png 0x0";
        QTest::newRow("video poster skips fallback")
            << "" << "<div><video poster='../i/a.png'><p>no video</p></video></div>" << "2:OEBPS/i/a.png 0x0";
        QTest::newRow("object image skips fallback")
            << "" << "<object data='../i/a.png' type='image/png'><p>fallback</p></object>"
            << "2:OEBPS/i/a.png 0x0";
        QTest::newRow("missing resource") << "" << "<img src='gone.png'/>" << "";
        const QString m = "<math xmlns='http://www.w3.org/1998/Math/MathML'%1>%2</math>";
        QTest::newRow("tex annotation") << ""
            << m.arg("", "<semantics><mi>x</mi><annotation encoding='application/x-tex'>\\alpha</annotation></semantics>")
            << "0:\\alpha";
        QTest::newRow("msup") << "" << m.arg("", "<msup><mi>x</mi><mn>2</mn></msup>") << "0:x^(2)";
        QTest::newRow("mfrac, msqrt, mroot") << ""
            << m.arg("", "<mfrac><mi>a</mi><mi>b</mi></mfrac><msqrt><mi>y</mi></msqrt>"
                         "<mroot><mi>x</mi><mn>3</mn></mroot>") << "0:(a)/(b)sqrt(y)root(3,x)";
        QTest::newRow("msubsup, mfenced") << ""
            << m.arg("", "<msubsup><mi>a</mi><mi>i</mi><mn>2</mn></msubsup><mfenced><mi>p</mi><mi>q</mi></mfenced>")
            << "0:a_(i)^(2)(p, q)";
        QTest::newRow("mtable") << "" << m.arg("", "<mtable><mtr><mtd><mn>1</mn></mtd><mtd><mn>2</mn></mtd></mtr>"
                                             "<mtr><mtd><mn>3</mn></mtd></mtr></mtable>")
                                << "0:[1, 2; 3]";
        QTest::newRow("alttext") << "" << m.arg(" alttext=' a  +  b '", "<mi>z</mi>") << "0:a + b";
        QTest::newRow("block formula stands alone") << ""
            << "<p>before " + m.arg(" display='block'", "<mi>E</mi>") + " after</p>"
            << "0:before  / 0:E / 0:after";
        QTest::newRow("inline formula joins the text") << ""
            << "<p>so " + m.arg("", "<mi>E</mi>") + " holds</p>" << "0:so E holds";
        QTest::newRow("altimg") << "" << m.arg(" altimg='../i/a.png'", "<mi>E</mi>") << "2:OEBPS/i/a.png 0x0";
    }
    void images()
    {
        QFETCH(QString, css);
        QFETCH(QString, body);
        const StringMap resources{{"OEBPS/i/a.png", "OEBPS/i/a.png"}, {"OEBPS/i/p.jpg", "OEBPS/i/p.jpg"},
                                  {"OEBPS/i/doc.png", "OEBPS/i/doc.png"}, {"OEBPS/i/v.svg", "OEBPS/i/v.svg"},
                                  {"OEBPS/i/t.svg", "OEBPS/i/t.svg"}};
        const StringMap types{{"OEBPS/i/p.jpg", "image/jpeg; q=1"}, {"OEBPS/i/doc.png", "application/xhtml+xml"},
                              {"OEBPS/i/t.svg", "image/svg+xml"}};
        QStringList out;
        for (const Paragraph &p : convert(body, css, resources, types).paragraphs) {
            if (p.kind != Paragraph::Image) {
                out << QStringLiteral("%1:%2").arg(p.kind).arg(p.plainText());
                continue;
            }
            QVERIFY(p.imageId.startsWith("zip://b.epub::"));
            out << QStringLiteral("2:%1 %2x%3%4").arg(p.imageId.mid(14)).arg(p.imageWidth)
                       .arg(p.imageHeight).arg(p.hCenter ? QStringLiteral(" c%1").arg(p.alignment) : "");
        }
        QTEST(out.join(" / "), "expected");
    }

    void linkedStyleSheet()
    {
        const CssStyleSheetMap sheets = CssStyleSheet::parseAll({{"OEBPS/s.css", ".big{font-size:2em}"}});
        const XhtmlConvertResult r = EpubUnifiedParser::convertXhtml(
            page("<p class='big'>x</p>", "").replace("<style></style>", "<link href='../s.css'/>"),
            sheets, {{"OEBPS/s.css", "OEBPS/s.css"}}, {}, "OEBPS/Text/c.xhtml", "OEBPS/content.opf", "", {}, {});
        QCOMPARE(runs(r), QStringLiteral("x{x2}"));
        // Linked over and over, as a hostile book may: once took minutes.
        const XhtmlConvertResult repeated = EpubUnifiedParser::convertXhtml(
            page("<p class='big'>x</p>", "").replace("<style></style>", QStringLiteral("<link href='../s.css'/>").repeated(60000)),
            sheets, {{"OEBPS/s.css", "OEBPS/s.css"}}, {}, "OEBPS/Text/c.xhtml", "OEBPS/content.opf", "", {}, {});
        QCOMPARE(runs(repeated), QStringLiteral("x{x2}"));

        // A sheet pulled in with @import applies before the one that imports it.
        const CssStyleSheetMap imported = CssStyleSheet::parseAll(
            {{"OEBPS/s.css", "@import url(\"css/base.css\");\n.big{color:red}"},
             {"OEBPS/css/base.css", "@import 'more.css'; .big{font-size:2em; color:blue}"},
             {"OEBPS/css/more.css", "@import '../s.css'; .big{font-weight:bold}"}});
        const XhtmlConvertResult i = EpubUnifiedParser::convertXhtml(
            page("<p class='big'>x</p>", "").replace("<style></style>", "<link href='../s.css'/>"),
            imported, {{"OEBPS/s.css", "OEBPS/s.css"}}, {}, "OEBPS/Text/c.xhtml", "OEBPS/content.opf", "", {}, {});
        QCOMPARE(runs(i), QStringLiteral("x{b x2 c=red}"));
        const XhtmlConvertResult inDocument = EpubUnifiedParser::convertXhtml(
            page("<p class='big'>x</p>", "@import url(../s.css); p{color:green}"), sheets,
            {{"OEBPS/s.css", "OEBPS/s.css"}}, {}, "OEBPS/Text/c.xhtml", "OEBPS/content.opf", "", {}, {});
        QCOMPARE(runs(inDocument), QStringLiteral("x{x2 c=green}"));
    }
};

QTEST_MAIN(TestXhtmlStyles)
#include "tst_xhtmlstyles.moc"
