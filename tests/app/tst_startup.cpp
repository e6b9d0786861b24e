#include "childprocess.h"
#include "testenvironment.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QtTest>

#include "paths.h"

// Runs the real program as a child process on temporary locations with a QML
// root that quits as soon as the event loop runs.
class TestStartup : public QObject
{
    Q_OBJECT

private:
    ChildRun runApp(TestEnvironment &env, const QStringList &args)
    {
        return ChildProcess::runApp(env, QStringLiteral(APP_PATH),
                                    "import QtQuick 2.6\n"
                                    "import com.quillora.applicationcore 1.0\n"
                                    "Item {\n"
                                    "  ApplicationCore { id: core }\n"
                                    "  Timer { interval: 0; running: true; onTriggered: core.quitApplication() }\n"
                                    "}\n",
                                    args);
    }

    static void setLogLevel(int level)
    {
        QSettings settings(Paths::settingsFile(), QSettings::NativeFormat);
        settings.setValue(QStringLiteral("APP_SETTING/LOG_LEVEL"), level);
    }

    // The smallest translation file QTranslator accepts: its magic number and
    // no messages.
    static void writeTranslation(const QString &shareDir, const QString &locale)
    {
        static const char magic[16] = {'\x3c', '\xb8', '\x64', '\x18', '\xca', '\xef', '\x9c', '\x95',
                                       '\xcd', '\x21', '\x1c', '\xbf', '\x60', '\xa1', '\xbd', '\xdd'};
        QDir().mkpath(shareDir + QStringLiteral("/translations"));
        QFile file(shareDir + QStringLiteral("/translations/harbour-quillora-%1.qm").arg(locale));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(magic, sizeof magic);
    }


private slots:
    void startsAndQuits()
    {
        TestEnvironment env;
        setLogLevel(1);
        const ChildRun run = runApp(env, {});
        QCOMPARE(run.status, QProcess::NormalExit);
        QCOMPARE(run.exitCode, 0);
        VERIFY_LOG_IN_ORDER(run.log, {
            QStringLiteral("LogManager installed, level=1"),
            QStringLiteral("[DatabaseConnection::getConnection] 数据库存储目录是:"),
            QStringLiteral("[Language] 配置文件:"),
            QStringLiteral("[Language] LANGUAGE 值: 0"),
            QStringLiteral("[Language] 目标 locale:"),
            QStringLiteral("[Language] 加载:"),
            QStringLiteral("[Language] 默认启用英语失败，正在启用中文"),
            QStringLiteral("[FileOpen] argc: 1"),
            QStringLiteral("[ApplicationCore::quitApplication] 关闭应用"),
        });
        QVERIFY(!run.log.contains(QStringLiteral("[FileOpen] 命令行参数:")));
        QVERIFY(QFile::exists(Paths::configLocation() + QStringLiteral("/db/novel_info.db")));
    }

    void logsEveryArgumentAndOpensTheFirst()
    {
        TestEnvironment env;
        setLogLevel(1);
        const ChildRun run = runApp(env, {QStringLiteral("/nowhere/a.txt"), QStringLiteral("second")});
        QCOMPARE(run.exitCode, 0);
        VERIFY_LOG_IN_ORDER(run.log, {
            QStringLiteral("[FileOpen] argc: 3"),
            QStringLiteral("[FileOpen] argv[ 0 ]: \""),
            QStringLiteral("[FileOpen] argv[ 1 ]: \"/nowhere/a.txt\""),
            QStringLiteral("[FileOpen] argv[ 2 ]: \"second\""),
            QStringLiteral("[FileOpen] 命令行参数: \"/nowhere/a.txt\""),
        });
        // Further arguments are only logged.
        QCOMPARE(run.log.count(QStringLiteral("[FileOpen] 命令行参数:")), 1);
    }

    void translatorChoice_data()
    {
        QTest::addColumn<QVariant>("language");
        QTest::addColumn<QStringList>("installed");
        QTest::addColumn<QStringList>("expected");
        const QString found = QStringLiteral("[Language] 成功");
        const QString english = QStringLiteral("[Language] 未发现匹配语言，默认启用英语");
        const QString missed = QStringLiteral("[Language] 失败，未找到指定翻译文件:");
        // The system locale is de_DE throughout.
        QTest::newRow("system locale, file shortened to de")
            << QVariant() << QStringList{QStringLiteral("de"), QStringLiteral("en_US")}
            << QStringList{QStringLiteral("[Language] LANGUAGE 值: 0"),
                           QStringLiteral("[Language] 系统 locale: \"de_DE\""),
                           QStringLiteral("[Language] 目标 locale: \"de_DE\""),
                           QStringLiteral("harbour-quillora-de_DE.qm\""), found};
        QTest::newRow("system locale without its file falls back to English")
            << QVariant(0) << QStringList{QStringLiteral("en_US")}
            << QStringList{QStringLiteral("[Language] 目标 locale: \"de_DE\""), missed,
                           QStringLiteral("harbour-quillora-de_DE.qm\""), english};
        QTest::newRow("French chosen")
            << QVariant(4) << QStringList{QStringLiteral("de"), QStringLiteral("fr")}
            << QStringList{QStringLiteral("[Language] 目标 locale: \"fr\""),
                           QStringLiteral("harbour-quillora-fr.qm\""), found};
        QTest::newRow("Chinese chosen, no file, English")
            << QVariant(1) << QStringList{QStringLiteral("en_US")}
            << QStringList{QStringLiteral("[Language] 目标 locale: \"zh_CN\""), missed, english};
        QTest::newRow("no file at all leaves the untranslated texts")
            << QVariant(7) << QStringList()
            << QStringList{QStringLiteral("[Language] 目标 locale: \"ru\""), missed,
                           QStringLiteral("[Language] 默认启用英语失败，正在启用中文")};
        QTest::newRow("unknown value acts like the system locale")
            << QVariant(9) << QStringList{QStringLiteral("de")}
            << QStringList{QStringLiteral("[Language] LANGUAGE 值: 9"),
                           QStringLiteral("[Language] 未知的语言模式: 9 ，回退到系统语言"),
                           QStringLiteral("[Language] 目标 locale: \"de_DE\""), found};
        QTest::newRow("text reads as 0")
            << QVariant(QStringLiteral("fr")) << QStringList{QStringLiteral("de")}
            << QStringList{QStringLiteral("[Language] LANGUAGE 值: 0"),
                           QStringLiteral("[Language] 目标 locale: \"de_DE\""), found};
    }

    void translatorChoice()
    {
        QFETCH(QVariant, language);
        QFETCH(QStringList, installed);
        QFETCH(QStringList, expected);
        TestEnvironment env;
        setLogLevel(1);
        if (language.isValid()) {
            QSettings settings(Paths::settingsFile(), QSettings::NativeFormat);
            settings.setValue(QStringLiteral("APP_SETTING/LANGUAGE"), language);
        }
        const QString shareDir = env.root() + QStringLiteral("/share");
        for (const QString &locale : installed)
            writeTranslation(shareDir, locale);
        QDir().mkpath(shareDir + QStringLiteral("/qml"));
        QFile qml(shareDir + QStringLiteral("/qml/harbour-quillora.qml"));
        QVERIFY(qml.open(QIODevice::WriteOnly));
        qml.write("import QtQuick 2.6\n"
                  "import com.quillora.applicationcore 1.0\n"
                  "Item {\n"
                  "  ApplicationCore { id: core }\n"
                  "  Timer { interval: 0; running: true; onTriggered: core.quitApplication() }\n"
                  "}\n");
        qml.close();

        const ChildRun run = ChildProcess::run(env, QStringLiteral(APP_PATH), {},
                                               {QStringLiteral("QUILLORA_DATA_ROOT=") + shareDir,
                                                QStringLiteral("LC_ALL=de_DE.UTF-8"),
                                                QStringLiteral("LANG=de_DE.UTF-8")});
        QCOMPARE(run.exitCode, 0);
        VERIFY_LOG_IN_ORDER(run.log, expected);
        const bool warned = run.log.contains(QStringLiteral("[Language] 未知的语言模式:"));
        QCOMPARE(warned, language == QVariant(9));
        // Start-up goes on to the window and the arguments in every case.
        QVERIFY(run.log.contains(QLatin1String("[FileOpen] argc: 1")));
    }

    void unusableDatabaseFolderEndsWithStatusOne()
    {
        TestEnvironment env;
        setLogLevel(1);
        // A plain file where the "db" folder must go.
        QDir().mkpath(Paths::configLocation());
        QFile blocker(Paths::configLocation() + QStringLiteral("/db"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();

        const ChildRun run = runApp(env, {});
        QCOMPARE(run.status, QProcess::NormalExit);
        QCOMPARE(run.exitCode, 1);
        QVERIFY(run.log.contains(QStringLiteral("[DatabaseConnection] 无法创建数据库目录:")));
        QVERIFY(!run.log.contains(QLatin1String("[Language]")));
    }
};

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
