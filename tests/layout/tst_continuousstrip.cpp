#include "continuousstrip.h"

#include <QtTest>

// A data column used once, inside an expression.
#define DATA(Type, name) (*static_cast<Type *>(QTest::qData(#name, ::qMetaTypeId<Type>())))

namespace {

// A book of chapters A, B, C, D (order 0..3). Laid-out chapters are written
// "A=lines;B=lines", lines as "paragraph:height" with an optional suffix:
// "i" image, "tN" row of table N, "sX" a different image source. Line n of a
// chapter starts at glyph 10 n. "A=" is laid out without lines.
struct Book
{
    QMap<QString, int> order{{"A", 0}, {"B", 1}, {"C", 2}, {"D", 3}};
    QMap<int, QString> atIndex{{0, "A"}, {1, "B"}, {2, "C"}, {3, "D"}};
    QHash<QString, QVector<PageLayout>> layouts;
    ContinuousStrip strip{order, atIndex, layouts};
    LayoutConfig config;

    Book(float height, float spacing = 0)
    {
        config.pageHeight = height;
        config.marginTop = config.marginBottom = 0;
        config.paragraphSpacing = spacing;
        config.continuousMode = true;
    }

    void lay(const QString &chapters)
    {
        for (const QString &chapter : chapters.split(';', Qt::SkipEmptyParts)) {
            const QString id = chapter.section('=', 0, 0);
            PageLayout page;
            for (const QString &token : chapter.section('=', 1).split(' ', Qt::SkipEmptyParts)) {
                const QRegularExpressionMatch m =
                    QRegularExpression("^(\\d+):([\\d.]+)(i|t\\d+|s\\w+)?$").match(token);
                Q_ASSERT(m.hasMatch());
                LayoutLine line;
                line.paragraphIndex = m.captured(1).toInt();
                line.height = m.captured(2).toFloat();
                line.isImage = m.captured(3) == "i";
                line.isTableRow = m.captured(3).startsWith('t');
                line.tableId = line.isTableRow ? m.captured(3).mid(1).toInt() : -1;
                if (m.captured(3).startsWith('s'))
                    line.imageSource = m.captured(3);
                line.lineIndex = page.lines.size();
                line.startGlyph = 10 * line.lineIndex;
                line.chapterId = id;
                page.lines.append(line);
            }
            // The page builder repeats a line that crosses pages; it counts once.
            PageLayout repeat;
            repeat.lines = page.lines.mid(page.lines.size() - 1);
            layouts[id] = {page, repeat};
        }
    }

    QString reading;
    int readingPage = 0;
    void rebuild(const QString &at)
    {
        reading = at.section(':', 0, 0);
        readingPage = at.section(':', 1).toInt();
        strip.rebuild(config, reading, readingPage);
    }

    // "scroll:A0@y B0@y|..."
    QString describe() const
    {
        QStringList out;
        const QMap<int, PageLayout> &pages = strip.stripPages();
        for (auto it = pages.begin(); it != pages.end(); ++it) {
            QStringList lines;
            for (const LayoutLine &line : it->lines)
                lines << QString("%1%2@%3").arg(line.chapterId).arg(line.lineIndex).arg(double(line.y));
            out << QString("%1:%2").arg(it.key()).arg(lines.join(' '));
        }
        return out.join('|');
    }
};

QStringList sortedSequence(const QHash<QString, int> &sequence)
{
    QMap<int, QString> byScroll;
    for (auto it = sequence.begin(); it != sequence.end(); ++it)
        byScroll.insert(it.value(), it.key());
    QStringList out;
    for (auto it = byScroll.begin(); it != byScroll.end(); ++it)
        out << QString("%1=%2").arg(it.key()).arg(it.value());
    return out;
}

}

class TestContinuousStrip : public QObject
{
    Q_OBJECT

private slots:
    void geometry_data()
    {
        QTest::addColumn<QString>("chapters");
        QTest::addColumn<QString>("reading");
        QTest::addColumn<float>("spacing");
        QTest::addColumn<QString>("strip");
        QTest::addColumn<QString>("sequence");

        QTest::newRow("lines cut at the page edge")
            << "A=0:40 1:40 2:40" << "A:0" << 0.0f << "0:A0@0 A1@40 A2@80|1:A2@-20" << "0=A:0 1=A:1";
        QTest::newRow("a tall line spans pages")
            << "A=0:250" << "A:0" << 0.0f << "0:A0@0|1:A0@-100|2:A0@-200" << "0=A:0 1=A:1 2=A:2";
        QTest::newRow("overlap under a pixel places nothing, halves round up")
            << "A=0:99.5 1:100" << "A:0" << 0.0f << "0:A0@0|1:A1@0" << "0=A:0 1=A:1";
        QTest::newRow("spacing between paragraphs, not inside a table")
            << "A=0:30 1:30t5 2:30t5 3:30" << "A:0" << 10.0f << "0:A0@0 A1@40 A2@70|1:A3@10"
            << "0=A:0 1=A:1";
        QTest::newRow("a zero-height line is not the previous line")
            << "A=0:30 1:0 0:30" << "A:0" << 10.0f << "0:A0@0 A2@30" << "0=A:0";
        QTest::newRow("chapters before the reading one go above it")
            << "A=0:60 0:60;B=0:60" << "B:0" << 0.0f << "-2:A0@80|-1:A0@-20 A1@40|0:B0@0"
            << "-2=A:0 -1=A:1 0=B:0";
        QTest::newRow("a shared page belongs to its first line's chapter")
            << "A=0:30;B=0:50 0:50;C=" << "A:0" << 0.0f << "0:A0@0 B0@30 B1@80|1:B1@-20"
            << "0=A:0 1=B:1";
        QTest::newRow("the run stops at a chapter not laid out")
            << "A=0:30;C=0:30" << "A:0" << 0.0f << "0:A0@0" << "0=A:0";
    }

    void geometry()
    {
        QFETCH(QString, chapters);
        QFETCH(QString, reading);
        QFETCH(float, spacing);
        Book book(100, spacing);
        book.lay(chapters);
        book.rebuild(reading);
        QCOMPARE(book.describe(), DATA(QString, strip));
        QCOMPARE(sortedSequence(book.strip.pageSequence()).join(' '), DATA(QString, sequence));
        // Each chapter shows the strip pages it has lines on, numbered from 0.
        for (auto it = book.strip.displayPages().begin(); it != book.strip.displayPages().end(); ++it) {
            QCOMPARE(book.strip.chapterPageCount(it.key()), it->size());
            for (int i = 0; i < it->size(); ++i) {
                QCOMPARE(it->at(i).pageIndex, i);
                QCOMPARE(book.strip.findPage(it.key(), i)->lines.size(), it->at(i).lines.size());
            }
        }
    }

    void stamps_data()
    {
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("reading");
        QTest::addColumn<QString>("after");
        QTest::addColumn<QString>("kept");
        QTest::addColumn<QString>("readingAfter");

        QTest::newRow("prepending keeps the reading chapter in place")
            << "B=0:100 0:100" << "B:1" << "A=0:50" << "0 1" << "B:1";
        QTest::newRow("appending changes only the shared page")
            << "A=0:100 0:50" << "A:0" << "B=0:30" << "0" << "A:0";
        QTest::newRow("a changed line changes its page")
            << "A=0:100 0:100 0:100" << "A:2" << "A=0:100 0:100sX 0:100" << "0 2" << "A:2";
        QTest::newRow("a lost reading page falls back to its glyph")
            << "A=0:100 0:100 0:100" << "A:2" << "A=0:100 0:100" << "0 1" << "A:1";
        QTest::newRow("nothing changed") << "A=0:50;B=0:80" << "B:0" << "" << "-1 0" << "B:0";
    }

    void stamps()
    {
        QFETCH(QString, before);
        Book book(100);
        book.lay(before);
        QFETCH(QString, reading);
        book.rebuild(reading);
        book.readingPage = reading.section(':', 1).toInt();  // the reader moved there
        const QMap<int, PageLayout> old = book.strip.stripPages();
        book.lay(DATA(QString, after));
        book.strip.rebuild(book.config, book.reading, book.readingPage);

        QStringList kept;
        const QMap<int, PageLayout> &pages = book.strip.stripPages();
        for (auto it = pages.begin(); it != pages.end(); ++it) {
            QVERIFY(it->layoutStamp > 0);
            if (old.contains(it.key()) && old[it.key()].layoutStamp == it->layoutStamp)
                kept << QString::number(it.key());
        }
        QCOMPARE(kept.join(' '), DATA(QString, kept));
        QCOMPARE(QString("%1:%2").arg(book.reading).arg(book.readingPage), DATA(QString, readingAfter));
    }

    void locate_data()
    {
        QTest::addColumn<int>("glyph");
        QTest::addColumn<float>("offset");
        QTest::addColumn<int>("scroll");
        // A0 text on 0, image A1 (glyph 10) over 1 and 2, A2 text on 3.
        QTest::newRow("text line") << 0 << -1.0f << 0;
        QTest::newRow("glyph inside the image") << 15 << -1.0f << 1;
        QTest::newRow("image without offset: its first page") << 10 << -1.0f << 1;
        QTest::newRow("image offset into its second page") << 10 << 0.75f << 2;
        QTest::newRow("image offset 1 stays on the image") << 10 << 1.0f << 2;
        QTest::newRow("before the chapter") << -5 << -1.0f << 0;
        QTest::newRow("past the end") << 99 << -1.0f << 3;
    }

    void locate()
    {
        Book book(100);
        book.lay("A=0:100 1:200i 2:50");
        book.rebuild("A:0");
        QFETCH(int, glyph);
        QFETCH(float, offset);
        const int scroll = book.strip.scrollIndexForTarget("A", glyph, offset, 100);
        QCOMPARE(scroll, DATA(int, scroll));
        if (offset < 0)  // one chapter from scroll 0: its pages are the scroll indexes
            QCOMPARE(book.strip.pageFromGlyph("A", glyph), scroll);
        QCOMPARE(book.strip.scrollIndexForTarget("B", 0, -1, 100), ContinuousStrip::NoScroll);
    }

    void planAndEnds_data()
    {
        QTest::addColumn<QString>("chapters");
        QTest::addColumn<QString>("reading");
        QTest::addColumn<QString>("pages");
        QTest::addColumn<QString>("toLayout");
        QTest::addColumn<bool>("first");
        QTest::addColumn<bool>("last");

        QTest::newRow("reading chapter not laid out") << "A=0:100" << "B:0" << "" << "B" << true << false;
        QTest::newRow("neighbours to lay out on both sides")
            << "B=0:100 0:100" << "B:0" << "B:0 B:1" << "A" << false << false;
        QTest::newRow("empty chapter before counts as shown")
            << "A=;B=0:100;C=0:100" << "B:0" << "B:0 C:0" << "" << true << false;
        QTest::newRow("whole book laid out")
            << "A=;B=0:100;C=0:50;D=" << "C:0" << "B:0 C:0" << "" << true << true;
        QTest::newRow("empty reading chapter: nearest unlaid chapter")
            << "B=" << "B:0" << "" << "C" << false << false;
    }

    void planAndEnds()
    {
        QFETCH(QString, chapters);
        Book book(100);
        book.lay(chapters);
        book.rebuild(DATA(QString, reading));
        const LayoutPlan plan = book.strip.plan(book.reading, book.readingPage, 1, 1);
        QStringList pages;
        for (const PageRef &ref : plan.pages)
            pages << QString("%1:%2").arg(ref.chapterId).arg(ref.pageIndex);
        QCOMPARE(pages.join(' '), DATA(QString, pages));
        QCOMPARE(plan.chaptersToLayout.join(' '), DATA(QString, toLayout));
        const QMap<int, PageLayout> &strip = book.strip.stripPages();
        const PageRef firstRef = book.strip.pageAtScrollIndex(strip.isEmpty() ? 0 : strip.firstKey());
        const PageRef lastRef = book.strip.pageAtScrollIndex(strip.isEmpty() ? 0 : strip.lastKey());
        QCOMPARE(book.strip.isFirstPage(firstRef.chapterId, firstRef.pageIndex), DATA(bool, first));
        QCOMPARE(book.strip.isLastPage(lastRef.chapterId, lastRef.pageIndex), DATA(bool, last));
    }
};

QTEST_MAIN(TestContinuousStrip)
#include "tst_continuousstrip.moc"
