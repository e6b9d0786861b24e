// Paragraphs packed while an FB2 book is walked come back exactly as they went
// in, whatever fields they set, in order across appends, a prepend and pieces.

#include "fb2packedparagraphs.h"

#include <QtTest>

namespace {

// Every field away from its default; empty strings stay empty, not null.
Paragraph everyField(int seed)
{
    Paragraph p;
    p.kind = Paragraph::TableCell; p.headingLevel = 3; p.firstGlyphIndex = -7;
    p.startProgressIndex = qint64(1) << 40; p.progressWeight = -(qint64(1) << 50);
    p.alignment = 2; p.textIndent = Paragraph::ExplicitZeroIndent; p.marginLeft = -1.5f;
    p.marginRight = 2.25f; p.spaceBefore = 1e-9f; p.spaceAfter = 3.0f; p.lineHeight = 1.4f;
    p.bgColor = QStringLiteral("#fff"); p.documentBgColor = QString(""); p.preformatted = true;
    p.tableId = seed; p.tableRow = 0; p.tableColumn = 5; p.tableColumnCount = 256;
    p.tableHeader = true; p.footnoteId = QStringLiteral("注1"); p.imageId = QStringLiteral("a.png");
    p.imageWidth = -1; p.imageHeight = 70000; p.hCenter = true; p.vCenter = true;
    TextChunk c;
    c.text = QStringLiteral("𝄞 é"); c.bold = c.italic = c.underline = c.strikethrough = true;
    c.fontDelta = -3; c.fontScale = 0.8f; c.fontFamily = QString(""); c.color = QStringLiteral("red");
    c.highlightColor = QStringLiteral("#ff0"); c.fontWeight = 900; c.vertAlign = 2;
    c.anchorHref = QStringLiteral("#n1");
    p.chunks = {c, TextChunk(), c};
    return p;
}

bool sameNullness(const Paragraph &a, const Paragraph &b)
{
    return a.documentBgColor.isNull() == b.documentBgColor.isNull()
        && a.bgColor.isNull() == b.bgColor.isNull() && a.chunks.size() == b.chunks.size()
        && (a.chunks.isEmpty() || a.chunks[0].fontFamily.isNull() == b.chunks[0].fontFamily.isNull());
}

}

class TestFb2Packed : public QObject
{
    Q_OBJECT

private slots:
    void roundTrip_data()
    {
        QTest::addColumn<int>("count");   // paragraphs appended, in two calls
        QTest::addColumn<int>("piece");   // paragraphs taken at a time
        QTest::newRow("one, whole") << 1 << 10;
        QTest::newRow("across blocks, odd pieces") << 5000 << 7;
        QTest::newRow("across blocks, one piece") << 5000 << 100000;
    }
    void roundTrip()
    {
        QFETCH(int, count);
        QFETCH(int, piece);
        QVector<Paragraph> first;
        QVector<Paragraph> second;
        for (int i = 0; i < count; ++i)
            (i % 2 ? second : first).append(i % 3 ? everyField(i) : Paragraph());
        const QVector<Paragraph> titles{everyField(-1), Paragraph()};
        Fb2PackedParagraphs packed;
        packed.append(first);
        packed.append(second);
        packed.prepend(titles);
        const QVector<Paragraph> expected = titles + first + second;
        QCOMPARE(packed.size(), expected.size());
        qint64 chunks = 0;
        for (const Paragraph &p : expected)
            chunks += p.chunks.size();
        QCOMPARE(packed.chunkCount(), chunks);
        QVector<Paragraph> back;
        while (!packed.isEmpty()) {
            const QVector<Paragraph> taken = packed.takeFront(piece);
            QVERIFY(!taken.isEmpty() && taken.size() <= piece);
            back += taken;
        }
        QCOMPARE(packed.chunkCount(), qint64(0));
        QVERIFY(packed.takeFront(piece).isEmpty());
        QCOMPARE(back.size(), expected.size());
        for (int i = 0; i < back.size(); ++i) {
            QVERIFY2(back[i] == expected[i] && sameNullness(back[i], expected[i]),
                     qPrintable(QString::number(i)));
        }
    }
};

QTEST_GUILESS_MAIN(TestFb2Packed)
#include "tst_fb2packed.moc"
