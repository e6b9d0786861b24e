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
        QVERIFY(!run.log.contains(QLatin1String("[FileOpen] 命令行参数:")));
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
            QStringLiteral("[FileOpen] argv[ 1 ]: \"/nowhere/a.txt\""),
            QStringLiteral("[FileOpen] argv[ 2 ]: \"second\""),
            QStringLiteral("[FileOpen] 命令行参数: \"/nowhere/a.txt\""),
        });
    }

    void unknownLanguageFallsBackToSystem()
    {
        TestEnvironment env;
        setLogLevel(1);
        {
            QSettings settings(Paths::settingsFile(), QSettings::NativeFormat);
            settings.setValue(QStringLiteral("APP_SETTING/LANGUAGE"), 9);
        }
        const ChildRun run = runApp(env, {});
        QCOMPARE(run.exitCode, 0);
        QVERIFY2(run.log.contains(QStringLiteral("[Language] 未知的语言模式: 9 ，回退到系统语言")), qPrintable(run.log));
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
