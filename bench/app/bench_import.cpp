// A whole import of a large Chinese plain-text book (GB18030, about 20 MB):
// registry, decoding, chapter split, content, book and chapter rows; beside
// it the floor, the same book turned into the same rows by iconv and SQLite
// alone, by wall and CPU time.
#include "applicationcore.h"
#include "benchlibrary.h"
#include "databaseconnection.h"
#include "imagefixtures.h"
#include "schema.h"
#include "unifiedchunkdao.h"
#include "unifiedparagraphdao.h"
#include "testenvironment.h"

#include <QElapsedTimer>
#include <QFile>
#include <QSqlQuery>
#include <QTextCodec>
#include <QtTest>

#include <cstdio>
#include <cstring>
#include <memory>

#include <iconv.h>
#include <sqlite3.h>
#include <sys/resource.h>

namespace {

double cpuMs()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3
        + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

const char ChapterSql[] =
    "INSERT INTO chapter_info (id,title,novel_id,chapter_index,path,word_count,start_offset,end_offset,"
    "create_time,update_time) VALUES (?,?,?,?,?,?,?,?,?,?)";

// The floor: read, iconv to UTF-8, split at the chapter title lines, and the
// rows the importer writes for a plain-text chapter (the chapter, one
// paragraph, one chunk of its text) in one transaction, in a database of the
// program's schema. Returns the chapters stored, -1 on failure.
qint64 storeWithIconvAndSqlite(const QString &bookPath, const QString &databasePath)
{
    FILE *in = std::fopen(QFile::encodeName(bookPath).constData(), "rb");
    if (!in)
        return -1;
    std::vector<char> raw;
    char block[1 << 16];
    size_t got = 0;
    while ((got = std::fread(block, 1, sizeof block, in)) > 0)
        raw.insert(raw.end(), block, block + got);
    std::fclose(in);
    std::vector<char> text(raw.size() * 2 + 16);
    iconv_t cd = iconv_open("UTF-8", "GB18030");
    char *from = raw.data();
    size_t fromLeft = raw.size();
    char *to = text.data();
    size_t toLeft = text.size();
    const bool decoded = iconv(cd, &from, &fromLeft, &to, &toLeft) != size_t(-1);
    iconv_close(cd);
    if (!decoded)
        return -1;
    text.resize(text.size() - toLeft);

    for (const char *suffix : {"", "-wal", "-shm"})
        QFile::remove(databasePath + QLatin1String(suffix));
    sqlite3 *db = nullptr;
    if (sqlite3_open(QFile::encodeName(databasePath).constData(), &db) != SQLITE_OK)
        return -1;
    sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
    sqlite3_exec(db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
    for (const SchemaObjectSpec &spec : Schema::createTableStatementsV1() + Schema::createIndexStatementsV1())
        sqlite3_exec(db, spec.createStatement.toUtf8().constData(), nullptr, nullptr, nullptr);
    sqlite3_stmt *paragraph = nullptr, *chunk = nullptr, *chapter = nullptr;
    // The rows the importer writes, by the same statements.
    sqlite3_prepare_v2(db, UnifiedParagraphDao::insertStatement(), -1, &paragraph, nullptr);
    sqlite3_prepare_v2(db, UnifiedChunkDao::insertStatement(), -1, &chunk, nullptr);
    sqlite3_prepare_v2(db, ChapterSql, -1, &chapter, nullptr);
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    const char *novel = "0123456789abcdef0123456789abcdef";
    const char *now = "2026-01-01 00:00:00";
    char chapterId[64];
    char paragraphId[40];
    char chunkId[40];
    qint64 rows = 0;
    // A chapter: its row, one paragraph row and one chunk row of its text.
    const auto store = [&](const char *begin, const char *stop) {
        const void *newline = std::memchr(begin, '\n', size_t(stop - begin));
        const int title = int(newline ? static_cast<const char *>(newline) - begin : stop - begin);
        std::snprintf(chapterId, sizeof chapterId, "%s_%lld", novel, rows);
        sqlite3_bind_text(chapter, 1, chapterId, -1, SQLITE_STATIC);
        sqlite3_bind_text(chapter, 2, begin, title, SQLITE_STATIC);
        sqlite3_bind_text(chapter, 3, novel, -1, SQLITE_STATIC);
        sqlite3_bind_int64(chapter, 4, rows);
        sqlite3_bind_text(chapter, 5, "", -1, SQLITE_STATIC);
        for (int column = 6; column <= 8; ++column)
            sqlite3_bind_int(chapter, column, 0);
        sqlite3_bind_text(chapter, 9, now, -1, SQLITE_STATIC);
        sqlite3_bind_text(chapter, 10, now, -1, SQLITE_STATIC);
        sqlite3_step(chapter);
        sqlite3_reset(chapter);
        std::snprintf(paragraphId, sizeof paragraphId, "p%035lld", rows);
        std::snprintf(chunkId, sizeof chunkId, "c%035lld", rows);
        sqlite3_bind_text(paragraph, 1, paragraphId, 36, SQLITE_STATIC);
        sqlite3_bind_text(paragraph, 2, novel, -1, SQLITE_STATIC);
        sqlite3_bind_text(paragraph, 3, chapterId, -1, SQLITE_STATIC);
        sqlite3_bind_int(paragraph, 4, 0);
        for (int column = 5; column <= 30; ++column) {
            if (column == 18 || column == 23 || column == 24 || column == 25)
                sqlite3_bind_text(paragraph, column, "", 0, SQLITE_STATIC);
            else
                sqlite3_bind_int(paragraph, column, 0);
        }
        sqlite3_bind_text(paragraph, 31, now, -1, SQLITE_STATIC);
        sqlite3_bind_text(paragraph, 32, now, -1, SQLITE_STATIC);
        sqlite3_step(paragraph);
        sqlite3_reset(paragraph);
        sqlite3_bind_text(chunk, 1, chunkId, 36, SQLITE_STATIC);
        sqlite3_bind_text(chunk, 2, paragraphId, 36, SQLITE_STATIC);
        sqlite3_bind_int(chunk, 3, 0);
        sqlite3_bind_text(chunk, 4, begin, int(stop - begin), SQLITE_STATIC);
        for (int column = 5; column <= 16; ++column) {
            if (column == 11 || column == 12 || column == 13 || column == 15)
                sqlite3_bind_text(chunk, column, "", 0, SQLITE_STATIC);
            else
                sqlite3_bind_int(chunk, column, column == 10 ? 1 : 0);
        }
        sqlite3_bind_text(chunk, 17, now, -1, SQLITE_STATIC);
        sqlite3_bind_text(chunk, 18, now, -1, SQLITE_STATIC);
        sqlite3_step(chunk);
        sqlite3_reset(chunk);
        ++rows;
    };
    const char *chapterMark = "\xe7\xac\xac";  // 第, how every title line starts
    const char *end = text.data() + text.size();
    const char *chapterStart = text.data();
    for (const char *line = text.data(); line < end;) {
        const char *stop = static_cast<const char *>(std::memchr(line, '\n', size_t(end - line)));
        stop = stop ? stop + 1 : end;
        if (line > chapterStart && std::strncmp(line, chapterMark, 3) == 0) {
            store(chapterStart, line);
            chapterStart = line;
        }
        line = stop;
    }
    if (chapterStart < end)
        store(chapterStart, end);
    const bool committed = sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_finalize(paragraph);
    sqlite3_finalize(chunk);
    sqlite3_finalize(chapter);
    sqlite3_close(db);
    return committed ? rows : -1;
}

qint64 currentRssKb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

}

class BenchImport : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TestEnvironment> env;
    QString bookPath;

private slots:
    void initTestCase()
    {
        env = openBenchLibrary();
        QVERIFY(env);

        const QStringList sentences{
            QStringLiteral("他走进了那座古老的城堡，四周一片寂静，只有风声在长廊里回荡。"),
            QStringLiteral("月光透过破碎的窗户洒在石板地上，映出斑驳的影子。"),
            QStringLiteral("“你终于来了。”一个低沉的声音从黑暗中传来。"),
            QStringLiteral("她握紧了手中的长剑，心跳得越来越快，却没有后退一步。"),
            QStringLiteral("远处的山谷里传来钟声，仿佛在诉说一段被遗忘的往事。")};
        QString text;
        text.reserve(10 * 1024 * 1024 + 4096);
        int chapter = 0;
        int line = 0;
        while (text.size() < 10 * 1024 * 1024) {
            if (line % 60 == 0) {
                ++chapter;
                text += QStringLiteral("第%1章 风起\n").arg(chapter);
            }
            text += QStringLiteral("　　") + sentences.at(line % sentences.size())
                    + sentences.at((line * 7 + 3) % sentences.size()) + QLatin1Char('\n');
            ++line;
        }
        bookPath = env->root() + QStringLiteral("/大书.txt");
        QFile file(bookPath);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QTextCodec::codecForName("GB18030")->fromUnicode(text));
        std::printf("book: %lld bytes, %d characters, %d chapters\n", file.size(), text.size(), chapter);
    }

    void importLargeChineseBook()
    {
        ApplicationCore core;
        int finished = 0;
        QString outcome;
        connect(&core, &ApplicationCore::novelImportSucceeded, this,
                [&](const QString &m) { outcome = m; ++finished; }, Qt::QueuedConnection);
        connect(&core, &ApplicationCore::novelImportFailed, this,
                [&](const QString &m) { outcome = m; ++finished; }, Qt::QueuedConnection);

        const qint64 before = currentRssKb();
        resetPeakMemory();
        QElapsedTimer timer;
        double cpu = 0;
        QBENCHMARK_ONCE {
            timer.start();
            cpu = cpuMs();
            core.importNovel(bookPath);
            QVERIFY(QTest::qWaitFor([&] { return finished > 0; }, 120000));
            cpu = cpuMs() - cpu;
        }
        const qint64 elapsed = timer.elapsed();
        QCOMPARE(outcome, QStringLiteral("解析完成"));
        const qint64 peak = peakMemoryKiB();
        std::printf("import: %lld ms; resident before %lld kB, peak during import %lld kB\n",
              elapsed, before, peak);

        // The floor right after, in the same minutes.
        const QString floorPath = env->root() + QStringLiteral("/floor.db");
        timer.start();
        const double floorCpu = cpuMs();
        const qint64 rows = storeWithIconvAndSqlite(bookPath, floorPath);
        const double floorCpuMs = cpuMs() - floorCpu;
        const qint64 floorMs = timer.elapsed();
        QVERIFY(rows > 0);
        std::printf("floor (iconv + SQLite, %lld chapters): %lld ms, CPU %.0f ms; import CPU %.0f ms; "
                    "ratio %.2f wall, %.2f CPU\n",
                    rows, floorMs, floorCpuMs, cpu, double(elapsed) / qMax<qint64>(1, floorMs),
                    cpu / qMax(1.0, floorCpuMs));

        QSqlQuery query(DatabaseConnection::database());
        query.exec(QStringLiteral("SELECT COUNT(*) FROM chapter_info"));
        query.next();
        std::printf("chapters stored: %d\n", query.value(0).toInt());
    }

    void cleanupTestCase()
    {
        TestEnvironment::closeDatabase();
        env.reset();
    }
};

QTEST_MAIN(BenchImport)
#include "bench_import.moc"
