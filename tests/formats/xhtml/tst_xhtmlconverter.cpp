#include "epubunifiedparser.h"
#include "logcapture.h"
#include "xmltext.h"

#include <QTextCodec>
#include <QtConcurrent>
#include <QtTest>

namespace {

QString page(const QString &body, const QString &css = QString())
{
    return QStringLiteral("<html xmlns=\"http://www.w3.org/1999/xhtml\" "
                          "xmlns:epub=\"http://www.idpf.org/2007/ops\"><head><style>%1</style>"
                          "</head><body>%2</body></html>").arg(css, body);
}

XhtmlConvertResult convert(const QString &xhtml, const QString &start = QString(),
                           const QString &end = QString())
{
    return EpubUnifiedParser::convertXhtml(xhtml, {}, {}, {}, QStringLiteral("OEBPS/t/c.xhtml"),
                                           QStringLiteral("OEBPS/content.opf"), QString(), start, end);
}

// "kind[details]:chunk|chunk" per paragraph, joined by " / "; a line break shows as "^".
QString outline(const QVector<Paragraph> &paragraphs)
{
    QStringList out;
    for (const Paragraph &p : paragraphs) {
        QString line = QString::number(p.kind);
        if (p.kind == Paragraph::TableCell)
            line += QStringLiteral("[%1,%2/%3%4]").arg(p.tableRow).arg(p.tableColumn)
                        .arg(p.tableColumnCount).arg(p.tableHeader ? "h" : "");
        if (!p.footnoteId.isEmpty())
            line += QLatin1Char('#') + p.footnoteId;
        if (p.kind == Paragraph::Heading)
            line += QString::number(p.headingLevel);
        QStringList chunks;
        for (const TextChunk &c : p.chunks)
            chunks << QString(c.text).replace(QLatin1Char('\n'), QLatin1Char('^'));
        out << line + QLatin1Char(':') + chunks.join(QLatin1Char('|'));
    }
    return out.join(QLatin1String(" / "));
}

QString outlineOf(const QString &body)
{
    const XhtmlConvertResult r = convert(page(body));
    return r.ok ? outline(r.paragraphs) : QStringLiteral("error: ") + r.errorMessage;
}

QString nested(const QString &open, const QString &close, int levels, const QString &inner)
{
    return open.repeated(levels) + inner + close.repeated(levels);
}

}

class TestXhtmlConverter : public QObject
{
    Q_OBJECT

private slots:
    // Paragraph kinds, tables, notes and white space as the outline shows them.
    void blocks_data()
    {
        QTest::addColumn<QString>("body");
        QTest::addColumn<QString>("expected");
        QTest::newRow("br inside p") << "<p>one<br/>two</p>" << "0:one / 3: / 0:two";
        QTest::newRow("empty p") << "<p></p><p> </p>" << "";
        QTest::newRow("heading, item, rule") << "<h2>T</h2><ul><li>a</li></ul><hr/>" << "12:T / 4:a / 5:";
        QTest::newRow("pre keeps spaces") << "<pre>  a\n  b</pre>" << "0:  a^  b";
        QTest::newRow("suppressed text") << "<script>x()</script><p>a<meta/>b</p>" << "0:ab";
        QTest::newRow("switch takes first default")
            << "<epub:switch><epub:case>c</epub:case><epub:default>d1</epub:default>"
               "<epub:default>d2</epub:default></epub:switch>" << "0:d1";
        QTest::newRow("text after closed p keeps inline style")
            << "<div><p>a</p><b>bold</b></div>" << "0:a / 0:bold";
        QTest::newRow("image that is no resource gives its alt") << "<p>a<img src='x.png' alt='X'/>b</p>"
                                                  << "0:aXb";
        QTest::newRow("svg text when no image") << "<svg><title>Map</title><desc>of town</desc></svg>"
                                                << "0:Map of town";
        QTest::newRow("nesting beyond the limit reads as text")
            << nested("<div>", "</div>", 300, "<b>deep</b> end") << "0:deep end";
        QTest::newRow("rows padded to the widest")
            << "<table><tr><td>a</td></tr><tr><td>b</td><td/><td>c</td></tr></table>"
            << "8[0,0/3]:a / 8[0,1/3]: / 8[0,2/3]: / 8[1,0/3]:b / 8[1,1/3]: / 8[1,2/3]:c";
        QTest::newRow("caption ahead of rows")
            << "<table><caption>Cap</caption><tr><td>a</td></tr></table><p>after</p>"
            << "0:Cap / 8[0,0/1]:a / 0:after";
        QTest::newRow("list in a cell keeps later rows")
            << "<table><tr><td><ul><li>x</li><li>y</li></ul></td></tr><tr><td>z</td></tr></table>"
            << "8[0,0/1]:x|^|y|^ / 8[1,0/1]:z";
        QTest::newRow("blocks in a cell")
            << "<table><tr><td><h1>T</h1><pre> p </pre><hr/><blockquote>q</blockquote></td></tr></table>"
            << "8[0,0/1]:T|^| p |^|q|^";
        QTest::newRow("br and image alt in a cell")
            << "<table><tr><td>a<br/>b <img src='x.png' alt='pic'/></td></tr></table>"
            << "8[0,0/1]:a|^|b pic";
        QTest::newRow("table in a cell becomes lines")
            << "<table><tr><td><table><tr><td>i</td><td>j</td></tr></table></td><td>k</td></tr></table>"
            << "8[0,0/2]:i j |^ / 8[0,1/2]:k";
        QTest::newRow("block formula in a cell")
            << "<table><tr><td>a <math xmlns='http://www.w3.org/1998/Math/MathML' display='block'>"
               "<mi>E</mi></math> b</td></tr></table>" << "8[0,0/1]:a E b";
        QTest::newRow("aside footnote")
            << "<p>t</p><aside epub:type='footnote' id='n1'><p>one</p><p>two</p></aside><p>u</p>"
            << "0:t / 6#n1:one / 6#n1:two / 0:u";
        QTest::newRow("rearnote by text") << "<div epub:type='rearnote' id='r'>note</div>" << "6#r:note";
        QTest::newRow("role") << "<li role='doc-footnote' id='f'>x<br/>y</li>" << "6#f:x / 3: / 6#f:y";
        QTest::newRow("other type is text") << "<aside epub:type='sidebar'>s</aside>" << "0:s";
        QTest::newRow("collapsed at paragraph start") << "<p>   two    words   </p>" << "0:two words ";
        QTest::newRow("space before inline kept") << "<p>He said <i>no</i></p>" << "0:He said |no";
        QTest::newRow("space after inline kept") << "<p><b>a</b> <i>b</i></p>" << "0:a| |b";
        QTest::newRow("no doubled space") << "<p>a <i> b</i></p>" << "0:a |b";
        QTest::newRow("no-break space kept")
            << QString::fromUtf8("<p>\u00a0\u00a0indent</p><p>\u00a0</p>")
            << QString::fromUtf8("0:\u00a0\u00a0indent / 0:\u00a0");
        QTest::newRow("implicit paragraph") << "\n  loose \n text <p>p</p>" << "0:loose text  / 0:p";
        QTest::newRow("line start after br") << "<p>a<br/>   b</p>" << "0:a / 3: / 0:b";
        QTest::newRow("HTML5 blocks stay apart")
            << "<figure>a<figcaption>b</figcaption></figure><aside>c</aside><header>d</header>"
               "<footer>e</footer><nav>f</nav><address>g</address><main>h</main>"
            << "0:a / 0:b / 0:c / 0:d / 0:e / 0:f / 0:g / 0:h";
        QTest::newRow("display none and hidden")
            << "<p>a<span style='display:none'>x</span></p><div hidden=''>y</div><p>b</p>" << "0:a / 0:b";
        QTest::newRow("hidden footnote kept")
            << "<aside epub:type='footnote' id='n' style='display:none'>n</aside>" << "6#n:n";
        QTest::newRow("display block on inline")
            << "<p>a<span style='display:block'>b</span>c</p>" << "0:a / 0:b / 0:c";
        QTest::newRow("white-space pre and pre-line")
            << "<p style='white-space:pre'>a  b\nc</p><p style='white-space:pre-line'>d  e \n  f</p>"
            << "0:a  b^c / 0:d e^f";
        QTest::newRow("ordered list numbers")
            << "<ol start='3'><li>a</li><li value='7'><p>b</p></li><li>c</li></ol>"
               "<ol style='list-style-type:none'><li>d</li></ol><ul><li>e</li></ul>"
               "<ol type='a' style='list-style:upper-roman inside'><li>f</li></ol>"
            << "4:3. a / 0:7. b / 4:8. c / 4:d / 4:e / 4:I. f";
        QTest::newRow("colspan and rowspan keep columns")
            << "<table><tr><td colspan='2'>a</td><td rowspan='2'>b</td></tr><tr><td>c</td><td>d</td></tr></table>"
            << "8[0,0/3]:a / 8[0,1/3]: / 8[0,2/3]:b / 8[1,0/3]:c / 8[1,1/3]:d / 8[1,2/3]:";
    }
    void blocks()
    {
        QFETCH(QString, body);
        QTEST(outlineOf(body), "expected");
    }

    void tableAlignmentIsBalanced()
    {
        const XhtmlConvertResult r = convert(page(
            "<div style='text-align:center'><table><tr><td style='text-align:right'><li>a</li></td>"
            "</tr></table><p>b</p></div><p>c</p>"));
        QCOMPARE(outline(r.paragraphs), QStringLiteral("8[0,0/1]:a|^ / 0:b / 0:c"));
        QCOMPARE(r.paragraphs[1].alignment, 1);
        QCOMPARE(r.paragraphs[2].alignment, 0);
    }

    // Whole documents: entities, parse errors and their retry, anchors, depth.
    void malformed_data()
    {
        QTest::addColumn<QString>("xhtml");
        QTest::addColumn<QString>("start");
        QTest::addColumn<QString>("end");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<int>("retries");
        const QString xhtml11 = "<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.1//EN\" "
                                "\"http://www.w3.org/TR/xhtml11/DTD/xhtml11.dtd\">";
        const QString html5 = "<!DOCTYPE html>";
        QTest::newRow("xhtml 1.1 entities") << xhtml11 + page("<p>Mr.&nbsp;Smith&mdash;&hellip;</p>") << "" << ""
                                            << QString::fromUtf8("0:Mr.\u00a0Smith\u2014\u2026") << 0;
        QTest::newRow("html5 entities") << html5 + page("<p>&eacute;&Omega;&rarr;&lt;</p>") << "" << ""
                                        << QString::fromUtf8("0:\u00e9\u03a9\u2192<") << 0;
        QTest::newRow("entity without doctype") << page("<p>&copy;</p>") << "" << "" << QString::fromUtf8("0:\u00a9") << 0;
        QTest::newRow("unknown entity stays") << html5 + page("<p>a&bogus;b</p>") << "" << "" << "0:a&bogus;b" << 0;
        QTest::newRow("entity in an attribute") << html5 + page("<p><img src='no.png' alt='&pound;5'/></p>")
                                                << "" << "" << QString::fromUtf8("0:\u00a35") << 0;
        // Not well-formed: read as HTML, every word kept.
        QTest::newRow("unquoted attribute") << page("<p class=x id=a>t</p><img src=a.png/>") << "" << ""
                                           << "0:t" << 1;
        QTest::newRow("mismatched end tag") << page("<p>t</b>") << "" << "" << "0:t" << 1;
        QTest::newRow("bare ampersand, open br and img")
            << page("<p>a & b<br>c<img src='no.png' alt='x'></p><p>d") << "" << ""
            << "0:a & b / 3: / 0:cx / 0:d" << 1;
        QTest::newRow("undeclared prefix, unclosed p")
            << "<html><body><p>one<p><span epub:type='pagebreak'>two</span></body></html>" << "" << ""
            << "0:one / 0:two" << 1;
        QTest::newRow("truncated in the head") << page("<p>a</p><p>b</p>").left(60) << "" << ""
                                               << "error: XHTML 缺少 body 元素" << 1;
        QTest::newRow("no body") << "<html><head/></html>" << "" << "" << "error: XHTML 缺少 body 元素" << 0;
        QTest::newRow("svg document") << "<svg><text>x</text></svg>" << "" << "" << "" << 0;
        QTest::newRow("anchors") << page("<p>a</p><p id='s'>b<span id='e'>c</span></p>") << "s" << "e"
                                 << "0:b" << 0;
        QTest::newRow("end anchor inside a table")
            << page("<table><tr><td>a</td><td>b</td></tr><tr><td id='e'>c</td></tr></table>") << "" << "e"
            << "8[0,0/2]:a / 8[0,1/2]:b" << 0;
        QTest::newRow("end anchor first") << page("<p id='e'>a</p>") << "" << "e" << "" << 0;
        QTest::newRow("start anchor missing") << page("<p id='e'>a</p>") << "s" << "e"
                                              << "error: 未找到起始锚点: s" << 0;
        QTest::newRow("end anchor missing") << page("<p>a</p>") << "" << "e"
                                            << "error: 未找到结束锚点: e" << 0;
        QTest::newRow("rows padded past the bounds")
            << page("<table><tr>" + QStringLiteral("<td/>").repeated(500) + "</tr>"
                    + QStringLiteral("<tr><td>r</td></tr>").repeated(300) + "</table>")
            << "" << "" << "error: 文档内容超过上限 (段落 0, 字符 0)" << 0;
        QTest::newRow("deep mrow")
            << page(nested("<math><mrow>", "</mrow></math>", 1, nested("<mrow>", "</mrow>", 60000, "<mi>x</mi>")))
            << "" << "" << "0:x" << 0;
    }
    void malformed()
    {
        QFETCH(QString, xhtml);
        QFETCH(QString, start);
        QFETCH(QString, end);
        LogCapture log;
        const XhtmlConvertResult r = convert(xhtml, start, end);
        QTEST(r.ok ? outline(r.paragraphs) : QStringLiteral("error: ") + r.errorMessage, "expected");
        QTEST(int(log.lines(QtInfoMsg).filter("按 HTML 修复").size()), "retries");
        QCOMPARE(r.errorLine > 0, !r.ok && !r.errorMessage.startsWith("XHTML") && !r.errorMessage.startsWith("未找到"));
    }

    // A paragraph that alone passes the document's bound is refused while it grows.
    void paragraphPastTheBound()
    {
        QString xhtml = "<html><body><p>";
        for (int i = 0; i < 26; ++i)
            xhtml += "<b>" + QString(1 << 20, 'a') + "</b>";
        xhtml += "</p></body></html>";
        const XhtmlConvertResult r = convert(xhtml);
        QVERIFY(r.tooLarge && r.errorColumn < xhtml.lastIndexOf("</p>"));
    }

    // The reader takes a long document a piece at a time: it converts as a short
    // one does wherever a piece ends, its declared encoding still ignored.
    void longDocumentInPieces_data()
    {
        QTest::addColumn<QString>("tail");
        QTest::addColumn<int>("at");   // where the tail begins, from the end of the first piece
        QTest::newRow("formula across") << "<math><mi>x</mi><mo>+</mo><mi>yy</mi></math><p>end</p>" << -12;
        QTest::newRow("style across") << "<style>p{font-weight:bold}</style><p>b</p>" << -10;
        QTest::newRow("surrogate pair across") << QString::fromUtf8("<p>\U0001F600中</p>") << -4;
        QTest::newRow("text of the second piece") << QString::fromUtf8("<p>中文</p>") << 10;
    }
    void longDocumentInPieces()
    {
        QFETCH(QString, tail);
        QFETCH(int, at);
        const QString head = "<?xml version='1.0' encoding='ISO-8859-1'?><html><body><p>";
        const QString filler((1 << 20) + at - head.size() - 4, 'x');
        LogCapture log;
        const XhtmlConvertResult whole = convert(head + "x</p>" + tail + "</body></html>");
        const XhtmlConvertResult pieces = convert(head + filler + "</p>" + tail + "</body></html>");
        QVERIFY(whole.ok && pieces.ok && whole.paragraphs.size() > 1);
        QCOMPARE(outline(pieces.paragraphs.mid(1)), outline(whole.paragraphs.mid(1)));
        QVERIFY(log.lines(QtInfoMsg).filter("按 HTML 修复").isEmpty());
    }

    // Document bytes to text: mark, then declaration, then UTF-8; a NUL cuts nothing.
    void decoding_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("text");
        const QString cafe = QString::fromUtf8("<p>Caf\u00e9 \u4e2d</p>");
        const QByteArray utf16 = QTextCodec::codecForName("UTF-16BE")->fromUnicode(cafe);
        QTest::newRow("UTF-8 mark") << "\xEF\xBB\xBF" + cafe.toUtf8() << cafe;
        QTest::newRow("UTF-16 mark") << "\xFE\xFF" + utf16 << cafe;
        QTest::newRow("UTF-16 without mark") << utf16 << cafe;
        QTest::newRow("declared GBK") << QByteArray("<?xml version='1.0' encoding='GBK'?><p>\xD6\xD0</p>")
                                      << QString::fromUtf8("<?xml version='1.0' encoding='GBK'?><p>\u4e2d</p>");
        QTest::newRow("meta charset") << QByteArray("<meta charset=\"iso-8859-1\"/>\xE9") << QString::fromUtf8("<meta charset=\"iso-8859-1\"/>\u00e9");
        QTest::newRow("Latin-1 label over UTF-8") << QByteArray("<?xml version='1.0' encoding='ISO-8859-1'?>\xC3\xA9")
                                                  << QString::fromUtf8("<?xml version='1.0' encoding='ISO-8859-1'?>\u00e9");
        QTest::newRow("UTF-16 label over ASCII") << QByteArray("<?xml version='1.0' encoding='UTF-16'?><p/>")
                                                 << "<?xml version='1.0' encoding='UTF-16'?><p/>";
        QTest::newRow("NUL inside") << QByteArray("<p>a\0b</p>", 10) << "<p>ab</p>";
    }
    void decoding()
    {
        QFETCH(QByteArray, bytes);
        QTEST(decodeXmlBytes(bytes), "text");
    }

    void wholeChapters_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("expected");
        // Both tools make the same chapter from tests/data/xhtml/chapters.md; they differ in the
        // formula, the spaces kept and the note (numbered as its reference is).
        const QString head = "11:The Inn / 0:The |rain| fell on the |old| inn, and the keeper said no.|1 / "
                             "0:Nobody comes here in winter. / 8[0,0/3h]:Room / 8[0,1/3h]:Price / "
                             "8[0,2/3h]:Note / 8[1,0/3]:North / 8[1,1/3]:12 / 8[1,2/3]:cold / 8[2,0/3]:South / "
                             "8[2,1/3]:20 / 8[2,2/3]:warm / 4:bread / 4:wine / ";
        QTest::newRow("pandoc") << "pandoc-chapter" << head + "0:The bill came to x^2 + \\frac{a}{b}. / "
                                   "0:  two  spaces / 5: / 6#fn1:1. He always said no.|↩︎";
        QTest::newRow("calibre") << "calibre-chapter" << head + "0:The bill came to $x^2 + \\frac{a}{b}$. / "
                                    "0:two spaces / 5: / 0:1. He always said no.\u00a0|↩";
    }
    void wholeChapters()
    {
        QFETCH(QString, name);
        const QString dir = QStringLiteral(QUILLORA_TEST_DATA_DIR "/xhtml/");
        QFile xhtml(dir + name + ".xhtml"), css(dir + name + ".css");
        QVERIFY(xhtml.open(QIODevice::ReadOnly) && css.open(QIODevice::ReadOnly));
        const QString cssPath = name == "pandoc-chapter" ? "EPUB/styles/stylesheet1.css" : "stylesheet.css";
        const QString docPath = name == "pandoc-chapter" ? "EPUB/text/ch001.xhtml" : "index.html";
        const XhtmlConvertResult r = EpubUnifiedParser::convertXhtmlFlow(
            QString::fromUtf8(xhtml.readAll()), {{cssPath, QString::fromUtf8(css.readAll())}},
            {{cssPath, cssPath}}, {}, docPath, "content.opf", "zip://b.epub::", {}, {});
        QVERIFY2(r.ok, qPrintable(r.errorMessage));
        QFETCH(QString, expected);
        QCOMPARE(outline(r.paragraphs).split(" / "), expected.split(" / "));
    }

    void twoThreadsShareNothing()
    {
        QString body;
        for (int i = 0; i < 400; ++i)
            body += QStringLiteral("<p class='c%1'>line <b>%1</b></p><table><tr><td>%1</td></tr></table>").arg(i % 7);
        const QString xhtml = page(body, ".c3 { font-size: 2em } .c5 { color: red }");
        const QString expected = outline(convert(xhtml).paragraphs);
        QFuture<QString> a = QtConcurrent::run([&] { return outline(convert(xhtml).paragraphs); });
        QFuture<QString> b = QtConcurrent::run([&] { return outline(convert(xhtml).paragraphs); });
        QCOMPARE(a.result(), expected);
        QCOMPARE(b.result(), expected);
    }
};

QTEST_MAIN(TestXhtmlConverter)
#include "tst_xhtmlconverter.moc"
