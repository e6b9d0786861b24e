// Whole plain-text books as they are found in the wild, imported through the
// registry and read back the way the reader opens a chapter.

#include "chapterinfo.h"
#include "databaseconnection.h"
#include "iformatparser.h"
#include "novelinfo.h"
#include "paragraphutils.h"
#include "parserregistry.h"
#include "testenvironment.h"
#include "txtzhcnparser.h"
#include "unifiedchunkdao.h"
#include "unifiedparagraphdao.h"

#include <QFile>
#include <QTextCodec>
#include <QtTest>

#include <memory>
#include <typeinfo>

namespace {

// Without a byte-order mark: the tests put one in where they want it.
QByteArray encode(const char *codec, const QString &text)
{
    std::unique_ptr<QTextEncoder> encoder(
        QTextCodec::codecForName(codec)->makeEncoder(QTextCodec::IgnoreHeader));
    return encoder->fromUnicode(text);
}

QString crlf(QString text)
{
    return text.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
}

// What a reader sees of one chapter.
struct ReadChapter
{
    QString title;
    QStringList lines;
};

// The non-blank lines of a text, trimmed of every kind of white space.
QStringList nonBlankLines(const QString &text)
{
    QStringList lines;
    for (QString line : text.split(QRegularExpression(QStringLiteral("[\r\n]")))) {
        line = line.trimmed();
        if (!line.isEmpty())
            lines.append(line);
    }
    return lines;
}

// Prose without headings: numbered Chinese sentences, so lost or doubled
// text shows.
QString chineseProse(int sentences, int from = 0)
{
    QString text;
    for (int i = 0; i < sentences; ++i) {
        text += QStringLiteral("　　他沿着山路走了很久，第%1次回头看那座城。\n").arg(from + i);
    }
    return text;
}

}

class TestRealBooks : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TestEnvironment> env;

    QString writeFile(const QString &name, const QByteArray &bytes)
    {
        const QString path = env->root() + QLatin1Char('/') + name;
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            return QString();
        file.write(bytes);
        return path;
    }

    // Imports the file through the registry's parser and reads every chapter
    // back as the reader would. parserName receives "zh" or "base".
    bool import(const QString &path, QVector<ReadChapter> &book, QString *parserName = nullptr,
                QString *language = nullptr)
    {
        std::unique_ptr<IFormatParser> parser(ParserRegistry::instance().findParser(path));
        if (!parser)
            return false;
        if (parserName)
            *parserName = dynamic_cast<TxtZhCnParser *>(parser.get()) ? QStringLiteral("zh")
                                                                       : QStringLiteral("base");
        const ParseResult info = parser->parseBookInfo(path);
        if (!info.success) {
            qWarning() << "book info failed:" << info.errorMessage;
            return false;
        }
        std::unique_ptr<NovelInfo> novel(info.novel);
        if (language)
            *language = novel->language();
        const ParseResult list = parser->parseChapters(path, novel.get());
        std::unique_ptr<QVector<ChapterInfo *>, void (*)(QVector<ChapterInfo *> *)> owned(
            new QVector<ChapterInfo *>(list.chapters),
            [](QVector<ChapterInfo *> *v) { qDeleteAll(*v); delete v; });
        if (!list.success) {
            qWarning() << "chapters failed:" << list.errorMessage;
            return false;
        }
        UnifiedParagraphDao paragraphDao;
        UnifiedChunkDao chunkDao;
        if (!parser->parseUnified(list.chapters, novel->id(), &paragraphDao, &chunkDao))
            return false;

        book.clear();
        for (ChapterInfo *chapter : list.chapters) {
            ReadChapter read;
            read.title = chapter->title();
            QVector<QString> rowIds;
            const QVector<Paragraph> stored =
                paragraphDao.loadParagraphs(novel->id(), chapter->id(), &rowIds);
            const auto chunks = chunkDao.loadChunks(novel->id(), chapter->id());
            for (int i = 0; i < stored.size(); ++i) {
                Paragraph paragraph = stored.at(i);
                paragraph.chunks = chunks.value(rowIds.value(i));
                for (const Paragraph &line : normalizeWhitespace(paragraph))
                    read.lines.append(line.chunks.value(0).text);
            }
            book.append(read);
        }
        return true;
    }

    static QStringList titlesOf(const QVector<ReadChapter> &book)
    {
        QStringList list;
        for (const ReadChapter &chapter : book)
            list.append(chapter.title);
        return list;
    }

    // Every line of the source comes back once, in order: as a chapter's
    // heading (when headingTitles) or as a line of its text.
    static QStringList readBack(const QVector<ReadChapter> &book, bool headingTitles,
                                int firstHeadingChapter = 0)
    {
        QStringList lines;
        for (int i = 0; i < book.size(); ++i) {
            if (headingTitles && i >= firstHeadingChapter)
                lines.append(book.at(i).title);
            lines += book.at(i).lines;
        }
        return lines;
    }

private slots:
    void init()
    {
        env.reset(new TestEnvironment);
        QVERIFY(env->openDatabase());
    }

    void cleanup()
    {
        TestEnvironment::closeDatabase();
        env.reset();
    }

    // A web novel: book information, a 楔子, volumes on lines of their own
    // between chapters, full-width indents, in the encodings such books come in.
    void chineseWebNovel_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("titles");
        QString text = QStringLiteral("书名：山河故人\n作者：李四\n内容简介：一个少年离开小城的故事。\n\n"
                                      "楔子\n")
            + chineseProse(3) + QStringLiteral("第一卷 少年\n");
        QStringList titles{QStringLiteral("书名：山河故人")};
        for (int c = 1; c <= 6; ++c) {
            if (c == 4)
                text += QStringLiteral("\n第二卷　远行\n\n");
            const QString heading = QStringLiteral("第%1章　%2").arg(c).arg(QStringLiteral("风起云涌").left(1 + c % 4));
            text += QStringLiteral("　　") + heading + QStringLiteral("  \n") + chineseProse(40, c * 100);
            titles.append(heading);
        }
        QTest::newRow("utf-8 LF") << text.toUtf8() << text << titles;
        QTest::newRow("utf-8 CRLF") << crlf(text).toUtf8() << text << titles;
        QTest::newRow("utf-8 BOM CRLF") << QByteArray("\xEF\xBB\xBF") + crlf(text).toUtf8() << text << titles;
        QTest::newRow("GBK CRLF") << encode("GBK", crlf(text)) << text << titles;
        QTest::newRow("UTF-16LE BOM CRLF") << QByteArray("\xFF\xFE") + encode("UTF-16LE", crlf(text)) << text
                                           << titles;

        // Each volume's first chapter shares its line with the volume heading.
        QString joint = chineseProse(2);
        QStringList jointTitles{chineseProse(1).trimmed()};
        for (int c = 1; c <= 6; ++c) {
            QString heading = QStringLiteral("第%1章 归途").arg(c);
            if (c % 3 == 1)
                heading = QStringLiteral("第%1卷 离乡 ").arg(c / 3 + 1) + heading;
            joint += heading + QStringLiteral("\n") + chineseProse(20, c * 100);
            jointTitles.append(heading);
        }
        QTest::newRow("volume and chapter on one line") << crlf(joint).toUtf8() << joint << jointTitles;
    }

    void chineseWebNovel()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, text);
        QFETCH(QStringList, titles);
        const QString path = writeFile(QStringLiteral("山河故人.txt"), bytes);
        QVector<ReadChapter> book;
        QString parser, language;
        QVERIFY(import(path, book, &parser, &language));
        QCOMPARE(parser, QStringLiteral("zh"));
        QCOMPARE(language, QStringLiteral("zh_CN"));
        QCOMPARE(titlesOf(book), titles);
        // The leading chapter holds its own title line; every heading
        // chapter starts after its heading.
        QCOMPARE(readBack(book, true, 1), nonBlankLines(text));
        QCOMPARE(book.first().lines.first(), titles.first());
    }

    void chineseBookInformation()
    {
        const QString text = QStringLiteral("书名：山河故人\n作者：李四\n内容简介：一个少年离开小城的故事。\n\n")
            + QStringLiteral("第一章 出城\n") + chineseProse(30);
        const QString path = writeFile(QStringLiteral("《旧名》作者：张三.txt"), encode("GBK", crlf(text)));
        std::unique_ptr<IFormatParser> parser(ParserRegistry::instance().findParser(path));
        QVERIFY(dynamic_cast<TxtZhCnParser *>(parser.get()));
        const ParseResult info = parser->parseBookInfo(path);
        QVERIFY(info.success);
        std::unique_ptr<NovelInfo> novel(info.novel);
        QCOMPARE(novel->title(), QStringLiteral("山河故人"));
        QCOMPARE(novel->author(), QStringLiteral("李四"));
        QCOMPARE(novel->description(), QStringLiteral("一个少年离开小城的故事。"));
        QCOMPARE(novel->language(), QStringLiteral("zh_CN"));
    }

    // Books without any heading: cut by size at sentence ends, nothing lost.
    void booksWithoutHeadings_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("parser");
        QTest::addColumn<QString>("firstTitle");

        const QString prose = chineseProse(400);
        QTest::newRow("chinese, GBK CRLF") << encode("GBK", crlf(prose)) << prose << "zh" << "第1章";

        // One paragraph of 30,000 characters: no line break at all.
        QString longLine;
        for (int i = 0; i < 1000; ++i)
            longLine += QStringLiteral("雨一直下，第%1滴落在窗上。").arg(i, 4, 10, QLatin1Char('0'));
        QTest::newRow("one very long line") << longLine.toUtf8() << longLine << "zh" << "第1章";

        QString english;
        for (int c = 1; c <= 5; ++c) {
            english += QStringLiteral("Chapter %1\n\n").arg(c);
            for (int i = 0; i < 30; ++i)
                english += QStringLiteral("  It was line %1 of chapter %2; the rain kept falling, and "
                                          "nobody came.\n").arg(i).arg(c);
            english += QLatin1Char('\n');
        }
        QTest::newRow("english CRLF") << crlf(english).toUtf8() << english << "base" << "Chapter 1";
        QTest::newRow("english UTF-16BE") << QByteArray("\xFE\xFF") + encode("UTF-16BE", english)
                                          << english << "base" << "Chapter 1";
    }

    void booksWithoutHeadings()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, text);
        QFETCH(QString, parser);
        QFETCH(QString, firstTitle);
        const QString path = writeFile(QStringLiteral("book.txt"), bytes);
        QVector<ReadChapter> book;
        QString parserName;
        QVERIFY(import(path, book, &parserName));
        QCOMPARE(parserName, parser);
        QVERIFY(book.size() > 1);
        QCOMPARE(book.first().title, firstTitle);
        // Cuts fall inside lines only where a line is longer than a chapter.
        QString read;
        for (const ReadChapter &chapter : book)
            read += chapter.lines.join(QString());
        QCOMPARE(read, nonBlankLines(text).join(QString()));
        for (const ReadChapter &chapter : book)
            QVERIFY(!chapter.lines.isEmpty());
    }

    // Encodings a guess can get wrong.
    void encodingTraps_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("text");

        // The head that picks the parser ends inside a UTF-8 character.
        QString cut = QStringLiteral("x") + chineseProse(200);
        QTest::newRow("utf-8 head cut in a character") << cut.toUtf8() << cut;

        // GBK whose bytes happen to be well-formed UTF-8 lead/continuation pairs.
        const QString liantong = QStringLiteral("联通");
        QTest::newRow("GBK that looks like UTF-8") << encode("GBK", liantong) << liantong;

        // English front matter, Chinese text further on, all GBK.
        QString front;
        for (int i = 0; i < 120; ++i)
            front += QStringLiteral("Copyright notice line %1, all rights reserved.\n").arg(i);
        const QString mixed = front + chineseProse(100);
        QTest::newRow("GBK behind an ASCII head") << encode("GBK", mixed) << mixed;

        // A UTF-8 book with one damaged byte in the middle stays UTF-8.
        const QString prose = chineseProse(300);
        QByteArray damaged = prose.toUtf8();
        const int at = damaged.indexOf(QStringLiteral("第150次").toUtf8());
        damaged[at + 1] = '\xFF';
        QString expected = prose;
        expected.replace(QStringLiteral("第150次"), QStringLiteral("\uFFFD\uFFFD\uFFFD150次"));
        QTest::newRow("utf-8 with one damaged byte") << damaged << expected;
    }

    void encodingTraps()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, text);
        const QString path = writeFile(QStringLiteral("book.txt"), bytes);
        QVector<ReadChapter> book;
        QVERIFY(import(path, book));
        QString read;
        for (const ReadChapter &chapter : book)
            read += chapter.lines.join(QString());
        QCOMPARE(read, nonBlankLines(text).join(QString()));
    }
};

QTEST_MAIN(TestRealBooks)
#include "tst_realbooks.moc"
