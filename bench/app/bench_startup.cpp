// The real program's start on a generated library (2,000 books by default,
// one in eight a CBR comic with its page folder; about 1.5 GB of database),
// up to the listed library, clean and with what a killed import leaves: a
// stale import lock in a listed book's folder, or the folder of a new book
// whose first import was killed, or 50 imports killed between their edition
// marker and their swap (BENCH_STARTUP_BOOKS=20000 BENCH_STARTUP_PARAGRAPHS=100
// gives 2 million paragraph rows). Before every start the database file is
// dropped from the page cache, so "disk" counts what the start read from the
// disk; "read" counts every byte it read (rchar).
//
// BENCH_STARTUP_REFERENCE: other builds of the program (comma-separated
// paths, e.g. the main build's build/app/harbour-quillora), started in turn
// with this build's so both columns come from the same minutes.
// BENCH_STARTUP_BOOKS, BENCH_STARTUP_PARAGRAPHS (a text book's paragraphs,
// default 1,000), BENCH_STARTUP_RUNS (default 3): medians are reported, of
// the wall time and of the CPU time the start took.
#include "benchlibrary.h"
#include "databaseconnection.h"
#include "keys.h"
#include "paths.h"

#include <QElapsedTimer>
#include <QFile>
#include <QLockFile>
#include <QProcess>
#include <QSqlError>
#include <QSqlQuery>
#include <QtTest>

#include <algorithm>
#include <cstdio>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// This process's I/O counters; those of waited-for children are added in.
QMap<QByteArray, qint64> ioCounters()
{
    QMap<QByteArray, qint64> counters;
    QFile file(QStringLiteral("/proc/self/io"));
    if (file.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : file.readAll().split('\n')) {
            const int colon = line.indexOf(':');
            if (colon > 0)
                counters.insert(line.left(colon), line.mid(colon + 1).trimmed().toLongLong());
        }
    }
    return counters;
}

// Written to disk and out of the page cache: the next start reads it anew.
void dropFromCache(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fdatasync(fd);
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    ::close(fd);
}

// A lock as a process killed during its import leaves it: whole, naming an
// owner that is gone.
bool leaveStaleLock(const QString &path)
{
    const pid_t child = ::fork();
    if (child == 0) {
        QLockFile lock(path);
        ::_exit(lock.tryLock(0) ? 0 : 1);
    }
    int status = 0;
    return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// CPU seconds of the waited-for children: on a busy machine steadier than
// the wall time.
double childCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double median(QVector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.isEmpty() ? 0 : values.at(values.size() / 2);
}

struct Start
{
    double seconds = 0;
    double cpuSeconds = 0;
    double readMiB = 0;
    double diskMiB = 0;
};

}

class BenchStartup : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestEnvironment> env;
    QString textBook;   // a listed book's folder, for the stale lock
    int paragraphs = 0;

    bool exec(QSqlQuery &query, const QString &sql)
    {
        if (query.exec(sql))
            return true;
        qWarning() << sql.left(200) << query.lastError().text();
        return false;
    }

    // Rows written by SQLite itself: millions of them in seconds.
    bool generate(int books, int paragraphs)
    {
        QSqlQuery query(DatabaseConnection::database());
        if (!exec(query, QStringLiteral("BEGIN")))
            return false;
        const QString stamp = QStringLiteral("'2026-01-01 00:00:00', '2026-01-01 00:00:00'");
        for (int b = 0; b < books; ++b) {
            const QString id = md5Hex(QStringLiteral("/books/%1").arg(b));
            const QString dir = Paths::bookDataDir(id);
            const bool comic = b % 8 == 0;
            const QString pages = dir + QStringLiteral("images-%1").arg(id);
            const int count = comic ? 150 : paragraphs;
            const int chapters = comic ? 1 : 20;
            if (!QDir().mkpath(comic ? pages : dir)
                || !Paths::writeFile(dir + (comic ? "book.cbr" : "book.epub"), QByteArray(4096, 'b'))
                || !exec(query, QStringLiteral("INSERT INTO novel_info (id, title, description, file_type, data_dir, "
                                               "file_size, chapters_count, create_time, update_time) VALUES "
                                               "('%1', 'Book %2', '%3', '%4', '%5', 4096, %6, %7)")
                                    .arg(id).arg(b).arg(QString(300, 'd'), comic ? "CBR" : "EPUB", dir)
                                    .arg(chapters).arg(stamp))
                || !exec(query, QStringLiteral("WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < %1) "
                                               "INSERT INTO chapter_info (id, title, novel_id, chapter_index, path, "
                                               "create_time, update_time) SELECT '%2-c' || i, 'Chapter ' || i, '%2', i, "
                                               "'%3', %4 FROM n")
                                    .arg(chapters - 1).arg(id, comic ? pages : QString()).arg(stamp))
                || !exec(query, QStringLiteral("WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < %1) "
                                               "INSERT INTO unified_paragraph (id, novel_id, chapter_id, para_index, kind, "
                                               "image_id, create_time, update_time) SELECT '%2-p' || i, '%2', "
                                               "'%2-c' || (i * %3 / %4), i, %5, %6, %7 FROM n")
                                    .arg(count - 1).arg(id).arg(chapters).arg(count).arg(comic ? 1 : 0)
                                    .arg(comic ? QStringLiteral("'%1/' || substr('000' || i, -4) || '.jpg'").arg(pages)
                                               : QStringLiteral("''"))
                                    .arg(stamp))
                || (!comic
                    && !exec(query, QStringLiteral("INSERT INTO unified_chunk (id, para_id, chunk_index, text, "
                                                   "create_time, update_time) SELECT id || '-0', id, 0, "
                                                   "substr(replace(hex(zeroblob(40)), '0', '春眠不觉晓处处闻啼鸟'), "
                                                   "(para_index % 50) + 1, 120), %2 FROM unified_paragraph "
                                                   "WHERE novel_id = '%1'")
                                        .arg(id, stamp))))
                return false;
            if (b == 1)
                textBook = dir;
        }
        return exec(query, QStringLiteral("COMMIT"));
    }

    // What the case leaves before a start; the start itself clears it.
    bool prepare(const QString &leftover)
    {
        if (leftover == QLatin1String("stale lock"))
            return leaveStaleLock(textBook + QLatin1String(".import.lock"));
        if (leftover == QLatin1String("50 staged editions")) {
            // Imports killed between their marker and their swap: half of them
            // after the commit (the rows name the staged edition), half before.
            for (int b = 1, staged = 0; staged < 50; ++b) {
                if (b % 8 == 0)
                    continue;
                const QString id = md5Hex(QStringLiteral("/books/%1").arg(b));
                const QString stage = Paths::bookDataDir(id) + QLatin1String(".import-staging/");
                const QString token = staged++ % 2 ? QStringLiteral("%1-p%2").arg(id).arg(paragraphs - 1)
                                                   : QStringLiteral("%1-never-committed").arg(id);
                if (!QDir().mkpath(stage) || !Paths::writeFile(stage + "book.epub", QByteArray(4096, 'n'))
                    || !Paths::writeFile(stage + ".import-edition", (token + "\nbook.epub\n").toUtf8()))
                    return false;
            }
            return true;
        }
        if (leftover == QLatin1String("killed first import")) {
            const QString dir = Paths::bookDataDir(md5Hex(QStringLiteral("/books/new")));
            return QDir().mkpath(dir + ".import-staging/fonts") && Paths::writeFile(dir + ".import-staging/book.epub", "x")
                   && leaveStaleLock(dir + QLatin1String(".import.lock"));
        }
        return true;
    }

private slots:
    void startup()
    {
        const int books = qEnvironmentVariableIsSet("BENCH_STARTUP_BOOKS")
            ? qEnvironmentVariableIntValue("BENCH_STARTUP_BOOKS") : 2000;
        paragraphs = qEnvironmentVariableIsSet("BENCH_STARTUP_PARAGRAPHS")
            ? qEnvironmentVariableIntValue("BENCH_STARTUP_PARAGRAPHS") : 1000;
        const int runs = qMax(1, qEnvironmentVariableIsSet("BENCH_STARTUP_RUNS")
                                     ? qEnvironmentVariableIntValue("BENCH_STARTUP_RUNS") : 3);
        env = openBenchLibrary();
        QVERIFY(env);
        QElapsedTimer made;
        made.start();
        QVERIFY(generate(books, paragraphs));
        TestEnvironment::closeDatabase();
        const QString database = DatabaseConnection::databaseFilePath();
        const double databaseMiB = QFileInfo(database).size() / 1048576.0;
        std::printf("library: %d books, database %.0f MiB, made in %.0f s\n", books, databaseMiB,
                    made.elapsed() / 1000.0);
        std::fflush(stdout);

        // The program's own window, quitting once the library is listed.
        QFile ui(QStringLiteral(QUILLORA_QML_PATH));
        QVERIFY(ui.open(QIODevice::ReadOnly));
        QByteArray qml = ui.readAll();
        qml.insert(qml.lastIndexOf('}'), "    Timer { interval: 0; running: true; onTriggered: core.quitApplication() }\n");
        QVERIFY(QDir().mkpath(env->root() + "/share/qml") && QDir().mkpath(env->root() + "/home")
                && Paths::writeFile(env->root() + "/share/qml/harbour-quillora.qml", qml));
        QStringList environment = env->childEnvironment();
        environment << "HOME=" + env->root() + "/home" << "XDG_CACHE_HOME=" + env->root() + "/cache"
                    << "QUILLORA_DATA_ROOT=" + env->root() + "/share" << "LANG=C.UTF-8";

        QStringList builds{QStringLiteral(QUILLORA_APP_PATH)};
        builds += qEnvironmentVariable("BENCH_STARTUP_REFERENCE").split(QLatin1Char(','), Qt::SkipEmptyParts);
        const QStringList cases{QStringLiteral("clean"), QStringLiteral("stale lock"),
                                QStringLiteral("killed first import"), QStringLiteral("50 staged editions")};
        // results[case][build]: cases and builds in turn, so load changes hit all alike.
        QVector<QVector<QVector<Start>>> results(cases.size(), QVector<QVector<Start>>(builds.size()));
        for (int r = 0; r < runs; ++r) {
            for (int c = 0; c < cases.size(); ++c) {
                const QString &leftover = cases.at(c);
                for (int b = 0; b < builds.size(); ++b) {
                    QVERIFY(prepare(leftover));
                    for (const char *suffix : {"", "-wal", "-shm"})
                        dropFromCache(database + suffix);
                    const QMap<QByteArray, qint64> before = ioCounters();
                    const double cpuBefore = childCpuSeconds();
                    QProcess program;
                    program.setEnvironment(environment);
                    QElapsedTimer timer;
                    timer.start();
                    program.start(builds.at(b), QStringList());
                    QVERIFY2(program.waitForFinished(600000) && program.exitCode() == 0,
                             program.readAllStandardError().right(2000).constData());
                    Start start;
                    start.seconds = timer.nsecsElapsed() / 1e9;
                    start.cpuSeconds = childCpuSeconds() - cpuBefore;
                    const QMap<QByteArray, qint64> after = ioCounters();
                    start.readMiB = (after.value("rchar") - before.value("rchar")) / 1048576.0;
                    start.diskMiB = (after.value("read_bytes") - before.value("read_bytes")) / 1048576.0;
                    results[c][b].append(start);
                    std::printf("%-20s %s: %.2f s (CPU %.2f s), read %.1f MiB, disk %.1f MiB\n",
                                qPrintable(leftover), qPrintable(builds.at(b)), start.seconds, start.cpuSeconds,
                                start.readMiB, start.diskMiB);
                    std::fflush(stdout);
                }
            }
        }
        QStringList table;
        for (int c = 0; c < cases.size(); ++c) {
            for (int b = 0; b < builds.size(); ++b) {
                QVector<double> seconds, cpu, read, disk;
                for (const Start &start : results.at(c).at(b))
                    seconds << start.seconds, cpu << start.cpuSeconds, read << start.readMiB, disk << start.diskMiB;
                table << QStringLiteral("| %1 | %2 | %3 s | %4 s | %5 MiB | %6 MiB (%7 %) |")
                             .arg(cases.at(c), b ? builds.at(b) : QStringLiteral("this build"))
                             .arg(median(seconds), 0, 'f', 2)
                             .arg(median(cpu), 0, 'f', 2)
                             .arg(median(read), 0, 'f', 1)
                             .arg(median(disk), 0, 'f', 1)
                             .arg(100 * median(disk) / databaseMiB, 0, 'f', 1);
            }
        }
        std::printf("\n| start | build | seconds (median) | CPU | read | from disk (of the database's size) |\n"
                    "|---|---|---|---|---|---|\n%s\n", qPrintable(table.join(QLatin1Char('\n'))));
        std::fflush(stdout);
    }
};

int main(int argc, char *argv[])
{
    // Generating the library and the starts take many minutes.
    if (!qEnvironmentVariableIsSet("QTEST_FUNCTION_TIMEOUT"))
        qputenv("QTEST_FUNCTION_TIMEOUT", "3600000");
    QCoreApplication app(argc, argv);
    BenchStartup bench;
    return QTest::qExec(&bench, argc, argv);
}
#include "bench_startup.moc"
