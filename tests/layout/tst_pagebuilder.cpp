#include "pagebuilder.h"

#include <QtTest>

namespace {

// Lines written as "paragraph:height" with an optional kind suffix:
// "i" image, "v" vertically centred image, "tN" row of table N.
// Text lines get one (empty) glyph run so they are not blank lines.
QVector<LayoutLine> parseLines(const QString &spec)
{
    QVector<LayoutLine> lines;
    for (const QString &token : spec.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const QRegularExpressionMatch m =
            QRegularExpression(QStringLiteral("^(\\d+):(\\d+)(i|v|t\\d+)?$")).match(token);
        Q_ASSERT(m.hasMatch());
        LayoutLine line;
        line.paragraphIndex = m.captured(1).toInt();
        line.height = m.captured(2).toFloat();
        const QString kind = m.captured(3);
        if (kind == QLatin1String("i") || kind == QLatin1String("v")) {
            line.isImage = true;
            line.vCenter = kind == QLatin1String("v");
        } else if (kind.startsWith(QLatin1Char('t'))) {
            line.isTableRow = true;
            line.tableId = kind.mid(1).toInt();
        } else {
            line.glyphRuns.resize(1);
        }
        line.lineIndex = lines.size();
        line.startGlyph = 10 * lines.size();
        line.chapterId = QStringLiteral("ch");
        lines.append(line);
    }
    return lines;
}

// Pages as "line@y line@y|line@y ...".
QString describe(const QVector<PageLayout> &pages)
{
    QStringList out;
    for (const PageLayout &page : pages) {
        QStringList placed;
        for (const LayoutLine &line : page.lines)
            placed << QStringLiteral("%1@%2").arg(line.lineIndex).arg(double(line.y));
        out << placed.join(QLatin1Char(' '));
    }
    return out.join(QLatin1Char('|'));
}

LayoutConfig config(float height, bool orphanControl, bool continuous)
{
    LayoutConfig c;
    c.pageHeight = height;
    c.marginTop = c.marginBottom = 0;
    c.orphanControl = orphanControl;
    c.continuousMode = continuous;
    return c;
}

}

class TestPageBuilder : public QObject
{
    Q_OBJECT

private slots:
    // continuous: one long strip cut into bands of the page height.
    void pages_data()
    {
        QTest::addColumn<QString>("lines");
        QTest::addColumn<float>("height");
        QTest::addColumn<bool>("orphanControl");
        QTest::addColumn<bool>("continuous");
        QTest::addColumn<QString>("expected");

        QTest::newRow("paged, nothing") << "" << 920.0f << true << false << "";
        QTest::newRow("paragraph spacing between lines")
            << "0:27 1:27 2:27 3:27" << 100.0f << false << false << "0@0 1@35 2@70|3@0";
        QTest::newRow("spacing counted before the fit test")
            << "0:27 1:27" << 61.0f << false << false << "0@0|1@0";
        QTest::newRow("no spacing inside a paragraph") << "0:27 0:27" << 61.0f << false << false << "0@0 1@27";
        QTest::newRow("centred image alone") << "0:27 1:100v 2:27" << 920.0f << false << false << "0@0|1@0|2@0";
        QTest::newRow("plain image shares the page")
            << "0:27 1:100i 2:27" << 920.0f << false << false << "0@0 1@35 2@143";
        QTest::newRow("line taller than the page")
            << "0:27 1:150 2:27" << 100.0f << false << false << "0@0|1@0|2@0";
        QTest::newRow("rows of one table without spacing")
            << "0:27t1 1:27t1 2:27t2" << 100.0f << false << false << "0@0 1@27 2@62";
        QTest::newRow("breaks where the height runs out")
            << "0:27 0:27 1:27 1:27 1:27 2:27" << 100.0f << false << false << "0@0 1@27 2@62|3@0 4@27 5@62";
        QTest::newRow("first line kept with the next")
            << "0:27 0:27 1:27 1:27 1:27 2:27" << 100.0f << true << false << "0@0 1@27|2@0 3@27 4@54|5@0";
        QTest::newRow("last line brings its predecessor")
            << "0:27 1:27 1:27 1:27 2:27" << 100.0f << true << false << "0@0 1@35|2@0 3@27 4@62";
        QTest::newRow("predecessor never leaves its page empty")
            << "0:80 0:27 1:27" << 100.0f << true << false << "0@0|1@0 2@35";
        QTest::newRow("predecessor stays when both would not fit")
            << "0:27 0:50 0:60 1:27" << 100.0f << true << false << "0@0 1@27|2@0 3@68";
        QTest::newRow("an image is never pulled")
            << "0:27 1:50i 1:40 2:27" << 100.0f << true << false << "0@0 1@35|2@0 3@48";
        QTest::newRow("cut line on both pages") << "0:900 0:50" << 920.0f << true << true << "0@0 1@900|1@-20";
        QTest::newRow("line ending on the band edge") << "0:100 0:10" << 100.0f << true << true << "0@0|1@0";
        QTest::newRow("rows of one table, then another")
            << "0:27t1 1:27t1 2:27t2" << 100.0f << true << true << "0@0 1@27 2@62";
        QTest::newRow("line without height is skipped") << "0:0 1:27" << 100.0f << true << true << "1@8";
        QTest::newRow("tall image over three bands") << "0:10 1:250i" << 100.0f << true << true << "0@0 1@18|1@-82|1@-182";
    }

    void pages()
    {
        QFETCH(QString, lines);
        QFETCH(float, height);
        QFETCH(bool, orphanControl);
        QFETCH(bool, continuous);
        const QVector<PageLayout> pages =
            PageBuilder::buildPages(parseLines(lines), config(height, orphanControl, continuous));
        QTEST(describe(pages), "expected");
        for (int i = 0; i < pages.size(); ++i) {
            const PageLayout &page = pages[i];
            QCOMPARE(page.pageIndex, i);
            QCOMPARE(page.chapterId, continuous ? QStringLiteral("ch") : QString());
            QCOMPARE(page.startGlyph, page.lines.first().startGlyph);
            for (const LayoutLine &line : page.lines)
                QVERIFY(!continuous || line.stripY == line.y + i * height);
        }
    }
};

QTEST_GUILESS_MAIN(TestPageBuilder)
#include "tst_pagebuilder.moc"
