// Plain-text books shaped like those found in the wild, imported through the
// registry and read back as the reader opens a chapter.

#include "chapterinfo.h"
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

namespace {

QByteArray encode(const char *codec, const QString &text)
{
    std::unique_ptr<QTextEncoder> encoder(
        QTextCodec::codecForName(codec)->makeEncoder(QTextCodec::IgnoreHeader));
    return encoder->fromUnicode(text);
}

QString prose(int sentences, int from)
{
    QString text;
    for (int i = 0; i < sentences; ++i)
        text += QStringLiteral("　　他沿着山路走了很久，第%1次回头看那座城。\n").arg(from + i);
    return text;
}

// Non-blank lines, trimmed, without replacement characters.
QStringList linesOf(QString text)
{
    text.remove(QChar(QChar::ReplacementCharacter));
    QStringList lines;
    for (QString line : text.split(QRegularExpression(QStringLiteral("[\r\n]")))) {
        line = line.trimmed();
        if (!line.isEmpty())
            lines.append(line);
    }
    return lines;
}

}

class TestTxtCorpus : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TestEnvironment> env;

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

    // titles: the chapters expected, "*" marking one that holds its own
    // lines (a prologue, a table of contents); none: the import fails.
    void import_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("titles");
        QTest::addColumn<QString>("language");
        QTest::addColumn<bool>("damaged");   // a warning with the count is logged

        {
            QString text = QStringLiteral("==========\n书名：长夜\n作者：王五\n==========\n目录\n"), body;
            QStringList titles{QStringLiteral("*书名：长夜"), QStringLiteral("*目录")};
            for (int c = 1; c <= 4; ++c) {
                const QString heading = QStringLiteral("正文 第%1章 夜行").arg(QStringLiteral("一二三四").at(c - 1));
                text += heading + '\n';
                body += '\n' + heading + '\n' + prose(30, c * 100);
                titles << heading;
            }
            text += body;
            QTest::newRow("banner, contents, 正文 prefixes") << text.toUtf8() << text << titles << "zh_CN" << false;
        }
        {
            QString text = QStringLiteral("-----\n楔子\n") + prose(3, 0);
            QStringList titles{QStringLiteral("*楔子")};
            for (int c = 1; c <= 5; ++c) {
                const QString heading = QStringLiteral("第%1回　风雪").arg(QStringLiteral("一二三四五").at(c - 1));
                text += QStringLiteral("　　\n") + heading + QStringLiteral("\n") + prose(30, c * 100);
                if (c == 5)
                    text += QStringLiteral("第四回中，他说过的话又响起来。\n") + prose(3, 900);
                titles << heading;
            }
            QString cr = text;
            cr.replace(QLatin1Char('\n'), QLatin1Char('\r'));
            QTest::newRow("indent-only lines, lone CR, backwards number")
                << cr.toUtf8() << text << titles << "zh_CN" << false;
        }
        {
            QString text;
            QStringList titles;
            for (int v = 1; v <= 2; ++v) {
                for (int c = 1; c <= 3; ++c) {
                    QString heading = QStringLiteral("第%1章 归途").arg(QString(QChar(0xFF10 + c)));
                    if (c == 1)
                        heading = QStringLiteral("正文卷 第%1卷 离乡 ").arg(v) + heading;
                    text += heading + QStringLiteral("\n") + prose(25, v * 1000 + c * 100);
                    titles << heading;
                }
            }
            QString crlf = text;
            crlf.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
            QTest::newRow("volume restarts, full-width digits, GBK CRLF")
                << encode("GBK", crlf) << text << titles << "zh_CN" << false;

            QByteArray damaged = encode("GBK", text);
            QString expected = text;
            // Twelve characters of some 8,000 damaged: 0.15 %.
            for (int v = 1; v <= 2; ++v) {
                for (int c = 1; c <= 3; ++c) {
                    for (const int i : {3, 13}) {
                        const int n = v * 1000 + c * 100 + i;
                        expected.remove(expected.indexOf(QStringLiteral("%1次").arg(n)) + 4, 1);
                        damaged.replace(damaged.indexOf(QByteArray::number(n)) + 4, 2, "\xFF\xFF");
                    }
                }
            }
            QTest::newRow("damaged block in GBK") << damaged << expected << titles << "zh_CN" << true;

            QByteArray ruined = encode("GBK", text);
            for (int i = 100; i < ruined.size(); i += 40)
                ruined[i] = '\xFF';
            QTest::newRow("damage beyond one in a hundred") << ruined << QString() << QStringList() << "" << false;
        }
        {
            const QString text = QStringLiteral("第一章 出城\n") + prose(60, 0) + QStringLiteral("第二章 回城\n") + prose(60, 500);
            QByteArray utf16 = encode("UTF-16LE", text);
            utf16.insert(utf16.indexOf(encode("UTF-16LE", QStringLiteral("第30次"))), QByteArray("\x00\xD8", 2));
            QTest::newRow("UTF-16 without mark, lone surrogate")
                << utf16 << text << QStringList{"第一章 出城", "第二章 回城"} << "zh_CN" << true;
        }
        {
            const QString text = QStringLiteral("第一章 說話\n「請你再說一遍這句話。」他說。\n"
                                                "這裡沒有別人，只有風聲與雨聲。\n").repeated(4);
            QTest::newRow("Big5 traditional") << encode("Big5", text) << text << QStringList{"*Chapter 1"}
                                              << "zh_TW" << false;
        }
        {
            const QString text = QString(2502, QLatin1Char('a'));
            QTest::newRow("size split, last piece of one character")
                << text.toUtf8() << text << QStringList{"*Chapter 1", "*Chapter 2"} << "en" << false;
        }
        QTest::newRow("blank lines only") << QByteArray("\r\n \xE3\x80\x80\r\n\t\n") << QString() << QStringList()
                                          << "" << false;
    }

    void import()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, text);
        QFETCH(QStringList, titles);
        QFETCH(QString, language);
        QFETCH(bool, damaged);

        const QString path = env->root() + QStringLiteral("/长夜.txt");
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(bytes);
        file.close();

        std::unique_ptr<IFormatParser> parser(ParserRegistry::instance().findParser(path));
        QVERIFY(parser);
        const ParseResult info = parser->parseBookInfo(path);
        if (titles.isEmpty() && !info.success)
            return;
        QVERIFY(info.success);
        std::unique_ptr<NovelInfo> novel(info.novel);
        if (damaged) {
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral(
                "^\\[FallbackChapterParser\\] 文本含损坏字节.* count= [1-9]")));
        }
        const ParseResult list = parser->parseChapters(path, novel.get());
        const QVector<ChapterInfo *> chapters = list.chapters;
        auto release = qScopeGuard([&] { qDeleteAll(chapters); });
        if (titles.isEmpty()) {
            QVERIFY(!list.success);
            QVERIFY(!list.errorMessage.isEmpty());
            return;
        }
        QVERIFY2(list.success, qPrintable(list.errorMessage));
        QCOMPARE(novel->language(), language);
        QCOMPARE(dynamic_cast<TxtZhCnParser *>(parser.get()) != nullptr, language == QLatin1String("zh_CN"));
        UnifiedParagraphDao paragraphDao;
        UnifiedChunkDao chunkDao;
        QVERIFY(parser->parseUnified(chapters, novel->id(), &paragraphDao, &chunkDao));

        QStringList gotTitles, read;
        for (ChapterInfo *chapter : chapters) {
            const bool ownLines = titles.value(gotTitles.size()).startsWith(QLatin1Char('*'));
            gotTitles << (ownLines ? QStringLiteral("*") : QString()) + chapter->title();
            if (!ownLines)
                read << chapter->title();
            QVector<QString> rowIds;
            const QVector<Paragraph> stored = paragraphDao.loadParagraphs(novel->id(), chapter->id(), &rowIds);
            const auto chunks = chunkDao.loadChunks(novel->id(), chapter->id());
            for (int i = 0; i < stored.size(); ++i) {
                Paragraph paragraph = stored.at(i);
                paragraph.chunks = chunks.value(rowIds.value(i));
                for (const Paragraph &line : normalizeWhitespace(paragraph))
                    read << line.chunks.value(0).text;
            }
        }
        QCOMPARE(gotTitles, titles);
        // Nothing lost, nothing doubled; a size split may cut inside a line.
        QCOMPARE(linesOf(read.join(QLatin1Char('\n'))).join(QString()), linesOf(text).join(QString()));
    }
};

QTEST_MAIN(TestTxtCorpus)
#include "tst_txtcorpus.moc"
