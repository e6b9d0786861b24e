#include "chapterinfo.h"
#include "textdetect.h"
#include "zhcntxtchapterparser.h"

#include <QTextCodec>
#include <QtTest>

// Heading-based splitting of large Chinese novels: 5, 10 and 20 MB of
// GB18030 with 750, 1500 and 3000 headings, to see the split grow linearly.
class BenchZhCnSplit : public QObject
{
    Q_OBJECT

private:
    static QString makeNovel(int megabytes)
    {
        const int headings = megabytes * 150;
        const int target = megabytes * 1024 * 1024 / 2; // GB18030: two bytes a character
        const int perChapter = target / headings;
        const QString paragraph = QStringLiteral(
            "　　他推开窗，远处的山影在暮色里一点点沉下去。风里带着潮气，像是要下雨了。\n");
        const QString aside = QStringLiteral("　　第二天，他又翻到了第三章，却什么也没看进去。\n");
        QString text;
        text.reserve(target + perChapter);
        text += QStringLiteral("书名：长夜\n作者：王五\n内容简介：一个关于等待的故事。\n\n");
        for (int i = 1; i <= headings; ++i) {
            text += QStringLiteral("第%1章 夜行\n").arg(i);
            const int end = text.size() + perChapter;
            for (int k = 0; text.size() < end; ++k)
                text += (k % 10 == 5) ? aside : paragraph;
        }
        return text;
    }

private slots:
    void split_data()
    {
        QTest::addColumn<int>("megabytes");
        QTest::newRow("5 MB, 750 headings") << 5;
        QTest::newRow("10 MB, 1500 headings") << 10;
        QTest::newRow("20 MB, 3000 headings") << 20;
    }

    void split()
    {
        QFETCH(int, megabytes);
        const QString text = makeNovel(megabytes);
        ZhCnTxtChapterParser parser;
        QVector<ChapterInfo *> chapters;
        QBENCHMARK {
            qDeleteAll(chapters);
            chapters = parser.splitChapters(text, QStringLiteral("/tmp/chapter/"), QStringLiteral("id"));
        }
        QCOMPARE(chapters.size(), megabytes * 150 + 1);
        qDeleteAll(chapters);
    }

    void decodeAndSplit20MB()
    {
        const QByteArray bytes = QTextCodec::codecForName("GB18030")->fromUnicode(makeNovel(20));
        ZhCnTxtChapterParser parser;
        QVector<ChapterInfo *> chapters;
        QBENCHMARK {
            qDeleteAll(chapters);
            chapters = parser.splitChapters(TextDetect::decodeText(bytes), QStringLiteral("/tmp/chapter/"),
                                            QStringLiteral("id"));
        }
        QCOMPARE(chapters.size(), 3001);
        qDeleteAll(chapters);
    }
};

QTEST_GUILESS_MAIN(BenchZhCnSplit)
#include "bench_zhcnsplit.moc"
