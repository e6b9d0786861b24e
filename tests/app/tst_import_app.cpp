#include "childprocess.h"
#include "testenvironment.h"

#include <QFile>
#include <QSettings>
#include <QSqlQuery>
#include <QTextCodec>
#include <QtTest>

#include "databaseconnection.h"
#include "paths.h"

// Imports a book through the real program, started as a child process with a
// QML root that asks for the import and quits on its outcome: the parsers
// must have registered themselves in the statically linked executable.
class TestImportApp : public QObject
{
    Q_OBJECT

private:
    QString runImport(TestEnvironment &env, const QString &bookPath)
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
        return ChildProcess::runApp(env, QStringLiteral(APP_PATH), qml).log;
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
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(bytes);
        file.close();

        const QString log = runImport(env, path);
        VERIFY_LOG_IN_ORDER(log, expected);

        QVERIFY(env.openDatabase());
        QSqlQuery query(DatabaseConnection::database());
        QVERIFY(query.exec(QStringLiteral("SELECT COUNT(*) FROM novel_info")));
        QVERIFY(query.next());
        QCOMPARE(query.value(0).toInt(), books);
        query.finish();
        TestEnvironment::closeDatabase();
    }
};

QTEST_GUILESS_MAIN(TestImportApp)
#include "tst_import_app.moc"
