#include "databaseconnection.h"
#include "fontdao.h"
#include "paths.h"
#include "testenvironment.h"
#include "userfonts.h"

#include <QFontDatabase>
#include <QRegularExpression>
#include <QSqlQuery>
#include <QtTest>

#include <sys/stat.h>

namespace {

const QString DejaVu = QStringLiteral("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf");

const QString Invalid = QStringLiteral("字体文件无效");

int fontRows()
{
    QSqlQuery query(DatabaseConnection::database());
    if (!query.exec(QStringLiteral("SELECT COUNT(*) FROM font_info")) || !query.next())
        return -1;
    return query.value(0).toInt();
}

QStringList storedFiles()
{
    return QDir(UserFonts::fontDirectory()).entryList(QDir::Files | QDir::Hidden | QDir::System);
}

}

class TestUserFonts : public QObject
{
    Q_OBJECT

    TestEnvironment *env = nullptr;
    QTemporaryDir *sources = nullptr;

    // A copy of a font of this machine under the given name in the sources folder.
    QString fontFile(const QString &name)
    {
        const QString path = sources->filePath(name);
        if (!QFile::exists(path) && !QFile::copy(DejaVu, path))
            return QString();
        return path;
    }

    QString junkFile(const QString &name, const QByteArray &content)
    {
        const QString path = sources->filePath(name);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            return QString();
        file.write(content);
        return path;
    }

private slots:
    void initTestCase()
    {
        if (!QFile::exists(DejaVu))
            QSKIP("DejaVu Sans (fonts-dejavu-core) is not installed");
    }

    void init()
    {
        env = new TestEnvironment;
        QVERIFY(env->isValid());
        QVERIFY(env->openDatabase());
        sources = new QTemporaryDir;
        QVERIFY(sources->isValid());
    }

    void cleanup()
    {
        delete sources;
        sources = nullptr;
        delete env;
        env = nullptr;
    }

    void metadataOfAFont()
    {
        const QString path = fontFile(QStringLiteral("My Font.v2.ttf"));
        const QVariantMap meta = UserFonts::fontMetadata(path);
        QCOMPARE(meta.value("name").toString(), QStringLiteral("My Font.v2"));
        QCOMPARE(meta.value("family").toString(), QStringLiteral("DejaVu Sans"));
        QCOMPARE(meta.value("style").toString(), QStringLiteral("Book"));
        QCOMPARE(meta.value("type").toString(), QStringLiteral("TTF"));
        QCOMPARE(meta.value("size").toLongLong(), QFileInfo(DejaVu).size());
        QCOMPARE(meta.value("size").userType(), int(QMetaType::LongLong));
        QCOMPARE(meta.value("modified").toDateTime(), QFileInfo(path).lastModified());
        QCOMPARE(meta.value("directory").toString(), QFileInfo(path).absolutePath());
        // Looking creates nothing.
        QVERIFY(!QFileInfo::exists(UserFonts::fontDirectory()));
        QVERIFY(QFile::exists(path));
    }

    void notAFont_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("text with a font suffix") << "junk";
        QTest::newRow("empty file") << "empty";
        QTest::newRow("truncated font") << "truncated";
        QTest::newRow("web font suffix") << "woff";
        QTest::newRow("font collection suffix") << "ttc";
        QTest::newRow("no suffix") << "nosuffix";
        QTest::newRow("folder named like a font") << "folder";
        QTest::newRow("missing file") << "missing";
        QTest::newRow("empty path") << "empty path";
        QTest::newRow("too large") << "huge";
    }

    void notAFont()
    {
        QFETCH(QString, kind);
        QString path;
        if (kind == "junk")
            path = junkFile("junk.ttf", "this is no font at all\n");
        else if (kind == "empty")
            path = junkFile("empty.otf", QByteArray());
        else if (kind == "truncated") {
            QFile font(DejaVu);
            QVERIFY(font.open(QIODevice::ReadOnly));
            path = junkFile("cut.ttf", font.read(2048));
        } else if (kind == "woff")
            path = fontFile("real.woff");
        else if (kind == "ttc")
            path = fontFile("real.ttc");
        else if (kind == "nosuffix")
            path = fontFile("real");
        else if (kind == "folder") {
            path = sources->filePath("dir.ttf");
            QVERIFY(QDir().mkdir(path));
        } else if (kind == "missing")
            path = sources->filePath("missing.ttf");
        else if (kind == "huge") {
            // A real font padded past the cap (sparse, so cheap to make).
            path = fontFile("huge.ttf");
            QFile file(path);
            QVERIFY(file.resize(UserFonts::MaxFontFileSize + 1));
        }

        QVERIFY(UserFonts::fontMetadata(path).isEmpty());

        FontDao dao;
        QHash<QString, int> registered;
        const UserFonts::ImportResult result = UserFonts::importFont(path, dao, registered);
        QVERIFY(!result.success);
        QCOMPARE(result.message, Invalid);
        QVERIFY(registered.isEmpty());
        QCOMPARE(fontRows(), 0);
        QVERIFY(!QFileInfo::exists(UserFonts::fontDirectory()));
    }

    void importsAFont_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QString>("suffix");
        QTest::addColumn<QString>("type");
        QTest::newRow("lower-case ttf") << "Reading Font.ttf" << "ttf" << "TTF";
        QTest::newRow("upper-case TTF") << "READ.TTF" << "ttf" << "TTF";
        QTest::newRow("mixed-case otf") << "Book.Otf" << "otf" << "OTF";
    }

    void importsAFont()
    {
        QFETCH(QString, fileName);
        QFETCH(QString, suffix);
        QFETCH(QString, type);
        const QString source = fontFile(fileName);

        FontDao dao;
        QHash<QString, int> registered;
        const UserFonts::ImportResult result = UserFonts::importFont(source, dao, registered);
        QVERIFY(result.success);
        QCOMPARE(result.message, QStringLiteral("字体导入成功"));

        const QStringList files = storedFiles();
        QCOMPARE(files.size(), 1);
        const QRegularExpression storedName(
            QStringLiteral("^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\\.") + suffix + "$");
        QVERIFY2(storedName.match(files.first()).hasMatch(), qPrintable(files.first()));
        const QString stored = QDir(UserFonts::fontDirectory()).absoluteFilePath(files.first());
        QVERIFY(stored.startsWith(Paths::dataLocation() + QStringLiteral("/font/")));

        QCOMPARE(registered.keys(), QStringList{stored});
        QVERIFY(QFontDatabase::applicationFontFamilies(registered.value(stored))
                    .contains(QStringLiteral("DejaVu Sans")));

        const QVariantList fonts = UserFonts::importedFonts(dao);
        QCOMPARE(fonts.size(), 1);
        const QVariantMap font = fonts.first().toMap();
        QCOMPARE(font.value("id").toString() + "." + suffix, files.first());
        QCOMPARE(font.value("name").toString(), QFileInfo(fileName).completeBaseName());
        QCOMPARE(font.value("family").toString(), QStringLiteral("DejaVu Sans"));
        QCOMPARE(font.value("style").toString(), QStringLiteral("Book"));
        QCOMPARE(font.value("path").toString(), stored);
        QCOMPARE(font.value("size").toLongLong(), QFileInfo(DejaVu).size());
        QCOMPARE(font.value("type").toString(), type);
        // The source stays where it was.
        QVERIFY(QFile::exists(source));
    }

    void sameFontTwiceGivesTwoCopies()
    {
        FontDao dao;
        QHash<QString, int> registered;
        const QString source = fontFile("Same.ttf");
        QVERIFY(UserFonts::importFont(source, dao, registered).success);
        QVERIFY(UserFonts::importFont(source, dao, registered).success);
        QCOMPARE(storedFiles().size(), 2);
        QCOMPARE(registered.size(), 2);
        const QVariantList fonts = UserFonts::importedFonts(dao);
        QCOMPARE(fonts.size(), 2);
        QCOMPARE(fonts.at(0).toMap().value("name"), fonts.at(1).toMap().value("name"));
        QVERIFY(fonts.at(0).toMap().value("id") != fonts.at(1).toMap().value("id"));
    }

    void listIsOrderedByNameWithoutCase()
    {
        FontDao dao;
        QHash<QString, int> registered;
        for (const char *name : {"beta.ttf", "Alpha.ttf", "gamma.ttf", "Delta.otf"})
            QVERIFY(UserFonts::importFont(fontFile(name), dao, registered).success);
        QStringList names;
        for (const QVariant &font : UserFonts::importedFonts(dao))
            names.append(font.toMap().value("name").toString());
        QCOMPARE(names, (QStringList{"Alpha", "beta", "Delta", "gamma"}));
    }

    void fontFolderCannotBeMade()
    {
        // A plain file where the folder should be.
        QVERIFY(QDir().mkpath(Paths::dataLocation()));
        QFile blocker(UserFonts::fontDirectory());
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();

        FontDao dao;
        QHash<QString, int> registered;
        const UserFonts::ImportResult result = UserFonts::importFont(fontFile("a.ttf"), dao, registered);
        QVERIFY(!result.success);
        QCOMPARE(result.message, QStringLiteral("无法创建字体目录"));
        QCOMPARE(fontRows(), 0);
        QVERIFY(registered.isEmpty());
    }

    void failedRecordUndoesCopyAndRegistration()
    {
        // Without the table the insert fails after the font was copied and registered.
        QSqlQuery query(DatabaseConnection::database());
        QVERIFY(query.exec(QStringLiteral("DROP TABLE font_info")));
        const int familiesBefore = QFontDatabase().families().size();

        FontDao dao;
        QHash<QString, int> registered;
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^\\[FontDao\\] 插入字体失败:")));
        const UserFonts::ImportResult result =
            UserFonts::importFont(fontFile(QStringLiteral("Unique Name.ttf")), dao, registered);
        QVERIFY(!result.success);
        QCOMPARE(result.message, QStringLiteral("无法保存字体信息"));
        QVERIFY(storedFiles().isEmpty());
        QVERIFY(registered.isEmpty());
        QCOMPARE(QFontDatabase().families().size(), familiesBefore);
    }

    void savedFontsAreRegisteredOnce()
    {
        FontDao dao;
        QHash<QString, int> imported;
        QVERIFY(UserFonts::importFont(fontFile("keep.ttf"), dao, imported).success);
        QVERIFY(UserFonts::importFont(fontFile("gone.ttf"), dao, imported).success);
        QString gonePath;
        for (const QVariant &font : UserFonts::importedFonts(dao)) {
            if (font.toMap().value("name") == "gone")
                gonePath = font.toMap().value("path").toString();
        }
        QVERIFY(QFile::remove(gonePath));

        // As after a restart: nothing registered yet in this map.
        QHash<QString, int> registered;
        QTest::ignoreMessage(QtWarningMsg,
                             qPrintable(QStringLiteral("[ApplicationCore] 加载导入字体失败: \"%1\"").arg(gonePath)));
        UserFonts::registerSavedFonts(dao, registered);
        QCOMPARE(registered.size(), 1);
        const QString keptPath = registered.keys().first();
        QVERIFY(keptPath != gonePath);
        QVERIFY(QFontDatabase::applicationFontFamilies(registered.value(keptPath))
                    .contains(QStringLiteral("DejaVu Sans")));

        // Already registered files are left alone; the lost one stays listed.
        const int id = registered.value(keptPath);
        QTest::ignoreMessage(QtWarningMsg,
                             qPrintable(QStringLiteral("[ApplicationCore] 加载导入字体失败: \"%1\"").arg(gonePath)));
        UserFonts::registerSavedFonts(dao, registered);
        QCOMPARE(registered.size(), 1);
        QCOMPARE(registered.value(keptPath), id);
        QCOMPARE(UserFonts::importedFonts(dao).size(), 2);
    }

    void unusableSavedFileIsNotRead_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("named pipe") << "fifo";
        QTest::newRow("folder") << "folder";
        QTest::newRow("larger than any font") << "huge";
    }

    // The stored name may come to hold anything (the row can be edited in the
    // database browser); reading a pipe would hang the start-up.
    void unusableSavedFileIsNotRead()
    {
        QFETCH(QString, kind);
        FontDao dao;
        QHash<QString, int> imported;
        QVERIFY(UserFonts::importFont(fontFile("f.ttf"), dao, imported).success);
        const QString stored = imported.keys().first();
        QVERIFY(QFile::remove(stored));
        if (kind == "fifo") {
            QCOMPARE(::mkfifo(QFile::encodeName(stored).constData(), 0600), 0);
        } else if (kind == "folder") {
            QVERIFY(QDir().mkpath(stored));
        } else {
            QFile file(stored);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QVERIFY(file.resize(UserFonts::MaxFontFileSize + 1));
        }

        QHash<QString, int> registered;
        QTest::ignoreMessage(QtWarningMsg,
                             qPrintable(QStringLiteral("[ApplicationCore] 加载导入字体失败: \"%1\"").arg(stored)));
        UserFonts::registerSavedFonts(dao, registered);
        QVERIFY(registered.isEmpty());
        QCOMPARE(UserFonts::importedFonts(dao).size(), 1);
    }

    void emptyTableListsNothing()
    {
        FontDao dao;
        QVERIFY(UserFonts::importedFonts(dao).isEmpty());
        QHash<QString, int> registered;
        UserFonts::registerSavedFonts(dao, registered);
        QVERIFY(registered.isEmpty());
    }
};

QTEST_MAIN(TestUserFonts)
#include "tst_userfonts.moc"
