#include "layoutengine.h"
#include "linebreak.h"
#include "paragraphutils.h"
#include "rawfontcache.h"

#include <QImage>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString Chinese = QStringLiteral(
    "他说：「今天天气很好，我们去公园散步吧。」她笑了笑——没有回答，只是点了点头……"
    "（这是第一次）她想。あっ、そうか！カァカァと鳴いた。");

Paragraph text(const QString &s, int alignment = 0)
{
    Paragraph p;
    p.alignment = alignment;
    TextChunk c;
    c.text = s;
    p.chunks.append(c);
    return p;
}

LayoutConfig cjkConfig()
{
    LayoutConfig config;
    config.fontFamily = QStringLiteral("Noto Sans CJK SC");
    return config;
}

QVector<LayoutLine> allLines(const QVector<PageLayout> &pages)
{
    QVector<LayoutLine> lines;
    for (const PageLayout &page : pages)
        lines += page.lines;
    return lines;
}

}

class TestLayoutEngine : public QObject
{
    Q_OBJECT

private slots:
    void makeFont_data()
    {
        QTest::addColumn<float>("scale");
        QTest::addColumn<int>("delta");
        QTest::addColumn<int>("weight");
        QTest::addColumn<bool>("bold");
        QTest::addColumn<int>("pixelSize");
        QTest::addColumn<int>("qtWeight");

        QTest::newRow("scale capped at three") << 5.0f << 0 << 0 << false << 54 << 50;
        QTest::newRow("scale floored at 0.6") << 0.2f << 0 << 0 << false << 11 << 50;
        QTest::newRow("four pixels at least") << 1.0f << -30 << 0 << false << 4 << 50;
        QTest::newRow("css 700 is bold") << 1.0f << 0 << 700 << false << 18 << 75;
        QTest::newRow("bold flag") << 1.0f << 0 << 0 << true << 18 << 75;
        QTest::newRow("css 450 rounds to 500") << 1.0f << 0 << 450 << false << 18 << 57;
        QTest::newRow("qt weight used directly") << 1.0f << 2 << 60 << true << 20 << 60;
    }

    void makeFont()
    {
        QFETCH(float, scale);
        QFETCH(int, delta);
        QFETCH(int, weight);
        QFETCH(bool, bold);
        StyleRun style;
        style.fontScale = scale;
        style.fontDelta = delta;
        style.fontWeight = weight;
        style.bold = bold;
        const QFont font = LayoutEngine::makeFont(style, LayoutConfig());
        QTEST(font.pixelSize(), "pixelSize");
        QTEST(font.weight(), "qtWeight");
    }

    // Structure of shaped CJK text at many widths and every alignment.
    void cjkLines_data()
    {
        QTest::addColumn<float>("width");
        QTest::addColumn<int>("alignment");
        for (int alignment = 0; alignment < 4; ++alignment) {
            for (float width : {120.0f, 233.0f, 492.0f})
                QTest::addRow("width %d align %d", int(width), alignment) << width << alignment;
        }
    }

    void cjkLines()
    {
        QFETCH(float, width);
        QFETCH(int, alignment);
        QVector<Paragraph> chapter{text(Chinese + Chinese + Chinese, alignment)};
        finalizeParagraphs(chapter);
        const Paragraph &p = chapter.first();
        const QString plain = p.plainText();
        const QVector<LayoutLine> lines =
            LayoutEngine::shapeParagraph(p, 0, width, cjkConfig(), RawFontCache::forCurrentThread());

        QCOMPARE(lines.first().startProgress, qint64(0));
        QCOMPARE(lines.last().endProgress, qint64(plain.size()));
        QCOMPARE(lines.last().endGlyph, glyphCount(p));
        for (int i = 0; i < lines.size(); ++i) {
            const LayoutLine &line = lines[i];
            if (i > 0) {
                QCOMPARE(line.startGlyph, lines[i - 1].endGlyph);
                QVERIFY2(!isNoBreakBefore(plain.at(int(line.startProgress)).unicode()),
                         qPrintable(plain.mid(int(line.startProgress), 3)));
                QVERIFY2(!isNoBreakAfter(plain.at(int(line.startProgress) - 1).unicode()),
                         qPrintable(plain.mid(int(line.startProgress) - 3, 3)));
            }
            // Glyphs stay inside the column whatever the alignment.
            for (const GlyphRunItem &run : line.glyphRuns) {
                for (const QPointF &pos : run.positions)
                    QVERIFY2(pos.x() >= -0.5 && pos.x() <= width + 0.5, qPrintable(QString::number(pos.x())));
            }
        }
        // Indent on the first line only, for left and justified text.
        const float firstX = lines.first().glyphRuns.first().positions.first().x();
        if (alignment == 0 || alignment == 3)
            QVERIFY(qAbs(firstX - 36.0f) < 1.0f);
        if (alignment == 0) {
            for (int i = 1; i < lines.size(); ++i)
                QVERIFY(lines[i].glyphRuns.first().positions.first().x() < 1.0);
        }
    }

    // Where Qt can end a line only short of the break asked for, the shorter
    // line still ends at a break: a comma after soft hyphens once began one.
    void closingPunctuationStaysOn()
    {
        Paragraph p = text(QString::fromUtf8("The of\u00adfic\u00adials, un\u00adfor\u00adtun\u00adate\u00adly, "));
        p.chunks.append(text(QStringLiteral("had")).chunks.first());
        p.chunks.last().italic = true;
        LayoutConfig config;
        config.fontFamily = QStringLiteral("DejaVu Sans");
        for (int width = 60; width <= 240; ++width) {
            p.alignment = width % 4;
            for (const LayoutLine &line : LayoutEngine::shapeParagraph(p, 0, width, config, RawFontCache::forCurrentThread()))
                QVERIFY2(!isNoBreakBefore(p.plainText().at(int(line.startProgress)).unicode()), qPrintable(QString::number(width)));
        }
    }

    void shapingEdges()
    {
        RawFontCache &cache = RawFontCache::forCurrentThread();
        LayoutConfig config;
        config.fontFamily = QStringLiteral("DejaVu Sans");

        Paragraph empty = text(QString());
        empty.chunks.append(TextChunk());
        QVERIFY(LayoutEngine::shapeParagraph(empty, 0, 300, config, cache).isEmpty());

        // Chunks differing only in their link stay separate glyph runs.
        Paragraph links = text(QStringLiteral("one "));
        TextChunk linked;
        linked.text = QStringLiteral("two");
        linked.anchorHref = QStringLiteral("#n1");
        links.chunks.append(linked);
        const QVector<LayoutLine> linkLines = LayoutEngine::shapeParagraph(links, 3, 400, config, cache);
        QCOMPARE(linkLines.size(), 1);
        QCOMPARE(linkLines.first().glyphRuns.size(), 2);
        QCOMPARE(linkLines.first().glyphRuns.last().anchorHref, QStringLiteral("#n1"));
        QCOMPARE(linkLines.first().glyphRuns.last().paragraphIndex, 3);

        // A column narrower than the indent still gets its text laid out.
        const QVector<LayoutLine> narrow =
            LayoutEngine::shapeParagraph(text(QStringLiteral("ab")), 0, 10, config, cache);
        QVERIFY(!narrow.isEmpty());
        QCOMPARE(narrow.last().endProgress, qint64(2));

        // Joiners the font cannot draw as one picture become break chances:
        // the long "word" then breaks right after a former joiner.
        QString joined;
        for (int i = 0; i < 30; ++i)
            joined += QString::fromUcs4(U"ab\u200Dcd");
        Paragraph zwj = text(joined);
        zwj.textIndent = 1;
        const QVector<LayoutLine> zwjLines = LayoutEngine::shapeParagraph(zwj, 0, 100, config, cache);
        QVERIFY(zwjLines.size() > 3);
        for (int i = 0; i + 1 < zwjLines.size(); ++i)
            QCOMPARE(joined.at(int(zwjLines[i].endProgress) - 1), QChar(0x200D));
    }

    // A run's baseline against the text before it, in font pixels: raised
    // for superscripts, lowered for subscripts.
    void verticalAlignment_data()
    {
        QTest::addColumn<int>("vertAlign");
        QTest::addColumn<float>("low");
        QTest::addColumn<float>("high");
        QTest::newRow("baseline") << 0 << -0.01f << 0.01f;
        QTest::newRow("superscript") << 1 << -0.6f << -0.25f;
        QTest::newRow("subscript") << 2 << 0.05f << 0.3f;
    }
    void verticalAlignment()
    {
        QFETCH(int, vertAlign);
        QFETCH(float, low);
        QFETCH(float, high);
        LayoutConfig config;
        config.fontFamily = QStringLiteral("DejaVu Sans");
        Paragraph p = text(QStringLiteral("mc"));
        p.chunks.append(p.chunks.first());
        p.chunks.last().text = QStringLiteral("2");
        p.chunks.last().vertAlign = vertAlign;
        p.chunks.last().color = QStringLiteral("#c00000");   // a run of its own on the baseline too
        const QVector<GlyphRunItem> runs =
            LayoutEngine::shapeParagraph(p, 0, 400, config, RawFontCache::forCurrentThread()).value(0).glyphRuns;
        QCOMPARE(runs.size(), 2);
        const qreal shift = (runs.last().positions.first().y() - runs.first().positions.first().y()) / 18;
        QVERIFY2(shift >= low && shift <= high, qPrintable(QString::number(shift)));
        QCOMPARE(runs.last().boundingRect.bottom() > runs.first().boundingRect.bottom(), vertAlign == 2);
    }

    void images_data()
    {
        QTest::addColumn<int>("declaredWidth");
        QTest::addColumn<int>("declaredHeight");
        QTest::addColumn<QSize>("natural");   // file written when valid
        QTest::addColumn<bool>("enlarge");
        QTest::addColumn<bool>("continuous");
        QTest::addColumn<QSizeF>("shown");

        const QSize none(-1, -1);
        QTest::newRow("shrunk to the width") << 1000 << 500 << none << false << false << QSizeF(492, 246);
        QTest::newRow("small stays") << 200 << 100 << none << false << false << QSizeF(200, 100);
        QTest::newRow("enlarged in image mode") << 200 << 100 << none << true << false << QSizeF(492, 246);
        QTest::newRow("paged fits the height") << 100 << 2000 << none << false << false << QSizeF(46, 920);
        QTest::newRow("continuous by width only") << 100 << 2000 << none << true << true << QSizeF(492, 9840);
        QTest::newRow("no size, no file") << 0 << 0 << none << false << false << QSizeF(492, 108);
        QTest::newRow("natural size") << 0 << 0 << QSize(300, 150) << false << false << QSizeF(300, 150);
        QTest::newRow("height from natural") << 100 << 0 << QSize(300, 150) << false << false << QSizeF(100, 50);
        QTest::newRow("at most twenty pages") << 1 << 2000000000 << none << true << true << QSizeF(0.0092, 18400);
    }

    void images()
    {
        QFETCH(int, declaredWidth);
        QFETCH(int, declaredHeight);
        QFETCH(QSize, natural);
        QFETCH(bool, enlarge);
        QFETCH(bool, continuous);
        QFETCH(QSizeF, shown);

        QTemporaryDir dir;
        Paragraph image;
        image.kind = Paragraph::Image;
        image.imageId = dir.filePath(QStringLiteral("i.png"));
        image.imageWidth = declaredWidth;
        image.imageHeight = declaredHeight;
        if (natural.isValid()) {
            QImage pixels(natural, QImage::Format_RGB32);
            pixels.fill(Qt::gray);
            QVERIFY(pixels.save(image.imageId));
        }
        LayoutConfig config;
        config.enlargeImages = enlarge;
        config.imageMode = enlarge;
        config.continuousMode = continuous;
        const QVector<LayoutLine> lines = allLines(LayoutEngine().layoutChapter({image}, config, 0, "c"));
        QVERIFY(!lines.isEmpty() && lines.first().isImage);
        const LayoutLine &line = lines.first();
        QVERIFY(qAbs(line.displayWidth - shown.width()) < 0.01 * qMax(1.0, shown.width()));
        QVERIFY(qAbs(line.displayHeight - shown.height()) < 0.5);
        QCOMPARE(line.height, line.displayHeight);
    }

    void tables()
    {
        QVector<Paragraph> chapter;
        const int columnCounts[3] = {2, 3, 0};
        for (int column = 0; column < 3; ++column) {
            Paragraph cell = column == 2 ? text(QString()) : text(QStringLiteral("cell"));
            cell.kind = Paragraph::TableCell;
            cell.tableId = 4;
            cell.tableRow = 0;
            cell.tableColumn = column;
            cell.tableColumnCount = columnCounts[column];
            chapter.append(cell);
        }
        finalizeParagraphs(chapter);
        LayoutConfig config;
        config.fontFamily = QStringLiteral("DejaVu Sans");
        // Starting on the second cell starts the row at its first cell.
        const QVector<LayoutLine> lines = allLines(LayoutEngine().layoutChapter(chapter, config, 1, "c"));
        QCOMPARE(lines.size(), 1);
        const LayoutLine &row = lines.first();
        QVERIFY(row.isTableRow);
        QCOMPARE(row.paragraphIndex, 0);
        QCOMPARE(row.cells.size(), 3);
        QCOMPARE(row.cells[1].x, 164.0f);   // 492 / 3
        QVERIFY(row.height >= 27 + 9);      // inset 4.5 on both sides
        QCOMPARE(row.cells[2].height, row.height);
        // The second cell's glyphs start one column plus the inset in.
        QCOMPARE(row.glyphRuns.size(), 2);
        QVERIFY(qAbs(row.glyphRuns[1].positions.first().x() - 168.5) < 1.0);
    }

    // A cell's picture is drawn in its cell as part of the row: at its
    // natural size, smaller only to fit the cell or a page, aligned as the cell.
    void cellPictures_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<int>("alignment");
        QTest::addColumn<QRectF>("drawn");   // relative to the row
        QTest::newRow("letter picture at its size") << QSize(17, 21) << 0 << QRectF(168.5, 4.5, 17, 21);
        QTest::newRow("centred as the cell") << QSize(17, 21) << 1 << QRectF(237.5, 4.5, 17, 21);
        QTest::newRow("wider than the cell") << QSize(620, 310) << 0 << QRectF(168.5, 4.5, 155, 77.5);
        QTest::newRow("taller than a page") << QSize(10, 2000) << 0 << QRectF(168.5, 4.5, 4.555, 911);
    }
    void cellPictures()
    {
        QFETCH(QSize, size);
        QFETCH(int, alignment);
        QFETCH(QRectF, drawn);
        QVector<Paragraph> chapter;
        const auto append = [&chapter](Paragraph p, int column) {
            p.tableId = 2;
            p.tableRow = 0;
            p.tableColumn = column;
            p.tableColumnCount = 3;
            chapter.append(p);
        };
        for (int column = 0; column < 3; ++column) {
            if (column == 1) {
                Paragraph picture;
                picture.kind = Paragraph::Image;
                picture.imageId = QStringLiteral("/nowhere/p.png");
                picture.imageWidth = size.width();
                picture.imageHeight = size.height();
                picture.alignment = alignment;
                append(picture, column);
            }
            Paragraph cell = text(column == 1 ? QString() : QStringLiteral("cell"));
            cell.kind = Paragraph::TableCell;
            append(cell, column);
        }
        finalizeParagraphs(chapter);
        LayoutConfig config;
        config.fontFamily = QStringLiteral("DejaVu Sans");
        // Starting on the picture starts the row at its first cell.
        const QVector<LayoutLine> lines = allLines(LayoutEngine().layoutChapter(chapter, config, 1, "c"));
        QCOMPARE(lines.size(), 1);
        const LayoutLine &row = lines.first();
        QVERIFY(row.isTableRow && !row.isImage);
        QCOMPARE(row.paragraphIndex, 0);
        QCOMPARE(row.cells.size(), 3);
        QCOMPARE(row.cells[1].paragraphIndex, 2);
        QCOMPARE(row.cellImages.size(), 1);
        const QRectF &rect = row.cellImages.first().rect;
        QVERIFY2(qAbs(rect.x() - drawn.x()) < 0.01 && qAbs(rect.y() - drawn.y()) < 0.01
                     && qAbs(rect.width() - drawn.width()) < 0.01 && qAbs(rect.height() - drawn.height()) < 0.01,
                 qPrintable(QStringLiteral("%1,%2 %3x%4").arg(rect.x()).arg(rect.y()).arg(rect.width()).arg(rect.height())));
        QVERIFY(row.height >= rect.bottom() + 4.5);
        QCOMPARE(row.endGlyph, chapter.last().firstGlyphIndex + 1);   // the last cell is one word
    }

    // A line feed (a <br>, a cell's paragraph end, pre text) ends the line,
    // draws nothing, takes no width and shifts no glyph number.
    void forcedBreaks_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<int>("kind");   // 0 body, 1 cell, 2 pre, 3 continuous
        QTest::addColumn<QVector<int>>("glyphsPerLine");
        QTest::newRow("body") << QStringLiteral("ab\nab") << 0 << QVector<int>{2, 2};
        QTest::newRow("continuous") << QStringLiteral("ab\nab") << 3 << QVector<int>{2, 2};
        QTest::newRow("closing mark next") << QStringLiteral("ab\n)b") << 0 << QVector<int>{2, 2};
        QTest::newRow("cell") << QStringLiteral("ab\nab") << 1 << QVector<int>{2, 2};
        QTest::newRow("paragraph end") << QStringLiteral("ab\n") << 0 << QVector<int>{2};
        QTest::newRow("cell end") << QStringLiteral("ab\n") << 1 << QVector<int>{2};
        QTest::newRow("two in a row") << QStringLiteral("ab\n\nab") << 0 << QVector<int>{2, 0, 2};
        QTest::newRow("two in a row, cell") << QStringLiteral("ab\n\nab") << 1 << QVector<int>{2, 0, 2};
        QTest::newRow("pre") << QStringLiteral("ab\n\nab\n") << 2 << QVector<int>{2, 0, 2};
    }

    void forcedBreaks()
    {
        QFETCH(QString, source);
        QFETCH(int, kind);
        QFETCH(QVector<int>, glyphsPerLine);
        Paragraph p = text(source, 2);
        p.kind = kind == 1 ? Paragraph::TableCell : Paragraph::Body;
        p.preformatted = kind == 2;
        p.firstGlyphIndex = 7;
        LayoutConfig config;
        config.fontFamily = QStringLiteral("DejaVu Sans");
        config.continuousMode = kind == 3;
        const QVector<LayoutLine> lines = allLines(LayoutEngine().layoutChapter({p}, config, 0, "c"));
        float height = kind == 1 ? -2 * config.fontPixelSize * 0.25f : 0.0f;
        int next = 7;
        QMap<float, int> drawn;   // glyphs by line top, cell lines included
        QVector<qreal> lastX;
        for (const LayoutLine &line : lines) {
            QCOMPARE(line.startGlyph, next);
            next = line.endGlyph;
            for (const GlyphRunItem &run : line.glyphRuns)
                drawn[height + float(run.positions.first().y())] += run.glyphIndexes.size();
            if (!line.glyphRuns.isEmpty())
                lastX << line.glyphRuns.last().positions.last().x();
            height += line.height;
        }
        QCOMPARE(next, 7 + glyphCount(p));
        QCOMPARE(height, glyphsPerLine.size() * config.fontPixelSize * config.lineHeightFactor);
        glyphsPerLine.removeAll(0);
        QCOMPARE(drawn.values().toVector(), glyphsPerLine);
        // Right-aligned, "b" ends at the same x with or without a break after it.
        if (kind != 1)
            QCOMPARE(lastX.first(), lastX.last());
    }

    // A row taller than the text area is cut between lines: no glyph lies
    // below its row and no row below the page, and nothing is lost.
    void tallTableRow_data()
    {
        QTest::addColumn<bool>("continuous");
        QTest::newRow("paged") << false;
        QTest::newRow("continuous") << true;
    }

    void tallTableRow()
    {
        QFETCH(bool, continuous);
        QVector<Paragraph> chapter;
        for (int column = 0; column < 2; ++column) {
            Paragraph cell = text(column == 0 ? Chinese.repeated(30) : QStringLiteral("注"));
            cell.kind = Paragraph::TableCell;
            cell.tableId = 1;
            cell.tableColumn = column;
            cell.tableColumnCount = 2;
            chapter.append(cell);
        }
        chapter.append(text(QStringLiteral("after")));
        finalizeParagraphs(chapter);
        LayoutConfig config = cjkConfig();
        config.continuousMode = continuous;
        // Glyphs of the table rows, each row counted once (the continuous
        // strip shows a row crossing a band on both pages).
        const auto rowGlyphs = [](const QVector<PageLayout> &pages, QVector<LayoutLine> *rows) {
            QSet<int> seen;
            int count = 0;
            for (const PageLayout &page : pages) {
                for (const LayoutLine &line : page.lines) {
                    if (!line.isTableRow || seen.contains(line.lineIndex))
                        continue;
                    seen.insert(line.lineIndex);
                    for (const GlyphRunItem &run : line.glyphRuns)
                        count += run.glyphIndexes.size();
                    if (rows)
                        rows->append(line);
                }
            }
            return count;
        };
        LayoutConfig tall = config;
        tall.pageHeight = 100000;
        const int expected = rowGlyphs(LayoutEngine().layoutChapter(chapter, tall, 0, "c"), nullptr);

        const QVector<PageLayout> pages = LayoutEngine().layoutChapter(chapter, config, 0, "c");
        QVector<LayoutLine> rows;
        QCOMPARE(rowGlyphs(pages, &rows), expected);
        QVERIFY(rows.size() > 1);
        for (const LayoutLine &row : rows) {
            QVERIFY(row.height <= config.textAreaHeight());
            for (const GlyphRunItem &run : row.glyphRuns)
                for (const QPointF &position : run.positions)
                    QVERIFY(position.y() < row.height);
        }
        if (!continuous) {
            for (const PageLayout &page : pages)
                for (const LayoutLine &line : page.lines)
                    QVERIFY(line.y + line.height <= config.textAreaHeight() + 0.5f);
        }
    }

    void paragraphMargins_data()
    {
        QTest::addColumn<float>("left");
        QTest::addColumn<float>("right");
        QTest::addColumn<float>("minX");
        QTest::addColumn<float>("maxRight");
        QTest::newRow("ordinary margins") << 40.0f << 40.0f << 40.0f << 452.0f;
        QTest::newRow("margins wider than the page") << 1000.0f << 1000.0f << 164.0f << 328.0f;
    }

    void paragraphMargins()
    {
        QFETCH(float, left);
        QFETCH(float, right);
        QFETCH(float, minX);
        QFETCH(float, maxRight);
        Paragraph p = text(Chinese);
        p.marginLeft = left;
        p.marginRight = right;
        p.alignment = 2;
        const QVector<LayoutLine> lines = allLines(LayoutEngine().layoutChapter({p}, cjkConfig(), 0, "c"));
        QVERIFY(lines.size() > 1);
        for (const LayoutLine &line : lines) {
            QVERIFY(line.textRight <= maxRight + 0.5);
            for (const GlyphRunItem &run : line.glyphRuns)
                QVERIFY(run.positions.first().x() >= minX - 0.5);
        }
    }

    // A chapter written as counts of text lines "t", empty lines "e", rules
    // "r" and lines of no-break spaces "s", on pages of five such lines: empty lines and rules at a
    // chapter's end, start or between pages never make a page of their own,
    // and every line is on exactly one page, in order.
    void emptyLinesAtEdges_data()
    {
        QTest::addColumn<QString>("chapter");
        QTest::addColumn<bool>("orphanControl");
        QTest::addColumn<int>("pages");

        QTest::newRow("text filling two pages") << "10t" << false << 2;
        QTest::newRow("empty lines after a full page") << "10t 4e" << false << 2;
        QTest::newRow("after, orphan control") << "10t 4e" << true << 2;
        QTest::newRow("empty lines and a rule after") << "10t 2e 1r 2e" << false << 2;
        QTest::newRow("lines of spaces after") << "10t 12s" << false << 2;
        QTest::newRow("pages of empty lines after") << "10t 12e" << false << 2;
        QTest::newRow("empty lines sharing the last page") << "7t 3e" << false << 2;
        QTest::newRow("a page of empty lines before") << "8e 3t" << false << 2;
        QTest::newRow("before, orphan control") << "8e 3t" << true << 2;
        QTest::newRow("empty lines sharing the first page") << "2e 3t" << false << 1;
        QTest::newRow("a page of empty lines between") << "5t 7e 5t" << false << 3;
        QTest::newRow("nothing but empty lines") << "12e" << false << 1;
    }

    void emptyLinesAtEdges()
    {
        QFETCH(QString, chapter);
        QFETCH(bool, orphanControl);
        QVector<Paragraph> paragraphs;
        QSet<int> texts;
        for (const QString &token : chapter.split(QLatin1Char(' '))) {
            for (int i = token.chopped(1).toInt(); i > 0; --i) {
                Paragraph p = text(QStringLiteral("Call me Ishmael."));
                if (token.endsWith(QLatin1Char('t')))
                    texts.insert(paragraphs.size());
                else if (token.endsWith(QLatin1Char('s')))
                    p = text(QStringLiteral("\u00a0\u00a0"));
                else
                    p = Paragraph();
                p.kind = token.endsWith(QLatin1Char('e')) ? Paragraph::EmptyLine
                         : token.endsWith(QLatin1Char('r')) ? Paragraph::Rule : Paragraph::Body;
                paragraphs.append(p);
            }
        }
        finalizeParagraphs(paragraphs);
        LayoutConfig config;
        config.pageHeight = 200;
        config.marginTop = config.marginBottom = 0;
        config.orphanControl = orphanControl;

        const QVector<PageLayout> pages = LayoutEngine().layoutChapter(paragraphs, config, 0, "c");
        QTEST(int(pages.size()), "pages");
        int next = 0;
        QSet<int> shown;
        for (int i = 0; i < pages.size(); ++i) {
            const PageLayout &page = pages[i];
            QCOMPARE(page.pageIndex, i);
            QCOMPARE(page.startGlyph, page.lines.first().startGlyph);
            QCOMPARE(page.firstParaIndex, page.lines.first().paragraphIndex);
            QVERIFY(i == 0 || page.startGlyph >= pages[i - 1].startGlyph);
            bool visible = false;
            for (const LayoutLine &line : page.lines) {
                QCOMPARE(line.lineIndex, next++);
                visible = visible || !line.glyphRuns.isEmpty();
                if (!line.glyphRuns.isEmpty())
                    shown.insert(line.paragraphIndex);
            }
            QVERIFY(visible || texts.isEmpty());
        }
        QCOMPARE(pages.first().startGlyph, 0);
        QCOMPARE(shown, texts);
    }
};

QTEST_MAIN(TestLayoutEngine)
#include "tst_layoutengine.moc"
