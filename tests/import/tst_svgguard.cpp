// Drawings as real books carry them come out of the SVG guard drawn exactly
// as Qt SVG draws the original; drawings that would cost without bound or
// reach outside come out refused or within budget.

#include "svgguard.h"

#include <QBuffer>
#include <QImageReader>
#include <QTextCodec>
#include <QtTest>
#include <QXmlStreamReader>

namespace {

const QByteArray Open = "<svg xmlns=\"http://www.w3.org/2000/svg\" xmlns:xlink=\"http://www.w3.org/1999/xlink\">";

// A thousand <use> of a thousand <use>: a million elements drawn, the uses
// in the form the row gives ("%1": the id named), the targets defined by
// `define`, and `after` following.
QByteArray fanOut(const QByteArray &use, const QByteArray &define = "id", const QByteArray &after = QByteArray())
{
    const QString form = QString::fromLatin1(use);
    return Open + "<defs><path " + define + "=\"p\" d=\"M0 0 L9 9\"/><g " + define + "=\"a\">"
        + form.arg("p").repeated(1000).toLatin1() + "</g><g id=\"b\">" + form.arg("a").repeated(1000).toLatin1()
        + "</g></defs><use xlink:href=\"#b\"/>" + after + "</svg>";
}

QByteArray entities(int references, int length)
{
    return "<!DOCTYPE svg [<!ENTITY e \"" + QByteArray(length, 'x') + "\">]>" + Open + "<text>"
        + QByteArray("&e;").repeated(references) + "</text></svg>";
}

// A picture's header: Qt reads its size from it without decoding.
QByteArray pictureHeader(int side)
{
    QByteArray bmp(54, '\0');
    QDataStream stream(&bmp, QIODevice::WriteOnly);
    stream.setByteOrder(QDataStream::LittleEndian);
    stream.writeRawData("BM", 2);
    stream << quint32(54 + side * side * 3) << quint32(0) << quint32(54) << quint32(40) << qint32(side)
           << qint32(side) << quint16(1) << quint16(24) << quint32(0) << quint32(side * side * 3);
    return bmp;
}

// In an encoding, without the byte-order mark unless the text has one.
QByteArray encoded(const QString &text, const char *codec)
{
    QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
    return QTextCodec::codecForName(codec)->fromUnicode(text.constData(), text.size(), &state);
}

// As Qt SVG draws it, whether or not Qt's detection would take it for SVG.
QImage draw(const QByteArray &bytes)
{
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "svg");
    reader.setScaledSize(QSize(120, 90));
    return reader.read().convertToFormat(QImage::Format_ARGB32);
}

}

class TestSvgGuard : public QObject
{
    Q_OBJECT

private slots:
    void realDrawingUnchanged_data()
    {
        QTest::addColumn<QByteArray>("drawing");
        const QByteArray open = "<svg xmlns=\"http://www.w3.org/2000/svg\" xmlns:xlink=\"http://www.w3.org/1999/xlink\" "
                                "width=\"120\" height=\"90\" viewBox=\"0 0 120 90\">";
        QTest::newRow("gradients inheriting stops, fill by url()")
            << open + "<defs><linearGradient id=\"a\"><stop offset=\"0\" stop-color=\"#f80\"/><stop offset=\"1\" "
                      "stop-color=\"#08f\"/></linearGradient><linearGradient id=\"b\" xlink:href=\"#a\" x2=\"0\" "
                      "y2=\"1\"/></defs><rect width=\"60\" height=\"90\" style=\"fill:url(#a)\"/>"
                      "<rect x=\"60\" width=\"60\" height=\"90\" fill=\"url(#b)\"/></svg>";
        QTest::newRow("use of defs, style sheet in CDATA")
            << open + "<style><![CDATA[ .c { fill: #2a6; stroke: black } ]]></style><defs><circle id=\"d\" r=\"12\" "
                      "class=\"c\"/></defs><use xlink:href=\"#d\" x=\"20\" y=\"20\"/><use xlink:href=\"#d\" x=\"80\" "
                      "y=\"60\"/><path d=\"M10 80 L110 10\" stroke=\"red\" stroke-width=\"3\"/></svg>";
        QTest::newRow("Illustrator: entities for namespaces, Latin-1")
            << QByteArray("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<!DOCTYPE svg PUBLIC \"-//W3C//DTD SVG "
                          "1.1//EN\" \"http://www.w3.org/Graphics/SVG/1.1/DTD/svg11.dtd\" [\n<!ENTITY ns_svg "
                          "\"http://www.w3.org/2000/svg\">\n<!ENTITY c \"#c33\">\n]>\n<!-- Generator -->\n"
                          "<svg xmlns=\"&ns_svg;\" width=\"120\" height=\"90\"><title>Caf\xe9</title>"
                          "<polygon points=\"10,80 60,10 110,80\" fill=\"&c;\"/></svg>");
        QTest::newRow("prefixed root, Inkscape attributes")
            << QByteArray("<svg:svg xmlns:svg=\"http://www.w3.org/2000/svg\" xmlns:inkscape=\"http://www.inkscape.org/"
                          "namespaces/inkscape\" width=\"120\" height=\"90\"><svg:g inkscape:label=\"Layer\" transform="
                          "\"translate(10,10)\"><svg:rect width=\"50\" height=\"40\" fill=\"#639\"/></svg:g></svg:svg>");
        // Forms Qt SVG reads that do not open with "<" in ASCII.
        const QString plain = QString::fromLatin1(open + "<circle cx=\"60\" cy=\"45\" r=\"30\" fill=\"#c60\"/></svg>");
        const QChar mark(QChar::ByteOrderMark);
        QTest::newRow("UTF-16BE without a mark") << encoded(plain, "UTF-16BE");
        QTest::newRow("UTF-32BE without a mark") << encoded(plain, "UTF-32BE");
        QTest::newRow("UTF-16LE mark, white space") << encoded(mark + QString(40, QLatin1Char(' ')) + plain, "UTF-16LE");
        QTest::newRow("UTF-32LE mark, white space") << encoded(mark + QString(40, QLatin1Char('\t')) + plain, "UTF-32LE");
        QTest::newRow("UTF-16BE mark, doctype") << encoded(mark + QString("<!DOCTYPE svg>") + plain, "UTF-16BE");
        QTest::newRow("5000 white spaces") << encoded(QString(" \r\n\t").repeated(1250) + plain, "UTF-8");
        QTest::newRow("UTF-8 mark, 5000 white spaces") << encoded(mark + QString(5000, ' ') + plain, "UTF-8");
    }

    void realDrawingUnchanged()
    {
        QFETCH(QByteArray, drawing);
        const QImage original = draw(drawing);
        QImage blank(original.size(), original.format());
        blank.fill(Qt::transparent);
        QVERIFY(!original.isNull() && original != blank);
        QVERIFY(SvgGuard::isDrawing(drawing));
        QCOMPARE(draw(SvgGuard::guard(drawing)), original);
    }

    void drawingWithinBudget_data()
    {
        QTest::addColumn<QByteArray>("drawing");
        QTest::addColumn<int>("pictures");  // kept, or -1: refused
        const QByteArray use = "<use xlink:href=\"#%1\"/>";
        QTest::newRow("use: ids defined again later") << fanOut(use, "id", "<g id=\"a\"/>") << -1;
        QTest::newRow("use: targets by xml:id") << fanOut(use, "xml:id") << -1;
        QTest::newRow("use: xlink:href, then href") << fanOut("<use xlink:href=\"#%1\" href=\"#n\"/>") << -1;
        QTest::newRow("use: href, then xlink:href") << fanOut("<use href=\"#%1\" xlink:href=\"#n\"/>") << -1;
        QTest::newRow("use: a repeated id within bounds")
            << Open + "<rect id=\"a\" width=\"4\" height=\"4\"/><rect id=\"a\" width=\"2\" height=\"2\"/>"
                      "<use xlink:href=\"#a\" x=\"5\"/></svg>" << 0;
        QTest::newRow("100,000 references of an entity") << entities(100000, 100) << -1;
        QTest::newRow("1,000,000 references of an entity") << entities(1000000, 10) << -1;
        QTest::newRow("an entity declared past white space")
            << entities(100000, 100).replace("ENTITY e ", "ENTITY e" + QByteArray(2000, ' ')) << -1;
        QTest::newRow("entities through entities")
            << "<!DOCTYPE svg [<!ENTITY a \"xxxx\"><!ENTITY b \"&a;&a;\">]>" + Open + "<text>&b;</text></svg>" << -1;
        QTest::newRow("parameter entities")
            << "<!DOCTYPE svg [<!ENTITY % p \"<!ENTITY e 'x'>\">%p;]>" + Open + "<text>&e;</text></svg>" << -1;
        const QByteArray image = "<image width=\"9\" height=\"9\" xlink:href=\"%1\"/>";
        const QByteArray large = QString::fromLatin1(image).arg("large.bmp").toLatin1().repeated(16);
        QTest::newRow("sixteen copies of an 8000 x 8000 picture") << Open + large + "</svg>" << 0;
        QTest::newRow("sixteen copies of a 2000 x 2000 picture")
            << Open + QByteArray(large).replace("large", "small") + "</svg>" << 4;
        QTest::newRow("sixteen 2000 x 2000 pictures inline")
            << Open + QString::fromLatin1(image).arg(QString::fromLatin1("data:image/bmp;base64," + pictureHeader(2000).toBase64()))
                      .toLatin1().repeated(16) + "</svg>" << 4;
        const QByteArray css[] = {"fill:ur@import;l(OUT)", "fill:url(\"#a) url(OUT\")", "fill:url(OUT",
                                  "fill:u\\72l(OUT)"};
        for (const QByteArray &style : css) {
            QTest::newRow("style attribute " + style) << Open + "<rect style='" + style + "'/></svg>" << 0;
            QTest::newRow("style sheet " + style) << Open + "<style>rect{" + style + "}</style></svg>" << 0;
        }
        QTest::newRow("style sheet split by a comment") << Open + "<style>rect{fill:ur<!-- -->l(OUT)}</style></svg>" << 0;
        QTest::newRow("style sheet split by CDATA") << Open + "<style>rect{fill:ur<![CDATA[l(OUT)}]]></style></svg>" << 0;
        QTest::newRow("style sheet split by an element") << Open + "<style>@imp<g/>ort 'OUT';</style></svg>" << 0;
        QTest::newRow("attribute name @mlns:xlink")
            << QByteArray("<svg xmlns=\"http://www.w3.org/2000/svg\" @mlns:xlink=\"http://www.w3.org/1999/xlink\"/>") << -1;
        QTest::newRow("attribute name from an entity")
            << "<!DOCTYPE svg [<!ENTITY e \"<g @x='1'/>\">]>" + Open + "&e;</svg>" << -1;
    }

    // Refused, or written as well-formed XML that reaches nothing outside
    // and keeps only the pictures within the drawing's budget.
    void drawingWithinBudget()
    {
        QFETCH(QByteArray, drawing);
        QFETCH(int, pictures);
        const QByteArray out = SvgGuard::sanitize(drawing, "OEBPS/d.svg", [](const QString &name) {
            return name == "OEBPS/large.bmp" ? pictureHeader(8000)
                : name == "OEBPS/small.bmp"  ? pictureHeader(2000) : QByteArray();
        });
        QCOMPARE(out.isEmpty(), pictures < 0);
        if (out.isEmpty())
            return;
        // Read back as Qt SVG reads it: the text of a style sheet joined.
        QString text;
        QXmlStreamReader reader(out);
        while (!reader.atEnd()) {
            reader.readNext();
            text += reader.text();
            for (const QXmlStreamAttribute &attribute : reader.attributes())
                text += QLatin1Char(' ') + attribute.value();
        }
        QVERIFY2(!reader.hasError(), qPrintable(reader.errorString()));
        static const QRegularExpression outside("url\\((?!#)|@import|\\\\", QRegularExpression::CaseInsensitiveOption);
        QVERIFY2(!text.contains(outside), out.constData());
        QCOMPARE(out.count("data:"), pictures);
    }
};

QTEST_MAIN(TestSvgGuard)
#include "tst_svgguard.moc"
