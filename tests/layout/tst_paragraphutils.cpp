#include "paragraphutils.h"

#include <QRandomGenerator>
#include <QtTest>

Q_DECLARE_METATYPE(Paragraph)

namespace {

TextChunk chunk(const QString &text)
{
    TextChunk c;
    c.text = text;
    return c;
}

Paragraph textParagraph(const QStringList &texts, int kind = Paragraph::Body)
{
    Paragraph p;
    p.kind = kind;
    for (const QString &t : texts)
        p.chunks.append(chunk(t));
    return p;
}

Paragraph block(const QString &text, int firstGlyph = 0, qint64 startProgress = 0)
{
    Paragraph p = textParagraph({text}, Paragraph::PlainTextBlock);
    p.firstGlyphIndex = firstGlyph;
    p.startProgressIndex = startProgress;
    p.progressWeight = text.size();
    return p;
}

// The expansion written the slow, obvious way: cut at every break, count
// every unit before each line from the start of the text.
QVector<Paragraph> referenceExpansion(const Paragraph &source)
{
    const QString text = source.chunks.first().text;
    QVector<Paragraph> out;
    int lineStart = 0;
    for (int i = 0; i <= text.size(); ++i) {
        if (i < text.size() && text[i] != QLatin1Char('\r') && text[i] != QLatin1Char('\n'))
            continue;
        int s = lineStart, e = i;
        while (s < e && isParagraphWhitespace(text[s]))
            ++s;
        while (e > s && isParagraphWhitespace(text[e - 1]))
            --e;
        if (s < e) {
            Paragraph p;
            p.firstGlyphIndex = source.firstGlyphIndex + glyphUnitCount(text.left(s));
            p.startProgressIndex = source.startProgressIndex + s;
            p.progressWeight = e - s;
            p.chunks.append(chunk(text.mid(s, e - s)));
            out.append(p);
        }
        lineStart = i + 1;
    }
    return out;
}

}

class TestParagraphUtils : public QObject
{
    Q_OBJECT

private slots:
    void glyphUnits_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QVector<int>>("bounds");   // start, length pairs

        QTest::newRow("empty") << QString() << QVector<int>{};
        QTest::newRow("comma splits words") << QStringLiteral("abc,def") << QVector<int>{0, 3, 3, 1, 4, 3};
        QTest::newRow("apostrophe and accents") << QStringLiteral("l'\u00e9t\u00e9") << QVector<int>{0, 5};
        QTest::newRow("digits and hyphen") << QStringLiteral("3-4") << QVector<int>{0, 3};
        QTest::newRow("space between letters") << QStringLiteral("a b") << QVector<int>{0, 1, 1, 1, 2, 1};
        QTest::newRow("hyphenated word, space, number") << QStringLiteral("don't-stop 42")
                                                       << QVector<int>{0, 10, 10, 1, 11, 2};
        QTest::newRow("CJK one each") << QStringLiteral("\u4e2d\u6587") << QVector<int>{0, 1, 1, 1};
        QTest::newRow("leading hyphen is its own unit") << QStringLiteral("-ab")
                                                       << QVector<int>{0, 1, 1, 2};
        QTest::newRow("right quote starts a word") << QStringLiteral("\u2019tis x")
                                                  << QVector<int>{0, 4, 4, 1, 5, 1};
        QTest::newRow("surrogate halves") << QString::fromUcs4(U"\U0001F600a")
                                         << QVector<int>{0, 1, 1, 1, 2, 1};
        QTest::newRow("word ends at CJK") << QStringLiteral("ab\u4e2dc") << QVector<int>{0, 2, 2, 1, 3, 1};
    }

    void glyphUnits()
    {
        QFETCH(QString, text);
        QFETCH(QVector<int>, bounds);
        QVector<GlyphUnit> expected;
        for (int i = 0; i < bounds.size(); i += 2)
            expected.append(GlyphUnit{bounds[i], bounds[i + 1]});
        QCOMPARE(::glyphUnits(text), expected);
        QCOMPARE(glyphUnitCount(text), expected.size());
    }

    // Every UTF-16 unit starts a word exactly when it is a Latin letter or a
    // digit, and continues one when it is either or '-' or '\''.
    void wordCharactersAreLatinLettersAndDigits()
    {
        for (int u = 0; u <= 0xFFFF; ++u) {
            const QChar c(u);
            const bool starts = isLatinLetter(c) || isAsciiDigit(c);
            const bool joins = starts || u == '-' || u == '\'';
            QCOMPARE(glyphUnitCount(QString(c) + QLatin1Char('x')), starts ? 1 : 2);
            QCOMPARE(glyphUnitCount(QLatin1Char('x') + QString(c)), joins ? 1 : 2);
        }
    }

    void finalizeParagraphs_data()
    {
        QTest::addColumn<QVector<Paragraph>>("paragraphs");
        QTest::addColumn<QVector<int>>("glyphs");          // per paragraph
        QTest::addColumn<QVector<qint64>>("weights");      // per paragraph

        Paragraph image;
        image.kind = Paragraph::Image;
        Paragraph bigImage = image;
        bigImage.progressWeight = 1200;
        Paragraph negativeImage = image;
        negativeImage.progressWeight = -7;
        Paragraph imageWithText = image;
        imageWithText.chunks.append(chunk(QStringLiteral("caption text")));
        Paragraph emptyLine;
        emptyLine.kind = Paragraph::EmptyLine;
        Paragraph rule;
        rule.kind = Paragraph::Rule;
        Paragraph stale = textParagraph({QStringLiteral("xy")});
        stale.progressWeight = 99;

        QTest::newRow("empty chapter") << QVector<Paragraph>{} << QVector<int>{} << QVector<qint64>{};
        QTest::newRow("images") << QVector<Paragraph>{image, bigImage, negativeImage, imageWithText}
                                << QVector<int>{1, 1, 1, 1} << QVector<qint64>{1, 1200, 1, 1};
        QTest::newRow("hyphenated word") << QVector<Paragraph>{textParagraph({QStringLiteral("ab-c d")})}
                                         << QVector<int>{3} << QVector<qint64>{6};
        QTest::newRow("word split over chunks")
            << QVector<Paragraph>{textParagraph({QStringLiteral("ab"), QStringLiteral("c")})}
            << QVector<int>{2} << QVector<qint64>{3};
        QTest::newRow("no chunks") << QVector<Paragraph>{emptyLine, rule}
                                   << QVector<int>{0, 0} << QVector<qint64>{0, 0};
        QTest::newRow("text weight replaces stale") << QVector<Paragraph>{stale}
                                                    << QVector<int>{1} << QVector<qint64>{2};
        QTest::newRow("mixed")
            << QVector<Paragraph>{textParagraph({QStringLiteral("\u4e2d\u6587\u3002")}, Paragraph::Heading),
                                  bigImage, textParagraph({QStringLiteral("one two")})}
            << QVector<int>{3, 1, 3} << QVector<qint64>{3, 1200, 7};
    }

    void finalizeParagraphs()
    {
        QFETCH(QVector<Paragraph>, paragraphs);
        QFETCH(QVector<int>, glyphs);
        QFETCH(QVector<qint64>, weights);

        const ParagraphTotals totals = ::finalizeParagraphs(paragraphs);
        int glyphSum = 0;
        qint64 progressSum = 0;
        for (int i = 0; i < paragraphs.size(); ++i) {
            QCOMPARE(paragraphs[i].firstGlyphIndex, glyphSum);
            QCOMPARE(paragraphs[i].startProgressIndex, progressSum);
            QCOMPARE(paragraphs[i].progressWeight, weights[i]);
            QCOMPARE(glyphCount(paragraphs[i]), glyphs[i]);
            glyphSum += glyphs[i];
            progressSum += weights[i];
        }
        QCOMPARE(totals.totalGlyphs, glyphSum);
        QCOMPARE(totals.totalProgress, progressSum);
    }

    void glyphIndexAt_data()
    {
        QTest::addColumn<QStringList>("chunks");
        QTest::addColumn<int>("position");
        QTest::addColumn<int>("expected");

        QTest::newRow("start") << QStringList{QStringLiteral("ab cd")} << 0 << 0;
        QTest::newRow("inside first word") << QStringList{QStringLiteral("ab cd")} << 1 << 0;
        QTest::newRow("after first word") << QStringList{QStringLiteral("ab cd")} << 2 << 1;
        QTest::newRow("after space") << QStringList{QStringLiteral("ab cd")} << 3 << 2;
        QTest::newRow("end") << QStringList{QStringLiteral("ab cd")} << 5 << 3;
        QTest::newRow("beyond end") << QStringList{QStringLiteral("ab cd")} << 50 << 3;
        QTest::newRow("second chunk offset")
            << QStringList{QStringLiteral("ab"), QStringLiteral("c\u4e2d")} << 3 << 2;
        QTest::newRow("second chunk all") << QStringList{QStringLiteral("ab"), QStringLiteral("c\u4e2d")}
                                          << 4 << 3;
    }

    void glyphIndexAt()
    {
        QFETCH(QStringList, chunks);
        QFETCH(int, position);
        QFETCH(int, expected);
        QCOMPARE(::glyphIndexAt(textParagraph(chunks), position), expected);
    }

    void estimateImageHeight_data()
    {
        QTest::addColumn<QVector<int>>("sizes");
        QTest::addColumn<qint64>("expected");

        QTest::newRow("nothing known") << QVector<int>{0, 0, 0, 0} << qint64(900);
        QTest::newRow("wide declared") << QVector<int>{1200, 800, 0, 0} << qint64(600);
        QTest::newRow("tiny rounds up") << QVector<int>{10, 10, 0, 0} << qint64(1);
        QTest::newRow("reference square") << QVector<int>{600, 600, 0, 0} << qint64(900);
        QTest::newRow("natural only") << QVector<int>{0, 0, 300, 150} << qint64(450);
        QTest::newRow("width only, no natural") << QVector<int>{20, 0, 0, 0} << qint64(1);
        QTest::newRow("width only, natural ratio") << QVector<int>{400, 0, 200, 100} << qint64(200);
        QTest::newRow("height only, natural ratio") << QVector<int>{0, 100, 200, 100} << qint64(50);
        QTest::newRow("negative declared") << QVector<int>{-5, -5, 0, 0} << qint64(900);
        QTest::newRow("half natural") << QVector<int>{0, 0, 100, 0} << qint64(900);
        QTest::newRow("very tall image") << QVector<int>{0, 0, 1, INT_MAX} << qint64(1932735282300);
    }

    void estimateImageHeight()
    {
        QFETCH(QVector<int>, sizes);
        QFETCH(qint64, expected);
        QCOMPARE(::estimateImageHeight(sizes[0], sizes[1], sizes[2], sizes[3]), expected);
    }

    void trimmedText_data()
    {
        QTest::addColumn<QStringList>("chunks");
        QTest::addColumn<bool>("blank");

        QTest::newRow("no chunks") << QStringList{} << true;
        QTest::newRow("empty and null") << QStringList{QString(), QString(QLatin1String(""))} << true;
        QTest::newRow("spaces of many kinds") << QStringList{QStringLiteral(" \t\u00a0"), QStringLiteral("\u3000\n")}
                                             << true;
        QTest::newRow("text in second chunk") << QStringList{QStringLiteral("  "), QStringLiteral(" x ")} << false;
    }

    void trimmedText()
    {
        QFETCH(QStringList, chunks);
        QFETCH(bool, blank);
        QCOMPARE(::trimmedText(textParagraph(chunks)), blank);
    }

    void normalizeWhitespace_data()
    {
        QTest::addColumn<Paragraph>("source");
        QTest::addColumn<QStringList>("texts");
        QTest::addColumn<QVector<int>>("firstGlyphs");
        QTest::addColumn<QVector<qint64>>("startProgress");

        QTest::newRow("CRLF with leading spaces")
            << block(QStringLiteral("  x\r\ny"), 5, 10) << QStringList{QStringLiteral("x"), QStringLiteral("y")}
            << QVector<int>{7, 10} << QVector<qint64>{12, 15};
        QTest::newRow("blank lines between")
            << block(QStringLiteral("  a \r\n\r\n b"), 100, 0)
            << QStringList{QStringLiteral("a"), QStringLiteral("b")} << QVector<int>{102, 109}
            << QVector<qint64>{2, 9};
        QTest::newRow("words before a line count once")
            << block(QStringLiteral("hello world\n\u4e2d\u6587 text\r"))
            << QStringList{QStringLiteral("hello world"), QStringLiteral("\u4e2d\u6587 text")}
            << QVector<int>{0, 4} << QVector<qint64>{0, 12};
        QTest::newRow("lone CR separates")
            << block(QStringLiteral("a\rb")) << QStringList{QStringLiteral("a"), QStringLiteral("b")}
            << QVector<int>{0, 2} << QVector<qint64>{0, 2};
        QTest::newRow("unicode spaces trimmed")
            << block(QStringLiteral("\u3000\u3000\u6b63\u6587\u00a0\t\n\u0085\u2003"))
            << QStringList{QStringLiteral("\u6b63\u6587")} << QVector<int>{2} << QVector<qint64>{2};
        QTest::newRow("inner spaces kept")
            << block(QStringLiteral(" a  b ")) << QStringList{QStringLiteral("a  b")}
            << QVector<int>{1} << QVector<qint64>{1};
        QTest::newRow("only white space") << block(QStringLiteral(" \r\n\t \n")) << QStringList{}
                                          << QVector<int>{} << QVector<qint64>{};
        QTest::newRow("empty block") << block(QString()) << QStringList{} << QVector<int>{}
                                     << QVector<qint64>{};
    }

    void normalizeWhitespace()
    {
        QFETCH(Paragraph, source);
        QFETCH(QStringList, texts);
        QFETCH(QVector<int>, firstGlyphs);
        QFETCH(QVector<qint64>, startProgress);

        const QVector<Paragraph> lines = ::normalizeWhitespace(source);
        QCOMPARE(lines.size(), texts.size());
        for (int i = 0; i < lines.size(); ++i) {
            Paragraph expected;
            expected.firstGlyphIndex = firstGlyphs[i];
            expected.startProgressIndex = startProgress[i];
            expected.progressWeight = texts[i].size();
            expected.chunks.append(chunk(texts[i]));
            QCOMPARE(lines[i], expected);
        }
        QCOMPARE(lines, referenceExpansion(source));
    }

    void normalizeWhitespaceLeavesOthers_data()
    {
        QTest::addColumn<Paragraph>("source");

        Paragraph twoChunks = textParagraph({QStringLiteral("a\nb"), QStringLiteral("c")},
                                            Paragraph::PlainTextBlock);
        Paragraph noChunks;
        noChunks.kind = Paragraph::PlainTextBlock;
        Paragraph body = textParagraph({QStringLiteral("  a\n b  ")});
        body.alignment = 3;
        body.tableId = 4;
        Paragraph image;
        image.kind = Paragraph::Image;
        image.imageId = QStringLiteral("pdf://x?page=1&dpi=96");

        QTest::newRow("block of two chunks") << twoChunks;
        QTest::newRow("block without chunks") << noChunks;
        QTest::newRow("body keeps its breaks") << body;
        QTest::newRow("image") << image;
    }

    void normalizeWhitespaceLeavesOthers()
    {
        QFETCH(Paragraph, source);
        QCOMPARE(::normalizeWhitespace(source), QVector<Paragraph>{source});
    }

    // Random texts of breaks, spaces, words and CJK: the linear walk must
    // agree with counting everything before each line from the start.
    void normalizeWhitespaceMatchesReference()
    {
        const QString alphabet = QStringLiteral("ab9-' \t\r\n\u4e2d\u3000\u00e9\u2019.");
        QRandomGenerator random(20240611);
        for (int round = 0; round < 300; ++round) {
            QString text;
            const int length = random.bounded(80);
            for (int i = 0; i < length; ++i)
                text += alphabet[random.bounded(alphabet.size())];
            const Paragraph source = block(text, random.bounded(1000), random.bounded(1000));
            QCOMPARE(::normalizeWhitespace(source), referenceExpansion(source));
        }
    }

    // Expanding and numbering the lines again must land every line on the
    // positions the block had for it.
    void expansionAgreesWithChapterNumbering()
    {
        const QString text = QStringLiteral("Chapter 1\r\n\r\n  It was a dark-and-stormy night.\n\u3000\u3000\u4e2d\u6587\u3002\n");
        QVector<Paragraph> chapter{block(text)};
        const ParagraphTotals totals = ::finalizeParagraphs(chapter);
        QCOMPARE(totals.totalGlyphs, glyphUnitCount(text));
        QCOMPARE(totals.totalProgress, qint64(text.size()));

        for (const Paragraph &line : ::normalizeWhitespace(chapter.first())) {
            const int start = int(line.startProgressIndex);
            QCOMPARE(text.mid(start, int(line.progressWeight)), line.plainText());
            QCOMPARE(line.firstGlyphIndex, glyphUnitCount(text.left(start)));
        }
    }
};

QTEST_GUILESS_MAIN(TestParagraphUtils)
#include "tst_paragraphutils.moc"
