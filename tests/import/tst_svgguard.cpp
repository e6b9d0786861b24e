// Drawings as real books carry them come out of the SVG guard drawn exactly
// as Qt SVG draws the original.

#include "svgguard.h"

#include <QBuffer>
#include <QImageReader>
#include <QtTest>

namespace {

QImage draw(const QByteArray &bytes)
{
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
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
    }

    void realDrawingUnchanged()
    {
        QFETCH(QByteArray, drawing);
        const QImage original = draw(drawing);
        QImage blank(original.size(), original.format());
        blank.fill(Qt::transparent);
        QVERIFY(!original.isNull() && original != blank);
        QCOMPARE(draw(SvgGuard::guard(drawing)), original);
    }
};

QTEST_MAIN(TestSvgGuard)
#include "tst_svgguard.moc"
