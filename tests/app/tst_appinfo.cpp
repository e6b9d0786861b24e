#include "appinfo.h"
#include "licensetext.h"

#include <QLocale>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QString writeFile(const QTemporaryDir &dir, const QString &name, const QByteArray &content)
{
    const QString path = dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return QString();
    file.write(content);
    return path;
}

QVariantMap item(const QString &zh, const QString &en)
{
    return QVariantMap{{QStringLiteral("zh"), zh}, {QStringLiteral("en"), en}};
}

QVariantMap version(const QString &name, const QString &date, const QVariantList &items)
{
    return QVariantMap{{QStringLiteral("version"), name},
                       {QStringLiteral("date"), date},
                       {QStringLiteral("items"), items}};
}

QString packagingFile(const char *name)
{
    // The test data folder need not exist, so resolve ".." by text.
    return QDir::cleanPath(QStringLiteral(QUILLORA_TEST_DATA_DIR "/../../packaging/") + QLatin1String(name));
}

}

class TestAppInfo : public QObject
{
    Q_OBJECT

private slots:
    // An installed program finds its description and change log.
    void installedPackageFilesAreFound()
    {
        QTemporaryDir prefix;
        QProcess install;
        install.start(QStringLiteral(CMAKE_COMMAND_PATH),
                      {"--install", BUILD_ROOT, "--prefix", prefix.path()});
        QVERIFY(install.waitForFinished(120000));
        QCOMPARE(install.exitCode(), 0);
        const QString share = prefix.filePath(QStringLiteral("share/harbour-quillora"));
        QVERIFY(QFileInfo::exists(share + QStringLiteral("/qml/harbour-quillora.qml")));
        qputenv("QUILLORA_DATA_ROOT", share.toUtf8());
        QCOMPARE(AppInfo::specFilePath(), share + QStringLiteral("/harbour-quillora.spec"));
        const QVariantMap info = AppInfo::readPackageInfo(AppInfo::specFilePath());
        const QVariantList changes = AppInfo::readChangelog(AppInfo::changesFilePath());
        qunsetenv("QUILLORA_DATA_ROOT");
        QCOMPARE(info.value(QStringLiteral("name")).toString(), QStringLiteral("harbour-quillora"));
        QVERIFY(!info.value(QStringLiteral("version")).toString().isEmpty());
        QVERIFY(!changes.isEmpty());
    }

    void packageInfo_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QVariantMap>("expected");

        QTest::newRow("all tags")
            << QByteArray("Name: harbour-quillora\nSummary: 阅读器\nVersion: 1.0\nRelease: 2\n"
                          "License: GPLv3\nURL: https://example.org/q\nRequires: libfoo\n")
            << QVariantMap{{"name", "harbour-quillora"}, {"summary", QStringLiteral("阅读器")},
                           {"version", "1.0"}, {"release", "2"}, {"license", "GPLv3"},
                           {"url", "https://example.org/q"}, {"requires", "libfoo"}};
        QTest::newRow("blanks after the tag")
            << QByteArray("Version:      2.1   \n") << QVariantMap{{"version", "2.1"}};
        QTest::newRow("indented line")
            << QByteArray("   Name:\tq\n") << QVariantMap{{"name", "q"}};
        QTest::newRow("last Requires wins")
            << QByteArray("Requires: a\nRequires: b >= 1.0\n")
            << QVariantMap{{"requires", "b >= 1.0"}};
        QTest::newRow("tags are case-sensitive")
            << QByteArray("name: x\nVERSION: 3\nBuildRequires: y\nVersion: 4\n")
            << QVariantMap{{"version", "4"}};
        QTest::newRow("windows line ends")
            << QByteArray("Name: q\r\nRelease: 7\r\n") << QVariantMap{{"name", "q"}, {"release", "7"}};
        QTest::newRow("nothing known") << QByteArray("%description\nhello\n") << QVariantMap();
    }

    void packageInfo()
    {
        QFETCH(QByteArray, content);
        QFETCH(QVariantMap, expected);
        QTemporaryDir dir;
        QCOMPARE(AppInfo::readPackageInfo(writeFile(dir, "p.spec", content)), expected);
    }

    void missingPackageInfoWarnsAndReturnsNothing()
    {
        QTemporaryDir dir;
        QTest::ignoreMessage(QtWarningMsg, "[应用信息] 无法读取 .spec");
        QVERIFY(AppInfo::readPackageInfo(dir.filePath("none.spec")).isEmpty());
    }

    void cacheKeepsTheFirstNonEmptyRead()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("p.spec");
        AppInfo::PackageInfoCache cache;

        // Nothing is kept while the file is missing or yields nothing.
        QTest::ignoreMessage(QtWarningMsg, "[应用信息] 无法读取 .spec");
        QVERIFY(cache.get(path).isEmpty());
        writeFile(dir, "p.spec", "%description\n");
        QVERIFY(cache.get(path).isEmpty());

        writeFile(dir, "p.spec", "Version: 2.1\n");
        QCOMPARE(cache.get(path).value("version").toString(), QStringLiteral("2.1"));

        // Later changes and even removal are not seen again.
        writeFile(dir, "p.spec", "Version: 9\n");
        QCOMPARE(cache.get(path).value("version").toString(), QStringLiteral("2.1"));
        QVERIFY(QFile::remove(path));
        QCOMPARE(cache.get(path).value("version").toString(), QStringLiteral("2.1"));
    }

    void changelog_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QVariantList>("expected");

        QTest::newRow("version-release pair")
            << QByteArray("* Mon Jan 15 2024 Dev <d@x.org> - 1.2.0-3\n- 修复\n")
            << QVariantList{version("1.2.0", "2024-01-15", {item("修复", "修复")})};
        QTest::newRow("version without release")
            << QByteArray("* Tue Feb 4 2025 Dev <d@x.org> - 2.0\n- a\n")
            << QVariantList{version("2.0", "2025-02-04", {item("a", "a")})};
        QTest::newRow("dash first keeps the whole version")
            << QByteArray("* Tue Feb 4 2025 Dev <d@x.org> -beta\n")
            << QVariantList{version("-beta", "2025-02-04", {})};
        QTest::newRow("blanks between fields")
            << QByteArray("*   Wed  Mar  5  2025 Dev <d@x.org> - 3.1-1\n")
            << QVariantList{version("3.1", "2025-03-05", {})};
        QTest::newRow("unparsable date stays raw")
            << QByteArray("* Mon Foo 99 2024 Dev <d@x.org> - 1.0-1\n- x\n")
            << QVariantList{version("1.0", "Foo 99 2024", {item("x", "x")})};
        QTest::newRow("five fields drop the version and its entries")
            << QByteArray("* Mon Jan 15 2024 1.0\n- lost\n  lost too\n"
                          "* Tue Jan 16 2024 Dev <d@x.org> - 1.1-1\n- kept\n")
            << QVariantList{version("1.1", "2024-01-16", {item("kept", "kept")})};
        QTest::newRow("last continuation line is the English text")
            << QByteArray("* Mon Jan 15 2024 Dev <d@x.org> - 1.0-1\n- 中文\n  first\n  second\n")
            << QVariantList{version("1.0", "2024-01-15", {item("中文", "second")})};
        QTest::newRow("entries before the first header are dropped")
            << QByteArray("- orphan\n  orphan en\n* Mon Jan 15 2024 Dev <d@x.org> - 1.0-1\n- a\n")
            << QVariantList{version("1.0", "2024-01-15", {item("a", "a")})};
        QTest::newRow("continuation without an entry and other lines are ignored")
            << QByteArray("* Mon Jan 15 2024 Dev <d@x.org> - 1.0-1\n  stray\n\nnoise\n-nospace\n- a\n")
            << QVariantList{version("1.0", "2024-01-15", {item("a", "a")})};
        QTest::newRow("several versions in file order")
            << QByteArray("* Fri Dec 20 2024 Dev <d@x.org> - 2.0-1\n- new\n  New\n\n"
                          "* Sun Jan 07 2024 Dev <d@x.org> - 1.0-1\n- old\n")
            << QVariantList{version("2.0", "2024-12-20", {item("new", "New")}),
                            version("1.0", "2024-01-07", {item("old", "old")})};
        QTest::newRow("empty file") << QByteArray() << QVariantList();
    }

    void changelog()
    {
        QFETCH(QByteArray, content);
        QFETCH(QVariantList, expected);
        QTemporaryDir dir;
        QCOMPARE(AppInfo::readChangelog(writeFile(dir, "p.changes", content)), expected);
    }

    void changelogDatesIgnoreTheDeviceLocale()
    {
        // On a Chinese phone "Jan" is no month name of the default locale.
        const QLocale saved;
        QLocale::setDefault(QLocale(QLocale::Chinese, QLocale::China));
        QTemporaryDir dir;
        const QVariantList versions = AppInfo::readChangelog(
            writeFile(dir, "p.changes", "* Mon Jan 15 2024 Dev <d@x.org> - 1.0-1\n"));
        QLocale::setDefault(saved);
        QCOMPARE(versions.size(), 1);
        QCOMPARE(versions.first().toMap().value("date").toString(), QStringLiteral("2024-01-15"));
    }

    void missingChangelogWarnsAndReturnsNothing()
    {
        QTemporaryDir dir;
        QTest::ignoreMessage(QtWarningMsg, "[更新日志] 无法读取 .changes");
        QVERIFY(AppInfo::readChangelog(dir.filePath("none.changes")).isEmpty());
    }

    void samplePackagingFilesParse()
    {
        const QVariantMap info = AppInfo::readPackageInfo(packagingFile("harbour-quillora.spec"));
        QCOMPARE(info.value("name").toString(), QStringLiteral("harbour-quillora"));
        for (const char *key : {"summary", "version", "release", "license", "url", "requires"})
            QVERIFY2(!info.value(key).toString().isEmpty(), key);

        const QVariantList versions = AppInfo::readChangelog(packagingFile("harbour-quillora.changes"));
        QVERIFY(!versions.isEmpty());
        for (const QVariant &v : versions) {
            const QVariantMap map = v.toMap();
            QVERIFY(QDate::fromString(map.value("date").toString(), Qt::ISODate).isValid());
            QVERIFY(!map.value("items").toList().isEmpty());
            for (const QVariant &i : map.value("items").toList())
                QVERIFY(i.toMap().value("zh") != i.toMap().value("en"));
        }
    }

    void licenseTextLayout()
    {
        const QString text = licenseText();
        const QStringList lines = text.split(QLatin1Char('\n'));
        QCOMPARE(lines.first(), QStringLiteral("GNU GENERAL PUBLIC LICENSE"));
        QCOMPARE(lines.at(1), QStringLiteral("Version 3, 29 June 2007"));
        QCOMPARE(lines.last(), QStringLiteral("END OF TERMS AND CONDITIONS"));
        QVERIFY(lines.contains(QStringLiteral("17. Interpretation of Sections 15 and 16.")));
        QVERIFY(!text.contains(QLatin1String("How to Apply")));
        QVERIFY(!text.contains(QLatin1String("\n\n\n")));
        QVERIFY(!text.contains(QLatin1Char('\r')));
        QVERIFY(!text.contains(QLatin1Char('\t')));

        int subItems = 0;
        for (const QString &line : lines) {
            QVERIFY2(!line.endsWith(QLatin1Char(' ')), qPrintable(line));
            if (line.startsWith(QLatin1Char(' '))) {
                // Only the lettered sub-items are indented, by exactly four blanks.
                QVERIFY2(QRegularExpression(QStringLiteral("^    [a-f]\\) \\S")).match(line).hasMatch(),
                         qPrintable(line));
                ++subItems;
            }
            QVERIFY2(!line.trimmed().contains(QLatin1String("  ")), qPrintable(line));
        }
        QCOMPARE(subItems, 15); // sections 5 (a-d), 6 (a-e) and 7 (a-f)
        QCOMPARE(text.size(), 31884);
    }
};

QTEST_GUILESS_MAIN(TestAppInfo)
#include "tst_appinfo.moc"
