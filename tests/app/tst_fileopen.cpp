#include "applicationcore.h"
#include "childprocess.h"
#include "databaseconnection.h"
#include "dbtestutils.h"
#include "fileopenfilter.h"
#include "keys.h"
#include "noveldao.h"
#include "novelinfo.h"
#include "paths.h"
#include "testenvironment.h"

#include <QDir>
#include <QFile>
#include <QFileOpenEvent>
#include <QProcess>
#include <QSettings>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

namespace {

// What the settings file holds under BOOK_STATE (read from the file itself).
QString bookState(const QString &key)
{
    QSettings settings(Paths::settingsFile(), QSettings::NativeFormat);
    return settings.value(QStringLiteral("BOOK_STATE/") + key).toString();
}

bool hasBookState(const QString &key)
{
    QSettings settings(Paths::settingsFile(), QSettings::NativeFormat);
    return settings.contains(QStringLiteral("BOOK_STATE/") + key);
}

bool addNovel(const QString &id)
{
    const std::unique_ptr<NovelInfo> novel(DbTestUtils::newNovel(id, QStringLiteral("书")));
    return NovelDao().insert(novel.get());
}

// Lets the test call the filter directly.
class ProbeFilter : public FileOpenFilter
{
public:
    using FileOpenFilter::eventFilter;
};

}

class TestFileOpen : public QObject
{
    Q_OBJECT

private:
    TestEnvironment *m_env = nullptr;
    QString m_startFolder;

    // Works in a folder of the test's own below its root.
    QString enterFolder(const QString &relative)
    {
        const QString folder = m_env->root() + QLatin1Char('/') + relative;
        return QDir().mkpath(folder) && QDir::setCurrent(folder) ? QDir::currentPath() : QString();
    }

    // Runs the real program with a QML root that quits once the core has
    // reported the hand-over (or after a long fallback delay).
    QString runApp(const QStringList &args)
    {
        {
            QSettings settings(Paths::settingsFile(), QSettings::NativeFormat);
            settings.setValue(QStringLiteral("APP_SETTING/LOG_LEVEL"), 1);
        }
        return ChildProcess::runApp(*m_env, QStringLiteral(APP_PATH),
                                    "import QtQuick 2.6\n"
                                    "import com.quillora.applicationcore 1.0\n"
                                    "Item {\n"
                                    "  ApplicationCore {\n"
                                    "    id: core\n"
                                    "    onExternalFileReady: core.quitApplication()\n"
                                    "    onExternalFileNeedsImport: core.quitApplication()\n"
                                    "  }\n"
                                    "  Timer { interval: 20000; running: true; onTriggered: core.quitApplication() }\n"
                                    "}\n",
                                    args)
            .log;
    }

private slots:
    void init()
    {
        m_startFolder = QDir::currentPath();
        m_env = new TestEnvironment;
        QVERIFY(m_env->openDatabase());
    }

    void cleanup()
    {
        QDir::setCurrent(m_startFolder);
        delete m_env;
        m_env = nullptr;
    }

    void openExternalFile_data()
    {
        QTest::addColumn<QString>("given");
        QTest::addColumn<QString>("localPath");
        QTest::newRow("plain path") << "/home/user/b.txt" << "/home/user/b.txt";
        QTest::newRow("file URL") << "file:///home/user/b.txt" << "/home/user/b.txt";
        QTest::newRow("percent-encoded URL") << "file:///home/user/%E4%B9%A6%20x.epub"
                                             << QStringLiteral("/home/user/书 x.epub");
        QTest::newRow("scheme in capitals is kept") << "FILE:///home/user/b.txt"
                                                    << "FILE:///home/user/b.txt";
        QTest::newRow("path of no file") << "/nowhere/at/all.fb2" << "/nowhere/at/all.fb2";
    }

    void openExternalFile()
    {
        QFETCH(QString, given);
        QFETCH(QString, localPath);
        const QString id = md5Hex(localPath);

        // Not in the library: offered for import.
        {
            ApplicationCore core;
            QSignalSpy ready(&core, &ApplicationCore::externalFileReady);
            QSignalSpy needsImport(&core, &ApplicationCore::externalFileNeedsImport);
            core.openExternalFile(given);
            QCOMPARE(ready.count(), 0);
            QCOMPARE(needsImport.count(), 1);
            QCOMPARE(needsImport.first(), (QList<QVariant>{localPath, id}));
            QCOMPARE(bookState(QStringLiteral("PENDING_IMPORT_PATH")), localPath);
            QCOMPARE(bookState(QStringLiteral("PENDING_IMPORT_NOVELID")), id);
            QVERIFY(!hasBookState(QStringLiteral("PENDING_OPEN_BOOK")));
        }

        // In the library: opened at once; the import keys of before stay.
        QVERIFY(addNovel(id));
        {
            ApplicationCore core;
            QSignalSpy ready(&core, &ApplicationCore::externalFileReady);
            QSignalSpy needsImport(&core, &ApplicationCore::externalFileNeedsImport);
            core.openExternalFile(given);
            QCOMPARE(needsImport.count(), 0);
            QCOMPARE(ready.count(), 1);
            QCOMPARE(ready.first().first().toString(), id);
            QCOMPARE(bookState(QStringLiteral("PENDING_OPEN_BOOK")), id);
            QCOMPARE(bookState(QStringLiteral("PENDING_IMPORT_PATH")), localPath);
        }
    }

    void fileOpenEventIsDeliveredLater_data()
    {
        QTest::addColumn<QString>("file");
        QTest::newRow("path") << "/home/user/b.txt";
        QTest::newRow("URL") << "file:///home/user/b.txt";
    }

    void fileOpenEventIsDeliveredLater()
    {
        QFETCH(QString, file);
        ApplicationCore core;
        QSignalSpy needsImport(&core, &ApplicationCore::externalFileNeedsImport);
        FileOpenFilter filter;
        qApp->installEventFilter(&filter);

        QFileOpenEvent event(file);
        QVERIFY(QCoreApplication::sendEvent(qApp, &event));
        qApp->removeEventFilter(&filter);
        // Nothing yet: the delivery waits for the event loop.
        QCOMPARE(needsImport.count(), 0);
        QVERIFY(!hasBookState(QStringLiteral("PENDING_IMPORT_PATH")));

        const QString path = QStringLiteral("/home/user/b.txt");
        QTRY_COMPARE(bookState(QStringLiteral("PENDING_IMPORT_PATH")), path);
        QCOMPARE(bookState(QStringLiteral("PENDING_IMPORT_NOVELID")), md5Hex(path));
        QCOMPARE(needsImport.count(), 1);
    }

    void filterPassesOtherEventsAndSwallowsEmptyNames()
    {
        ApplicationCore core;
        QSignalSpy needsImport(&core, &ApplicationCore::externalFileNeedsImport);
        ProbeFilter filter;

        QEvent other(QEvent::User);
        QVERIFY(!filter.eventFilter(&core, &other));
        QEvent show(QEvent::Show);
        QVERIFY(!filter.eventFilter(&core, &show));

        QFileOpenEvent empty{QString()};
        QVERIFY(filter.eventFilter(&core, &empty));
        QTest::qWait(500);
        QCOMPARE(needsImport.count(), 0);
        QVERIFY(!hasBookState(QStringLiteral("PENDING_IMPORT_PATH")));
    }

    void requestWaitsForTheCore()
    {
        // The core appears after the hand-off but before the delivery.
        handleOpenRequest(QStringLiteral("file:///tmp/late.txt"));
        auto *core = new ApplicationCore;
        QTRY_COMPARE(bookState(QStringLiteral("PENDING_IMPORT_PATH")), QStringLiteral("/tmp/late.txt"));
        delete core;
    }

    void requestWithoutCoreIsDropped()
    {
        handleOpenRequest(QStringLiteral("/tmp/early.txt"));
        QTest::qWait(600);
        // A core made after the delivery time does not receive it.
        ApplicationCore core;
        QTest::qWait(100);
        QVERIFY(!hasBookState(QStringLiteral("PENDING_IMPORT_PATH")));

        // Nor does a core destroyed before the delivery leave anything behind.
        auto *gone = new ApplicationCore;
        handleOpenRequest(QStringLiteral("/tmp/gone.txt"));
        delete gone;
        QTest::qWait(600);
        QVERIFY(!hasBookState(QStringLiteral("PENDING_IMPORT_PATH")));
    }

    // "<here>" stands for the working folder, "start/here"; "link" there
    // leads to "away/target". opens: the folder of the file the path
    // reaches, as the shell would open it.
    void commandLineBookPath_data()
    {
        QTest::addColumn<QString>("argument");
        QTest::addColumn<QString>("book");
        QTest::addColumn<QString>("opens");
        QTest::newRow("relative") << "book.epub" << "<here>/book.epub" << "here";
        QTest::newRow("in a subfolder") << QStringLiteral("书/第一卷.epub") << QStringLiteral("<here>/书/第一卷.epub") << "";
        QTest::newRow("dot") << "./book.epub" << "<here>/book.epub" << "here";
        QTest::newRow("parent") << "../book.epub" << "<here>/../book.epub" << "start";
        QTest::newRow("through a link") << "link/../book.epub" << "<here>/link/../book.epub" << "away";
        QTest::newRow("dots and doubled slashes") << "./link//./../book.epub" << "<here>/link/../book.epub" << "away";
        QTest::newRow("absolute, as spelt") << "/home/user/./b//c.txt" << "/home/user/./b//c.txt" << "";
        QTest::newRow("file URL") << "file:///home/user/%E4%B9%A6.txt" << "file:///home/user/%E4%B9%A6.txt" << "";
        QTest::newRow("nothing") << "" << "" << "";
    }

    void commandLineBookPath()
    {
        QFETCH(QString, argument);
        QFETCH(QString, book);
        QFETCH(QString, opens);
        const QString here = enterFolder(QStringLiteral("start/here"));
        QVERIFY(!here.isEmpty() && !enterFolder(QStringLiteral("away/target")).isEmpty() && QDir::setCurrent(here));
        QVERIFY(QFile::link(m_env->root() + QStringLiteral("/away/target"), here + QStringLiteral("/link")));
        for (const QString folder : {"start/here", "start", "away"}) {
            QFile file(m_env->root() + '/' + folder + QStringLiteral("/book.epub"));
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(folder.section('/', -1).toLatin1()) > 0);
        }
        book.replace(QLatin1String("<here>"), here);
        QCOMPARE(commandLineBook(argument), book);
        QFile file(book);
        QVERIFY(opens.isEmpty() || file.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromLatin1(file.readAll()), opens);
    }

    void commandLineBookReachesTheCore_data()
    {
        QTest::addColumn<QString>("argument");
        QTest::addColumn<bool>("inLibrary");
        QTest::addColumn<QString>("path");
        const QString book = QStringLiteral("/home/user/书.txt");
        QTest::newRow("URL of a new book") << "file:///home/user/%E4%B9%A6.txt" << false << book;
        QTest::newRow("path of a known book") << book << true << book;
        QTest::newRow("relative path of a new book")
            << QStringLiteral("user/书.txt") << false << QStringLiteral("<here>/user/书.txt");
    }

    void commandLineBookReachesTheCore()
    {
        QFETCH(QString, argument);
        QFETCH(bool, inLibrary);
        QFETCH(QString, path);
        // The program starts in the folder the test works in.
        path.replace(QLatin1String("<here>"), enterFolder(QStringLiteral("home")));
        const QString id = md5Hex(path);
        if (inLibrary)
            QVERIFY(addNovel(id));
        TestEnvironment::closeDatabase();

        const QString log = runApp({argument});
        QVERIFY2(log.contains(QStringLiteral("[FileOpen] 外部打开: \"") + path + QLatin1Char('"')),
                 qPrintable(log));
        if (inLibrary) {
            QCOMPARE(bookState(QStringLiteral("PENDING_OPEN_BOOK")), id);
            QVERIFY(!hasBookState(QStringLiteral("PENDING_IMPORT_PATH")));
        } else {
            QCOMPARE(bookState(QStringLiteral("PENDING_IMPORT_PATH")), path);
            QCOMPARE(bookState(QStringLiteral("PENDING_IMPORT_NOVELID")), id);
            QVERIFY(!hasBookState(QStringLiteral("PENDING_OPEN_BOOK")));
        }
        // The delivery came after the event loop had started, i.e. after the
        // last start-up line.
        QVERIFY(log.indexOf(QStringLiteral("[FileOpen] 命令行参数:"))
                < log.indexOf(QStringLiteral("[FileOpen] 外部打开:")));
    }
};

QTEST_MAIN(TestFileOpen)
#include "tst_fileopen.moc"
