#include "keys.h"
#include "novelinfo.h"
#include "paths.h"
#include "testenvironment.h"
#include "textdetect.h"
#include "zhcntxtnovelparser.h"

#include <QDir>
#include <QFile>
#include <QTextCodec>
#include <QtTest>

#include <memory>

class TestZhCnNovelParser : public QObject
{
    Q_OBJECT

private:
    TestEnvironment m_env;
    int m_folder = 0;

    // Each row gets a folder of its own, so names never clash.
    QString write(const QString &name, const QByteArray &bytes)
    {
        const QString folder = m_env.root() + QStringLiteral("/books%1").arg(++m_folder);
        QDir().mkpath(folder);
        const QString path = folder + QLatin1Char('/') + name;
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            return QString();
        file.write(bytes);
        return path;
    }

    static QString synopsis150WithStopAt80()
    {
        QString s(150, QChar(0x5B57));
        s[79] = QChar(0x3002);
        return s;
    }

private slots:
    void metadata_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("head");
        QTest::addColumn<QByteArray>("codec");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("author");
        QTest::addColumn<QString>("description");

        const QString story = QStringLiteral("第一章 起\n天色渐暗。\n");
        QTest::newRow("《书名》作者：某人") << "《山河》作者：李四.txt" << story << QByteArray("UTF-8")
                                          << "山河" << "李四" << "李四";
        QTest::newRow("《书名》 - 作者") << "《山河》 - 李四著.txt" << story << QByteArray("UTF-8")
                                        << "山河" << "李四" << "李四";
        QTest::newRow("《书名》作者 著") << "《山河》李四 著.txt" << story << QByteArray("UTF-8")
                                        << "山河" << "李四" << "李四";
        QTest::newRow("《书名》 only") << "《山河》（校对版）.txt" << story << QByteArray("UTF-8")
                                      << "山河" << "未知作者" << "未知作者";
        QTest::newRow("[作者]书名") << "[王五]长夜.txt" << story << QByteArray("UTF-8")
                                  << "长夜" << "王五" << "王五";
        QTest::newRow("书名 by 作者") << "长夜 by Wang.txt" << story << QByteArray("UTF-8")
                                    << "长夜" << "Wang" << "Wang";
        QTest::newRow("作者 - 书名") << "王五 - 长夜.txt" << story << QByteArray("UTF-8")
                                   << "长夜" << "王五" << "王五";
        QTest::newRow("head 书名 line, no author") << "长夜.txt" << QStringLiteral("书名：北风\n") + story
                                                   << QByteArray("GB18030") << "北风" << "未知作者" << "未知作者";
        QTest::newRow("head 《…》 at the start")
            << "x.txt" << QStringLiteral("《北风》\n") + story << QByteArray("GBK") << "北风" << "未知作者" << "未知作者";
        QTest::newRow("head overrides the file name")
            << "《山河》作者：李四.txt" << QStringLiteral("书名：北风\n作者：赵六 著") << QByteArray("UTF-8")
            << "北风" << "赵六" << "赵六";
        QTest::newRow("author line on any line of the head")
            << "[王五]长夜.txt" << QStringLiteral("书名：长夜\r作者：赵六\r") + story << QByteArray("UTF-8")
            << "长夜" << "赵六" << "赵六";
        QTest::newRow("synopsis becomes description")
            << "《山河》作者：李四.txt" << QStringLiteral("内容简介：一段往事。\n") + story << QByteArray("UTF-8")
            << "山河" << "李四" << "一段往事。";
        QTest::newRow("long synopsis cut at a sentence end")
            << "长夜.txt" << QStringLiteral("简介：") + synopsis150WithStopAt80() + QLatin1Char('\n') + story
            << QByteArray("UTF-16LE") << "长夜" << "未知作者" << synopsis150WithStopAt80().left(80);
        QTest::newRow("long synopsis without sentence end cut at 100")
            << "长夜.txt" << QStringLiteral("文案：") + QString(150, QChar(0x5B57)) + QLatin1Char('\n')
            << QByteArray("UTF-8") << "长夜" << "未知作者" << QString(100, QChar(0x5B57));
        QTest::newRow("no dot in the name") << "长夜" << story << QByteArray("UTF-8")
                                            << "长夜" << "未知作者" << "未知作者";
        QTest::newRow("leading dot only") << ".长夜" << story << QByteArray("UTF-8")
                                          << ".长夜" << "未知作者" << "未知作者";
        QTest::newRow("empty file keeps the name") << "《山河》作者：李四.txt" << QString() << QByteArray()
                                                   << "山河" << "李四" << "李四";
        QTest::newRow("binary file keeps the name")
            << "[王五]长夜.txt" << QString() << QByteArray("junk") << "长夜" << "王五" << "王五";
    }

    void metadata()
    {
        QFETCH(QString, name);
        QFETCH(QString, head);
        QFETCH(QByteArray, codec);
        QFETCH(QString, title);
        QFETCH(QString, author);
        QFETCH(QString, description);

        QByteArray bytes;
        if (codec == "junk") {
            for (int i = 0; i < 3000; ++i)
                bytes.append(char((i * 37 + 11) % 256));
        } else if (codec == "UTF-16LE") {
            bytes = QByteArray("\xFF\xFE") + QByteArray(reinterpret_cast<const char *>(head.utf16()), head.size() * 2);
        } else if (!codec.isEmpty()) {
            bytes = QTextCodec::codecForName(codec)->fromUnicode(head);
        }
        const QString path = write(name, bytes);
        QVERIFY(!path.isEmpty());

        ZhCnTxtNovelParser parser;
        std::unique_ptr<NovelInfo> novel(parser.parseNovel(path));
        QVERIFY(novel);
        QCOMPARE(novel->title(), title);
        QCOMPARE(novel->author(), author);
        QCOMPARE(novel->description(), description);
        QCOMPARE(novel->id(), md5Hex(path));
        QCOMPARE(novel->dataDir(), Paths::dataLocation() + QLatin1Char('/') + md5Hex(path) + QLatin1Char('/'));
        QCOMPARE(novel->language(), QStringLiteral("zh_CN"));
        QCOMPARE(novel->fileType(), QStringLiteral("TXT"));
        QCOMPARE(novel->fileSize(), qlonglong(bytes.size()));
        QVERIFY(!novel->parent());
    }

    void utf8HeadCutInsideACharacter()
    {
        // The head is the first 2000 bytes; here they end inside a character,
        // which must not turn the head into mojibake of another codec.
        QString text = QStringLiteral("书名：远方\n");
        while (text.toUtf8().size() < 2100)
            text += QStringLiteral("天色渐暗，");
        QVERIFY(!TextDetect::isValidUtf8(text.toUtf8().left(2000)));
        const QString path = write(QStringLiteral("《山河》.txt"), text.toUtf8());
        ZhCnTxtNovelParser parser;
        std::unique_ptr<NovelInfo> novel(parser.parseNovel(path));
        QCOMPARE(novel->title(), QStringLiteral("远方"));
    }

    void missingFileStillGivesRecord()
    {
        ZhCnTxtNovelParser parser;
        std::unique_ptr<NovelInfo> novel(parser.parseNovel(m_env.root() + QStringLiteral("/none/[王五]长夜.txt")));
        QVERIFY(novel);
        QCOMPARE(novel->title(), QStringLiteral("长夜"));
        QCOMPARE(novel->author(), QStringLiteral("王五"));
    }
};

QTEST_GUILESS_MAIN(TestZhCnNovelParser)
#include "tst_zhcnnovelparser.moc"
