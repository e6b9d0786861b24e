#include "applicationcore.h"
#include "paths.h"
#include "testenvironment.h"
#include "userfonts.h"

#include <QFontDatabase>
#include <QSignalSpy>
#include <QtTest>

namespace {
const QString DejaVu = QStringLiteral("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf");
}

// The user-font, information and browser invokables as QML reaches them.
class TestMaintenanceApi : public QObject
{
    Q_OBJECT

private slots:
    void fontImportReportsThroughSignals()
    {
        if (!QFile::exists(DejaVu))
            QSKIP("DejaVu Sans (fonts-dejavu-core) is not installed");
        TestEnvironment env;
        QVERIFY(env.openDatabase());
        QTemporaryDir sources;
        const QString source = sources.filePath(QStringLiteral("Reader.TTF"));
        QVERIFY(QFile::copy(DejaVu, source));

        ApplicationCore core;
        QSignalSpy finished(&core, &ApplicationCore::fontImportFinished);
        QSignalSpy listChanged(&core, &ApplicationCore::fontListChanged);
        // fontListChanged comes first, so a list reloaded on it already holds the font.
        QStringList order;
        connect(&core, &ApplicationCore::fontListChanged, this, [&] { order << "list"; });
        connect(&core, &ApplicationCore::fontImportFinished, this, [&] { order << "finished"; });

        QCOMPARE(core.getFontMetadata(source).value("type").toString(), QStringLiteral("TTF"));
        core.importFont(source);
        QCOMPARE(finished.size(), 1); // synchronous
        QCOMPARE(finished.first().at(0).toBool(), true);
        QCOMPARE(finished.first().at(1).toString(), QStringLiteral("字体导入成功"));
        QCOMPARE(listChanged.size(), 1);
        QCOMPARE(order, (QStringList{"list", "finished"}));

        const QVariantList fonts = core.getImportedFonts();
        QCOMPARE(fonts.size(), 1);
        QCOMPARE(fonts.first().toMap().value("name").toString(), QStringLiteral("Reader"));
        QVERIFY(fonts.first().toMap().value("path").toString().startsWith(UserFonts::fontDirectory() + "/"));

        core.importFont(sources.filePath(QStringLiteral("missing.ttf")));
        QCOMPARE(finished.size(), 2);
        QCOMPARE(finished.last().at(0).toBool(), false);
        QCOMPARE(finished.last().at(1).toString(), QStringLiteral("字体文件无效"));
        QCOMPARE(listChanged.size(), 1);
        QCOMPARE(core.getImportedFonts().size(), 1);
    }

    void restartRegistersSavedFontsAndKeepsLostOnes()
    {
        if (!QFile::exists(DejaVu))
            QSKIP("DejaVu Sans (fonts-dejavu-core) is not installed");
        TestEnvironment env;
        QVERIFY(env.openDatabase());
        QTemporaryDir sources;
        QVERIFY(QFile::copy(DejaVu, sources.filePath("a.ttf")));
        QVERIFY(QFile::copy(DejaVu, sources.filePath("b.ttf")));
        QString lost;
        {
            ApplicationCore first;
            first.importFont(sources.filePath("a.ttf"));
            first.importFont(sources.filePath("b.ttf"));
            lost = first.getImportedFonts().at(1).toMap().value("path").toString();
        }
        QVERIFY(QFile::remove(lost));

        QTest::ignoreMessage(QtWarningMsg,
                             qPrintable(QStringLiteral("[ApplicationCore] 加载导入字体失败: \"%1\"").arg(lost)));
        ApplicationCore second;
        QCOMPARE(second.getImportedFonts().size(), 2);
    }

    void informationPages()
    {
        TestEnvironment env;
        ApplicationCore core;
        QCOMPARE(core.getDataPath(), Paths::dataLocation());
        QVERIFY(core.getDataPath().startsWith(env.dataHome()));
        QCOMPARE(core.getConfigPath(), Paths::configLocation());
        QVERIFY(core.getConfigPath().startsWith(env.configHome()));
        QVERIFY(core.getLicenseText().startsWith(QLatin1String("GNU GENERAL PUBLIC LICENSE\n")));
        QVERIFY(core.getLicenseText().endsWith(QLatin1String("\nEND OF TERMS AND CONDITIONS")));
    }

    void browserRefusesNamesBeforeTouchingTheDatabase()
    {
        TestEnvironment env;
        QVERIFY(env.openDatabase());
        ApplicationCore core;
        QVERIFY(core.listDbTables().contains(QStringLiteral("font_info")));
        QVERIFY(core.insertTableRow("font_info", QVariantMap{{"id", "f"}, {"name", "n"},
                                                            {"family", "F"}, {"path", "/p"},
                                                            {"bad key", 1}}));
        QCOMPARE(core.countTableRows("font_info"), 1);
        QVERIFY(!core.updateTableCell("font_info", "id", "f", "name\"", "x"));
        QVERIFY(!core.deleteTableRow("font_info;", "id", "f"));
        QVERIFY(core.getTableColumns("font info").isEmpty());
        QVERIFY(core.queryTable("font_info", 1, 0).isEmpty());
        QCOMPARE(core.queryTable("font_info", 0, 10).size(), 1);
        QVERIFY(core.updateTableCell("font_info", "id", "f", "name", "x"));
        QCOMPARE(core.queryTable("font_info", 1, 10).first().toMap().value("name").toString(),
                 QStringLiteral("x"));
        QVERIFY(core.deleteTableRow("font_info", "id", "f"));
        QCOMPARE(core.countTableRows("font_info"), 0);
    }
};

QTEST_MAIN(TestMaintenanceApi)
#include "tst_maintenanceapi.moc"
