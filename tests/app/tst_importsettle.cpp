#include "bookfolderstage.h"
#include "cbrparser.h"
#include "coresession.h"
#include "databaseconnection.h"
#include "importoutcome.h"

#include <QDirIterator>
#include <QLockFile>
#include <QSqlQuery>
#include <QPainter>
#include <QPdfWriter>
#include <QtTest>

#include <sys/stat.h>

namespace {

// Every entry below a folder: relative path to bytes; folders end with "/".
using Files = QMap<QString, QByteArray>;

Files filesOf(const QString &dir)
{
    Files files;
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile file(it.next());
        const bool folder = it.fileInfo().isDir();
        if (folder || file.open(QIODevice::ReadOnly))
            files.insert(QDir(dir).relativeFilePath(file.fileName()) + (folder ? "/" : ""),
                         folder ? QByteArray() : file.readAll());
    }
    return files;
}

// Writes the entries whose top name passes keep below dir.
void writeFiles(const QString &dir, const Files &files, const std::function<bool(const QString &)> &keep = {})
{
    QDir().mkpath(dir);
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        QFile file(dir + '/' + it.key());
        if (keep && !keep(it.key().section('/', 0, 0)))
            continue;
        QDir().mkpath(it.key().endsWith('/') ? file.fileName() : QFileInfo(file).absolutePath());
        if (!it.key().endsWith('/') && file.open(QIODevice::WriteOnly))
            file.write(it.value());
    }
}

QStringList topNames(const Files &files)
{
    QStringList names;
    for (const QString &key : files.keys())
        names << key.section('/', 0, 0);
    return names.removeDuplicates(), names;
}

// Books' own files, without the import's entries (all named ".…").
Files bookFiles(Files files)
{
    for (const QString &key : files.keys()) {
        if (key.startsWith('.') || key.contains("/."))
            files.remove(key);
    }
    return files;
}

}

class TestImportSettle : public QObject, CoreSession
{
    Q_OBJECT

private slots:
    void init() { QVERIFY(open()); }
    void cleanup() { close(); }

    // Where a run stopped, rebuilt from two editions imported one over the
    // other; the rows hold the second, which the settled folder must match.
    void settle_data()
    {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<QString>("stopped");
        const QStringList books{"pdf||pdf/outline.pdf", "cbz|comic/zip-tool.cbz|comic/7z-tool.cbz",
                                "cb7|comic/tool-made.cb7|comic/zip-tool.cbz", "epub|epub/calibre.epub|epub/pandoc-epub3.epub",
                                "fb2|fb2/calibre.fb2|fb2/library.fb2", "mobi|mobi/images.mobi|mobi/mobi6.mobi",
                                "azw3|mobi/font.azw3|mobi/kf8.azw3"};
        for (const QString &book : books) {
            const QStringList f = book.split('|');
            // Only PDF imports left ".previous" files.
            for (const char *stopped : {"staged", "staged, marked", "committed", "half swapped", "stale lock",
                                        "old backup", "old importing", f[0] == "pdf" ? "old previous" : nullptr}) {
                if (stopped)
                    QTest::addRow("%s %s", qPrintable(f[0]), stopped) << f[1] << f[2] << stopped;
            }
        }
    }
    void settle()
    {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(QString, stopped);
        const QString path = env->root() + "/book." + QString(QTest::currentDataTag()).section(' ', 0, 0);
        const QString folder = dataDir(path), stage = folder + BookFolderStage::StageName + '/';
        const auto import = [&](const QString &relative) {
            QFile::remove(path);
            QPdfWriter writer(path);   // a one-page PDF edition, drawn here
            const bool put = relative.isEmpty() ? QPainter(&writer).isActive()
                                                : QFile::copy(QUILLORA_TEST_DATA_DIR "/" + relative, path);
            return put && importOutcome(*core, path) == "ok" ? filesOf(folder) : Files{{"failed", ""}};
        };
        const Files first = import(a), second = import(b);
        const QString token = BookFolderStage::newestParagraphId(DatabaseConnection::database(), md5Hex(path));
        QVERIFY(!first.contains("failed") && !second.contains("failed") && QDir(folder).removeRecursively());
        const bool committed = stopped == "committed" || stopped == "half swapped";
        // Swapping moves every old entry aside, then the staged ones in.
        const QStringList moved = topNames(second).mid(0, stopped == "half swapped" ? 1 : 0);
        if (stopped.startsWith("staged") || committed) {
            writeFiles(stopped == "half swapped" ? folder + BookFolderStage::OldName : folder,
                       committed ? first : second);
            writeFiles(folder, second, [&](const QString &name) { return moved.contains(name); });
            writeFiles(stage, committed ? second : first, [&](const QString &name) { return !moved.contains(name); });
        } else {
            // What earlier versions left: what they kept is the rows' edition.
            writeFiles(folder, stopped == "old importing" || stopped == "stale lock" ? second : first);
            if (stopped == "stale lock")   // left empty by a process killed while making it
                writeFiles(folder, {{BookFolderStage::LockName, ""}});
            if (stopped == "old backup")
                writeFiles(folder + ".import-backup", second);
            for (const QString &name : topNames(second)) {
                if (stopped == "old previous" && second.contains(name))
                    writeFiles(folder, {{name + ".previous", second.value(name)}});
            }
            if (stopped == "old importing")
                writeFiles(folder, {{"book.cbz.importing", "x"}, {"images.importing/1.png", "x"}});
        }
        if (stopped == "staged, marked" || committed) {
            writeFiles(stage, {{BookFolderStage::EditionName,
                                ((committed ? token : "uncommitted") + '\n'
                                 + topNames(committed ? second : first).join('\n') + '\n').toUtf8()}});
        }
        BookFolderStage::settleAll(DatabaseConnection::database());
        QCOMPARE(filesOf(folder), second);
        QCOMPARE(BookFolderStage::newestParagraphId(DatabaseConnection::database(), md5Hex(path)), token);
    }

    // Folders no stored book owns go (those of failed new books too); locked
    // ones, links and what they point at stay.
    void sweep_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("fresh import stopped") << "fresh";
        QTest::newRow("fresh import running") << "locked";
        QTest::newRow("link to a folder") << "link";
        QTest::newRow("stage is a link") << "stage link";
        for (const char *name : {"book.fb2", "book.epub", "book.mobi", "book.azw3", "book.pdf", "book.cbz", "book.cb7"})
            QTest::addRow("failed new %s", name) << name;
    }
    void sweep()
    {
        QFETCH(QString, kind);
        const QString outside = env->root() + "/outside";
        QString dir = Paths::dataLocation() + '/' + md5Hex(kind);
        writeFiles(outside, {{"keep.txt", "x"}});
        writeFiles(dir + '/' + BookFolderStage::StageName, {{"cover.png", "x"}});
        QLockFile lock(dir + '/' + BookFolderStage::LockName);
        QVERIFY(kind != "locked" || lock.tryLock(0));
        if (kind.contains("link")) {
            const QString link = kind == "link" ? dir : dir + '/' + BookFolderStage::StageName;
            QVERIFY(QDir(link).removeRecursively() && QFile::link(outside, link));
        } else if (kind.startsWith("book.")) {
            // Without a start between: the import itself leaves nothing.
            writeFiles(env->root(), {{kind, "not a book"}});
            QVERIFY(importOutcome(*core, env->root() + '/' + kind) != "ok");
            QCOMPARE(QFileInfo::exists(dataDir(env->root() + '/' + kind)), false);
        }
        BookFolderStage::settleAll(DatabaseConnection::database());
        QCOMPARE(QFileInfo(dir).exists() || QFileInfo(dir).isSymLink(), kind == "locked" || kind == "link");
        QCOMPARE(filesOf(outside), (Files{{"keep.txt", "x"}}));
    }

    // Hostile leftovers beside a second book and a folder outside the data
    // location: settling follows no link, waits on nothing and deletes no
    // book's files. orphanKept: whether the extra folder "orphan" stays.
    void hostile_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("orphanKept");
        for (const char *kind : {"old link, marked", "old link", "fifo lock", "folder lock", "full folder lock",
                                 "previous alone", "link in stage", "orphan link", "stage link", "marker ..",
                                 "marker absolute", "marker another book", "orphan, old link", "removed"})
            QTest::newRow(kind) << kind << false;
        QTest::newRow("orphan comic, pages only") << "orphan comic" << false;
        for (const char *kind :
             {"orphan, no row", "removed, another book", "removed, ..", "orphan comic, book file"})
            QTest::newRow(kind) << kind << true;
    }
    void hostile()
    {
        QFETCH(QString, kind);
        QFETCH(bool, orphanKept);
        const QString a = copyTestBook("comic/zip-tool.cbz"), b = copyTestBook("epub/pandoc-epub3.epub");
        QVERIFY(importOutcome(*core, a) == "ok" && importOutcome(*core, b) == "ok");
        const QString dirA = dataDir(a), stage = dirA + BookFolderStage::StageName + '/';
        const QString outside = env->root() + "/outside", orphan = Paths::dataLocation() + '/' + md5Hex("orphan");
        writeFiles(outside, {{"keep.txt", "x"}, {"sub/page.png", "y"}});
        const Files bookA = filesOf(dirA), bookB = filesOf(dataDir(b)), sentinel = filesOf(outside);
        const QString first = topNames(bookA).constFirst(), token = BookFolderStage::newestParagraphId(
            DatabaseConnection::database(), md5Hex(kind.endsWith("another book") ? b : a));
        const auto mark = [&](const QStringList &names) {
            writeFiles(stage, {{BookFolderStage::EditionName, (token + '\n' + names.join('\n') + '\n').toUtf8()}});
        };
        if ((kind.contains("link") && !kind.startsWith("orphan")) || kind.startsWith("marker"))
            writeFiles(stage, kind.startsWith("marker") ? Files{{first, "x"}} : bookA);
        if (kind.startsWith("old link"))
            QVERIFY(QFile::link(outside, dirA + BookFolderStage::OldName));
        if (kind == "old link, marked" || kind == "link in stage" || kind.startsWith("marker"))
            mark(kind == "marker .." ? QStringList{".."} : kind == "marker absolute" ? QStringList{outside} : topNames(bookA) << "fonts");
        if (kind == "link in stage")
            QVERIFY(QFile::remove(stage + first) && QFile::link(outside + "/keep.txt", stage + first)
                    && QFile::link(outside, stage + "fonts"));
        if (kind == "stage link" || kind == "orphan link")
            QVERIFY(QDir(stage).removeRecursively() && QFile::link(outside, kind == "orphan link" ? orphan : stage.chopped(1)));
        if (kind == "fifo lock")
            QCOMPARE(::mkfifo(QFile::encodeName(dirA + BookFolderStage::LockName).constData(), 0644), 0);
        if (kind.endsWith("folder lock"))
            QVERIFY(QDir().mkpath(dirA + BookFolderStage::LockName + (kind.startsWith("full") ? "/x" : "")));
        if (kind == "previous alone")
            writeFiles(dirA, {{".previous", "x"}, {"..previous", "x"}, {"...previous", "x"}});
        if (kind == "orphan, old link") {
            writeFiles(orphan + '/' + BookFolderStage::StageName, {{"cover.png", "x"}});
            QVERIFY(QFile::link(outside, orphan + '/' + BookFolderStage::OldName));
        }
        if (kind.startsWith("orphan comic"))   // what an earlier comic import left
            writeFiles(orphan, {{BookFolderStage::ArchiveMarkerName, ""}, {"images-1/1.jpg", "x"}});
        if (kind.startsWith("removed") || kind == "orphan, no row" || kind.endsWith("book file"))
            writeFiles(orphan, {{kind.endsWith("book file") ? "book.cbr" : "book.cbz", "x"}});
        if (kind.startsWith("removed"))
            writeFiles(orphan, {{BookFolderStage::RemovedName,
                                 (kind == "removed" ? md5Hex("orphan") : kind.endsWith("book") ? md5Hex(b) : "..").toUtf8() + '\n'}});
        // Both sweeps of a start.
        const Files orphanBefore = filesOf(orphan);
        BookFolderStage::settleAll(DatabaseConnection::database());
        CbrParser::cleanupOrphanedArchiveData();
        QCOMPARE(filesOf(outside), sentinel);
        QCOMPARE(filesOf(dataDir(b)), bookB);
        QCOMPARE(bookFiles(filesOf(dirA)), bookFiles(bookA));
        QCOMPARE(QFileInfo(orphan).isDir() && !QFileInfo(orphan).isSymLink(), orphanKept);
        if (orphanKept)
            QCOMPARE(filesOf(orphan), orphanBefore);
        // The book imports again once its folder is settled.
        QCOMPARE(importOutcome(*core, a), QString(kind == "full folder lock" ? "无法创建 CBZ 数据目录" : "ok"));
    }

    // A damaged library database costs no book its folder, nor a committed
    // edition still staged its files.
    void damagedDatabase_data()
    {
        QTest::addColumn<QString>("damage");
        for (const char *damage : {"zero bytes", "zeroed table leaf", "index leaf overwritten", "garbage pages",
                                   "paragraph index leaf overwritten"})
            QTest::newRow(damage) << damage;
    }
    void damagedDatabase()
    {
        QFETCH(QString, damage);
        const bool staged = damage.startsWith("paragraph");
        const QString path = copyTestBook("epub/pandoc-epub3.epub"), book = md5Hex(path);
        QCOMPARE(importOutcome(*core, path), QString("ok"));
        QSqlQuery query(DatabaseConnection::database());
        QVERIFY(query.exec("BEGIN"));
        for (int i = 0; i < 300; ++i) {   // stored books, each with its folder
            const QString id = md5Hex(QString::number(i));
            QVERIFY(query.exec(QString("INSERT INTO novel_info (id, title, description) VALUES ('%1', 'x', '%2')")
                                   .arg(id, QString(200, 'x'))));
            QVERIFY(!staged || query.exec(QString("INSERT INTO unified_paragraph (id, novel_id, chapter_id, para_index)"
                                                  " VALUES ('%1', '%2', 'c', %3)")
                                              .arg(QUuid::createUuid().toString(QUuid::WithoutBraces), book)
                                              .arg(i)));
            writeFiles(Paths::dataLocation() + '/' + id, {{"book.pdf", id.toUtf8()}, {".import.lock", ""}});
        }
        const QString token = BookFolderStage::newestParagraphId(DatabaseConnection::database(), book);
        Files before = bookFiles(filesOf(Paths::dataLocation()));
        if (staged) {   // the newest rows' edition, committed and not yet swapped in
            writeFiles(Paths::bookDataDir(book) + BookFolderStage::StageName,
                       {{"book.epub", "new"}, {BookFolderStage::EditionName, (token + "\nbook.epub\n").toUtf8()}});
            for (const QString &key : before.keys().filter(QRegularExpression('^' + book + "/.")))
                before.remove(key);
            before.insert(book + "/book.epub", "new");
        }
        QVERIFY(query.exec("COMMIT") && query.exec("PRAGMA page_size") && query.next());
        const qint64 size = query.value(0).toLongLong();
        QVERIFY(query.exec(QString("SELECT pageno FROM dbstat WHERE name = '%1' AND pagetype = 'leaf' ORDER BY pageno")
                               .arg(staged ? "sqlite_autoindex_unified_paragraph_1"
                                           : damage.startsWith("index") ? "sqlite_autoindex_novel_info_1" : "novel_info")));
        QList<qint64> leaves;
        while (query.next())
            leaves << (query.value(0).toLongLong() - 1) * size;
        query = QSqlQuery();
        core.reset();
        TestEnvironment::closeDatabase();
        QFile file(DatabaseConnection::databaseFilePath());
        QVERIFY(leaves.size() > 2 && !QFile::exists(file.fileName() + "-wal") && file.open(QIODevice::ReadWrite));
        int torn = 0;   // the leaf a torn write covers with another: the one naming the edition
        for (int i = 0; staged && i < leaves.size(); ++i)
            torn = file.seek(leaves.at(i)) && file.read(size).contains(token.toLatin1()) ? i : torn;
        QByteArray page(int(size), '\0');
        if (damage == "zero bytes")
            QVERIFY(file.resize(0));
        if (damage.contains("index"))
            QVERIFY(file.seek(leaves.at(torn ? 0 : leaves.size() - 1)) && file.read(page.data(), size) == size);
        for (int i = 1; i < leaves.size() && damage != "zero bytes"; i += damage == "garbage pages" ? 3 : leaves.size()) {
            for (char &c : page)
                c = damage == "garbage pages" ? char(QRandomGenerator::global()->generate()) : c;
            QVERIFY(file.seek(leaves.at(damage.contains("index") ? torn : i)) && file.write(page) == size);
        }
        file.close();
        // The start itself: database, settling and sweeps.
        QVERIFY(env->openDatabase());
        core.reset(new ApplicationCore);
        QCOMPARE(bookFiles(filesOf(Paths::dataLocation())), before);
    }
};

QTEST_MAIN(TestImportSettle)
#include "tst_importsettle.moc"
