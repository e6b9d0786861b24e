// CBR, CB7 and CBT import: book fields, the import lock, commit and rollback
// with their files, the start-up sweep, and one comic read through the core.

#include "applicationcore.h"
#include "cbrparser.h"
#include "chapterdao.h"
#include "chapterinfo.h"
#include "databaseconnection.h"
#include "dbtestutils.h"
#include "imagefixtures.h"
#include "importoutcome.h"
#include "keys.h"
#include "noveldao.h"
#include "novelinfo.h"
#include "parserregistry.h"
#include "quilloraimageprovider.h"
#include "rarfixture.h"
#include "renderpool.h"
#include "testenvironment.h"
#include "transaction.h"
#include "unifiedchunkdao.h"
#include "unifiedparagraphdao.h"

#include <QDir>
#include <QLockFile>
#include <QSqlQuery>
#include <QtTest>

#include <memory>

namespace {

const QRgb Colours[] = {qRgb(200, 30, 30), qRgb(30, 160, 40), qRgb(40, 60, 200)};

QByteArray colourPage(int index)
{
    QImage image(60, 90, QImage::Format_RGB32);
    image.fill(Colours[index % 3]);
    return encodedImage(image, "PNG");
}

// Image folders of the book, by name, and whether the marker is there.
QString diskState(const QString &bookId)
{
    const QDir data(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + '/' + bookId);
    return QStringLiteral("%1 dirs, marker %2")
        .arg(data.entryList({"images*"}, QDir::Dirs).size())
        .arg(data.exists(CbrParser::MarkerFileName) ? "yes" : "no");
}

}

class TestCbrImport : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestEnvironment> env;
    UnifiedParagraphDao paragraphs;
    UnifiedChunkDao chunks;
    NovelDao novels;
    ChapterDao chapterRows;

    QString comic(const QString &name, const QString &kind, const QByteArray &comicInfo = QByteArray())
    {
        QVector<FixtureEntry> entries{{"p10.png", colourPage(2)}, {"p2.png", colourPage(1)},
                                      {"p1.png", colourPage(0)}};
        if (!comicInfo.isEmpty())
            entries.append({"ComicInfo.xml", comicInfo});
        const QString path = env->root() + '/' + name;
        const bool ok = kind == "rar" ? writeRar4(path, entries) : writeArchive(path, kind, entries);
        return ok ? path : QString();
    }

    // The steps of the import task on one parser; "" or the failing step.
    QString importSteps(IFormatParser *parser, const QString &path, bool commit)
    {
        ParseResult info = parser->parseBookInfo(path);
        if (!info.success)
            return info.errorMessage;
        std::unique_ptr<NovelInfo> novel(info.novel);
        ParseResult list = parser->parseChapters(path, novel.get());
        if (!list.success)
            return list.errorMessage;
        Transaction outer(DatabaseConnection::database());
        // What the import task stores around the parser's own step.
        if (DbTestUtils::rowCount("novel_info", "id", novel->id()) > 0)
            novels.remove(novel->id());
        const bool stored = parser->beginImport()
                            && parser->parseUnified(list.chapters, novel->id(), &paragraphs, &chunks)
                            && novels.insert(novel.get())
                            && chapterRows.removeByNovelId(novel->id())
                            && chapterRows.insertAllInTransaction(list.chapters);
        qDeleteAll(list.chapters);
        if (!commit || !stored) {
            parser->finishImport(false);
            return stored ? "rolled back" : "store failed";
        }
        return parser->finishImport(true) && outer.commit() ? "" : "commit failed";
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
        QTest::addColumn<QString>("expected");   // fileType|title|author|cover colour index

        QTest::newRow("7z as .CB7") << "Book.CB7" << "7z" << QByteArray() << "CB7|Book|未知作者|0";
        QTest::newRow("7z named .cbr") << "seven.cbr" << "7z" << QByteArray() << "CBR|seven|未知作者|0";
        QTest::newRow("RAR, cover page by ComicInfo") << "tides.cbr" << "rar"
            << QByteArray("<ComicInfo><Series>Tides</Series><Number>3</Number><Writer>Ann</Writer>"
                          "<Pages><Page Image=\"0\" Type=\"FrontCover\"/></Pages></ComicInfo>")
            << "CBR|Tides #3|Ann|2";
        QTest::newRow("ustar, cover index matches nothing") << "plain.cbt" << "ustar"
            << QByteArray("<ComicInfo><Pages><Page Image=\"9\" Type=\"FrontCover\"/></Pages></ComicInfo>")
            << "CBT|plain|未知作者|0";
    }
    void bookInfo()
    {
        QFETCH(QString, name);
        QFETCH(QString, kind);
        QFETCH(QByteArray, comicInfo);
        QFETCH(QString, expected);
        const QString path = comic(name, kind, comicInfo);
        std::unique_ptr<IFormatParser> parser(ParserRegistry::instance().findParser(path));
        QVERIFY(parser);
        QCOMPARE(importSteps(parser.get(), path, true), QString());
        parser.reset();
        const QString bookId = md5Hex(path);
        const QVariantMap row = DbTestUtils::storedRow("novel_info", bookId);
        const QImage cover(row.value("cover_path").toString());
        QCOMPARE(QStringList({row.value("file_type").toString(), row.value("title").toString(),
                              row.value("author").toString(),
                              QString::number(int(std::find(Colours, Colours + 3, cover.pixel(5, 5)) - Colours))})
                     .join('|'),
                 expected);
        QCOMPARE(diskState(bookId), QStringLiteral("1 dirs, marker no"));
    }

    // Rows and files change together: the old folder goes only after the
    // commit, a rollback removes the new one, a held lock refuses at once.
    void flows_data()
    {
        QTest::addColumn<QString>("flow");
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<QString>("disk");   // after the second import
        QTest::addColumn<int>("rows");

        QTest::newRow("re-import commits") << "commit" << "" << "1 dirs, marker no" << 3;
        QTest::newRow("re-import rolls back") << "rollback" << "rolled back" << "1 dirs, marker no" << 3;
        QTest::newRow("lock held by a live import") << "locked" << "CBT 正在导入" << "1 dirs, marker no" << 3;
        QTest::newRow("old lock file of a live import") << "old lock" << "CBT 正在导入" << "1 dirs, marker no" << 3;
        QTest::newRow("outer transaction rolls back") << "outer" << "" << "1 dirs, marker no" << 3;
    }
    void flows()
    {
        QFETCH(QString, flow);
        QFETCH(QString, outcome);
        QFETCH(QString, disk);
        QFETCH(int, rows);
        const QString path = comic("flow.cbt", "tar");
        const QString bookId = md5Hex(path);
        std::unique_ptr<IFormatParser> first(CbrParser::createCbt());
        QCOMPARE(importSteps(first.get(), path, true), QString());
        first.reset();
        const QString oldDir = DbTestUtils::storedCells("SELECT path FROM chapter_info WHERE novel_id = :id", bookId);

        const QString lockPath = QFileInfo(oldDir).path() + '/' + CbrParser::LockFileName;
        std::unique_ptr<QLockFile> holder;
        if (flow.endsWith("lock") || flow == "locked") {
            holder.reset(new QLockFile(lockPath));
            QVERIFY(holder->tryLock(0));
        }
        if (flow == "old lock") {
            // A live owner's lock without a native lock (as on a network file
            // system), older than Qt's default 30 s staleness.
            QFile file(lockPath);
            QVERIFY(file.open(QIODevice::ReadOnly));
            const QByteArray owner = file.readAll();
            file.close();
            holder.reset();
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(owner) == owner.size() && file.flush()
                    && file.setFileTime(QDateTime::currentDateTime().addSecs(-3600),
                                        QFileDevice::FileModificationTime));
        }
        std::unique_ptr<IFormatParser> second(CbrParser::createCbt());
        if (flow == "outer") {
            // The parser's level commits, the caller's does not.
            Transaction outer(DatabaseConnection::database());
            QCOMPARE(importSteps(second.get(), path, true), QString());
            outer.rollback();
        } else {
            QCOMPARE(importSteps(second.get(), path, flow == "commit"), outcome);
        }
        second.reset();
        QTRY_COMPARE(diskState(bookId), disk);   // old folders go on the pool
        QCOMPARE(DbTestUtils::rowCount("unified_paragraph", "novel_id", bookId), rows);
        const QString dir = DbTestUtils::storedCells("SELECT path FROM chapter_info WHERE novel_id = :id", bookId);
        QVERIFY(QFileInfo(dir).isDir());
        QCOMPARE(dir != oldDir, flow == "commit");
    }

    // Leftovers of killed imports, made by hand, go at the next start;
    // what stored rows reference stays.
    void sweep_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QString>("disk");

        QTest::newRow("killed first import") << "marker" << "0 dirs, marker no";
        QTest::newRow("no marker, no book") << "plain" << "1 dirs, marker no";
        QTest::newRow("stored book, stale folders") << "book" << "1 dirs, marker no";
        QTest::newRow("stored book, killed re-import") << "book marker" << "1 dirs, marker no";
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
            std::unique_ptr<IFormatParser> parser(CbrParser::createCb7());
            QCOMPARE(importSteps(parser.get(), path, true), QString());
            bookId = md5Hex(path);
        }
        const QString data = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + '/' + bookId;
        QVERIFY(QDir().mkpath(data + "/images-0d3c1f7e-0000-4000-8000-000000000000/x"));
        if (setup.startsWith("book"))
            QVERIFY(QDir().mkpath(data + "/Images.Backup"));
        if (setup.contains("marker"))
            QVERIFY(QFile(data + '/' + CbrParser::MarkerFileName).open(QIODevice::WriteOnly));
        QLockFile lock(data + '/' + CbrParser::LockFileName);
        if (setup.contains("locked"))
            QVERIFY(lock.tryLock(0));
        if (setup.contains("broken"))
            DbTestUtils::execSql("ALTER TABLE novel_info RENAME COLUMN file_type TO kind");
        CbrParser::cleanupOrphanedArchiveData();
        QCOMPARE(diskState(bookId), disk);
    }

    // Through the core: import a .cb7 made by the 7z tool, open it, and the
    // first page shown is page 1; the third is page10.
    void readThroughCore()
    {
        const QString path = env->root() + "/tool-made.cb7";
        QVERIFY(QFile::copy(QStringLiteral(QUILLORA_TEST_DATA_DIR "/comic/tool-made.cb7"), path));
        ApplicationCore core;
        QCOMPARE(importOutcome(core, path), QStringLiteral("ok"));
        const QString bookId = md5Hex(path);
        const QString chapter = bookId + "_archive_0";
        QCOMPARE(DbTestUtils::storedCells("SELECT title || '|' || file_type FROM novel_info WHERE id = :id", bookId),
                 QStringLiteral("工具做的漫画|CB7"));
        const QString token = core.openBookForReading(bookId, chapter, 0, -1.0f, 20, 0, 360, 480,
                                                      "#000000", "#ffffff", QString());
        QVERIFY(!token.isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(core.getChapterPageCount(chapter) == 3, 10000);
        QuilloraImageProvider provider;
        for (int at = 0; at < 3; ++at) {
            if (at > 0)
                core.poolReportPageTurn(chapter, at, token);
            const QString key = QString::fromUtf8(QUrl::toPercentEncoding(RenderPool::makeKey(chapter, at)));
            QImage shown;
            QTRY_VERIFY_WITH_TIMEOUT(!(shown = provider.requestImage(key, nullptr, QSize())).isNull(), 10000);
            QCOMPARE(shown.pixel(shown.width() / 2, shown.height() / 2), Colours[at]);
        }
    }
};

QTEST_MAIN(TestCbrImport)
#include "tst_cbrimport.moc"
