#include "paragraphutils.h"

#include <QtTest>

namespace {

// About 1 MiB of UTF-16 text: short and long lines, indented with ideographic
// spaces, mixed CJK and Latin words, CRLF breaks and blank lines.
QString plainChapter()
{
    QString text;
    text.reserve(1 << 20);
    int line = 0;
    while (text.size() < (1 << 20)) {
        text += QStringLiteral("\u3000\u3000");
        for (int i = 0; i < 1 + line % 7; ++i)
            text += QStringLiteral("他说：“Hello, don't-stop 42。”天色已晚，风雨欲来。");
        text += (line % 3 == 0) ? QStringLiteral("\r\n\r\n") : QStringLiteral("\n");
        ++line;
    }
    return text;
}

}

class BenchParagraphUtils : public QObject
{
    Q_OBJECT

private slots:
    void expandPlainTextChapter()
    {
        Paragraph block;
        block.kind = Paragraph::PlainTextBlock;
        TextChunk chunk;
        chunk.text = plainChapter();
        block.chunks.append(chunk);

        QVector<Paragraph> lines;
        QBENCHMARK {
            lines = normalizeWhitespace(block);
        }
        QVERIFY(lines.size() > 1000);
        qInfo("%d characters, %d lines", chunk.text.size(), lines.size());
    }

    void finalizePlainTextChapter()
    {
        Paragraph block;
        block.kind = Paragraph::PlainTextBlock;
        TextChunk chunk;
        chunk.text = plainChapter();
        block.chunks.append(chunk);
        QVector<Paragraph> chapter{block};

        QBENCHMARK {
            finalizeParagraphs(chapter);
        }
    }
};

QTEST_GUILESS_MAIN(BenchParagraphUtils)
#include "bench_paragraphutils.moc"
