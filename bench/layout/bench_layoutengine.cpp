#include "layoutengine.h"
#include "pagebuilder.h"
#include "paragraphutils.h"

#include <QElapsedTimer>
#include <QTextLayout>
#include <QtTest>

namespace {

const QString Sentence = QStringLiteral(
    "他说：“今天天气很好，我们去公园散步吧。”她笑了笑——没有回答，只是点了点头……");

Paragraph textParagraph(const QString &text)
{
    Paragraph p;
    TextChunk chunk;
    chunk.text = text;
    p.chunks.append(chunk);
    return p;
}

QString cjkText(int characters)
{
    QString text;
    while (text.size() < characters)
        text += Sentence;
    text.truncate(characters);
    return text;
}

// Paragraphs of one or two sentences until the chapter holds `characters`.
QVector<Paragraph> cjkChapter(int characters)
{
    QVector<Paragraph> chapter;
    int total = 0;
    for (int i = 0; total < characters; ++i) {
        const QString text = (i % 3 == 0) ? Sentence + Sentence : Sentence;
        chapter.append(textParagraph(text));
        total += text.size();
    }
    finalizeParagraphs(chapter);
    return chapter;
}

LayoutConfig cjkConfig()
{
    LayoutConfig config;
    config.fontFamily = QStringLiteral("Noto Sans CJK SC");
    return config;
}

int characterCount(const QVector<Paragraph> &chapter)
{
    int n = 0;
    for (const Paragraph &p : chapter)
        n += p.plainText().size();
    return n;
}

void reportRate(const QVector<Paragraph> &chapter, const LayoutConfig &config, int rounds)
{
    LayoutEngine engine;
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < rounds; ++i)
        engine.layoutChapter(chapter, config, 0, QStringLiteral("c"));
    const double seconds = timer.nsecsElapsed() / 1e9;
    qInfo("%d characters x %d rounds: %.0f characters per second", characterCount(chapter), rounds,
          characterCount(chapter) * rounds / seconds);
}

}

class BenchLayoutEngine : public QObject
{
    Q_OBJECT

private slots:
    void typicalChapter()
    {
        const QVector<Paragraph> chapter = cjkChapter(3000);
        LayoutEngine engine;
        QBENCHMARK {
            engine.layoutChapter(chapter, cjkConfig(), 0, QStringLiteral("c"));
        }
    }

    void longParagraph_data()
    {
        QTest::addColumn<int>("characters");
        QTest::newRow("10000") << 10000;
        QTest::newRow("20000") << 20000;
    }

    void longParagraph()
    {
        QFETCH(int, characters);
        QVector<Paragraph> chapter{textParagraph(cjkText(characters))};
        finalizeParagraphs(chapter);
        LayoutEngine engine;
        QBENCHMARK {
            engine.layoutChapter(chapter, cjkConfig(), 0, QStringLiteral("c"));
        }
    }

    // The 20,000 / 10,000 ratio, measured outside QBENCHMARK so it is printed.
    void longParagraphRatio()
    {
        auto seconds = [](int characters) {
            QVector<Paragraph> chapter{textParagraph(cjkText(characters))};
            finalizeParagraphs(chapter);
            LayoutEngine engine;
            engine.layoutChapter(chapter, cjkConfig(), 0, QStringLiteral("c"));
            QElapsedTimer timer;
            timer.start();
            for (int i = 0; i < 5; ++i)
                engine.layoutChapter(chapter, cjkConfig(), 0, QStringLiteral("c"));
            return timer.nsecsElapsed() / 5e9;
        };
        const double small = seconds(10000);
        const double large = seconds(20000);
        qInfo("10000: %.2f ms, 20000: %.2f ms, ratio %.2f", small * 1e3, large * 1e3, large / small);
    }

    void largeChapter()
    {
        const QVector<Paragraph> chapter = cjkChapter(200000);
        LayoutEngine engine;
        QBENCHMARK {
            engine.layoutChapter(chapter, cjkConfig(), 0, QStringLiteral("c"));
        }
    }

    void cjkCharactersPerSecond()
    {
        reportRate(cjkChapter(200000), cjkConfig(), 5);
    }

    void bareTextLayout()
    {
        const QVector<Paragraph> chapter = cjkChapter(200000);
        QFont font(QStringLiteral("Noto Sans CJK SC"));
        font.setPixelSize(18);
        QElapsedTimer timer;
        timer.start();
        for (const Paragraph &p : chapter) {
            QTextLayout layout(p.plainText(), font);
            layout.beginLayout();
            for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine())
                line.setLineWidth(492);
            layout.endLayout();
        }
        qInfo("bare QTextLayout: %.0f characters per second",
              characterCount(chapter) / (timer.nsecsElapsed() / 1e9));
    }

    void buildPages_data()
    {
        QTest::addColumn<bool>("continuous");
        QTest::newRow("paged") << false;
        QTest::newRow("continuous") << true;
    }

    void buildPages()
    {
        QFETCH(bool, continuous);
        QVector<LayoutLine> lines(100000);
        for (int i = 0; i < lines.size(); ++i) {
            lines[i].height = 27;
            lines[i].paragraphIndex = i / 3;
            lines[i].lineIndex = i;
            lines[i].glyphRuns.resize(1);
        }
        LayoutConfig config;
        config.orphanControl = true;
        config.continuousMode = continuous;
        QVector<PageLayout> pages;
        QBENCHMARK {
            pages = PageBuilder::buildPages(lines, config);
        }
        QVERIFY(pages.size() > 1000);
    }
};

QTEST_MAIN(BenchLayoutEngine)
#include "bench_layoutengine.moc"
