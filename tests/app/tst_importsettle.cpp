#include "bookfolderstage.h"
#include "coresession.h"
#include "databaseconnection.h"
#include "importoutcome.h"

#include <QDirIterator>
#include <QLockFile>
#include <QPainter>
#include <QPdfWriter>
#include <QtTest>

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
};

QTEST_MAIN(TestImportSettle)
#include "tst_importsettle.moc"
