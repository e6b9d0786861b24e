#include "chapterinfo.h"
#include "databaseconnection.h"
#include "keys.h"
#include "novelinfo.h"
#include "parserregistry.h"
#include "testenvironment.h"
#include "transaction.h"
#include "txtbaseparser.h"
#include "txtzhcnparser.h"
#include "unifiedchunkdao.h"
#include "unifiedparagraphdao.h"

#include <QDir>
#include <QSqlQuery>
#include <QTextCodec>
#include <QtTest>

#include <memory>

namespace {

ChapterInfo *chapter(const QString &id, const QString &title, int words)
{
    auto *c = new ChapterInfo;
    c->setId(id);
    c->setTitle(title);
    c->setWordCount(words);
    return c;
}

int rows(const QString &table)
{
    QSqlQuery query(DatabaseConnection::database());
    query.exec(QStringLiteral("SELECT COUNT(*) FROM ") + table);
    return query.next() ? query.value(0).toInt() : -1;
}

// Frees what a parse handed back.
struct Owned
{
    std::unique_ptr<NovelInfo> novel;
    QVector<ChapterInfo *> chapters;
    ~Owned() { qDeleteAll(chapters); }
};

}

class TestTxtParser : public QObject
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

    // parseBookInfo and parseChapters, both expected to succeed.
    bool parse(TxtBaseParser &parser, const QString &path, Owned &owned)
    {
        ParseResult info = parser.parseBookInfo(path);
        if (!info.success)
            return false;
        owned.novel.reset(info.novel);
        ParseResult list = parser.parseChapters(path, info.novel);
        owned.chapters = list.chapters;
        return list.success;
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

    void bookInfoFailures_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("message");
        QTest::newRow("missing") << QStringLiteral("missing") << QStringLiteral("文件不存在");
        QTest::newRow("directory") << QStringLiteral("directory") << QStringLiteral("文件不存在");
        QTest::newRow("empty") << QStringLiteral("empty") << QStringLiteral("文件为空");
    }

    void bookInfoFailures()
    {
        QFETCH(QString, kind);
        QString path = env->root() + QStringLiteral("/book.txt");
        if (kind == QLatin1String("directory"))
            QVERIFY(QDir().mkpath(path));
        else if (kind == QLatin1String("empty"))
            path = writeFile(QStringLiteral("book.txt"), QByteArray());
        TxtBaseParser parser;
        const ParseResult result = parser.parseBookInfo(path);
        QVERIFY(!result.success);
        QVERIFY(!result.novel);
        QTEST(result.errorMessage, "message");
    }

    void bookInfoTakesDetectedLanguage_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("language");
        QTest::newRow("traditional") << QStringLiteral("他們談論語言，說請試讀這篇詳細的議論證明。").repeated(40)
                                     << QStringLiteral("zh_TW");
        QTest::newRow("english") << QStringLiteral("The quick brown fox jumps over the dog. ").repeated(40)
                                 << QStringLiteral("en");
    }

    void bookInfoTakesDetectedLanguage()
    {
        QFETCH(QString, text);
        const QString path = writeFile(QStringLiteral("书.txt"), text.toUtf8());
        TxtBaseParser parser;
        const ParseResult result = parser.parseBookInfo(path);
        QVERIFY(result.success);
        std::unique_ptr<NovelInfo> novel(result.novel);
        QTEST(novel->language(), "language");
        QCOMPARE(novel->id(), md5Hex(path));
        QCOMPARE(novel->title(), QStringLiteral("书"));
    }

    void chaptersNeedABook()
    {
        TxtBaseParser parser;
        const ParseResult result = parser.parseChapters(QStringLiteral("/x.txt"), nullptr);
        QVERIFY(!result.success);
        QCOMPARE(result.errorMessage, QStringLiteral("novelInfo 为空"));
    }

    void registryPicksParserByLanguage()
    {
        const QString chinese = writeFile(QStringLiteral("a.txt"),
            QTextCodec::codecForName("GB18030")->fromUnicode(
                QStringLiteral("他走进了那座古老的城堡，四周一片寂静。").repeated(50)));
        const QString english = writeFile(QStringLiteral("b.TXT"),
            QByteArray("The castle stood silent on the hill. ").repeated(50));
        std::unique_ptr<IFormatParser> zh(ParserRegistry::instance().findParser(chinese));
        std::unique_ptr<IFormatParser> en(ParserRegistry::instance().findParser(english));
        QVERIFY(dynamic_cast<TxtZhCnParser *>(zh.get()));
        QVERIFY(en && typeid(*en) == typeid(TxtBaseParser));
        QVERIFY(zh->parseUnified({}, QString(), nullptr, nullptr) == false);
    }

    void normalize_data()
    {
        // Each chapter: "title:words"; expected: the surviving ids with their
        // links "prev<id>next", and the shares of the book before each.
        QTest::addColumn<QStringList>("input");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<QVector<double>>("process");
        QTest::newRow("shares") << QStringList{"A:100", "B:300", "C:600"}
                                << QStringList{"<0>1", "0<1>2", "1<2>"}
                                << QVector<double>{0, 0.1, 0.4};
        QTest::newRow("short first of a pair goes")
            << QStringList{"A:50", "B:8", "B:50"}
            << QStringList{"<0>2", "0<2>"} << QVector<double>{0, 0.5};
        QTest::newRow("short second of a pair goes")
            << QStringList{"A:50", "B:50", "B:10"}
            << QStringList{"<0>1", "0<1>"} << QVector<double>{0, 0.5};
        QTest::newRow("both long stay")
            << QStringList{"B:20", "B:20"} << QStringList{"<0>1", "0<1>"}
            << QVector<double>{0, 0.5};
        QTest::newRow("short first chapter of the book")
            << QStringList{"B:3", "B:30", "C:0"} << QStringList{"<1>2", "1<2>"}
            << QVector<double>{0, 1};
        QTest::newRow("no words") << QStringList{"A:0", "B:-4"} << QStringList{"<0>1", "0<1>"}
                                  << QVector<double>{0, 0};
        QTest::newRow("thirds rounded") << QStringList{"A:1", "B:1", "C:1"}
                                        << QStringList{"<0>1", "0<1>2", "1<2>"}
                                        << QVector<double>{0, 0.333333, 0.666667};
    }

    void normalize()
    {
        QFETCH(QStringList, input);
        QFETCH(QStringList, expected);
        QFETCH(QVector<double>, process);
        QVector<ChapterInfo *> chapters;
        for (int i = 0; i < input.size(); ++i) {
            const QStringList parts = input.at(i).split(QLatin1Char(':'));
            chapters << chapter(QString::number(i), parts.at(0), parts.at(1).toInt());
        }
        TxtBaseParser::normalizeChapters(chapters);
        QStringList links;
        QVector<double> shares;
        for (int i = 0; i < chapters.size(); ++i) {
            ChapterInfo *c = chapters.at(i);
            QCOMPARE(c->chapterIndex(), i);
            links << c->prevChapter() + QLatin1Char('<') + c->id() + QLatin1Char('>')
                         + c->nextChapter();
            shares << c->novelProcess();
        }
        qDeleteAll(chapters);
        QCOMPARE(links, expected);
        QCOMPARE(shares, process);
    }

    void singleChapterIsLeftAlone()
    {
        QVector<ChapterInfo *> chapters{chapter(QStringLiteral("a"), QStringLiteral("A"), 5)};
        chapters.first()->setChapterIndex(0);
        TxtBaseParser::normalizeChapters(chapters);
        QCOMPARE(chapters.first()->chapterIndex(), 0);
        QCOMPARE(chapters.first()->novelProcess(), -1.0);
        qDeleteAll(chapters);
    }

    void storesOneRawBlockPerChapter()
    {
        QString text;
        for (int i = 0; i < 200; ++i)
            text += QStringLiteral("  Line %1 of the book, with some words in it.\n").arg(i);
        text.chop(1);   // no blank tail chapter
        const QString path = writeFile(QStringLiteral("book.txt"), text.toUtf8());
        TxtBaseParser parser;
        Owned owned;
        QVERIFY(parse(parser, path, owned));
        QVERIFY(owned.chapters.size() > 1);
        // The last chapter reaches beyond the text: it is cut at its end.
        owned.chapters.last()->setEndOffset(text.size() + 500);

        UnifiedParagraphDao paragraphs;
        UnifiedChunkDao chunks;
        const QString id = owned.novel->id();
        QVERIFY(parser.parseUnified(owned.chapters, id, &paragraphs, &chunks));
        // A second run replaces the rows instead of adding to them.
        QVERIFY(parser.parseUnified(owned.chapters, id, &paragraphs, &chunks));
        QCOMPARE(rows(QStringLiteral("unified_paragraph")), owned.chapters.size());
        QCOMPARE(rows(QStringLiteral("unified_chunk")), owned.chapters.size());

        QString joined;
        for (ChapterInfo *c : qAsConst(owned.chapters)) {
            QVector<QString> rowIds;
            const QVector<Paragraph> stored = paragraphs.loadParagraphs(id, c->id(), &rowIds);
            QCOMPARE(stored.size(), 1);
            Paragraph expected;
            expected.kind = Paragraph::PlainTextBlock;
            expected.progressWeight = stored.first().progressWeight;
            QCOMPARE(stored.first(), expected);
            const QVector<TextChunk> storedChunks = chunks.loadChunks(id, c->id()).value(rowIds.first());
            QCOMPARE(storedChunks.size(), 1);
            const QString body = storedChunks.first().text;
            QCOMPARE(body, body.trimmed());
            QCOMPARE(storedChunks.first().fontScale, 1.0f);
            QCOMPARE(c->wordCount(), body.size());
            QCOMPARE(c->progressTotal(), qint64(body.size()));
            QCOMPARE(stored.first().progressWeight, qint64(body.size()));
            QVERIFY(c->glyphCount() > 0 && c->glyphCount() < body.size());
            joined += body + QLatin1Char('\n');
        }
        QCOMPARE(joined.simplified(), text.simplified());
    }

    void blankBookIsEmpty_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("chinese");
        QTest::newRow("blank lines") << QByteArray(" \n\n \xE3\x80\x80 \r\t \n") << false;
        // Its one chapter would store nothing to read.
        QTest::newRow("heading only") << QStringLiteral("第1章 风起之时\n\u3000\u3000\n").toUtf8() << true;
    }

    void blankBookIsEmpty()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, chinese);
        const QString path = writeFile(QStringLiteral("blank.txt"), content);
        std::unique_ptr<TxtBaseParser> parser(chinese ? new TxtZhCnParser : new TxtBaseParser);
        Owned owned;
        QVERIFY(!parse(*parser, path, owned));
        QCOMPARE(parser->parseChapters(path, owned.novel.get()).errorMessage, QStringLiteral("文件为空"));
    }

    void unifiedNeedsChaptersFirst()
    {
        TxtBaseParser parser;
        UnifiedParagraphDao paragraphs;
        UnifiedChunkDao chunks;
        ChapterInfo c;
        c.setId(QStringLiteral("c"));
        c.setStartOffset(0);
        c.setEndOffset(10);
        QVERIFY(!parser.parseUnified({&c}, QStringLiteral("n"), &paragraphs, &chunks));
    }

    // Inside an import's transaction the content is a savepoint: it goes when
    // the import rolls back.
    void nestsInsideTheImportTransaction()
    {
        const QString path = writeFile(QStringLiteral("book.txt"),
                                       QByteArray("Some words here.\n").repeated(400));
        TxtBaseParser parser;
        Owned owned;
        QVERIFY(parse(parser, path, owned));
        UnifiedParagraphDao paragraphs;
        UnifiedChunkDao chunks;
        {
            Transaction outer(DatabaseConnection::database());
            QVERIFY(outer.isActive());
            QVERIFY(parser.parseUnified(owned.chapters, owned.novel->id(), &paragraphs, &chunks));
            QVERIFY(rows(QStringLiteral("unified_paragraph")) > 0);
            QVERIFY(outer.rollback());
        }
        QCOMPARE(rows(QStringLiteral("unified_paragraph")), 0);
        QCOMPARE(rows(QStringLiteral("unified_chunk")), 0);
        QCOMPARE(Transaction::depth(DatabaseConnection::database()), 0);
    }
};

QTEST_MAIN(TestTxtParser)
#include "tst_txtparser.moc"
