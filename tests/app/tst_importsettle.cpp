#include "bookfolderstage.h"
#include "coresession.h"
#include "databaseconnection.h"
#include "importoutcome.h"

#include <QDirIterator>
#include <QLockFile>
#include <QPainter>
#include <QPdfWriter>
#include <QRegularExpression>
#include <QSqlQuery>
#include <QSqlRecord>
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
        const QString path = it.next();
        QFile file(path);
        const QString name = QDir(dir).relativeFilePath(path);
        if (it.fileInfo().isDir())
            files.insert(name + '/', QByteArray());
        else if (file.open(QIODevice::ReadOnly))
            files.insert(name, file.readAll());
    }
    return files;
}

// Writes files below dir; only the entries whose top name passes keep.
void writeFiles(const QString &dir, const Files &files, const std::function<bool(const QString &)> &keep = {})
{
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        if (keep && !keep(it.key().section('/', 0, 0)))
            continue;
        const QString path = dir + '/' + it.key();
        QDir().mkpath(it.key().endsWith('/') ? path : QFileInfo(path).absolutePath());
        QFile file(path);
        if (!it.key().endsWith('/') && file.open(QIODevice::WriteOnly))
            file.write(it.value());
    }
}

QStringList topNames(const Files &files)
{
    QStringList names;
    for (const QString &key : files.keys())
        names << key.section('/', 0, 0);
    names.removeDuplicates();
    return names;
}

// The book's rows as text, for before-and-after comparison.
QString rowsOf(const QString &id)
{
    QString text;
    for (const char *sql : {"SELECT * FROM novel_info WHERE id = ?",
                            "SELECT * FROM chapter_info WHERE novel_id = ? ORDER BY chapter_index",
                            "SELECT COUNT(*), MAX(id) FROM unified_paragraph WHERE novel_id = ?"}) {
        QSqlQuery query(DatabaseConnection::database());
        query.prepare(QString::fromLatin1(sql));
        query.addBindValue(id);
        query.exec();
        while (query.next()) {
            for (int i = 0; i < query.record().count(); ++i)
                text += query.value(i).toString() + '|';
        }
    }
    return text;
}

bool writePdf(const QString &path)
{
    QPdfWriter writer(path);
    QPainter painter(&writer);
    painter.drawText(200, 200, QStringLiteral("A"));
    return painter.end();
}

}

class TestImportSettle : public QObject, CoreSession
{
    Q_OBJECT

    // The files of the first edition, the second's and its rows after it
    // was imported over the first at the same path; its folder.
    QString folder;
    Files first, second;
    QString token;

    bool putBook(const QString &relative, const QString &path)
    {
        QFile::remove(path);
        return relative == "generated.pdf" ? writePdf(path)
                                           : QFile::copy(QStringLiteral(QUILLORA_TEST_DATA_DIR "/") + relative, path);
    }

    bool importBoth(const QString &a, const QString &b)
    {
        const QString path = env->root() + "/book." + QFileInfo(a).suffix();
        folder = dataDir(path);
        if (!putBook(a, path) || importOutcome(*core, path) != "ok")
            return false;
        first = filesOf(folder);
        if (!putBook(b, path) || importOutcome(*core, path) != "ok")
            return false;
        second = filesOf(folder);
        token = BookFolderStage::newestParagraphId(DatabaseConnection::database(), md5Hex(path));
        // Nothing of the first edition stays that a fresh import lacks.
        const QString fresh = env->root() + "/fresh." + QFileInfo(path).suffix();
        const auto shape = [](QStringList names) {   // comic page folders have random names
            return names.replaceInStrings(QRegularExpression("-[-0-9a-f]{36}$"), "-*");
        };
        return putBook(b, fresh) && importOutcome(*core, fresh) == "ok"
               && shape(topNames(filesOf(dataDir(fresh)))) == shape(topNames(second));
    }

    void writeMarker(const QString &stage, const QString &edition, const Files &files)
    {
        QDir().mkpath(stage);
        QFile marker(stage + BookFolderStage::EditionName);
        QVERIFY(marker.open(QIODevice::WriteOnly));
        marker.write((edition + '\n' + topNames(files).join('\n') + '\n').toUtf8());
    }

private slots:
    void init() { QVERIFY(open()); }
    void cleanup() { close(); }

    // Where a run stopped, rebuilt from the two editions; the rows always
    // hold the second, which the settled folder must match file for file.
    void settle_data()
    {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<QString>("stopped");
        const QVector<QPair<QString, QString>> books{
            {"generated.pdf", "pdf/outline.pdf"},  {"comic/zip-tool.cbz", "comic/7z-tool.cbz"},
            {"comic/tool-made.cb7", "comic/zip-tool.cbz"},
            {"epub/calibre.epub", "epub/pandoc-epub3.epub"}, {"fb2/calibre.fb2", "fb2/library.fb2"},
            {"mobi/images.mobi", "mobi/mobi6.mobi"}, {"mobi/font.azw3", "mobi/kf8.azw3"}};
        for (const auto &book : books) {
            for (const char *stopped : {"staged", "staged, marked", "committed", "half swapped",
                                        "old backup", "old importing", "old previous"}) {
                // Only PDF books kept ".previous" files.
                if (QLatin1String(stopped) == "old previous" && !book.first.endsWith(".pdf"))
                    continue;
                QTest::addRow("%s %s", qPrintable(QFileInfo(book.first).suffix()), stopped)
                    << book.first << book.second << QString::fromLatin1(stopped);
            }
        }
    }
    void settle()
    {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(QString, stopped);
        QVERIFY(importBoth(a, b));
        const QString rows = rowsOf(QDir(folder).dirName());
        const QString stage = folder + BookFolderStage::StageName + '/';
        QVERIFY(QDir(folder).removeRecursively());
        if (stopped.startsWith("staged")) {
            // The first edition imported again, stopped before its commit.
            writeFiles(folder, second);
            writeFiles(stage, first);
            if (stopped.endsWith("marked"))
                writeMarker(stage, "not-committed", first);
        } else if (stopped == "committed" || stopped == "half swapped") {
            const bool half = stopped == "half swapped";
            const QStringList moved = topNames(second).mid(0, half ? (topNames(second).size() + 1) / 2 : 0);
            writeFiles(half ? folder + BookFolderStage::OldName : folder, first);
            writeFiles(folder, second, [&](const QString &name) { return moved.contains(name); });
            writeFiles(stage, second, [&](const QString &name) { return !moved.contains(name); });
            writeMarker(stage, token, second);
        } else {
            // What earlier versions left: their backups hold the rows' edition.
            writeFiles(folder, stopped == "old importing" ? second : first);
            if (stopped == "old backup" && QDir().mkpath(folder + ".import-backup"))
                writeFiles(folder + ".import-backup", second);
            for (const QString &name : topNames(second)) {
                if (stopped == "old previous" && second.contains(name))
                    writeFiles(folder, {{name + ".previous", second.value(name)}});
            }
            if (stopped == "old importing")
                writeFiles(folder, {{"book.cbz.importing", "x"}, {"images.importing/1.png", "x"}});
        }
        BookFolderStage::settleAll(DatabaseConnection::database());
        QCOMPARE(filesOf(folder), second);
        QCOMPARE(rowsOf(QDir(folder).dirName()), rows);
    }

    // A new book whose import fails leaves no folder, whatever the format.
    void failedNewBook_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("bytes");
        for (const char *name : {"book.fb2", "book.epub", "book.mobi", "book.azw3", "book.pdf", "book.cbz", "book.cb7"})
            QTest::newRow(name) << QString::fromLatin1(name) << QByteArray("not a book");
        QTest::newRow("empty FB2") << "empty.fb2" << QByteArray("<FictionBook/>");
    }
    void failedNewBook()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, bytes);
        const QString path = env->root() + '/' + name;
        writeFiles(env->root(), {{name, bytes}});
        QVERIFY(importOutcome(*core, path) != "ok");
        QVERIFY(!QFileInfo::exists(dataDir(path)));
    }

    // Folders no stored book owns go; locked ones, links and what they point
    // at stay.
    void sweep_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("kept");
        QTest::newRow("fresh import stopped") << "fresh" << false;
        QTest::newRow("fresh import running") << "locked" << true;
        QTest::newRow("link to a folder") << "link" << true;
        QTest::newRow("stage is a link") << "stage link" << false;
    }
    void sweep()
    {
        QFETCH(QString, kind);
        QFETCH(bool, kept);
        const QString name = md5Hex(kind);
        const QString dir = Paths::dataLocation() + '/' + name;
        const QString outside = env->root() + "/outside";
        writeFiles(outside, {{"keep.txt", "x"}});
        QDir().mkpath(Paths::dataLocation());
        QLockFile lock(dir + '/' + BookFolderStage::LockName);
        if (kind == "link") {
            QVERIFY(QFile::link(outside, dir));
        } else {
            writeFiles(dir + '/' + BookFolderStage::StageName, {{"cover.png", "x"}});
            QVERIFY(kind != "locked" || lock.tryLock(0));
        }
        if (kind == "stage link") {
            QVERIFY(QDir(dir + '/' + BookFolderStage::StageName).removeRecursively());
            QVERIFY(QFile::link(outside, dir + '/' + BookFolderStage::StageName));
        }
        BookFolderStage::settleAll(DatabaseConnection::database());
        QCOMPARE(QFileInfo(dir).exists() || QFileInfo(dir).isSymLink(), kept);
        QCOMPARE(filesOf(outside), (Files{{"keep.txt", "x"}}));
    }
};

QTEST_MAIN(TestImportSettle)
#include "tst_importsettle.moc"
