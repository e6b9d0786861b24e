#include "chapterinfo.h"
#include "fallbackchapterparser.h"
#include "fallbacknovelparser.h"
#include "keys.h"
#include "novelinfo.h"
#include "paths.h"
#include "testenvironment.h"

#include <QDir>
#include <QFile>
#include <QTextCodec>
#include <QtTest>

#include <memory>

#include <sys/stat.h>

namespace {

struct ChapterList
{
    QVector<ChapterInfo *> items;
    ~ChapterList() { qDeleteAll(items); }
};

QString filler(int count, QChar ch = QLatin1Char('x'))
{
    return QString(count, ch);
}

QString writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return QString();
    file.write(bytes);
    return path;
}

}

class TestFallbackParsers : public QObject
{
    Q_OBJECT

private:
    TestEnvironment m_env;

private slots:
    void findSplitPoint_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("lo");
        QTest::addColumn<int>("hi");
        QTest::addColumn<int>("expected");

        QString blankAndSentence = filler(3000);
        blankAndSentence[1600] = QLatin1Char('\n');
        blankAndSentence[1601] = QLatin1Char('\n');
        blankAndSentence[2400] = QChar(0x3002);
        QTest::newRow("blank line beats later sentence end") << blankAndSentence << 1500 << 2500 << 1600;

        // The cut follows the first line end of a blank line, whatever the
        // convention, and never falls between CR and LF.
        const struct { const char *name; const char *breaks; int cut; } blankLines[] = {
            {"blank line, CRLF", "\r\n\r\n", 1601},
            {"blank line, lone CR", "\r\r", 1600},
            {"blank line, LF then CRLF", "\n\r\n", 1600},
        };
        for (const auto &row : blankLines) {
            QString t = filler(3000);
            t.replace(1600, int(qstrlen(row.breaks)), QString::fromLatin1(row.breaks));
            t[2400] = QChar(0x3002);
            QTest::newRow(row.name) << t << 1500 << 2500 << row.cut;
        }
        QString lineEndsOnly = filler(3000);
        lineEndsOnly.replace(1600, 2, QStringLiteral("\r\n"));
        lineEndsOnly[1700] = QChar(0x3002);
        QTest::newRow("a single CRLF is no blank line") << lineEndsOnly << 1500 << 2500 << 1700;

        QString sentenceAndClause = filler(3000);
        sentenceAndClause[1700] = QLatin1Char('?');
        sentenceAndClause[2450] = QChar(0xFF0C);
        QTest::newRow("sentence end beats later clause mark") << sentenceAndClause << 1500 << 2500 << 1700;

        QString clauses = filler(3000);
        clauses[1800] = QLatin1Char(';');
        clauses[2000] = QChar(0xFF1A);
        QTest::newRow("latest clause mark") << clauses << 1500 << 2500 << 2000;

        QString twoSentences = filler(3000);
        twoSentences[1550] = QChar(0xFF01);
        twoSentences[2500] = QLatin1Char('.');
        QTest::newRow("hi itself counts") << twoSentences << 1500 << 2500 << 2500;

        QString outside = filler(3000);
        outside[1499] = QChar(0x3002);
        QTest::newRow("marks outside the window ignored") << outside << 1500 << 2500 << 2500;

        QTest::newRow("hi clamped to text") << filler(100) << 50 << 500 << 99;
        QTest::newRow("lo above hi") << filler(100) << 90 << 80 << 80;
    }

    void findSplitPoint()
    {
        QFETCH(QString, text);
        QFETCH(int, lo);
        QFETCH(int, hi);
        QFETCH(int, expected);
        QCOMPARE(FallbackChapterParser::findSplitPoint(text, lo, hi), qint64(expected));
    }

    void splitBySize_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QVector<int>>("ends");

        QTest::newRow("no breaks") << filler(4000) << QVector<int>{2500, 3999};
        QTest::newRow("short text") << filler(1000) << QVector<int>{999};
        QTest::newRow("one character") << QStringLiteral("x") << QVector<int>{0};
        QString blank = filler(5000);
        blank[1600] = QLatin1Char('\n');
        blank[1601] = QLatin1Char('\n');
        blank[2400] = QChar(0x3002);
        // Second window is [3101, 4101]: nothing in it, so 4101.
        QTest::newRow("blank line first") << blank << QVector<int>{1600, 4101, 4999};
        // A file's closing blank lines are no chapter of their own, whether a
        // blank line or a sentence end would have cut them off.
        QTest::newRow("blank tail after a blank line") << filler(2000) + QStringLiteral("\n\n")
                                                       << QVector<int>{2001};
        QTest::newRow("blank tail after a sentence end")
            << filler(2000) + QStringLiteral(".\r\n\r\n  ") << QVector<int>{2006};
        QTest::newRow("only white space") << QString(3000, QLatin1Char(' ')) << QVector<int>{2999};
    }

    void splitBySize()
    {
        QFETCH(QString, text);
        QFETCH(QVector<int>, ends);
        FallbackChapterParser parser;
        ChapterList list;
        list.items = parser.splitBySize(text, QStringLiteral("/d/chapter/"), QStringLiteral("nid"));
        QCOMPARE(list.items.size(), ends.size());
        int start = 0;
        for (int i = 0; i < ends.size(); ++i) {
            ChapterInfo *c = list.items[i];
            QCOMPARE(c->startOffset(), start);
            QCOMPARE(c->endOffset(), ends[i]);
            QCOMPARE(c->wordCount(), ends[i] - start + 1);
            QCOMPARE(c->chapterIndex(), i);
            QCOMPARE(c->title(), QStringLiteral("Chapter %1").arg(i + 1));
            QCOMPARE(c->novelId(), QStringLiteral("nid"));
            QCOMPARE(c->path(), QStringLiteral("/d/chapter/") + c->id() + QStringLiteral(".html"));
            QCOMPARE(c->prevChapter(), i ? list.items[i - 1]->id() : QString());
            QCOMPARE(c->nextChapter(), i + 1 < ends.size() ? list.items[i + 1]->id() : QString());
            start = ends[i] + 1;
        }
    }

    void splitBySizeCoversLongText()
    {
        // Ordinary prose: every chapter but the last holds 1501..2501
        // characters, the chapters touch and cover the whole text.
        QString text;
        for (int i = 0; text.size() < 200000; ++i)
            text += QStringLiteral("他走了%1步，停下来看天。").arg(i) + (i % 9 == 0 ? QStringLiteral("\n\n") : QString());
        FallbackChapterParser parser;
        ChapterList list;
        list.items = parser.splitBySize(text, QString(), QString());
        QVERIFY(list.items.size() > 60);
        int next = 0;
        QSet<QString> ids;
        for (int i = 0; i < list.items.size(); ++i) {
            ChapterInfo *c = list.items[i];
            QCOMPARE(c->startOffset(), next);
            const int length = c->endOffset() - c->startOffset() + 1;
            if (i + 1 < list.items.size())
                QVERIFY2(length >= 1501 && length <= 2501, qPrintable(QString::number(length)));
            next = c->endOffset() + 1;
            ids.insert(c->id());
        }
        QCOMPARE(next, text.size());
        QCOMPARE(ids.size(), list.items.size());
    }

    void parseChapters_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("makeDir");
        QTest::addColumn<QString>("error");
        QTest::addColumn<int>("chapters");

        QTest::newRow("empty file") << "empty.txt" << QByteArray() << false << "文件为空" << 0;
        QTest::newRow("missing file") << "" << QByteArray() << false << "无读入权限" << 0;
        QTest::newRow("directory") << "dir.txt" << QByteArray() << true << "无读入权限" << 0;
        QTest::newRow("pipe") << "fifo.txt" << QByteArray() << false << "无读入权限" << 0;
        QByteArray junk;
        for (int i = 0; i < 5000; ++i)
            junk.append(char((i * 131 + 7) % 256));
        QTest::newRow("binary junk") << "junk.txt" << junk << false << "内容编码失败" << 0;
        QTest::newRow("zero bytes, no suffix") << "README" << QByteArray() << false << "文件为空" << 0;
        QTest::newRow("gbk text")
            << "gbk.txt" << QTextCodec::codecForName("GBK")->fromUnicode(QString(3000, QChar(0x5C71)))
            << false << "" << 2;
    }

    void parseChapters()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, bytes);
        QFETCH(bool, makeDir);
        QFETCH(QString, error);
        QFETCH(int, chapters);

        const QString folder = m_env.root() + QStringLiteral("/books");
        QDir().mkpath(folder);
        QString path = folder + QStringLiteral("/") + (name.isEmpty() ? QStringLiteral("missing.txt") : name);
        if (makeDir)
            QVERIFY(QDir().mkpath(path));
        else if (name == QLatin1String("fifo.txt"))
            QVERIFY(QFile::exists(path) || ::mkfifo(QFile::encodeName(path).constData(), 0600) == 0);
        else if (!name.isEmpty())
            QVERIFY(!writeFile(path, bytes).isEmpty());

        FallbackChapterParser parser;
        QString message;
        ChapterListResult result = parser.parseChapters(path, QStringLiteral("/data/book/"),
                                                        QStringLiteral("nid"), &message);
        ChapterList list;
        list.items = result.chapters;
        QCOMPARE(message, error);
        QCOMPARE(result.chapters.size(), chapters);
        QCOMPARE(result.text.isEmpty(), chapters == 0);
        for (ChapterInfo *c : result.chapters)
            QVERIFY(c->path().startsWith(QStringLiteral("/data/book/chapter/{")));

        // A null error pointer is allowed.
        ChapterListResult again = parser.parseChapters(path, QString(), QString(), nullptr);
        qDeleteAll(again.chapters);
    }

    void writeChapterFiles()
    {
        const QString dir = m_env.root() + QStringLiteral("/write/chapter/");
        const QString text = QStringLiteral("第一行 <a&b>\r\n\n  第二行  \n") + QStringLiteral("   \n\n  ");
        auto makeChapter = [&](const QString &id, int start, int end) {
            auto *c = new ChapterInfo;
            c->setId(id);
            c->setTitle(QStringLiteral("标题 <1>"));
            c->setPath(dir + id + QStringLiteral(".html"));
            c->setStartOffset(start);
            c->setEndOffset(end);
            return c;
        };
        ChapterList list;
        const int split = text.indexOf(QStringLiteral("   \n"));
        list.items << makeChapter(QStringLiteral("a"), 0, split - 1)
                   << makeChapter(QStringLiteral("blank"), split, text.size() - 1)
                   << makeChapter(QStringLiteral("outside"), 3, text.size());

        FallbackChapterParser parser;
        QVERIFY(parser.writeChapterFiles(list.items, text));
        QVERIFY(!QFile::exists(dir + QStringLiteral("blank.html")));
        QVERIFY(!QFile::exists(dir + QStringLiteral("outside.html")));
        QFile file(dir + QStringLiteral("a.html"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QString xhtml = QString::fromUtf8(file.readAll());
        QVERIFY(xhtml.startsWith(QStringLiteral("<?xml version=\"1.0\" encoding=\"utf-8\" ?>\n<!DOCTYPE html")));
        QVERIFY(xhtml.contains(QStringLiteral("<title>标题 &lt;1&gt;</title>")));
        const QString em2 = QString(2, QChar(0x2003));
        QVERIFY(xhtml.contains(QStringLiteral("        <p>") + em2 + QStringLiteral("第一行 &lt;a&amp;b&gt;</p>\n        <p></p>\n")
                               + QStringLiteral("        <p>") + em2 + QStringLiteral("第二行</p>\n        <p></p>\n    </body>\n</html>")));
        QVERIFY(xhtml.endsWith(QStringLiteral("</html>")));

        QVERIFY(!parser.writeChapterFiles({}, text));
        QVERIFY(!parser.writeChapterFiles(list.items, QString()));
    }

    void onlyWhitespaceGivesNoDocument()
    {
        FallbackChapterParser parser;
        QCOMPARE(parser.splitParagraphLines(QStringLiteral("t"), QStringLiteral(" \n\r\n \t "), 0, 6), QString());
        QCOMPARE(parser.splitParagraphLines(QStringLiteral("t"), QStringLiteral("abc"), 2, 1), QString());
    }

    void novelFromFileName_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("title");
        QTest::newRow("plain") << "book.txt" << "book";
        QTest::newRow("two dots") << "a.b.txt" << "a.b";
        QTest::newRow("no dot") << "README" << "README";
        QTest::newRow("only suffix") << ".txt" << "";
        QTest::newRow("chinese") << "山河.TXT" << "山河";
    }

    void novelFromFileName()
    {
        QFETCH(QString, name);
        QFETCH(QString, title);
        const QString folder = m_env.root() + QStringLiteral("/names");
        QDir().mkpath(folder);
        const QString path = writeFile(folder + QLatin1Char('/') + name, QByteArray("12345"));
        QVERIFY(!path.isEmpty());

        FallbackNovelParser parser;
        std::unique_ptr<NovelInfo> novel(parser.parseNovel(path));
        QVERIFY(novel);
        QCOMPARE(novel->title(), title);
        QCOMPARE(novel->id(), md5Hex(path));
        QCOMPARE(novel->dataDir(), Paths::dataLocation() + QLatin1Char('/') + md5Hex(path) + QLatin1Char('/'));
        QVERIFY(novel->dataDir().startsWith(m_env.dataHome()));
        QCOMPARE(novel->fileSize(), qlonglong(5));
        QCOMPARE(novel->fileType(), QStringLiteral("TXT"));
        QCOMPARE(novel->sourceUrl(), path);
        QCOMPARE(novel->author(), QStringLiteral("--"));
        QCOMPARE(novel->createTime(), novel->updateTime());
        QVERIFY(!novel->parent());
    }
};

QTEST_GUILESS_MAIN(TestFallbackParsers)
#include "tst_fallbackparsers.moc"
