#include "iformatparser.h"
#include "logmanager.h"
#include "parserregistry.h"

#include <QFile>
#include <QDir>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>

#include <memory>

#include <sys/stat.h>

namespace {

// Fake parsers tell themselves apart through the error message of
// parseBookInfo.
template <int Tag>
class FakeParser : public IFormatParser
{
public:
    static int created;
    FakeParser() { ++created; }
    ParseResult parseBookInfo(const QString &) override
    {
        ParseResult result;
        result.errorMessage = QString::number(Tag);
        return result;
    }
    ParseResult parseChapters(const QString &, NovelInfo *) override { return {}; }
    bool parseUnified(const QVector<ChapterInfo *> &, const QString &, UnifiedParagraphDao *,
                      UnifiedChunkDao *) override
    {
        return false;
    }
};
template <int Tag>
int FakeParser<Tag>::created = 0;

template <int Tag>
IFormatParser *makeFake()
{
    return new FakeParser<Tag>;
}

enum { TxtTag = 1, ZhTag = 2, EpubTag = 3, ComicTag = 4, ReplacedTag = 5, TwTag = 6 };

QStringList g_lines;

void captureMessages(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    const char *tag = type == QtDebugMsg ? "D" : type == QtInfoMsg ? "I" : "W";
    g_lines << QString::fromLatin1(tag) + QLatin1Char(' ') + message;
}

int tagOf(IFormatParser *parser)
{
    return parser ? parser->parseBookInfo(QString()).errorMessage.toInt() : 0;
}

}

class TestParserRegistry : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QtMessageHandler m_previous = nullptr;

    QString writeFile(const QString &name, const QByteArray &bytes)
    {
        const QString path = m_dir.filePath(name);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            return QString();
        file.write(bytes);
        return path;
    }

    // The parser the registry picks, and the log lines it wrote meanwhile.
    int find(const QString &path)
    {
        g_lines.clear();
        std::unique_ptr<IFormatParser> parser(ParserRegistry::instance().findParser(path));
        return tagOf(parser.get());
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        LogManager::setLevel(LogManager::Debug);
        m_previous = qInstallMessageHandler(captureMessages);
    }

    void cleanupTestCase() { qInstallMessageHandler(m_previous); }

    void registrationLogsAndReplaces()
    {
        ParserRegistry &registry = ParserRegistry::instance();
        g_lines.clear();
        registry.registerParser(QStringLiteral("epub"), &makeFake<ReplacedTag>);
        QCOMPARE(g_lines, QStringList{QStringLiteral("I [ParserRegistry] 注册解析器: epub")});
        QCOMPARE(find(QStringLiteral("a.epub")), int(ReplacedTag));

        registry.registerParser(QStringLiteral("epub"), &makeFake<EpubTag>);
        QCOMPARE(find(QStringLiteral("a.epub")), int(EpubTag));
    }

    void missingTxtParser()
    {
        // Nothing has registered "txt" in this program.
        QVERIFY(!ParserRegistry::instance().contains(QStringLiteral("txt")));
        const QString path = writeFile(QStringLiteral("plain.txt"), "Hello, world!");
        QCOMPARE(find(path), 0);
        QCOMPARE(g_lines.last(), QStringLiteral("W [ParserRegistry] 未找到 TXT 解析器"));
    }

    void lookup_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("tag");
        QTest::addColumn<QStringList>("log");

        const QByteArray zh = QStringLiteral("第一章 风起云涌\n天色渐暗，山路上只剩他一个人。").toUtf8();
        const QByteArray tw = QStringLiteral("第一章 說話\n請記誰說過這話，讀書識字。").toUtf8();
        QTextCodec *gbk = QTextCodec::codecForName("GBK");

        QTest::newRow("english txt") << "en.txt" << QByteArray("Hello, world! A story.") << int(TxtTag)
                                     << QStringList{"D [ParserRegistry] 回退通用解析器: txt"};
        QTest::newRow("simplified utf8") << "zh.txt" << zh << int(ZhTag)
                                         << QStringList{"I [ParserRegistry] 语言匹配: txt_zh_CN"};
        QTest::newRow("simplified gbk, upper-case suffix")
            << "ZH.TXT" << gbk->fromUnicode(QString::fromUtf8(zh)) << int(ZhTag)
            << QStringList{"I [ParserRegistry] 语言匹配: txt_zh_CN"};
        QTest::newRow("traditional falls back")
            << "tw.txt" << tw << int(TxtTag) << QStringList{"D [ParserRegistry] 回退通用解析器: txt"};
        QTest::newRow("empty txt falls back") << "empty.txt" << QByteArray() << int(TxtTag)
                                              << QStringList{"D [ParserRegistry] 回退通用解析器: txt"};
        QTest::newRow("binary txt falls back")
            << "junk.txt" << QByteArray("\x01\x02\x03\x04\xff\xfe\x80\x81\x05\x06", 10) << int(TxtTag)
            << QStringList{"D [ParserRegistry] 回退通用解析器: txt"};
        QTest::newRow("mixed-case epub") << "book.Epub" << QByteArray("x") << int(EpubTag)
                                         << QStringList{"I [ParserRegistry] 匹配解析器: epub"};
        QTest::newRow("cb7 shares comic parser") << "a.cb7" << QByteArray("x") << int(ComicTag)
                                                 << QStringList{"I [ParserRegistry] 匹配解析器: cb7"};
        QTest::newRow("cbt shares comic parser") << "a.cbt" << QByteArray("x") << int(ComicTag)
                                                 << QStringList{"I [ParserRegistry] 匹配解析器: cbt"};
        QTest::newRow("unregistered gz") << "a.tar.gz" << QByteArray("x") << 0
                                         << QStringList{"W [ParserRegistry] 未找到解析器: gz"};
    }

    void lookup()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, content);
        QFETCH(int, tag);
        QFETCH(QStringList, log);

        ParserRegistry &registry = ParserRegistry::instance();
        registry.registerParser(QStringLiteral("txt"), &makeFake<TxtTag>);
        registry.registerParser(QStringLiteral("txt_zh_CN"), &makeFake<ZhTag>);
        registry.registerParser(QStringLiteral("epub"), &makeFake<EpubTag>);
        registry.registerParser(QStringLiteral("cbr"), &makeFake<ComicTag>);
        registry.registerParser(QStringLiteral("cb7"), &makeFake<ComicTag>);
        registry.registerParser(QStringLiteral("cbt"), &makeFake<ComicTag>);

        const QString path = writeFile(name, content);
        QVERIFY(!path.isEmpty());
        QCOMPARE(find(path), tag);
        QCOMPARE(g_lines, log);
    }

    void languageKeyIsExact()
    {
        ParserRegistry &registry = ParserRegistry::instance();
        registry.registerParser(QStringLiteral("txt"), &makeFake<TxtTag>);
        registry.registerParser(QStringLiteral("txt_zh_TW"), &makeFake<TwTag>);
        const QString path = writeFile(QStringLiteral("tw2.txt"),
                                       QStringLiteral("請記誰說過這話，讀書識字。").toUtf8());
        QCOMPARE(ParserRegistry::detectTxtLanguage(path), QStringLiteral("zh_TW"));
        QCOMPARE(find(path), int(TwTag));
        QCOMPARE(g_lines, QStringList{QStringLiteral("I [ParserRegistry] 语言匹配: txt_zh_TW")});
    }

    void newParserPerRequest()
    {
        ParserRegistry &registry = ParserRegistry::instance();
        registry.registerParser(QStringLiteral("epub"), &makeFake<EpubTag>);
        const int before = FakeParser<EpubTag>::created;
        std::unique_ptr<IFormatParser> a(registry.findParser(QStringLiteral("x.epub")));
        std::unique_ptr<IFormatParser> b(registry.findParser(QStringLiteral("x.epub")));
        QVERIFY(a && b && a.get() != b.get());
        QCOMPARE(FakeParser<EpubTag>::created, before + 2);
    }

    void defaultTransactionHooks()
    {
        std::unique_ptr<IFormatParser> parser(makeFake<EpubTag>());
        QVERIFY(!parser->hasImportTransaction());
        QVERIFY(parser->beginImport());
        QVERIFY(parser->finishImport(false));
        QVERIFY(parser->finishImport(true));
    }

    void badPaths_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("tag");
        QTest::addColumn<QString>("lastLog");

        QTest::newRow("no suffix, zero bytes") << writeFile(QStringLiteral("README"), QByteArray()) << 0
                                               << QStringLiteral("W [ParserRegistry] 无法识别文件后缀: ")
                                                      + m_dir.filePath(QStringLiteral("README"));
        QTest::newRow("missing txt") << m_dir.filePath(QStringLiteral("missing.txt")) << int(TxtTag)
                                     << QStringLiteral("D [ParserRegistry] 回退通用解析器: txt");
        QDir(m_dir.path()).mkpath(QStringLiteral("folder.txt"));
        QTest::newRow("directory named .txt") << m_dir.filePath(QStringLiteral("folder.txt")) << int(TxtTag)
                                              << QStringLiteral("D [ParserRegistry] 回退通用解析器: txt");
        const QString fifo = m_dir.filePath(QStringLiteral("pipe.txt"));
        if (!QFile::exists(fifo))
            ::mkfifo(QFile::encodeName(fifo).constData(), 0600);
        QTest::newRow("pipe named .txt") << fifo << int(TxtTag)
                                         << QStringLiteral("D [ParserRegistry] 回退通用解析器: txt");
        QTest::newRow("empty path") << QString() << 0
                                    << QStringLiteral("W [ParserRegistry] 无法识别文件后缀: ");
    }

    void badPaths()
    {
        QFETCH(QString, path);
        QFETCH(int, tag);
        QFETCH(QString, lastLog);
        ParserRegistry::instance().registerParser(QStringLiteral("txt"), &makeFake<TxtTag>);
        QCOMPARE(find(path), tag);
        QCOMPARE(g_lines.value(g_lines.size() - 1), lastLog);
        QCOMPARE(ParserRegistry::detectTxtLanguage(path), QString());
    }
};

QTEST_GUILESS_MAIN(TestParserRegistry)
#include "tst_parserregistry.moc"
