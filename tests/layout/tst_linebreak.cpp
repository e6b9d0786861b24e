#include "linebreak.h"
#include "paragraphutils.h"

#include <QRandomGenerator>
#include <QTextBoundaryFinder>
#include <QtTest>

class TestLineBreak : public QObject
{
    Q_OBJECT

private slots:
    void codePointStepping_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("index");
        QTest::addColumn<uint>("at");
        QTest::addColumn<int>("next");
        QTest::addColumn<int>("previous");

        const QString pair = QString::fromUcs4(U"a\U0001F600b");   // a, surrogate pair, b
        QTest::newRow("plain") << QStringLiteral("abc") << 1 << uint('b') << 2 << 0;
        QTest::newRow("pair start") << pair << 1 << uint(0x1F600) << 3 << 0;
        QTest::newRow("after pair") << pair << 3 << uint('b') << 4 << 1;
        QTest::newRow("lone high surrogate") << QString(QChar(0xD83D)) + "x" << 0 << uint(0xD83D) << 1 << -1;
        QTest::newRow("lone low surrogate") << "x" + QString(QChar(0xDE00)) << 1 << uint(0xDE00) << 2 << 0;
    }

    void codePointStepping()
    {
        QFETCH(QString, text);
        QFETCH(int, index);
        QFETCH(uint, at);
        QFETCH(int, next);
        QFETCH(int, previous);
        QCOMPARE(codePointAt(text, index), at);
        QCOMPARE(nextCodePointIndex(text, index), next);
        QCOMPARE(previousCodePointIndex(text, index), previous);
        if (next <= text.size())
            QCOMPARE(codePointBefore(text, next), at);
    }

    void previousClusterStart_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("expected");
        // Skin tone and variation selector belong to the code point before them.
        QTest::newRow("skin tone") << QString::fromUcs4(U"x\U0001F44D\U0001F3FD") << 1;
        QTest::newRow("variation selector") << QString::fromUcs4(U"x\u2764\uFE0F") << 1;
    }

    void previousClusterStart()
    {
        QFETCH(QString, text);
        QTEST(::previousClusterStart(text, text.size()), "expected");
    }

    void canBreakAt_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("position");
        QTest::addColumn<bool>("expected");

        QTest::newRow("between ideographs") << QStringLiteral("天地") << 1 << true;
        QTest::newRow("before full stop") << QStringLiteral("天。") << 1 << false;
        QTest::newRow("before small tsu") << QStringLiteral("あっ") << 1 << false;
        QTest::newRow("after opening corner") << QStringLiteral("「天") << 1 << false;
        QTest::newRow("inside ellipsis pair") << QStringLiteral("……") << 1 << false;
        QTest::newRow("between full stops") << QStringLiteral("a..") << 2 << false;
        QTest::newRow("after closing corner") << QStringLiteral("」天") << 1 << true;
        QTest::newRow("text ends") << QStringLiteral("天。") << 2 << true;
        QTest::newRow("text starts") << QStringLiteral("。天") << 0 << true;
        QTest::newRow("before variation selector") << QString::fromUcs4(U"\u2764\uFE0F") << 1 << false;
        QTest::newRow("before joiner") << QString::fromUcs4(U"a\u200Db") << 1 << false;
        QTest::newRow("after joiner") << QString::fromUcs4(U"a\u200Db") << 2 << false;
        QTest::newRow("inside surrogate pair") << QString::fromUcs4(U"\U0001F600") << 1 << false;
    }

    void canBreakAt()
    {
        QFETCH(QString, text);
        QFETCH(int, position);
        QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
        QTEST(::canBreakAt(text, position, finder), "expected");
    }

    void findLineBreak_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("start");
        QTest::addColumn<int>("end");
        QTest::addColumn<int>("expected");

        QTest::newRow("allowed at end") << QStringLiteral("天地人和") << 0 << 2 << 2;
        QTest::newRow("full stop pulls previous character") << QStringLiteral("天地人。和") << 0 << 3 << 2;
        QTest::newRow("opening quote moves down") << QStringLiteral("天地「人」") << 0 << 3 << 2;
        QTest::newRow("dash pair moves with its word") << QStringLiteral("天地——人") << 0 << 3 << 1;
        // Nothing in (start, end] satisfies the punctuation: last boundary wins.
        QTest::newRow("only punctuation") << QStringLiteral("天。。。。") << 0 << 3 << 3;
        // No valid boundary inside: the first one after start, past end.
        QTest::newRow("joined sequence") << QString::fromUcs4(U"a\u200Db\u200Dcd") << 0 << 2 << 5;
    }

    void findLineBreak()
    {
        QFETCH(QString, text);
        QFETCH(int, start);
        QFETCH(int, end);
        QFETCH(int, expected);
        QCOMPARE(::findLineBreak(text, start, end), expected);
        QTextBoundaryFinder shared(QTextBoundaryFinder::Grapheme, text);
        QCOMPARE(::findLineBreak(text, start, end, shared), expected);
    }

    // The one-pass table answers like the per-position count.
    void glyphIndexTable()
    {
        const QStringList pieces{QStringLiteral("don't"), QStringLiteral(" "), QStringLiteral("天"),
                                 QStringLiteral("42"), QStringLiteral("-x"), QStringLiteral("。"),
                                 QStringLiteral("\u00e9t\u00e9"), QString()};
        QRandomGenerator random(17);
        for (int round = 0; round < 50; ++round) {
            Paragraph p;
            for (int c = random.bounded(1, 5); c > 0; --c) {
                TextChunk chunk;
                for (int k = random.bounded(0, 6); k > 0; --k)
                    chunk.text += pieces[random.bounded(pieces.size())];
                p.chunks.append(chunk);
            }
            const QVector<int> table = ::glyphIndexTable(p);
            QCOMPARE(table.size(), p.plainText().size() + 1);
            for (int position = 0; position < table.size(); ++position)
                QCOMPARE(table[position], glyphIndexAt(p, position));
        }
    }
};

QTEST_GUILESS_MAIN(TestLineBreak)
#include "tst_linebreak.moc"
