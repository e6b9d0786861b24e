#include "childprocess.h"
#include "logmanager.h"
#include "testenvironment.h"

#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QtTest>

#include "paths.h"

class TestLogManager : public QObject
{
    Q_OBJECT

private:
    struct ProbeRun {
        int exitCode = -1;
        QProcess::ExitStatus status = QProcess::NormalExit;
        QStringList lines;
    };

    ProbeRun runProbe(const QVariant &storedLevel, const QStringList &args = {})
    {
        TestEnvironment env;
        if (storedLevel.isValid()) {
            QSettings settings(Paths::settingsFile(), QSettings::NativeFormat);
            settings.setValue(QStringLiteral("APP_SETTING/LOG_LEVEL"), storedLevel);
        }
        const ChildRun probe = ChildProcess::run(env, QStringLiteral(LOGPROBE_PATH), args, {}, 20000);
        ProbeRun run;
        run.exitCode = probe.exitCode;
        run.status = probe.status;
        for (const QString &line : probe.log.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
            if (!line.startsWith(QLatin1String("QStandardPaths")))
                run.lines << line;
        }
        return run;
    }

private slots:
    void lineFormatKeepsMarkers()
    {
        const QString line = LogManager::formatLine(QtWarningMsg, QStringLiteral("a %1 b %2"));
        QVERIFY2(QRegularExpression(QStringLiteral("^\\[WARN\\] \\[\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d\\] a %1 b %2\\n$"))
                     .match(line).hasMatch(), qPrintable(line));
        QVERIFY(LogManager::formatLine(QtCriticalMsg, QStringLiteral("x")).startsWith(QLatin1String("[ERROR] ")));
        QVERIFY(LogManager::formatLine(QtDebugMsg, QStringLiteral("x")).startsWith(QLatin1String("[DEBUG] ")));
        QVERIFY(LogManager::formatLine(QtInfoMsg, QStringLiteral("x")).startsWith(QLatin1String("[INFO] ")));
        QVERIFY(LogManager::formatLine(QtFatalMsg, QStringLiteral("x")).startsWith(QLatin1String("[FATAL] ")));
    }

    void levelNames()
    {
        QCOMPARE(LogManager::levelName(0), QStringLiteral("调试"));
        QCOMPARE(LogManager::levelName(2), QStringLiteral("警告"));
        QCOMPARE(LogManager::levelName(5), QStringLiteral("关闭"));
        QCOMPARE(LogManager::levelName(6), QStringLiteral("未知"));
        QCOMPARE(LogManager::levelName(-1), QStringLiteral("未知"));
    }

    void filtering_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<QStringList>("expected");
        const QStringList all{QStringLiteral("probe-debug"), QStringLiteral("probe-info"),
                              QStringLiteral("probe-warning %1"), QStringLiteral("probe-critical"),
                              QStringLiteral("probe-guarded-debug")};
        const QStringList fromWarning{QStringLiteral("probe-warning %1"), QStringLiteral("probe-critical")};
        QTest::newRow("unset is warning") << QVariant() << fromWarning;
        QTest::newRow("debug") << QVariant(0) << all;
        QTest::newRow("error") << QVariant(3) << QStringList{QStringLiteral("probe-critical")};
        QTest::newRow("off") << QVariant(5) << QStringList();
        QTest::newRow("too high reads as warning") << QVariant(6) << fromWarning;
        QTest::newRow("negative reads as warning") << QVariant(-1) << fromWarning;
        QTest::newRow("text reads as debug") << QVariant(QStringLiteral("abc")) << all;
    }

    void filtering()
    {
        QFETCH(QVariant, stored);
        QFETCH(QStringList, expected);
        const ProbeRun run = runProbe(stored);
        QCOMPARE(run.exitCode, 0);
        QVERIFY(!run.lines.isEmpty());
        QVERIFY2(QRegularExpression(QStringLiteral("^\\[INFO \\] \\[[0-9:.]{12}\\] LogManager installed, level=\\d$"))
                     .match(run.lines.first()).hasMatch(), qPrintable(run.lines.first()));
        QStringList messages;
        for (int i = 1; i < run.lines.size(); ++i) {
            const QString message = run.lines.at(i).section(QLatin1String("] "), 2);
            if (message.startsWith(QLatin1String("probe")))
                messages << message;
        }
        QCOMPARE(messages, expected);
    }

    void setLevelAnnouncesOnlyWhenVisible_data()
    {
        QTest::addColumn<int>("stored");
        QTest::addColumn<int>("newLevel");
        QTest::addColumn<QString>("announcement");
        QTest::newRow("error to debug") << 3 << 0 << QStringLiteral("[LogManager] 日志级别切换为: \"调试\" ( 0 )");
        QTest::newRow("off to info") << 5 << 1 << QStringLiteral("[LogManager] 日志级别切换为: \"信息\" ( 1 )");
        QTest::newRow("debug to error is silent") << 0 << 3 << QString();
        QTest::newRow("debug to off is silent") << 0 << 5 << QString();
    }

    void setLevelAnnouncesOnlyWhenVisible()
    {
        QFETCH(int, stored);
        QFETCH(int, newLevel);
        QFETCH(QString, announcement);
        const ProbeRun run = runProbe(QVariant(stored), {QStringLiteral("setlevel%1").arg(newLevel)});
        QCOMPARE(run.exitCode, 0);
        const QStringList announced = run.lines.filter(QStringLiteral("[LogManager]"));
        if (announcement.isEmpty()) {
            QVERIFY2(announced.isEmpty(), qPrintable(announced.join(QLatin1Char('\n'))));
            return;
        }
        QCOMPARE(announced.size(), 1);
        QVERIFY(announced.first().startsWith(QLatin1String("[INFO] ")));
        QVERIFY2(announced.first().endsWith(announcement), qPrintable(announced.first()));
    }

    void fatalAbortsAfterWriting()
    {
        const ProbeRun run = runProbe(QVariant(5), {QStringLiteral("fatal")});
        QCOMPARE(run.status, QProcess::CrashExit);
        // Level 5 silences even fatal messages, but the process still aborts.
        QCOMPARE(run.lines.size(), 1);

        const ProbeRun shown = runProbe(QVariant(4), {QStringLiteral("fatal")});
        QCOMPARE(shown.status, QProcess::CrashExit);
        QVERIFY(shown.lines.last().startsWith(QLatin1String("[FATAL] ")));
        QVERIFY(shown.lines.last().endsWith(QLatin1String("probe-fatal")));
    }
};

QTEST_GUILESS_MAIN(TestLogManager)
#include "tst_logmanager.moc"
