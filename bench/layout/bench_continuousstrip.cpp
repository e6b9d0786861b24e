#include "continuousstrip.h"

#include <QtTest>

namespace {

// A chapter of about `pages` screen pages of 27 px lines, four to a paragraph,
// the way the page builder hands it over.
QVector<PageLayout> chapter(const QString &id, int pages, const LayoutConfig &config)
{
    const int perPage = int(config.textAreaHeight() / 27.0f);
    QVector<PageLayout> out(pages);
    int index = 0;
    for (int p = 0; p < pages; ++p) {
        for (int i = 0; i < perPage; ++i, ++index) {
            LayoutLine line;
            line.chapterId = id;
            line.lineIndex = index;
            line.paragraphIndex = index / 4;
            line.startGlyph = 20 * index;
            line.endGlyph = 20 * index + 20;
            line.height = 27;
            out[p].lines.append(line);
        }
    }
    return out;
}

}

class BenchContinuousStrip : public QObject
{
    Q_OBJECT

    QMap<QString, int> m_order;
    QMap<int, QString> m_atIndex;
    QHash<QString, QVector<PageLayout>> m_layouts;
    LayoutConfig m_config;

    void layOut(int chapters, int pages)
    {
        m_order.clear();
        m_atIndex.clear();
        m_layouts.clear();
        m_config.continuousMode = true;
        for (int c = 0; c < chapters; ++c) {
            const QString id = QStringLiteral("ch%1").arg(c);
            m_order.insert(id, c);
            m_atIndex.insert(c, id);
            m_layouts.insert(id, chapter(id, pages, m_config));
        }
    }

private slots:
    void rebuild_data()
    {
        QTest::addColumn<int>("chapters");
        QTest::newRow("3 chapters x 500 pages") << 3;
        QTest::newRow("6 chapters x 500 pages") << 6;
    }

    // Every rebuild after the first compares all pages against the last strip.
    void rebuild()
    {
        QFETCH(int, chapters);
        layOut(chapters, 500);
        ContinuousStrip strip(m_order, m_atIndex, m_layouts);
        QString reading = QStringLiteral("ch%1").arg(chapters / 2);
        int page = 0;
        strip.rebuild(m_config, reading, page);
        QBENCHMARK {
            strip.rebuild(m_config, reading, page);
        }
        QVERIFY(strip.stripPages().size() >= chapters * 500);
    }

    // Five chapters on the strip, then the one before them arrives.
    void prependOneChapter()
    {
        layOut(6, 500);
        const QVector<PageLayout> first = m_layouts.take(QStringLiteral("ch0"));
        ContinuousStrip five(m_order, m_atIndex, m_layouts);
        QString reading = QStringLiteral("ch3");
        int page = 0;
        five.rebuild(m_config, reading, page);
        m_layouts.insert(QStringLiteral("ch0"), first);
        QBENCHMARK {
            ContinuousStrip strip(five);
            QString at = reading;
            int atPage = page;
            strip.rebuild(m_config, at, atPage);
        }
    }
};

QTEST_MAIN(BenchContinuousStrip)
#include "bench_continuousstrip.moc"
