#include "mobimarkup.h"
#include "mobiparser.h"
#include "xhtmlconvertstate.h"

#include <QtTest>

// The markup steps of MOBI and KF8 text: rewrites, anchors, table of contents.
class TestMobiMarkup : public QObject
{
    Q_OBJECT

private slots:
    // The string rewrites, one step per row: Kindle links, page breaks and
    // void tags, image record indexes, wrapping, filepos links and anchors.
    void rewrites_data()
    {
        QTest::addColumn<QString>("step");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        const auto row = [](const char *step, const char *name, const QString &text, const QString &expected) {
            QTest::addRow("%s: %s", step, name) << step << text << expected;
        };
        row("kindle", "embed 1 is resource 0", "<img src=\"kindle:embed:0001?mime=image/jpeg\"/>",
            "<img src=\"kf8-resource-00000.jpg\"/>");
        row("kindle", "embed 0 stays", "kindle:embed:0000", "kindle:embed:0000");
        row("kindle", "embed without resource stays", "kindle:embed:0009", "kindle:embed:0009");
        row("kindle", "flow by its own index", "url(kindle:flow:0001?mime=text/css)", "url(kf8-flow-0001.css)");
        row("kindle", "flow without file stays", "kindle:flow:0007", "kindle:flow:0007");
        row("kindle", "base 32, any case", "kindle:EMBED:000V kindle:embed:0010", "big.png kindle:embed:0010");
        row("kindle", "above int stays", "kindle:embed:vvvvvvvvv", "kindle:embed:vvvvvvvvv");
        row("positions", "resolved, digits in either case",
            "<a href=\"kindle:pos:fid:0001:off:000000000A\">1</a><a href='kindle:pos:fid:1:off:a'>",
            "<a href=\"kf8-document-1.xhtml#n1\">1</a><a href='kf8-document-1.xhtml#n1'>");
        row("positions", "no target: no link", "<a href=\"kindle:pos:fid:0002:off:0000000000\">", "<a href=\"\">");
        row("positions", "malformed or past 32 bits: no link",
            "<a href=\"kindle:pos:fid:00W1:off:0\"><a href=kindle:pos:fid:0:off:VVVVVVVVVV>",
            "<a href=\"\"><a href=>");
        const QString div = "<div class=\"mbp-pagebreak\"></div>";
        row("breaks", "self-closed page break", "a<mbp:pagebreak/>b", "a" + div + "b");
        row("breaks", "page break with end tag", "<MBP:PageBreak></mbp:pagebreak >", div);
        row("breaks", "br gains slash", "a<br>b<BR clear=all>", "a<br/>b<BR clear=all/>");
        row("breaks", "slash after trailing space", "<img src=\"x\" >", "<img src=\"x\" />");
        row("breaks", "closed ones stay", "<hr/><br / ><hr\t/\n>", "<hr/><br / ><hr\t/\n>");
        row("breaks", "void end tags go", "a<br></br>b</ img>", "a<br/>b");
        row("breaks", "names are whole words", "<bread><colgroup><p>", "<bread><colgroup><p>");
        row("breaks", "a removed end tag joins the tag around it", "a<br</br>>b<mbp:pagebreak </mbp:pagebreak>>",
            "a<br/>b" + div);
        row("recindex", "quoted, old src dropped", "<img src=\"old.gif\" recindex=\"00002\" alt=\"x\"/>",
            "<img alt=\"x\" src=\"mobi-image-2.png\"/>");
        row("recindex", "unquoted, open tag", "<IMG recindex=2>", "<IMG src=\"mobi-image-2.png\">");
        row("recindex", "no saved image stays", "<img src=\"old.gif\" recindex=\"7\"/>",
            "<img src=\"old.gif\" recindex=\"7\"/>");
        row("recindex", "no recindex stays", "<img src=\"a.png\"/>", "<img src=\"a.png\"/>");
        row("wrap", "plain text in paragraphs", "one & two\r\nline two\n\n \n\nthree <x>",
            "<html><body><p>one &amp; two<br/>line two</p><p>three &lt;x&gt;</p></body></html>");
        row("wrap", "markup wrapped", "<p>a<br>b</p>", "<html><body><p>a<br/>b</p></body></html>");
        row("wrap", "document untouched", "<HTML><body>x</body></HTML>", "<HTML><body>x</body></HTML>");
        row("wrap", "mbp prefix declared on root", "<html><body><mbp:nu>x</mbp:nu></body></html>",
            "<html xmlns:mbp=\"http://www.mobipocket.com\"><body><mbp:nu>x</mbp:nu></body></html>");
        row("wrap", "mbp prefix on body without html", "<body><mbp:nu/></body>",
            "<body xmlns:mbp=\"http://www.mobipocket.com\"><mbp:nu/></body>");
        row("filepos", "filepos replaces href", "<a href=\"x.html\" filepos=000123>t</a>",
            "<a href=\"#mobi-filepos-123\">t</a>");
        row("filepos", "self-closed", "<A filepos='5'/>", "<A href=\"#mobi-filepos-5\"/>");
        row("filepos", "reference kept", "<reference filepos=5/>", "<reference filepos=5/>");
        row("filepos", "no number kept", "<a filepos=\"x\" href=\"#y\">", "<a filepos=\"x\" href=\"#y\">");
        const QString anchor = "<a id=\"mobi-filepos-%1\"></a>";
        row("anchors", "at the byte, leading zeros", "<a filepos=00025>x</a>abc",
            "<a filepos=00025>x</a>abc" + anchor.arg(25));
        row("anchors", "inside a tag: before it", "<a filepos=\"25\">x</a><p class=\"c\">",
            "<a filepos=\"25\">x</a>" + anchor.arg(25) + "<p class=\"c\">");
        row("anchors", "past the end skipped", "<a filepos=99>", "<a filepos=99>");
        row("anchors", "reference, order kept at one spot", "<reference filepos=0000000050 /><a filepos=48>yz</a>",
            "<reference filepos=0000000050 /><a filepos=48>yz" + anchor.arg(50) + anchor.arg(48) + "</a>");
        row("anchors", "before the body: at its start", "<html><head><reference filepos=0 /></head><body>x</body></html>",
            "<html><head><reference filepos=0 /></head><body>" + anchor.arg(0) + "x</body></html>");
        row("anchors", "not inside a character", QString::fromUtf8("<a filepos=15>\xe4\xb8\xad</a>"),
            QString::fromUtf8("<a filepos=15>") + anchor.arg(15) + QString::fromUtf8("\xe4\xb8\xad</a>"));
    }
    void rewrites()
    {
        QFETCH(QString, step);
        QFETCH(QString, text);
        const QMap<int, QString> flows{{1, "kf8-flow-0001.css"}};
        const QMap<int, QString> resources{{0, "kf8-resource-00000.jpg"}, {30, "big.png"}};
        const QString out = step == "kindle"     ? MobiMarkup::rewriteKindleLinks(text, flows, resources)
                            : step == "breaks"   ? MobiMarkup::insertPageBreaks(text)
                            : step == "recindex" ? MobiMarkup::rewriteImageRecindex(text, {{2, "mobi-image-2.png"}})
                            : step == "wrap"     ? MobiMarkup::wrapMobiHtml(text)
                            : step == "positions" ? MobiMarkup::rewriteKindlePositions(text, {{quint64(1) << 32 | 10, "kf8-document-1.xhtml#n1"}})
                            : step == "anchors"  ? QString::fromUtf8(MobiMarkup::insertFileposAnchors(text.toUtf8()))
                                                 : MobiMarkup::rewriteFileposLinks(text);
        QTEST(out, "expected");
    }

    void attributes_data()
    {
        QTest::addColumn<QString>("tag");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("id");
        QTest::newRow("quoted") << "<p class=\"c1\" id='x1'>" << "id" << "x1" << "x1";
        QTest::newRow("unquoted") << "<a href=#n1 >" << "href" << "#n1" << "";
        QTest::newRow("only a real id") << "<p data-id=\"d\" xml:id=\"x\" epub:id=\"e\">" << "id" << ""
                                        << "";
        QTest::newRow("escaped name") << "<a a.b=\"v\" aXb=\"w\">" << "a.b" << "v" << "";
        QTest::newRow("empty value") << "<a name=\"\" id=v/>" << "name" << "" << "v";
    }

    void attributes()
    {
        QFETCH(QString, tag);
        QFETCH(QString, name);
        QFETCH(QString, value);
        QFETCH(QString, id);
        QCOMPARE(MobiMarkup::attributeValue(tag, name), value);
        QCOMPARE(MobiMarkup::tagId(tag), id);
    }

    void parseError_data()
    {
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QString>("message");
        QTest::addColumn<qint64>("line");
        QTest::addColumn<QString>("expected");
        const QString head = "KF8 文档 2 XHTML 解析失败（阶段：无 NCX 整文档解析，重组正文 100 字节，解码后 90 字符）：";
        QTest::newRow("with position") << false << "bad" << qint64(3) << head + "bad（行 3，列 7）";
        QTest::newRow("line 0") << false << "bad" << qint64(0) << head + "bad";
        QTest::newRow("nothing produced") << true << "" << qint64(0) << head + "未生成正文段落";
        QTest::newRow("no message") << false << "" << qint64(0) << head + "未知解析错误";
    }

    void parseError()
    {
        QFETCH(bool, ok);
        QFETCH(QString, message);
        QFETCH(qint64, line);
        QFETCH(QString, expected);
        XhtmlConvertResult result;
        result.ok = ok;
        result.errorMessage = message;
        result.errorLine = line;
        result.errorColumn = 7;
        QCOMPARE(MobiMarkup::formatKf8ParseError(2, "无 NCX 整文档解析", 100, 90, result), expected);
    }

    void toc_data()
    {
        QTest::addColumn<QString>("html");
        QTest::addColumn<QString>("expected");  // title@anchor entries
        const QString body = "<h2 id=\"c1\">One</h2>x<h2 id=\"c2\">Two</h2>y<h2><a name=\"c3\"/>T&amp;3</h2>";
        QTest::newRow("link run")
            << "<p><a href=\"#c1\">One</a><a href=\"book.html#c2\"><b>Two</b></a><a href=\"#c3\">3</a></p>" + body
            << "One@c1|Two@c2|3@c3";
        QTest::newRow("two links: headings instead")
            << "<a href=\"#c1\">a</a><a href=\"#c2\">b</a>" + body << "One@c1|Two@c2|T&3@c3";
        QTest::newRow("run broken by a backward link keeps the longest")
            << "<a href=\"#c2\">b</a><a href=\"#c1\">a</a><a href=\"#c2\">b</a><a href=\"#c3\">c</a>" + body
            << "a@c1|b@c2|c@c3";
        QTest::newRow("toc reference: two links, links before it ignored")
            << "<reference type=\"TOC\" filepos=\"0009\"/><a href=\"#c3\">z</a><a id=\"mobi-filepos-9\"></a>"
               "<a href=\"#c1\">a</a><a href=\"#other.html#c2\">no</a><a href=\"#c2\">b</a>" + body
            << "a@c1|b@c2";
        QTest::newRow("neither") << "<p id=\"a\">x</p><h1 id=\"a\">Only</h1>" << "";
    }

    void toc()
    {
        QFETCH(QString, html);
        QFETCH(QString, expected);
        QStringList entries;
        for (const MobiTocEntry &e : MobiMarkup::buildMobiToc(html)) {
            entries << e.title + "@" + e.anchor;
            QVERIFY(html.midRef(e.anchorPosition).startsWith("<"));
        }
        QCOMPARE(entries.join("|"), expected);
    }

    void navAnchors_data()
    {
        QTest::addColumn<QByteArray>("part");
        QTest::addColumn<QList<quint32>>("offsets");  // of part 3; 99 marks an entry of part 4
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QByteArray>("expected");
        QTest::addColumn<QString>("anchors");
        using Offsets = QList<quint32>;
        QTest::newRow("tag without id") << QByteArray("<p>a</p>") << Offsets{0, 99} << true
                                        << QByteArray("<p id=\"kf8-nav-3-0\">a</p>") << "0=kf8-nav-3-0";
        QTest::newRow("text: nearest opening tag, end tags skipped")
            << QByteArray("<div><p>a</p>b</div>") << Offsets{9, 13} << true
            << QByteArray("<div><p id=\"kf8-nav-3-0\">a</p>b</div>") << "9=kf8-nav-3-0;13=kf8-nav-3-0";
        QTest::newRow("own id, not data-id") << QByteArray("<p data-id=\"d\" id='own'>x") << Offsets{20}
                                             << true << QByteArray("<p data-id=\"d\" id='own'>x") << "20=own";
        QTest::newRow("two entries in one tag, self-closed, end of part")
            << QByteArray("<img src=\"a\"/>") << Offsets{0, 14} << true
            << QByteArray("<img src=\"a\" id=\"kf8-nav-3-0\"/>") << "0=kf8-nav-3-0;14=kf8-nav-3-0";
        QTest::newRow("past the end") << QByteArray("<p>a</p>") << Offsets{9} << false
                                      << QByteArray("<p>a</p>") << "";
        QTest::newRow("no opening tag") << QByteArray("text</p>") << Offsets{3} << false
                                        << QByteArray("text</p>") << "";
    }

    void navAnchors()
    {
        QFETCH(QByteArray, part);
        QFETCH(QList<quint32>, offsets);
        QFETCH(bool, ok);
        QFETCH(QByteArray, expected);
        QFETCH(QString, anchors);
        QList<Kf8NavEntry> navigation;
        for (quint32 offset : offsets)
            navigation.append({QStringLiteral("t"), offset == 99 ? 4 : 3, offset == 99 ? 0 : offset});
        QMap<quint32, QString> map;
        QCOMPARE(MobiParser::assignNavAnchors(part, navigation, 3, 65001, map), ok);
        QCOMPARE(part, expected);
        QStringList got;
        for (auto it = map.constBegin(); ok && it != map.constEnd(); ++it)
            got << QString::number(it.key()) + "=" + it.value();
        QCOMPARE(got.join(';'), anchors);
    }
};

QTEST_MAIN(TestMobiMarkup)
#include "tst_mobimarkup.moc"
