#include "chapterinfo.h"
#include "fallbackchapterparser.h"
#include "textdetect.h"

#include <QTextCodec>
#include <QtTest>

// Decoding and size-based splitting of large GB18030 books; run with sizes of
// 5, 10 and 20 MB to see that both steps grow linearly.
class BenchDecodeSplit : public QObject
{
    Q_OBJECT

private:
    QMap<int, QByteArray> m_books;

    static QByteArray makeBook(int megabytes)
    {
        const QString paragraph = QStringLiteral(
            "他推开窗，远处的山影在暮色里一点点沉下去。风里带着潮气，像是要下雨了！"
            "“你还走吗？”她问。他没有回答，只是把灯拨亮了一些；屋里便暖了起来。\n");
        QString text;
        const int target = megabytes * 1024 * 1024 / 2;
        text.reserve(target + paragraph.size() * 2);
        for (int i = 0; text.size() < target; ++i) {
            text += paragraph;
            if (i % 12 == 11)
                text += QLatin1Char('\n');
        }
        return QTextCodec::codecForName("GB18030")->fromUnicode(text);
    }

    const QByteArray &book(int megabytes)
    {
        if (!m_books.contains(megabytes))
            m_books.insert(megabytes, makeBook(megabytes));
        return m_books[megabytes];
    }

    static void addSizes()
    {
        QTest::addColumn<int>("megabytes");
        QTest::newRow("5 MB") << 5;
        QTest::newRow("10 MB") << 10;
        QTest::newRow("20 MB") << 20;
    }

private slots:
    void decode_data() { addSizes(); }
    void decode()
    {
        QFETCH(int, megabytes);
        const QByteArray &bytes = book(megabytes);
        QString text;
        QBENCHMARK { text = TextDetect::decodeText(bytes); }
        QVERIFY(text.size() > bytes.size() / 3);
    }

    // The same book in UTF-8: the check that it is clean UTF-8 rather than
    // GBK shaped like it is one more pass over the bytes.
    void decodeUtf8_data() { addSizes(); }
    void decodeUtf8()
    {
        QFETCH(int, megabytes);
        const QByteArray bytes =
            QTextCodec::codecForName("GB18030")->toUnicode(book(megabytes)).toUtf8();
        QString text;
        QBENCHMARK { text = TextDetect::decodeText(bytes); }
        QVERIFY(text.size() > bytes.size() / 4);
    }

    void split_data() { addSizes(); }
    void split()
    {
        QFETCH(int, megabytes);
        const QString text = TextDetect::decodeText(book(megabytes));
        FallbackChapterParser parser;
        QVector<ChapterInfo *> chapters;
        QBENCHMARK {
            qDeleteAll(chapters);
            chapters = parser.splitBySize(text, QStringLiteral("/tmp/chapter/"), QStringLiteral("id"));
        }
        QVERIFY(chapters.size() > text.size() / 2600);
        qDeleteAll(chapters);
    }

    void decodeAndSplit20MB()
    {
        const QByteArray &bytes = book(20);
        FallbackChapterParser parser;
        QVector<ChapterInfo *> chapters;
        QBENCHMARK {
            qDeleteAll(chapters);
            const QString text = TextDetect::decodeText(bytes);
            chapters = parser.splitBySize(text, QStringLiteral("/tmp/chapter/"), QStringLiteral("id"));
        }
        qDeleteAll(chapters);
    }
};

QTEST_GUILESS_MAIN(BenchDecodeSplit)
#include "bench_decodesplit.moc"
