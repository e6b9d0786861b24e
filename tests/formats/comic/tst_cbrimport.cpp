// CBR, CB7 and CBT import: book fields, the lock, commit and rollback with
// their files, the start-up sweep (reading one through the core: tst_cbzimport).

#include "cbrparser.h"
#include "chapterdao.h"
#include "databaseconnection.h"
#include "dbtestutils.h"
#include "keys.h"
#include "noveldao.h"
#include "novelinfo.h"
#include "parserregistry.h"
#include "paths.h"
#include "rarfixture.h"
#include "testenvironment.h"
#include "transaction.h"
#include "unifiedchunkdao.h"
#include "unifiedparagraphdao.h"

#include <QLockFile>
#include <QtTest>

namespace {

const QRgb Colours[] = {qRgb(200, 30, 30), qRgb(30, 160, 40), qRgb(40, 60, 200)};

// The book's image folders and whether its marker is there.
QString diskState(const QString &bookId)
{
    const QDir data(Paths::bookDataDir(bookId));
    return QStringLiteral("%1 dirs, marker %2").arg(data.entryList({"images*"}, QDir::Dirs).size())
        .arg(data.exists(BookFolderStage::ArchiveMarkerName) ? "yes" : "no");
}

}

class TestCbrImport : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestEnvironment> env;

    QString comic(const QString &name, const QString &kind, const QByteArray &comicInfo = QByteArray(),
                  bool infoFirst = false)
    {
        QVector<FixtureEntry> entries;
        if (infoFirst)
            entries.append({"ComicInfo.xml", comicInfo});
        for (int i : {2, 1, 0}) {   // p10, p2, p1 in archive order
            QImage image(60, 90, QImage::Format_RGB32);
            image.fill(Colours[i]);
            entries.append({QByteArray("p") + QByteArray::number(i == 2 ? 10 : i + 1) + ".png",
                            encodedImage(image, "PNG")});
        }
        if (!comicInfo.isEmpty() && !infoFirst)
            entries.append({"ComicInfo.xml", comicInfo});
        const QString path = env->root() + '/' + name;
        return (kind == "rar" ? writeRar4(path, entries) : writeArchive(path, kind, entries)) ? path : "";
    }

    // The import task's steps on one parser: "" or what failed.
    QString importSteps(IFormatParser *parser, const QString &path, bool commit = true)
    {
        ParseResult info = parser->parseBookInfo(path);
        if (!info.success)
            return info.errorMessage;
        std::unique_ptr<NovelInfo> novel(info.novel);
        const QVector<ChapterInfo *> chapters = parser->parseChapters(path, novel.get()).chapters;
        UnifiedParagraphDao paragraphs;
        UnifiedChunkDao chunks;
        NovelDao novels;
        ChapterDao chapterRows;
        Transaction outer(DatabaseConnection::database());
        if (DbTestUtils::rowCount("novel_info", "id", novel->id()) > 0)
            novels.remove(novel->id());
        const bool stored = parser->beginImport()
                            && parser->parseUnified(chapters, novel->id(), &paragraphs, &chunks)
                            && novels.insert(novel.get()) && chapterRows.removeByNovelId(novel->id())
                            && chapterRows.insertAllInTransaction(chapters);
        qDeleteAll(chapters);
        if (!commit || !stored)
            return parser->finishImport(false) && stored ? "rolled back" : "store failed";
        if (!parser->finishImport(true) || !outer.commit())
            return "commit failed";
        // As the import task: the files follow once the outermost level committed.
        if (Transaction::depth(DatabaseConnection::database()) == 0)
            parser->folderStage()->swapIn();
        return "";
    }

private slots:
    void init()
    {
        env.reset(new TestEnvironment);
        QVERIFY(env->openDatabase());
    }
    void cleanup() { env.reset(); }

    void bookInfo_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QByteArray>("comicInfo");
        QTest::addColumn<bool>("infoFirst");     // ComicInfo.xml before the pages
        QTest::addColumn<QString>("expected");   // fileType|title|author|cover colour

        // Pages come p10, p2, p1: the first one extracted is not the cover.
        QTest::newRow("7z as .CB7") << "Book.CB7" << "7z" << QByteArray() << false << "CB7|Book|未知作者|0";
        QTest::newRow("7z named .cbr") << "seven.cbr" << "7z" << QByteArray() << false << "CBR|seven|未知作者|0";
        QTest::newRow("RAR, cover page by ComicInfo") << "tides.cbr" << "rar"
            << QByteArray("<ComicInfo><Series>Tides</Series><Number>3</Number><Writer>Ann</Writer>"
                          "<Pages><Page Image=\"0\" Type=\"FrontCover\"/></Pages></ComicInfo>")
            << false << "CBR|Tides #3|Ann|2";
        QTest::newRow("ustar, ComicInfo first names a later page") << "early.cbt" << "ustar"
            << QByteArray("<ComicInfo><Pages><Page Image=\"1\" Type=\"FrontCover\"/></Pages></ComicInfo>")
            << true << "CBT|early|未知作者|1";
        QTest::newRow("ustar, cover index matches nothing") << "plain.cbt" << "ustar"
            << QByteArray("<ComicInfo><Pages><Page Image=\"9\" Type=\"FrontCover\"/></Pages></ComicInfo>")
            << false << "CBT|plain|未知作者|0";
    }
    void bookInfo()
    {
        QFETCH(QString, name);
        QFETCH(QString, kind);
        QFETCH(QByteArray, comicInfo);
        QFETCH(bool, infoFirst);
        QFETCH(QString, expected);
        const QString path = comic(name, kind, comicInfo, infoFirst);
        std::unique_ptr<IFormatParser> parser(ParserRegistry::instance().findParser(path));
        QCOMPARE(importSteps(parser.get(), path), QString());
        parser.reset();
        const QVariantMap row = DbTestUtils::storedRow("novel_info", md5Hex(path));
        const QRgb cover = QImage(row.value("cover_path").toString()).pixel(5, 5);
        QCOMPARE(QStringList({row.value("file_type").toString(), row.value("title").toString(),
                              row.value("author").toString(),
                              QString::number(std::find(Colours, Colours + 3, cover) - Colours)}).join('|'),
                 expected);
        QCOMPARE(diskState(md5Hex(path)), QStringLiteral("1 dirs, marker no"));
    }

    // A re-import: rows and folders change together or not at all; a held
    // lock refuses at once, also when its file is old.
    void reimport_data()
    {
        QTest::addColumn<QString>("flow");
        QTest::addColumn<QString>("outcome");

        QTest::newRow("commit") << "commit" << "";
        QTest::newRow("rollback") << "rollback" << "rolled back";
        QTest::newRow("enclosing transaction rolls back") << "outer" << "";
        QTest::newRow("lock held") << "locked" << "CBT 正在导入";
        QTest::newRow("old lock file of a live owner") << "old lock" << "CBT 正在导入";
    }
    void reimport()
    {
        QFETCH(QString, flow);
        QFETCH(QString, outcome);
        const QString path = comic("flow.cbt", "tar");
        const QString bookId = md5Hex(path);
        QCOMPARE(importSteps(std::unique_ptr<IFormatParser>(CbrParser::createCbt()).get(), path), QString());
        const QString chapterPath = "SELECT path FROM chapter_info WHERE novel_id = :id";
        const QString oldDir = DbTestUtils::storedCells(chapterPath, bookId);

        const QString lockPath = Paths::bookDataDir(bookId) + BookFolderStage::LockName;
        std::unique_ptr<QLockFile> holder(new QLockFile(lockPath));
        if (flow.contains("lock"))
            QVERIFY(holder->tryLock(0));
        if (flow == "old lock") {
            // Its owner (this process) alive, no native lock (as on a network
            // file system), older than Qt's default 30 s staleness.
            QFile file(lockPath);
            const QByteArray owner = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
            file.close();
            holder.reset();
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(owner) > 0 && file.flush()
                    && file.setFileTime(QDateTime::currentDateTime().addSecs(-3600), QFileDevice::FileModificationTime));
        }
        std::unique_ptr<IFormatParser> second(CbrParser::createCbt());
        {
            Transaction outer(DatabaseConnection::database());
            QCOMPARE(importSteps(second.get(), path, flow != "rollback"), outcome);
            if (flow != "outer") {
                QVERIFY(outer.commit());
                second->folderStage()->swapIn();
            }
        }
        second.reset();
        QCOMPARE(diskState(bookId), QStringLiteral("1 dirs, marker no"));
        QCOMPARE(DbTestUtils::rowCount("unified_paragraph", "novel_id", bookId), 3);
        const QString dir = DbTestUtils::storedCells(chapterPath, bookId);
        QVERIFY(QFileInfo(dir).isDir());
        QCOMPARE(dir != oldDir, flow == "commit");
    }

    // A new book whose import fails leaves no folder behind.
    void failedNewBook_data()
    {
        QTest::addColumn<bool>("pages");
        QTest::newRow("no page") << false;
        QTest::newRow("rolled back") << true;
    }
    void failedNewBook()
    {
        QFETCH(bool, pages);
        const QString path = env->root() + "/failed.cbt";
        QVector<FixtureEntry> notes;
        notes.append({"notes.txt", QByteArray("no pages")});
        QVERIFY(pages ? !comic("failed.cbt", "ustar").isEmpty() : writeArchive(path, "ustar", notes));
        std::unique_ptr<IFormatParser> parser(CbrParser::createCbt());
        QVERIFY(!importSteps(parser.get(), path, false).isEmpty());
        parser.reset();
        QVERIFY(!QFileInfo::exists(Paths::bookDataDir(md5Hex(path))));
    }

    // Leftovers of killed imports, made by hand, go at the next start;
    // what stored rows reference stays.
    void sweep_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QString>("disk");

        QTest::newRow("killed first import") << "marker" << "0 dirs, marker no";
        QTest::newRow("no row, book file beside marker") << "marker book file" << "1 dirs, marker yes";
        QTest::newRow("no marker, no book") << "plain" << "1 dirs, marker no";
        QTest::newRow("stored book, stale folders") << "book" << "1 dirs, marker no";
        QTest::newRow("stored book, killed re-import") << "book marker" << "1 dirs, marker no";
        QTest::newRow("stored book, paths not clean") << "book unclean" << "1 dirs, marker no";
        QTest::newRow("import running") << "marker locked" << "1 dirs, marker yes";
        QTest::newRow("failed query") << "marker broken" << "1 dirs, marker yes";
    }
    void sweep()
    {
        QFETCH(QString, setup);
        QFETCH(QString, disk);
        QString bookId = md5Hex("never imported");
        if (setup.startsWith("book")) {
            const QString path = comic("stored.cb7", "7z");
            QCOMPARE(importSteps(std::unique_ptr<IFormatParser>(CbrParser::createCb7()).get(), path), QString());
            bookId = md5Hex(path);
            QVERIFY(QDir().mkpath(Paths::bookDataDir(bookId) + "Images.Backup"));
        }
        const QString data = Paths::bookDataDir(bookId);
        QVERIFY(QDir().mkpath(data + "images-0d3c1f7e-0000-4000-8000-000000000000/x"));
        if (setup.contains("marker"))
            QVERIFY(QFile(data + BookFolderStage::ArchiveMarkerName).open(QIODevice::WriteOnly));
        if (setup.contains("book file"))
            QVERIFY(QFile(data + "book.cbr").open(QIODevice::WriteOnly));
        QLockFile lock(data + BookFolderStage::ArchiveLockName);
        if (setup.contains("locked"))
            QVERIFY(lock.tryLock(0));
        if (setup.contains("unclean")) {   // "//" before the page folder's name
            for (const char *column : {"unified_paragraph SET image_id", "chapter_info SET path"})
                DbTestUtils::execSql(QString("UPDATE %1 = replace(%2, '/images-', '//images-')")
                                         .arg(column, QString(column).section(' ', -1)));
        }
        if (setup.contains("broken"))
            DbTestUtils::execSql("ALTER TABLE novel_info RENAME COLUMN file_type TO kind");
        CbrParser::cleanupOrphanedArchiveData();
        QCOMPARE(diskState(bookId), disk);
    }
};

QTEST_MAIN(TestCbrImport)
#include "tst_cbrimport.moc"
