// The chapter step of EPUB books with many spine items (web novels): the work
// must grow linearly with the number of items.

#include "chapterinfo.h"
#include "epubfixture.h"
#include "epubparser.h"
#include "novelinfo.h"
#include "testenvironment.h"

#include <QtTest>

#include <memory>

class BenchEpubChapters : public QObject
{
    Q_OBJECT

private slots:
    void parseChapters_data()
    {
        QTest::addColumn<int>("items");
        QTest::addColumn<bool>("toc");   // false: every title from its document
        QTest::newRow("1000 items, flat NCX") << 1000 << true;
        QTest::newRow("4000 items, flat NCX") << 4000 << true;
        QTest::newRow("10000 items, flat NCX") << 10000 << true;
        QTest::newRow("10000 items, no table of contents") << 10000 << false;
    }

    void parseChapters()
    {
        QFETCH(int, items);
        QFETCH(bool, toc);
        TestEnvironment env;
        EpubFixture epub;
        QString points;
        for (int i = 0; i < items; ++i) {
            const QString href = QStringLiteral("text/c%1.xhtml").arg(i);
            epub.addDocument(QStringLiteral("c%1").arg(i), href, QStringLiteral("第%1章").arg(i),
                             QStringLiteral("<p>正文</p>"));
            points += EpubFixture::navPoint(QStringLiteral("第%1章").arg(i), href);
        }
        if (toc)
            epub.addNcx(QStringLiteral("toc.ncx"), EpubFixture::ncx(points));
        const QString path = env.root() + QStringLiteral("/web.epub");
        QVERIFY(epub.write(path));

        EpubParser parser;
        const ParseResult info = parser.parseBookInfo(path);
        QVERIFY(info.success);
        std::unique_ptr<NovelInfo> novel(info.novel);
        QBENCHMARK {
            const ParseResult list = parser.parseChapters(path, novel.get());
            QCOMPARE(list.chapters.size(), items);
            qDeleteAll(list.chapters);
        }
    }
};

QTEST_MAIN(BenchEpubChapters)
#include "bench_epubchapters.moc"
