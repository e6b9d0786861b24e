#include "childprocess.h"
#include "dbtestutils.h"
#include "testenvironment.h"

#include <QFile>
#include <QSettings>
#include <QSqlQuery>
#include <QTextCodec>
#include <QtTest>

#include "databaseconnection.h"
#include "keys.h"
#include "paths.h"

// Imports a book through the real program, started as a child process with a
// QML root that asks for the import and quits on its outcome: the parsers
// must have registered themselves in the statically linked executable.
class TestImportApp : public QObject
{
    Q_OBJECT

private:
    static bool writeBook(const QString &path, const QByteArray &bytes)
    {
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
    }

    ChildRun runImport(TestEnvironment &env, const QString &bookPath)
    {
        {
            QSettings settings(Paths::settingsFile(), QSettings::NativeFormat);
            settings.setValue(QStringLiteral("APP_SETTING/LOG_LEVEL"), 0);
        }
        QString path = bookPath;
        path.replace(QLatin1Char('\\'), QStringLiteral("\\\\")).replace(QLatin1Char('"'), QStringLiteral("\\\""));
        const QByteArray qml = QStringLiteral(
            "import QtQuick 2.6\n"
            "import com.quillora.applicationcore 1.0\n"
            "Item {\n"
            "  ApplicationCore {\n"
            "    id: core\n"
            "    onNovelImportSucceeded: {\n"
            "      console.warn('IMPORT_RESULT succeeded ' + message + ' books=' + core.getNovelList().length)\n"
            "      core.quitApplication()\n"
            "    }\n"
            "    onNovelImportFailed: {\n"
            "      console.warn('IMPORT_RESULT failed ' + message)\n"
            "      core.quitApplication()\n"
            "    }\n"
            "  }\n"
            "  Timer { interval: 0; running: true; onTriggered: core.importNovel(\"%1\") }\n"
            "}\n").arg(path).toUtf8();
        return ChildProcess::runApp(env, QStringLiteral(APP_PATH), qml);
    }


private slots:
    void importsThroughTheProgram_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<int>("books");

        QString chinese;
        for (const char *number : {"一", "二", "三"}) {
            chinese += QStringLiteral("第") + QString::fromUtf8(number) + QStringLiteral("章 夜路\n");
            for (int i = 0; i < 40; ++i)
                chinese += QStringLiteral("他走进了那座古老的城堡，四周一片寂静。\n");
        }
        QTest::newRow("Chinese, GB18030")
            << QStringLiteral("book.txt")
            << QTextCodec::codecForName("GB18030")->fromUnicode(chinese)
            << QStringList{QStringLiteral("[ApplicationCore::importNovel] 导入小说，路径："),
                           QStringLiteral("[ParserRegistry] 语言匹配: txt_zh_CN"),
                           QStringLiteral("[TxtBaseParser] 章节解析完成，共 3 章"),
                           QStringLiteral("IMPORT_RESULT succeeded 解析完成 books=1")}
            << 1;
        QTest::newRow("English, UTF-8")
            << QStringLiteral("book.txt")
            << QByteArray("The old castle stood silent on the hill.\n").repeated(200)
            << QStringList{QStringLiteral("[ParserRegistry] 回退通用解析器: txt"),
                           QStringLiteral("[TxtBaseParser] 章节解析完成"),
                           QStringLiteral("IMPORT_RESULT succeeded 解析完成 books=1")}
            << 1;
        QTest::newRow("unknown format")
            << QStringLiteral("book.nosuchformat") << QByteArray("x")
            << QStringList{QStringLiteral("[ParserRegistry] 未找到解析器: nosuchformat"),
                           QStringLiteral("IMPORT_RESULT failed 不支持的文件格式")}
            << 0;
    }

    void importsThroughTheProgram()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, bytes);
        QFETCH(QStringList, expected);
        QFETCH(int, books);
        TestEnvironment env;
        const QString path = env.root() + QLatin1Char('/') + name;
        QVERIFY(writeBook(path, bytes));

        const QString log = runImport(env, path).log;
        VERIFY_LOG_IN_ORDER(log, expected);

        QVERIFY(env.openDatabase());
        QSqlQuery query(DatabaseConnection::database());
        QVERIFY(query.exec(QStringLiteral("SELECT COUNT(*) FROM novel_info")));
        QVERIFY(query.next());
        QCOMPARE(query.value(0).toInt(), books);
        query.finish();
        TestEnvironment::closeDatabase();
    }

    // The commit of a large import leaves a long write-ahead log, still being
    // copied into the database when the program quits on the outcome: after
    // every such exit the library is whole and the book imported before intact.
    void libraryWholeAfterQuittingAtOnce_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("bytes");
        const QByteArray line = QStringLiteral("夜里下起了雨，他在破庙里避雨。庙里只有一盏灯。").toUtf8();
        QByteArray text, fb2 = "<FictionBook><body>";
        for (int i = 1; text.size() < 6000000; ++i) {
            text += "第" + QByteArray::number(i) + "章 夜路\n" + (line + '\n').repeated(200);
            fb2 += "<section><title><p>" + QByteArray::number(i) + "</p></title>"
                   + ("<p>" + line + "</p>").repeated(200) + "</section>";
        }
        QTest::newRow("plain text") << QStringLiteral("large.txt") << text;
        QTest::newRow("FB2") << QStringLiteral("large.fb2") << fb2 + "</body></FictionBook>";
    }
    void libraryWholeAfterQuittingAtOnce()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, bytes);
        for (int run = 0; run < 8; ++run) {
            TestEnvironment env;
            const QString first = env.root() + QStringLiteral("/first.txt"), large = env.root() + '/' + name;
            QVERIFY(writeBook(first, QByteArray("Chapter 1\nThe castle stood silent.\n").repeated(30)) && writeBook(large, bytes));
            QVERIFY(runImport(env, first).log.contains(QStringLiteral("IMPORT_RESULT succeeded")) && env.openDatabase());
            const QStringList before = DbTestUtils::chapterDump(md5Hex(first));
            TestEnvironment::closeDatabase();

            const ChildRun child = runImport(env, large);
            const bool clean = child.status == QProcess::NormalExit && child.exitCode == 0;
            QVERIFY2(clean && child.log.contains(QStringLiteral("IMPORT_RESULT succeeded")), qPrintable(child.log.right(3000)));
            QVERIFY(env.openDatabase());
            QSqlQuery query(DatabaseConnection::database());
            QVERIFY(query.exec(QStringLiteral("PRAGMA integrity_check")) && query.next());
            QCOMPARE(query.value(0).toString(), QStringLiteral("ok"));
            query.finish();
            QCOMPARE(DbTestUtils::rowCount(QStringLiteral("novel_info")), 2);
            QCOMPARE(DbTestUtils::chapterDump(md5Hex(first)), before);
            TestEnvironment::closeDatabase();
        }
    }
};

QTEST_GUILESS_MAIN(TestImportApp)
#include "tst_import_app.moc"
