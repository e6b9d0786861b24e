#include "appconfig.h"
#include "applicationcore.h"
#include "logcapture.h"
#include "logmanager.h"
#include "paths.h"
#include "testenvironment.h"

#include <QSettings>
#include <QtTest>

class TestAppConfig : public QObject
{
    Q_OBJECT

private slots:
    void writesReachTheFileAtOnce()
    {
        TestEnvironment env;
        AppConfig config;
        config.setValue(QStringLiteral("BOOK_STATE"), QStringLiteral("PENDING_OPEN_BOOK"),
                        QStringLiteral("abc"));
        QSettings reader(Paths::settingsFile(), QSettings::NativeFormat);
        QCOMPARE(reader.value(QStringLiteral("BOOK_STATE/PENDING_OPEN_BOOK")).toString(),
                 QStringLiteral("abc"));
        QVERIFY(Paths::settingsFile().endsWith(QLatin1String("/com.tivex/harbour-Quillora/config/appSettings.conf")));

        config.removeKey(QStringLiteral("BOOK_STATE"), QStringLiteral("PENDING_OPEN_BOOK"));
        QSettings reader2(Paths::settingsFile(), QSettings::NativeFormat);
        QVERIFY(!reader2.contains(QStringLiteral("BOOK_STATE/PENDING_OPEN_BOOK")));
    }

    void conversionFollowsTheDefault()
    {
        TestEnvironment env;
        // The file as an earlier run leaves it: every value is text.
        QDir().mkpath(QFileInfo(Paths::settingsFile()).path());
        QFile file(Paths::settingsFile());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("[READ_SETTING]\nORPHAN_CONTROL=true\nLINE_SPACING=1.2\nREAD_MODE=1\n");
        file.close();
        AppConfig config;
        const QString g = QStringLiteral("READ_SETTING");

        const QVariant orphan = config.getValue(g, QStringLiteral("ORPHAN_CONTROL"), false);
        QCOMPARE(orphan.userType(), int(QMetaType::Bool));
        QCOMPARE(orphan.toBool(), true);

        const QVariant mode = config.getValue(g, QStringLiteral("READ_MODE"), 0);
        QCOMPARE(mode.userType(), int(QMetaType::Int));
        QCOMPARE(mode.toInt(), 1);

        // A real default gives the stored text unconverted.
        const QVariant spacing = config.getValue(g, QStringLiteral("LINE_SPACING"), 1.5);
        QCOMPARE(spacing.userType(), int(QMetaType::QString));
        QCOMPARE(spacing.toString(), QStringLiteral("1.2"));

        QCOMPARE(config.getValue(g, QStringLiteral("MISSING"), 7).toInt(), 7);
        QVERIFY(!config.getValue(g, QStringLiteral("MISSING")).isValid());
    }

    void emptyGroupOrKey()
    {
        TestEnvironment env;
        AppConfig config;
        QTest::ignoreMessage(QtWarningMsg, "组名或键名不能为空");
        config.setValue(QString(), QStringLiteral("K"), 1);
        QTest::ignoreMessage(QtWarningMsg, "组名或键名不能为空");
        QCOMPARE(config.getValue(QStringLiteral("G"), QString(), 5).toInt(), 5);
        config.removeKey(QString(), QStringLiteral("K")); // silent
        QVERIFY(config.listKeys(QString()).isEmpty());
        QVERIFY(!QFile::exists(Paths::settingsFile()));
    }

    void listsGroupsAndKeys()
    {
        TestEnvironment env;
        AppConfig config;
        const QString bookGroup = QStringLiteral("READ_SETTING_0123456789abcdef0123456789abcdef");
        config.setValue(QStringLiteral("APP_SETTING"), QStringLiteral("LANGUAGE"), 1);
        config.setValue(QStringLiteral("APP_SETTING"), QStringLiteral("LOG_LEVEL"), 2);
        config.setValue(bookGroup, QStringLiteral("READ_MODE"), 1);
        config.setValue(QStringLiteral("UI"), QStringLiteral("nested/key"), QStringLiteral("v"));

        QStringList groups = config.listGroups();
        groups.sort();
        QCOMPARE(groups, (QStringList{QStringLiteral("APP_SETTING"), bookGroup, QStringLiteral("UI")}));

        const QVariantMap keys = config.listKeys(QStringLiteral("APP_SETTING"));
        QCOMPARE(keys.keys(), (QStringList{QStringLiteral("LANGUAGE"), QStringLiteral("LOG_LEVEL")}));
        QCOMPARE(keys.value(QStringLiteral("LANGUAGE")).toInt(), 1);
        QCOMPARE(config.listKeys(QStringLiteral("UI")).keys(), QStringList{QStringLiteral("nested/key")});
    }

    void coreLogsAndForwards()
    {
        TestEnvironment env;
        QVERIFY(env.openDatabase());
        ApplicationCore core;
        const QString group = QStringLiteral("BOOK_STATE");
        const QString key = QStringLiteral("PENDING_OPEN_BOOK");
        {
            LogCapture log;
            core.setAppConfigValue(group, key, QStringLiteral("id1"));
            QCOMPARE(core.getAppConfigValue(group, key).toString(), QStringLiteral("id1"));
            QCOMPARE(core.getAppConfigValue(group, QStringLiteral("MISSING"), 4).toInt(), 4);
            const QStringList lines = log.lines(QtDebugMsg);
            QCOMPARE(lines.size(), 3);
            QCOMPARE(lines.at(0), QStringLiteral("[ApplicationCore::setAppConfigValue] 存储应用设置值，( \"BOOK_STATE\" , \"PENDING_OPEN_BOOK\" , QVariant(QString, \"id1\") )"));
            QVERIFY2(lines.at(1).startsWith(QStringLiteral("[ApplicationCore::getAppConfigValue] 查询应用设置值，( \"BOOK_STATE\" , \"PENDING_OPEN_BOOK\"")),
                     qPrintable(lines.at(1)));
            QVERIFY2(lines.at(2).endsWith(QLatin1String(", QVariant(int, 4) )")), qPrintable(lines.at(2)));
        }
        {
            // An empty group writes nothing.
            LogCapture log;
            core.setAppConfigValue(QString(), key, QStringLiteral("x"));
            QCOMPARE(log.lines(QtWarningMsg), QStringList{QStringLiteral("组名或键名不能为空")});
            QVERIFY(!core.listAppConfigGroups().contains(QString()));
        }
        {
            // Removing with an empty group does nothing and says nothing.
            LogCapture log;
            core.removeAppConfigKey(QString(), key);
            QCOMPARE(log.count(), 0);
            QCOMPARE(core.getAppConfigValue(group, key).toString(), QStringLiteral("id1"));
        }
        core.removeAppConfigKey(group, key);
        QSettings reader(Paths::settingsFile(), QSettings::NativeFormat);
        QVERIFY(!reader.contains(QStringLiteral("BOOK_STATE/PENDING_OPEN_BOOK")));
        QVERIFY(core.listAppConfigKeys(group).isEmpty());
    }

    void coreForwardsAndValidatesLogLevel()
    {
        TestEnvironment env;
        QVERIFY(env.openDatabase());
        const int before = LogManager::level();
        ApplicationCore core;
        core.setAppConfigValue(QStringLiteral("READ_SETTING"), QStringLiteral("PDF_DPI"), 3);
        QCOMPARE(core.getAppConfigValue(QStringLiteral("READ_SETTING"), QStringLiteral("PDF_DPI"), 1).toInt(), 3);
        QVERIFY(core.listAppConfigGroups().contains(QStringLiteral("READ_SETTING")));

        QTest::ignoreMessage(QtWarningMsg, "[ApplicationCore::setLogLevel] 无效的日志级别: 6");
        core.setLogLevel(6);
        QTest::ignoreMessage(QtWarningMsg, "[ApplicationCore::setLogLevel] 无效的日志级别: -1");
        core.setLogLevel(-1);
        QCOMPARE(core.getLogLevel(), before);
        QVERIFY(!core.getAppConfigValue(QStringLiteral("APP_SETTING"), QStringLiteral("LOG_LEVEL")).isValid());

        core.setLogLevel(3);
        QCOMPARE(core.getLogLevel(), 3);
        QSettings reader(Paths::settingsFile(), QSettings::NativeFormat);
        QCOMPARE(reader.value(QStringLiteral("APP_SETTING/LOG_LEVEL")).toInt(), 3);
        LogManager::setLevel(before);
    }
};

QTEST_GUILESS_MAIN(TestAppConfig)
#include "tst_appconfig.moc"
