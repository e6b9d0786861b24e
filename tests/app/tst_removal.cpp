#include "applicationcore.h"
#include "bookfolderstage.h"
#include "childprocess.h"
#include "logcapture.h"
#include "novelservice.h"
#include "chapterdao.h"
#include "chapterinfo.h"
#include "databaseconnection.h"
#include "keys.h"
#include "dbtestutils.h"
#include "importoutcome.h"
#include "noveldao.h"
#include "novelinfo.h"
#include "paths.h"
#include "readingrecorddao.h"
#include "readingrecordinfo.h"
#include "readprocessdao.h"
#include "readprocessinfo.h"
#include "testenvironment.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QGuiApplication>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

#include <sqlite3.h>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int countRows(const QString &table, const QString &novelId)
{
    const QString column = table == QLatin1String("novel_info") ? QStringLiteral("id")
                                                                 : QStringLiteral("novel_id");
    return DbTestUtils::rowCount(table, column, novelId);
}

int rowsOfBook(const QString &novelId)
{
    return countRows(QStringLiteral("novel_info"), novelId)
        + countRows(QStringLiteral("chapter_info"), novelId)
        + countRows(QStringLiteral("read_process_info"), novelId)
        + countRows(QStringLiteral("unified_paragraph"), novelId);
}

bool writeFile(const QString &path, const QByteArray &bytes = "x")
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// A book with every kind of row and a data folder holding a file.
NovelInfo *addBook(const QString &id, const QString &dataDir)
{
    auto *novel = DbTestUtils::newNovel(id, id);
    novel->setDataDir(dataDir);
    if (!NovelDao().insert(novel))
        return novel;

    ChapterInfo chapter;
    chapter.setId(id + QStringLiteral("-c0"));
    chapter.setNovelId(id);
    chapter.setTitle(QStringLiteral("第一章"));
    chapter.setChapterIndex(0);
    QVector<ChapterInfo *> chapters{&chapter};
    ChapterDao().batchInsert(chapters);

    ReadProcessInfo process;
    process.setId(QStringLiteral("rp-") + id);
    process.setNovelId(id);
    process.setChapterId(chapter.id());
    process.setCreateTime(novel->createTime());
    process.setUpdateTime(novel->updateTime());
    ReadProcessDao().insert(&process);

    QSqlQuery q(DatabaseConnection::database());
    q.prepare(QStringLiteral("INSERT INTO unified_paragraph (id, novel_id, chapter_id, para_index) "
                             "VALUES (:id, :nid, :cid, 0)"));
    q.bindValue(QStringLiteral(":id"), id + QStringLiteral("-p0"));
    q.bindValue(QStringLiteral(":nid"), id);
    q.bindValue(QStringLiteral(":cid"), chapter.id());
    q.exec();

    if (!dataDir.isEmpty())
        writeFile(dataDir + QStringLiteral("/cover.jpg"));
    return novel;
}

const QString BookId = QStringLiteral("0123456789abcdef0123456789abcdef");
const QString OtherId = QStringLiteral("fedcba9876543210fedcba9876543210");
// "<step>:<n>": a child process that removes the book and kills itself at
// the n-th time the removal reaches that step; "reset <step>:<n>" resets.
const char *const StopVariable = "QUILLORA_TEST_REMOVAL_STOP";

QString bookDir(const QString &id)
{
    return Paths::dataLocation() + QLatin1Char('/') + id;
}

// Every entry below a folder, hidden ones too, with its bytes.
QMap<QString, QByteArray> tree(const QString &dir)
{
    QMap<QString, QByteArray> entries;
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile file(path);
        entries.insert(QDir(dir).relativeFilePath(path), file.open(QIODevice::ReadOnly) ? file.readAll() : "dir");
    }
    return entries;
}

// A book whose folder holds four entries and whose paragraph has a chunk.
NovelInfo *addWholeBook(const QString &id)
{
    NovelInfo *novel = addBook(id, bookDir(id));
    for (const char *name : {"book.epub", "images/p1.png", "images/p2.png", "zz.txt"})
        writeFile(bookDir(id) + QLatin1Char('/') + QLatin1String(name));
    DbTestUtils::execSql(QStringLiteral("INSERT INTO unified_chunk (id, para_id, chunk_index, text) "
                                        "VALUES ('%1-k0', '%1-p0', 0, 'x')").arg(id));
    return novel;
}

// Keeps the folder's entries from being deleted, or lets them be again:
// without write rights, or immutable for a process that has every right.
bool keepEntries(const QString &dir, bool keep)
{
    if (::geteuid() == 0)
        return QProcess::execute(QStringLiteral("chattr"), {keep ? "+i" : "-i", dir}) == 0;
    return QFile::setPermissions(dir, QFile::ReadOwner | QFile::ExeOwner | (keep ? QFile::Permissions() : QFile::WriteOwner));
}

int s_stopsLeft = 0;
QByteArray s_stopStep;

void stopAt(const char *step)
{
    if (s_stopStep == step && --s_stopsLeft == 0)
        ::kill(::getpid(), SIGKILL);
}

QVariant resetOutcome(ApplicationCore &core);

// The child: removes the book (or, after "reset ", resets) and is killed at
// the step; 0 when the task ended without reaching it.
int runUntilStopped(QByteArray stop)
{
    QCoreApplication::setOrganizationName(QStringLiteral("com.tivex"));
    QCoreApplication::setApplicationName(QStringLiteral("harbour-Quillora"));
    const bool reset = stop.startsWith("reset ");
    stop = stop.mid(reset ? 6 : 0);
    s_stopStep = stop.left(stop.indexOf(':'));
    s_stopsLeft = stop.mid(stop.indexOf(':') + 1).toInt();
    if (!DatabaseConnection::openAndMigrate())
        return 2;
    ApplicationCore core;
    QScopedPointer<NovelInfo> book(NovelDao().queryById(BookId));
    if (!book)
        return 3;
    BookFolderStage::removalStep = stopAt;
    if (reset)
        return resetOutcome(core).isValid() ? 0 : 4;
    core.removeNovel({book.data()});
    return QTest::qWaitFor([] { return !QFileInfo::exists(bookDir(BookId)); }, 20000) ? 0 : 4;
}

// The reset's answer, invalid when none came. It is sent from a worker
// thread, so it is taken through a queued receiver rather than a signal spy.
QVariant resetOutcome(ApplicationCore &core)
{
    QVariant outcome;
    QObject receiver;
    QObject::connect(&core, &ApplicationCore::applicationResetFinished, &receiver,
                     [&](bool success) { outcome = success; }, Qt::QueuedConnection);
    core.resetApplication();
    return QTest::qWaitFor([&] { return outcome.isValid(); }, 30000) ? outcome : QVariant();
}

}

class TestRemoval : public QObject
{
    Q_OBJECT

private:
    TestEnvironment *m_env = nullptr;

private slots:
    void init()
    {
        m_env = new TestEnvironment;
        QVERIFY(m_env->openDatabase());
        QVERIFY(QDir().mkpath(Paths::dataLocation()));
    }

    void cleanup()
    {
        delete m_env;
        m_env = nullptr;
    }

    void removesRowsAndFolders()
    {
        const QString data = Paths::dataLocation();
        QScopedPointer<NovelInfo> a(addBook(QStringLiteral("aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"), data + QStringLiteral("/aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa")));
        QScopedPointer<NovelInfo> b(addBook(QStringLiteral("bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb"), data + QStringLiteral("/bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb")));
        QScopedPointer<NovelInfo> kept(addBook(QStringLiteral("cccccccccccccccccccccccccccccccc"), data + QStringLiteral("/cccccccccccccccccccccccccccccccc")));
        QCOMPARE(rowsOfBook(QStringLiteral("aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa")), 4);
        {
            ReadingRecordInfo record;
            record.setId(QStringLiteral("a_1"));
            record.setNovelId(QStringLiteral("aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"));
            record.setStartYear(2024);
            record.setStartMonth(3);
            record.setStartDay(5);
            QVERIFY(ReadingRecordDao().insert(&record));
            QVERIFY(ReadingRecordDao().updateDuration(QStringLiteral("a_1"), 7200));
        }

        ApplicationCore core;
        core.removeNovel({a.data(), b.data()});
        QTRY_VERIFY(!QFileInfo::exists(data + QStringLiteral("/bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb")));
        QVERIFY(!QFileInfo::exists(data + QStringLiteral("/aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa")));
        QCOMPARE(rowsOfBook(QStringLiteral("aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa")), 0);
        QCOMPARE(rowsOfBook(QStringLiteral("bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb")), 0);
        QCOMPARE(rowsOfBook(QStringLiteral("cccccccccccccccccccccccccccccccc")), 4);
        QVERIFY(QFileInfo::exists(data + QStringLiteral("/cccccccccccccccccccccccccccccccc/cover.jpg")));
        // Sessions of a removed book keep counting.
        QCOMPARE(core.getTotalReadingHours(), 2);
        QCOMPARE(core.getMonthlyPerBookStats(2024, 3).size(), 1);
    }

    // data_dir values edited by hand (the database browser) that must never be
    // deleted; a real book after them shows when the task has passed them.
    void foreignFoldersSurvive_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("outside the data location") << "outside";
        QTest::newRow("the data location itself") << "location";
        QTest::newRow("the data location with a trailing slash") << "location/";
        QTest::newRow("escape through ..") << "dotdot";
        QTest::newRow("sibling sharing the name prefix") << "sibling";
        QTest::newRow("symbolic link to the outside") << "symlink";
        QTest::newRow("relative path") << "relative";
    }

    void foreignFoldersSurvive()
    {
        QFETCH(QString, kind);
        const QString data = Paths::dataLocation();
        QTemporaryDir outside;
        QVERIFY(outside.isValid());
        QVERIFY(writeFile(outside.path() + QStringLiteral("/precious.txt")));
        QVERIFY(writeFile(data + QStringLiteral("/font/user.ttf")));
        const QString sibling = data + QStringLiteral("-other");
        QVERIFY(writeFile(sibling + QStringLiteral("/precious.txt")));
        QVERIFY(QFile::link(outside.path(), data + QStringLiteral("/link")));

        QString dataDir;
        QString guarded;
        if (kind == QLatin1String("outside")) {
            dataDir = outside.path();
            guarded = outside.path() + QStringLiteral("/precious.txt");
        } else if (kind.startsWith(QLatin1String("location"))) {
            dataDir = data + kind.mid(8);
            guarded = data + QStringLiteral("/font/user.ttf");
        } else if (kind == QLatin1String("dotdot")) {
            QVERIFY(QDir().mkpath(data + QStringLiteral("/x")));
            dataDir = data + QStringLiteral("/x/../../") + QFileInfo(sibling).fileName();
            guarded = sibling + QStringLiteral("/precious.txt");
        } else if (kind == QLatin1String("sibling")) {
            dataDir = sibling;
            guarded = sibling + QStringLiteral("/precious.txt");
        } else if (kind == QLatin1String("symlink")) {
            dataDir = data + QStringLiteral("/link");
            guarded = outside.path() + QStringLiteral("/precious.txt");
        } else if (kind == QLatin1String("relative")) {
            QVERIFY(QDir::setCurrent(outside.path()));
            QVERIFY(QDir().mkpath(QStringLiteral("rel")));
            QVERIFY(writeFile(outside.path() + QStringLiteral("/rel/precious.txt")));
            dataDir = QStringLiteral("rel");
            guarded = outside.path() + QStringLiteral("/rel/precious.txt");
        }

        QScopedPointer<NovelInfo> crafted(addBook(QStringLiteral("crafted"), QString()));
        QVERIFY(NovelDao().remove(QStringLiteral("crafted")));
        crafted->setDataDir(dataDir);
        QVERIFY(NovelDao().insert(crafted.data()));
        const QString realDir = data + QStringLiteral("/dddddddddddddddddddddddddddddddd");
        QScopedPointer<NovelInfo> real(addBook(QStringLiteral("dddddddddddddddddddddddddddddddd"), realDir));

        ApplicationCore core;
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral("^\\[ApplicationCore::removeNovel\\] ")));
        core.removeNovel({crafted.data(), real.data()});
        QTRY_VERIFY(!QFileInfo::exists(realDir));
        QDir::setCurrent(QDir::tempPath());

        QVERIFY2(QFileInfo::exists(guarded), qPrintable(guarded));
        QVERIFY(QFileInfo::exists(data));
        QCOMPARE(rowsOfBook(QStringLiteral("crafted")), 0);
        QFile::remove(data + QStringLiteral("/link"));
        QDir(sibling).removeRecursively();
    }

    // Only the book's own folder, named by its id directly in the location.
    void removableDataDir_data()
    {
        QTest::addColumn<QString>("relative");
        QTest::addColumn<bool>("removable");
        const QString own = QStringLiteral("0123456789abcdef0123456789abcdef");
        QTest::newRow("own folder") << own << true;
        QTest::newRow("own folder with a trailing slash") << own + "/" << true;
        QTest::newRow("own folder through ..") << "x/../" + own << true;
        QTest::newRow("the fonts folder") << "font" << false;
        QTest::newRow("the fonts folder through ..") << "x/../font" << false;
        QTest::newRow("another book's folder") << "fedcba9876543210fedcba9876543210" << false;
        QTest::newRow("inside the own folder") << own + "/images" << false;
        QTest::newRow("own name one level down") << "x/" + own << false;
        QTest::newRow("the location") << "" << false;
        QTest::newRow("missing folder") << "00000000000000000000000000000000" << false;
    }

    void removableDataDir()
    {
        QFETCH(QString, relative);
        QFETCH(bool, removable);
        const QString own = QStringLiteral("0123456789abcdef0123456789abcdef");
        QTemporaryDir root;
        const QString location = root.path() + QStringLiteral("/loc");
        for (const QString &dir : {own + "/images", QStringLiteral("font"), "x/" + own,
                                   QStringLiteral("fedcba9876543210fedcba9876543210")})
            QVERIFY(QDir().mkpath(location + QLatin1Char('/') + dir));
        const QString result =
            NovelService::removableDataDir(location + QLatin1Char('/') + relative, own, location);
        QCOMPARE(result, removable ? QFileInfo(location).canonicalFilePath() + "/" + own : QString());
        // A row whose id is no book id removes nothing, whatever it names.
        QVERIFY(NovelService::removableDataDir(location + QStringLiteral("/font"), "font", location).isEmpty());
    }

    void oddListEntries()
    {
        const QString data = Paths::dataLocation();
        // A book whose folder is already gone, an object without the
        // properties and a null entry: rows go, nothing else is touched.
        QScopedPointer<NovelInfo> gone(addBook(QStringLiteral("eeeeeeeeeeeeeeeeeeeeeeeeeeeeeeee"), data + QStringLiteral("/eeeeeeeeeeeeeeeeeeeeeeeeeeeeeeee")));
        QVERIFY(QDir(data + QStringLiteral("/eeeeeeeeeeeeeeeeeeeeeeeeeeeeeeee")).removeRecursively());
        QObject plain;
        QScopedPointer<NovelInfo> last(addBook(QStringLiteral("ffffffffffffffffffffffffffffffff"), data + QStringLiteral("/ffffffffffffffffffffffffffffffff")));
        QVERIFY(writeFile(data + QStringLiteral("/other/file")));

        ApplicationCore core;
        core.removeNovel({});
        core.removeNovel({gone.data(), &plain, nullptr, last.data()});
        QTRY_VERIFY(!QFileInfo::exists(data + QStringLiteral("/ffffffffffffffffffffffffffffffff")));
        QCOMPARE(rowsOfBook(QStringLiteral("eeeeeeeeeeeeeeeeeeeeeeeeeeeeeeee")), 0);
        QVERIFY(QFileInfo::exists(data + QStringLiteral("/other/file")));
    }

    // Wherever a removal stops, the next start finds the book whole (rows,
    // files, no mark) or wholly gone.
    void stoppedRemoval_data()
    {
        QTest::addColumn<QByteArray>("stop");
        QTest::addColumn<bool>("gone");
        QTest::newRow("before the mark") << QByteArray("locking:1") << false;
        QTest::newRow("after the mark") << QByteArray("marked:1") << false;
        QTest::newRow("amid the row deletes") << QByteArray("rows:1") << false;
        QTest::newRow("after the commit") << QByteArray("committed:1") << true;
        QTest::newRow("at the folder's first entry") << QByteArray("entry:1") << true;
        QTest::newRow("at a middle entry") << QByteArray("entry:3") << true;
        QTest::newRow("at the mark, the last entry") << QByteArray("entry:5") << true;
        QTest::newRow("after the mark went") << QByteArray("unmarked:1") << true;
    }

    void stoppedRemoval()
    {
        QFETCH(QByteArray, stop);
        QFETCH(bool, gone);
        QScopedPointer<NovelInfo> book(addWholeBook(BookId));
        QScopedPointer<NovelInfo> other(addWholeBook(OtherId));
        const QStringList rows = DbTestUtils::allRows();
        const QMap<QString, QByteArray> files = tree(bookDir(BookId));
        const QMap<QString, QByteArray> otherFiles = tree(bookDir(OtherId));
        TestEnvironment::closeDatabase();

        const ChildRun run = ChildProcess::run(*m_env, QCoreApplication::applicationFilePath(), {},
                                               {QLatin1String(StopVariable) + QLatin1Char('=') + QLatin1String(stop)});
        QVERIFY2(run.status == QProcess::CrashExit, qPrintable(QString::number(run.exitCode) + run.log));
        QVERIFY(m_env->openDatabase());
        { ApplicationCore nextStart; }

        if (gone) {
            QCOMPARE(rowsOfBook(BookId) + DbTestUtils::rowCount("unified_chunk", "para_id", BookId + "-p0"), 0);
            QVERIFY(!QFileInfo::exists(bookDir(BookId)));
        } else {
            QCOMPARE(DbTestUtils::allRows(), rows);
            QCOMPARE(tree(bookDir(BookId)), files);
        }
        QCOMPARE(rowsOfBook(OtherId), 4);
        QCOMPARE(tree(bookDir(OtherId)), otherFiles);
        // The reader's next save brings no position back for a removed book.
        ApplicationCore().doReading(BookId, BookId + QStringLiteral("-c0"), 0, 7, 7, 0.5f);
        QCOMPARE(countRows(QStringLiteral("read_process_info"), BookId), gone ? 0 : 1);
    }

    // Wherever a reset stops, the next start finds the library as it was or
    // both locations gone, and the start after that keeps a new library.
    void stoppedReset_data()
    {
        QTest::addColumn<QByteArray>("stop");
        QTest::addColumn<bool>("reset");
        QTest::newRow("before the mark") << QByteArray("marking:1") << false;
        QTest::newRow("after the mark") << QByteArray("marked:1") << true;
        QTest::newRow("after the database") << QByteArray("database:1") << true;
        QTest::newRow("amid the configuration") << QByteArray("entry:2") << true;
        QTest::newRow("between the locations") << QByteArray("entry:3") << true;
        QTest::newRow("at the last data entry") << QByteArray("entry:5") << true;
    }

    void stoppedReset()
    {
        QFETCH(QByteArray, stop);
        QFETCH(bool, reset);
        QScopedPointer<NovelInfo> book(addWholeBook(BookId));
        QScopedPointer<NovelInfo> other(addWholeBook(OtherId));
        QVERIFY(writeFile(Paths::dataLocation() + QStringLiteral("/font/user.ttf")));
        QVERIFY(writeFile(Paths::settingsFile()));
        const QStringList rows = DbTestUtils::allRows();
        const QMap<QString, QByteArray> files = tree(Paths::dataLocation());
        TestEnvironment::closeDatabase();

        const ChildRun run = ChildProcess::run(*m_env, QCoreApplication::applicationFilePath(), {},
                                               {QLatin1String(StopVariable) + "=reset " + QLatin1String(stop)});
        QVERIFY2(run.status == QProcess::CrashExit, qPrintable(QString::number(run.exitCode) + run.log));
        ApplicationCore::finishInterruptedReset();
        QCOMPARE(QFileInfo::exists(Paths::settingsFile()), !reset);
        QCOMPARE(tree(Paths::dataLocation()), reset ? decltype(files)() : files);
        QVERIFY(m_env->openDatabase());
        QCOMPARE(DbTestUtils::allRows() == rows, !reset);

        QVERIFY(writeFile(Paths::settingsFile()));
        ApplicationCore::finishInterruptedReset();
        QVERIFY(QFileInfo::exists(Paths::settingsFile()));
    }

    // Another process holds the write lock past the busy timeout: nothing goes.
    void heldWriteLockKeepsTheBook()
    {
        QScopedPointer<NovelInfo> book(addWholeBook(BookId));
        const QStringList rows = DbTestUtils::allRows();
        const QMap<QString, QByteArray> files = tree(bookDir(BookId));
        sqlite3 *holder = nullptr;
        QCOMPARE(sqlite3_open_v2(QFile::encodeName(DatabaseConnection::databaseFilePath()).constData(), &holder,
                                 SQLITE_OPEN_READWRITE, nullptr),
                 SQLITE_OK);
        QCOMPARE(sqlite3_exec(holder, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
        DatabaseConnection::setWorkerBusyTimeout(200);
        {
            LogCapture log;
            ApplicationCore core;
            core.removeNovel({book.data()});
            QTRY_VERIFY(!log.lines(QtWarningMsg).filter(QStringLiteral("删除书籍记录失败")).isEmpty());
        }
        DatabaseConnection::setWorkerBusyTimeout(DatabaseConnection::WorkerBusyTimeoutMs);
        sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close(holder);
        QCOMPARE(DbTestUtils::allRows(), rows);
        QCOMPARE(tree(bookDir(BookId)), files);
    }

    void resetDeletesBothLocations()
    {
        QScopedPointer<NovelInfo> book(addBook(QStringLiteral("aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"), Paths::dataLocation() + QStringLiteral("/aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa")));
        QVERIFY(writeFile(Paths::dataLocation() + QStringLiteral("/font/user.ttf")));
        QVERIFY(writeFile(Paths::settingsFile()));
        QVERIFY(QFileInfo::exists(DatabaseConnection::databaseFilePath()));
        // Something beside the two locations stays.
        QVERIFY(writeFile(m_env->dataHome() + QStringLiteral("/neighbour.txt")));

        ApplicationCore core;
        QCOMPARE(resetOutcome(core), QVariant(true));
        // The session goes on with a new, empty library, which the next start has.
        QCOMPARE(tree(Paths::configLocation()).keys().filter(QRegularExpression("^db(/novel_info\\.db.*|/library-id)?$")),
                 tree(Paths::configLocation()).keys());
        QVERIFY(!QFileInfo::exists(Paths::dataLocation()));
        QVERIFY(QFileInfo::exists(m_env->dataHome() + QStringLiteral("/neighbour.txt")));
        QVERIFY(DbTestUtils::allRows().isEmpty());
        const QString path = m_env->root() + QStringLiteral("/after.txt");
        QVERIFY(writeFile(path, "第一章\n正文\n"));
        QCOMPARE(importOutcome(core, path), QStringLiteral("ok"));
        TestEnvironment::closeDatabase();
        QVERIFY(m_env->openDatabase());
        QCOMPARE(countRows(QStringLiteral("novel_info"), md5Hex(path)), 1);
    }

    // What stands at the mark's path and is not a regular file stops the
    // reset before anything goes, and is left there, as it is at a start.
    void resetMarkPath_data()
    {
        QTest::addColumn<QString>("kind");
        for (const char *kind : {"FIFO", "folder", "link", "hard link"})
            QTest::newRow(kind) << kind;
    }
    void resetMarkPath()
    {
        QFETCH(QString, kind);
        QScopedPointer<NovelInfo> book(addWholeBook(BookId));
        QVERIFY(writeFile(Paths::settingsFile()));
        const QString mark = QDir::cleanPath(Paths::configLocation()) + QStringLiteral(".reset");
        const QString target = m_env->root() + QStringLiteral("/target");
        QVERIFY(writeFile(target + QStringLiteral("/inner.txt"), "kept"));
        if (kind == "FIFO")
            QCOMPARE(::mkfifo(QFile::encodeName(mark).constData(), 0600), 0);
        else if (kind == "folder")
            QVERIFY(writeFile(mark + QStringLiteral("/inner.txt"), "kept"));
        else if (kind == "link")
            QVERIFY(QFile::link(target, mark));
        else
            QCOMPARE(::link(QFile::encodeName(target + "/inner.txt").constData(), QFile::encodeName(mark).constData()), 0);
        const QStringList rows = DbTestUtils::allRows();
        const QMap<QString, QByteArray> files = tree(Paths::dataLocation());
        const QFileInfo before(mark);
        {
            ApplicationCore core;
            QCOMPARE(resetOutcome(core), QVariant(false));
        }
        ApplicationCore::finishInterruptedReset();
        QCOMPARE(DbTestUtils::allRows(), rows);
        QCOMPARE(tree(Paths::dataLocation()), files);
        QVERIFY(QFileInfo::exists(Paths::settingsFile()));
        QCOMPARE(QFileInfo(mark).isDir(), before.isDir());
        QCOMPARE(QFileInfo(mark).isSymLink(), before.isSymLink());
        QCOMPARE(tree(target).value("inner.txt"), QByteArray("kept"));
    }

    // A mark deletes only the library it was armed for. One whose database
    // cannot be deleted deletes nothing and stays to be finished later; then
    // a second program's book in that library, or a library made after its
    // database went, and its books, stay.
    void resetMarkNamesItsLibrary_data()
    {
        QTest::addColumn<bool>("sameLibrary");
        QTest::newRow("a book imported since the arming") << true;
        QTest::newRow("a library made after the database went") << false;
    }
    void resetMarkNamesItsLibrary()
    {
        QFETCH(bool, sameLibrary);
        QScopedPointer<NovelInfo> book(addWholeBook(BookId));
        QVERIFY(writeFile(Paths::settingsFile()));
        const QStringList rows = DbTestUtils::allRows();
        const QMap<QString, QByteArray> files = tree(Paths::dataLocation());
        const QString db = QFileInfo(DatabaseConnection::databaseFilePath()).path();
        const QString mark = QDir::cleanPath(Paths::configLocation()) + QStringLiteral(".reset");
        if (!keepEntries(db, true))
            QSKIP("no way here to keep a folder's entries from being deleted");
        {
            ApplicationCore core;
            QCOMPARE(resetOutcome(core), QVariant(false));
            QCOMPARE(DbTestUtils::allRows(), rows);
        }
        ApplicationCore::finishInterruptedReset();
        QCOMPARE(tree(Paths::dataLocation()), files);
        QVERIFY(QFileInfo::exists(Paths::settingsFile()) && QFileInfo(mark).isFile());

        QVERIFY(keepEntries(db, false));
        if (!sameLibrary) {
            TestEnvironment::closeDatabase();
            for (const char *suffix : {"", "-wal", "-shm"})
                QFile::remove(DatabaseConnection::databaseFilePath() + suffix);
            QVERIFY(QFile::remove(DatabaseConnection::libraryIdPath()));
            QVERIFY(m_env->openDatabase());
        }
        QScopedPointer<NovelInfo> other(addWholeBook(OtherId));
        const QStringList kept = DbTestUtils::allRows();
        const QMap<QString, QByteArray> keptFiles = tree(Paths::dataLocation());
        TestEnvironment::closeDatabase();
        ApplicationCore::finishInterruptedReset();
        QVERIFY(!QFileInfo::exists(mark));
        QMap<QString, QByteArray> expected = keptFiles;
        for (const QString &key : keptFiles.keys()) {   // only the armed library's book goes
            if (!sameLibrary && key.startsWith(BookId))
                expected.remove(key);
        }
        QCOMPARE(tree(Paths::dataLocation()), expected);
        QVERIFY(m_env->openDatabase());
        QCOMPARE(DbTestUtils::allRows(), kept);
    }

    void resetWithNothingThere()
    {
        TestEnvironment::closeDatabase();
        QVERIFY(QDir(Paths::configLocation()).removeRecursively());
        QVERIFY(QDir(Paths::dataLocation()).removeRecursively());
        ApplicationCore core;
        QCOMPARE(resetOutcome(core), QVariant(true));
    }

    void resetReportsWhatItCouldNotDelete()
    {
        const QString locked = Paths::dataLocation() + QStringLiteral("/locked");
        QVERIFY(writeFile(locked + QStringLiteral("/inner.txt")));
        if (!keepEntries(locked, true))
            QSKIP("no way here to keep a folder's entries from being deleted");

        ApplicationCore core;
        const QVariant outcome = resetOutcome(core);
        QVERIFY(keepEntries(locked, false));
        QCOMPARE(outcome, QVariant(false));
        // The library went all the same: the session has a new one.
        QVERIFY(DbTestUtils::allRows().isEmpty());
        QVERIFY(!QFileInfo::exists(Paths::settingsFile()));
    }

    void emptyLocationIsRefused()
    {
        QTemporaryDir cwd;
        QVERIFY(writeFile(cwd.path() + QStringLiteral("/keep.txt")));
        QVERIFY(QDir::setCurrent(cwd.path()));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("resetApplication")));
        const bool removed = ApplicationCore::removeLocation(QString());
        QDir::setCurrent(QDir::tempPath());
        QVERIFY(!removed);
        QVERIFY(QFileInfo::exists(cwd.path() + QStringLiteral("/keep.txt")));
        QVERIFY(ApplicationCore::removeLocation(cwd.path() + QStringLiteral("/missing")));
    }

    void destroyingTheCoreStopsItsTasks()
    {
        const QString data = Paths::dataLocation();
        QList<NovelInfo *> books;
        QList<QObject *> list;
        for (int i = 0; i < 40; ++i) {
            books << addBook(QStringLiteral("b%1").arg(i), data + QStringLiteral("/b%1").arg(i));
            list << books.last();
        }
        auto *core = new ApplicationCore;
        core->removeNovel(list);
        core->resetApplication();
        delete core;
        qDeleteAll(books);

        // Once the core is gone nothing runs any more: the folders left stay.
        const QStringList left = QDir(data).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        QTest::qWait(300);
        QCOMPARE(QDir(data).entryList(QDir::Dirs | QDir::NoDotAndDotDot), left);
    }
};

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    if (qEnvironmentVariableIsSet(StopVariable))
        return runUntilStopped(qgetenv(StopVariable));
    TestRemoval test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_removal.moc"
