#include "layoutpool.h"
#include "renderpool.h"

#include <QSignalSpy>
#include <QThreadPool>
#include <QtTest>

#include <functional>

// Chapters of declared-size images lay out to exact page counts whatever the
// fonts: a 200 px text area holds ten 20 px images or two 100 px ones.
// Chapter "cN" of the book shape "3,0,i5" is three pages of small images, an
// empty chapter, then five large images; glyph i is line i.
namespace {

QVector<Paragraph> chapterContent(const QString &shape)
{
    QVector<Paragraph> paragraphs;
    const bool large = shape.startsWith(QLatin1Char('i'));
    const int count = large ? shape.mid(1).toInt() : shape.toInt() * 10;
    for (int i = 0; i < count; ++i) {
        Paragraph p;
        p.kind = Paragraph::Image;
        p.firstGlyphIndex = i;
        p.imageId = QStringLiteral("/nonexistent/%1.png").arg(i);
        p.imageWidth = p.imageHeight = large ? 100 : 20;
        paragraphs.append(p);
    }
    return paragraphs;
}

struct Pools
{
    QThreadPool worker;
    RenderPool render;
    LayoutPool layout;
    QStringList book;
    quint64 generation = 0;

    explicit Pools(const QString &bookShape)
        : book(bookShape.split(QLatin1Char(',')))
    {
        worker.setMaxThreadCount(1);
        render.threadPool = layout.workerPool = &worker;
        layout.renderPool = &render;
        layout.chapterProvider = [this](const QString &id) {
            return chapterContent(book.value(id.mid(1).toInt()));
        };
        QObject::connect(&render, &RenderPool::inputQueueHasSpace, &layout,
                         &LayoutPool::onInputQueueHasSpace);
        // As the core does: every finished batch plans and drains again.
        QObject::connect(&layout, &LayoutPool::layoutBatchDone, &layout, [this](qulonglong g) {
            if (g == generation)
                layout.pump();
        });
        LayoutConfig config;
        config.pageWidth = 300;
        config.pageHeight = 220;
        config.marginTop = config.marginBottom = 10;
        config.fontPixelSize = 20;
        config.lineHeightFactor = 1.0f;
        config.paragraphSpacing = 0;
        layout.setLayoutSettings(config);
        render.setRenderSettings(config);
    }

    void open(const QString &chapter, int glyph)
    {
        layout.clear(++generation);
        render.clear(generation);
        QMap<QString, int> order;
        for (int i = 0; i < book.size(); ++i)
            order.insert(QStringLiteral("c%1").arg(i), i);
        layout.setBookContext(order);
        render.setBookContext(order);
        render.resetForSession(QStringLiteral("book"), chapter, 0, generation);
        layout.openForReading(QStringLiteral("book"), chapter, 0, glyph, -1.0f, generation);
    }

    bool windowRendered()
    {
        QStringList keys;
        return layout.renderWindowKeys(15, 15, keys) && render.isWindowReady(keys);
    }
};

}

class TestLayoutPool : public QObject
{
    Q_OBJECT

private slots:
    // Where reading starts, and what has been laid out once the window is full.
    // Continuous rows put the chapters of the run on one strip of 200 px pages.
    void opening_data()
    {
        QTest::addColumn<QString>("book");
        QTest::addColumn<QString>("chapter");
        QTest::addColumn<int>("glyph");
        QTest::addColumn<QString>("located");  // empty: nothing located, nothing laid out
        QTest::addColumn<QString>("laidOut");  // page counts, -1 for not laid out
        QTest::addColumn<QString>("around");   // continuous: scroll keys before and after
        QTest::addColumn<int>("firstDistance");  // continuous: of c0:0 from the reading page

        QTest::newRow("inside a chapter") << "3,3,3" << "c1" << 25 << "c1:2" << "3,3,3" << "" << 0;
        QTest::newRow("glyph past the end") << "3,3" << "c1" << 999 << "c1:2" << "3,3" << "" << 0;
        QTest::newRow("empty start chapter: nearest with lines")
            << "2,0,2" << "c1" << 5 << "c2:0" << "2,0,2" << "" << 0;
        QTest::newRow("layout window bounds the layouts")
            << "10,10,10,10,10,10,10,10,10,10" << "c5" << 0 << "c5:0"
            << "-1,-1,10,10,10,10,10,10,10,-1" << "" << 0;
        QTest::newRow("images") << "i5,3" << "c0" << 3 << "c0:1" << "3,3" << "" << 0;
        QTest::newRow("chapter outside the book") << "3" << "c7" << 0 << "" << "-1" << "" << 0;
        QTest::newRow("continuous, chapters before and after")
            << "3,3,3" << "c1" << 25 << "c1:2" << "3,3,3" << "c1:1 c2:0" << -5;
        QTest::newRow("continuous, empty start chapter: located in the next")
            << "2,0,2" << "c1" << 5 << "c2:0" << "2,0,2" << "c0:1 c2:1" << -2;
    }
    void opening()
    {
        QFETCH(QString, located);
        QFETCH(QString, around);
        QFETCH(QString, book);
        Pools pools(book);
        LayoutPool &l = pools.layout;
        if (!around.isEmpty()) {
            LayoutConfig config = l.layoutSettings();
            config.continuousMode = true;
            config.pageHeight = 200;
            config.marginTop = config.marginBottom = 0;
            l.setLayoutSettings(config);
            pools.render.setRenderSettings(config);
        }
        QSignalSpy locatedSpy(&l, &LayoutPool::startPageLocated);
        QSignalSpy readySpy(&l, &LayoutPool::chapterLayoutReady);
        // The stamps of the first chapter laid out, before its neighbours arrive.
        QMap<QString, qint64> firstStamps;
        connect(&l, &LayoutPool::chapterLayoutReady, this, [&](const QString &chapterId, int count) {
            for (int i = 0; firstStamps.isEmpty() && i < count; ++i)
                firstStamps.insert(RenderPool::makeKey(chapterId, i), l.pageEntry(chapterId, i).layoutStamp);
        });
        QFETCH(QString, chapter);
        QFETCH(int, glyph);
        pools.open(chapter, glyph);
        if (located.isEmpty()) {
            QTest::qWait(200);
            QCOMPARE(readySpy.count(), 0);
        } else {
            QTRY_COMPARE(locatedSpy.count(), 1);
            const QString chapterId = locatedSpy[0][0].toString();
            const int page = locatedSpy[0][1].toInt();
            QCOMPARE(RenderPool::makeKey(chapterId, page), located);
            l.reportPageTurn(chapterId, page);
            pools.render.setCurrentPage(chapterId, page);
            QTRY_VERIFY(pools.windowRendered());
            if (!around.isEmpty())
                QCOMPARE(l.scrollPageKey(page - 1) + ' ' + l.scrollPageKey(page + 1), around);
        }
        QTest::qWait(50);
        QStringList counts;
        for (int i = 0; i < pools.book.size(); ++i)
            counts << QString::number(l.chapterPageCount(QStringLiteral("c%1").arg(i)));
        QTEST(counts.join(QLatin1Char(',')), "laidOut");
        if (around.isEmpty())
            return;
        QVERIFY(l.isFirstPage("c0", 0));
        const QString last = QStringLiteral("c%1").arg(pools.book.size() - 1);
        QVERIFY(l.isLastPage(last, l.chapterPageCount(last) - 1));
        int distance = 0;
        QVERIFY(pools.render.keyDistance("c0:0", distance));
        QTEST(distance, "firstDistance");
        // Chapters laid out around it changed none of its pages: nothing to render again.
        for (auto it = firstStamps.cbegin(); it != firstStamps.cend(); ++it) {
            const int colon = it.key().lastIndexOf(':');
            QCOMPARE(l.pageEntry(it.key().left(colon), it.key().mid(colon + 1).toInt()).layoutStamp,
                     it.value());
        }
    }

    // The paged answers of the queries over a settled book "3,0,i5".
    void queries_data()
    {
        QTest::addColumn<QString>("query");
        QTest::addColumn<QString>("chapter");
        QTest::addColumn<int>("arg");
        QTest::addColumn<QVariant>("expected");

        QTest::newRow("page count, empty chapter") << "pageCount" << "c1" << 0 << QVariant(0);
        QTest::newRow("page count, unknown") << "pageCount" << "zz" << 0 << QVariant(-1);
        QTest::newRow("glyph count") << "glyphCount" << "c0" << 0 << QVariant(30);
        QTest::newRow("glyph count, images") << "glyphCount" << "c2" << 0 << QVariant(5);
        QTest::newRow("address, other chapter") << "address:c2" << "c0" << 1 << QVariant(-1);
        QTest::newRow("address, same chapter") << "address:c0" << "c0" << 2 << QVariant(2);
        QTest::newRow("page start glyph") << "firstPara" << "c0" << 1 << QVariant(10);
        QTest::newRow("page start glyph, no page") << "firstPara" << "c0" << 7 << QVariant(-1);
        QTest::newRow("page of negative glyph") << "fromPara" << "c0" << -3 << QVariant(0);
        QTest::newRow("page of glyph past the end") << "fromPara" << "c0" << 999 << QVariant(2);
        QTest::newRow("page of glyph, empty chapter") << "fromPara" << "c1" << 0 << QVariant(-1);
        QTest::newRow("image page of glyph") << "fromPara" << "c2" << 3 << QVariant(1);
        QTest::newRow("scroll key") << "scrollKey" << "c0" << 1 << QVariant(QString());
        QTest::newRow("first or last page") << "firstOrLast" << "c0" << 0 << QVariant(false);
        QTest::newRow("window keys across the empty chapter")
            << "window" << "c0" << 2 << QVariant(QStringLiteral("c0:1,c0:2,c2:0,c0:0"));
    }
    void queries()
    {
        QFETCH(QString, query);
        QFETCH(QString, chapter);
        QFETCH(int, arg);
        Pools pools(QStringLiteral("3,0,i5"));
        pools.open(QStringLiteral("c0"), 10);
        QTRY_VERIFY(pools.windowRendered());
        const LayoutPool &l = pools.layout;
        QStringList keys;
        const QHash<QString, std::function<QVariant()>> answers{
            {"pageCount", [&] { return l.chapterPageCount(chapter); }},
            {"glyphCount", [&] { return l.chapterGlyphCount(chapter); }},
            {"address:c0", [&] { return l.chapterPageForAddress(chapter, "c0", arg); }},
            {"address:c2", [&] { return l.chapterPageForAddress(chapter, "c2", arg); }},
            {"firstPara", [&] { return l.pageFirstParaIndex(chapter, arg); }},
            {"fromPara", [&] { return l.pageFromParaIndex(chapter, arg); }},
            {"scrollKey", [&] { return l.scrollPageKey(arg); }},
            {"firstOrLast", [&] { return l.isFirstPage(chapter, arg) || l.isLastPage(chapter, arg); }},
            {"window", [&] {
                 return l.renderWindowKeys(1, arg, keys) ? keys.join(QLatin1Char(',')) : QString();
             }}};
        QTEST(answers.value(query)(), "expected");
    }

    // Page turns clamp to the chapter; a full render queue holds pages back
    // until it has space again, and every page of the window gets rendered.
    void turnsAndBackPressure()
    {
        Pools pools(QStringLiteral("50"));
        QStringList rendered;
        connect(&pools.render, &RenderPool::pageRendered, this,
                [&rendered](const QString &c, int p) { rendered << RenderPool::makeKey(c, p); });
        pools.open(QStringLiteral("c0"), 200);  // page 20: 31 pages wanted, 30 fit the queue
        QTRY_VERIFY(pools.windowRendered());
        QCOMPARE(rendered.value(0), QStringLiteral("c0:20"));
        QCOMPARE(rendered.size(), 31);

        QStringList keys;
        for (int turn : {999, -4}) {
            pools.layout.reportPageTurn(QStringLiteral("c0"), turn);
            pools.layout.renderWindowKeys(0, 0, keys);
            QCOMPARE(keys.value(0), turn < 0 ? QStringLiteral("c0:0") : QStringLiteral("c0:49"));
        }
    }

    // Seven long chapters read in the third, once the reading moved there from
    // the last: the last one (farthest, wanted by no planned page) goes.
    void eviction()
    {
        Pools pools(QStringLiteral("10,10,10,10,10,10,10"));
        pools.open(QStringLiteral("c6"), 0);
        QTRY_VERIFY(pools.windowRendered());
        QTRY_COMPARE(pools.layout.chapterGlyphCount(QStringLiteral("c3")), 100);
        pools.layout.reportPageTurn(QStringLiteral("c2"), 0);
        pools.render.setCurrentPage(QStringLiteral("c2"), 0);
        pools.layout.pump();
        QTRY_COMPARE(pools.layout.chapterGlyphCount(QStringLiteral("c0")), 100);
        QTRY_VERIFY(pools.windowRendered());
        QCOMPARE(pools.layout.chapterGlyphCount(QStringLiteral("c6")), -1);
        for (int i = 0; i < 6; ++i)
            QCOMPARE(pools.layout.chapterGlyphCount(QStringLiteral("c%1").arg(i)), 100);
    }

    // Results and signals of an older opening change nothing.
    void staleness_data()
    {
        QTest::addColumn<bool>("reopen");  // else closed
        QTest::newRow("closed while laying out") << false;
        QTest::newRow("reopened while laying out") << true;
    }
    void staleness()
    {
        QFETCH(bool, reopen);
        Pools pools(QStringLiteral("3,3"));
        QSignalSpy readySpy(&pools.layout, &LayoutPool::chapterLayoutReady);
        pools.open(QStringLiteral("c0"), 0);
        const quint64 first = pools.generation;
        if (reopen) {
            pools.open(QStringLiteral("c1"), 0);
            QTRY_VERIFY(pools.windowRendered());
        } else {
            pools.layout.clear(++pools.generation);
            QTest::qWait(200);
            QCOMPARE(pools.layout.chapterPageCount(QStringLiteral("c0")), -1);
        }
        pools.layout.onInputQueueHasSpace(first);
        QTest::qWait(50);
        for (const QList<QVariant> &signal : readySpy)
            QCOMPARE(signal.at(2).toULongLong(), pools.generation);
        QCOMPARE(readySpy.count(), reopen ? 2 : 0);
    }

    // Handlers may call back into the pools from every signal, directly (a
    // page turn can make the render pool signal space inside the handler).
    void reentrancy()
    {
        Pools pools(QStringLiteral("2,2,2"));
        LayoutPool &l = pools.layout;
        connect(&l, &LayoutPool::chapterLayoutReady, this, [&l](const QString &c) {
            l.pump();
            QStringList keys;
            l.renderWindowKeys(15, 15, keys);
            l.chapterPageCount(c);
        }, Qt::DirectConnection);
        connect(&l, &LayoutPool::startPageLocated, this, [&pools](const QString &c, int p) {
            pools.layout.reportPageTurn(c, p);
            pools.render.setCurrentPage(c, p);
            pools.layout.pump();
        }, Qt::DirectConnection);
        connect(&pools.render, &RenderPool::pageRendered, this, [&pools](const QString &c, int p) {
            if (c == QLatin1String("c1") && p == 1) {
                pools.layout.reportPageTurn(c, p);
                pools.render.setCurrentPage(c, p);
                pools.layout.pump();
            }
        }, Qt::DirectConnection);
        pools.open(QStringLiteral("c1"), 0);
        QTRY_VERIFY(pools.windowRendered());
        QTRY_VERIFY(pools.render.isPageReady(QStringLiteral("c0"), 0));
    }
};

QTEST_MAIN(TestLayoutPool)
#include "tst_layoutpool.moc"
