// Books whose SVG pictures would cost without bound, imported through the
// core and opened at the page that shows the drawing: time to the import's
// outcome, time to that first page, and the peak RSS of the process. Run one
// row per process for clean peaks, e.g. bench_svgbooks pages:"FB2 cover".
// BENCH_SVG_TIMEOUT_MS bounds each wait (default 120000).
//
// ordinaryBooks: what books with ordinary drawings cost the real program (an
// EPUB and an FB2 with a drawn cover and a drawing per chapter, a CBZ whose
// first page is a drawing): the CPU time of a start alone, of a start and
// the import, and of a start, the first page of a chapter that opens with a
// drawing and turns back and forth over its pages, and of a start, the
// import and that reading in one run; the wall time to the import's end and
// to that page.
//
// pictureBooks: the same steps for a CBZ of 101 JPEG pages and an EPUB of 60
// pictures (JPEG and PNG) and a JPEG cover, turning forward 100 times, and
// how many turns found their page drawn. BENCH_SVG_REFERENCE: other builds of the
// program (comma-separated paths), run in turn with this build's;
// BENCH_SVG_RUNS (default 3): medians are reported.

#include "applicationcore.h"
#include "benchlibrary.h"
#include "chapterinfo.h"
#include "epubfixture.h"
#include "imagefixtures.h"
#include "importoutcome.h"
#include "keys.h"
#include "paths.h"
#include "readingpages.h"

#include <QElapsedTimer>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <cstdio>
#include <sys/resource.h>

namespace {

QByteArray drawing(const QByteArray &body)
{
    return "<svg xmlns=\"http://www.w3.org/2000/svg\" xmlns:xlink=\"http://www.w3.org/1999/xlink\" width=\"640\" "
           "height=\"480\">" + body + "</svg>";
}

// A thousand uses of a thousand uses of a path, the uses in the given form
// ("%1": the id named), the targets defined by `define`.
QByteArray fanOut(const QString &use, const QByteArray &define = "id", const QByteArray &after = QByteArray())
{
    return drawing("<defs><path " + define + "=\"p\" d=\"M0 0 L600 400 L10 400 Z\" stroke=\"#123\"/><g " + define
                   + "=\"a\">" + use.arg("p").repeated(1000).toLatin1() + "</g><g id=\"b\">"
                   + use.arg("a").repeated(1000).toLatin1() + "</g></defs><use xlink:href=\"#b\"/>" + after);
}

QByteArray entities(int references)
{
    return "<!DOCTYPE svg [<!ENTITY e \"" + QByteArray(4000, 'x') + "\">]>"
        + drawing("<text>" + QByteArray("&e;").repeated(references) + "</text>");
}

QByteArray stops()
{
    return drawing("<linearGradient id=\"g\">" + QByteArray("<stop offset=\"0.5\" stop-color=\"#345\"/>").repeated(100000)
                   + "</linearGradient><rect width=\"640\" height=\"480\" fill=\"url(#g)\"/>");
}

// Drives the real program: "start" quits at once, "import" imports the book,
// "read" opens chapter CHAPTER at its first page and turns back and forth,
// "session" does both in one run, as a reader does after an import.
const char DriverQml[] = R"(import QtQuick 2.6
import com.quillora.applicationcore 1.0
Item {
 property double t0: 0
 property string chapter: ""
 property string token: ""
 property int turn: 0
 property var turns: [TURNS]
 property var rendered: ({})
 property int ready: 0
 function read() { t0 = Date.now(); var id = Qt.md5("PATH"); chapter = core.getChaptersByNovelId(id)[CHAPTER].id;
  token = core.openBookForReading(id, chapter, 0, -1.0, 20, 0, 360, 480, '#000000', '#ffffff', '') }
 ApplicationCore { id: core
  onNovelImportSucceeded: if ("MODE" === "session") read(); else { console.warn('DONE ' + (Date.now() - t0)); core.quitApplication() }
  onNovelImportFailed: core.quitApplication()
  onPoolPageRendered: if (chapterId === chapter) { rendered[pageIndex] = true; if (pageIndex === 0 && turn === 0) {
   console.warn('DONE ' + (Date.now() - t0)); turn = 1; turner.start() } }
 }
 Timer { id: turner; interval: 150; repeat: true; onTriggered: {
  // A turn is ready when its page was drawn before the next one.
  if (turn > 1 && rendered[turns[turn - 2]]) ready++;
  if (turn > turns.length) { console.warn('READY ' + ready); core.quitApplication(); return }
  core.poolReportPageTurn(chapter, turns[turn - 1], token); turn++ } }
 Timer { interval: 0; running: true; onTriggered: {
  t0 = Date.now();
  if ("MODE" === "start") { console.warn('DONE 0'); core.quitApplication() }
  else if ("MODE" === "import" || "MODE" === "session") core.importNovel("PATH");
  else read() } }
}
)";

QByteArray ordinaryDrawing(int n)
{
    return drawing("<rect width=\"640\" height=\"480\" fill=\"#f4ead8\"/><circle cx=\"" + QByteArray::number(100 + n * 40)
                   + "\" cy=\"240\" r=\"120\" fill=\"#2a5\" stroke=\"#345\" stroke-width=\"8\"/><path d=\"M20 460 "
                   "C200 300 400 300 620 460\" fill=\"none\" stroke=\"#a22\" stroke-width=\"6\"/><text x=\"30\" y=\"80\" "
                   "font-size=\"48\">Figure " + QByteArray::number(n) + "</text>");
}

QByteArray chapterText()
{
    return QByteArray("<p>The river ran on under the bridge, and the lamps came on one by one along the quay.</p>")
        .repeated(30);
}

// CPU seconds of the waited-for children, with their own waited children.
double childCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Run {
    double cpuMs = -1;
    qint64 wallMs = -1;
    // Turns whose page was drawn before the next turn.
    int ready = -1;
};

const QByteArray BackAndForth = "1, 2, 3, 2, 1, 0, 1, 2, 3, 2, 1, 0";

Run runProgram(const QString &program, const QString &root, const QString &book, const QString &mode, int chapter,
               const QByteArray &turns = BackAndForth)
{
    QDir().mkpath(root + "/share/qml");
    QByteArray qml(DriverQml);
    qml.replace("MODE", mode.toUtf8()).replace("PATH", book.toUtf8()).replace("CHAPTER", QByteArray::number(chapter))
        .replace("TURNS", turns);
    if (!Paths::writeFile(root + "/share/qml/harbour-quillora.qml", qml))
        return Run();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *dir : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"})
        env.insert(dir, root + "/" + QString::fromLatin1(dir).toLower());
    env.insert("QUILLORA_DATA_ROOT", root + "/share");
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("QT_QUICK_BACKEND", "software");
    QProcess process;
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::SeparateChannels);
    const double cpu = childCpuSeconds();
    process.start(program, QStringList());
    process.waitForFinished(120000);
    const QByteArray log = process.readAllStandardError();
    const int done = log.indexOf("DONE ");
    Run run;
    run.cpuMs = (childCpuSeconds() - cpu) * 1000;
    if (done >= 0)
        run.wallMs = log.mid(done + 5, log.indexOf('\n', done) - done - 5).trimmed().toLongLong();
    const int ready = log.indexOf("READY ");
    if (ready >= 0)
        run.ready = log.mid(ready + 6, log.indexOf('\n', ready) - ready - 6).trimmed().toInt();
    return run;
}

double median(QVector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.isEmpty() ? -1 : values.at(values.size() / 2);
}

struct Book {
    QString name;
    QString path;
    int chapter;
};

// Each step of each book, by this build and the reference builds in turn.
void compareBuilds(const QTemporaryDir &work, const QVector<Book> &books, const QByteArray &turns)
{
    QStringList programs{QStringLiteral(QUILLORA_APP_PATH)};
    programs += qEnvironmentVariable("BENCH_SVG_REFERENCE").split(',', Qt::SkipEmptyParts);
    const int runs = qEnvironmentVariableIsSet("BENCH_SVG_RUNS") ? qEnvironmentVariableIntValue("BENCH_SVG_RUNS") : 3;
    const int turnCount = turns.count(',') + 1;
    printf("| book | step | program | wall ms | CPU ms | CPU / this build's | turns ready |\n|---|---|---|---|---|---|---|\n");
    for (const Book &book : books) {
        for (const QString step : {"start", "import", "read", "session"}) {
            QVector<QVector<double>> cpu(programs.size()), wall(programs.size()), ready(programs.size());
            for (int run = 0; run < runs; ++run) {
                for (int p = 0; p < programs.size(); ++p) {
                    // The read step reads what the import step of the same run stored;
                    // a session starts from an empty library.
                    const QString root = QString("%1/%2%3-%4-%5").arg(work.path(), book.name,
                        step == QLatin1String("session") ? QStringLiteral("-session") : QString()).arg(p).arg(run);
                    const Run result = runProgram(programs.at(p), root, book.path, step, book.chapter, turns);
                    cpu[p] << result.cpuMs;
                    wall[p] << result.wallMs;
                    ready[p] << result.ready;
                }
            }
            for (int p = 0; p < programs.size(); ++p) {
                const bool turned = step == QLatin1String("read") || step == QLatin1String("session");
                printf("| %s | %s | %s | %.0f | %.0f | %.2f | %s |\n", qPrintable(book.name), qPrintable(step),
                       p == 0 ? "this build" : qPrintable(programs.at(p)), median(wall[p]), median(cpu[p]),
                       median(cpu[p]) / median(cpu[0]),
                       turned ? qPrintable(QString("%1 of %2").arg(median(ready[p])).arg(turnCount)) : "-");
            }
            fflush(stdout);
        }
    }
}

}

class BenchSvgBooks : public QObject
{
    Q_OBJECT

private slots:
    void pages_data()
    {
        QTest::addColumn<QString>("suffix");
        QTest::addColumn<QByteArray>("svg");
        QTest::newRow("EPUB cover of 100,000 gradient stops") << "epub" << stops();
        QTest::newRow("FB2 cover of 100,000 gradient stops") << "fb2" << stops();
        QTest::newRow("EPUB picture of a million elements") << "epub" << drawing(QByteArray("<g/>").repeated(1000000));
        QByteArray shapes;
        for (int i = 0; i < 49000; ++i)
            shapes += "<rect x=\"" + QByteArray::number(i % 631) + "\" y=\"" + QByteArray::number(i % 473)
                + "\" width=\"9\" height=\"7\" fill=\"#" + QByteArray::number(0x100000 + i * 97 % 0xeffff, 16) + "\"/>";
        QTest::newRow("EPUB picture of 49,000 shapes, within the bounds") << "epub" << drawing(shapes);
        const QString use = "<use xlink:href=\"#%1\"/>";
        QTest::newRow("EPUB picture of uses, an id defined again") << "epub" << fanOut(use, "id", "<g id=\"a\"/>");
        QTest::newRow("EPUB picture of uses, targets by xml:id") << "epub" << fanOut(use, "xml:id");
        QTest::newRow("EPUB picture of uses, xlink:href then href")
            << "epub" << fanOut("<use xlink:href=\"#%1\" href=\"#n\"/>");
        QTest::newRow("EPUB picture of 100,000 entity references") << "epub" << entities(100000);
        QTest::newRow("EPUB picture of 1,000,000 entity references") << "epub" << entities(1000000);
        QTest::newRow("EPUB picture of 16 copies of an 8000 x 8000 picture")
            << "epub" << drawing(QByteArray("<image width=\"640\" height=\"480\" xlink:href=\"big.png\"/>").repeated(16));
    }

    void ordinaryBooks()
    {
        QTemporaryDir work;
        QVector<Book> books;
        EpubFixture epub;
        epub.metadata += "<meta name=\"cover\" content=\"cover\"/>";
        epub.addItem("cover", "images/cover.svg", "image/svg+xml", ordinaryDrawing(0));
        QByteArray fb2Body, fb2Binaries;
        for (int i = 1; i <= 8; ++i) {
            const QString name = QString("images/d%1.svg").arg(i);
            epub.addItem(QString("d%1").arg(i), name, "image/svg+xml", ordinaryDrawing(i));
            epub.addDocument(QString("c%1").arg(i), QString("c%1.xhtml").arg(i), QString("Chapter %1").arg(i),
                             "<p><img src=\"" + name + "\" alt=\"A\"/></p>" + chapterText()
                                 + "<p><img src=\"" + name + "\" alt=\"A\"/></p>" + chapterText());
            const QByteArray id = "d" + QByteArray::number(i);
            fb2Body += "<section><title><p>Chapter " + QByteArray::number(i) + "</p></title><image l:href=\"#" + id
                + "\"/>" + chapterText() + "<image l:href=\"#" + id + "\"/>" + chapterText() + "</section>";
            fb2Binaries += "<binary id=\"" + id + "\" content-type=\"image/svg+xml\">" + ordinaryDrawing(i).toBase64()
                + "</binary>";
        }
        books.append({"EPUB", work.filePath("book.epub"), 1});
        QVERIFY(epub.write(books.last().path));
        books.append({"FB2", work.filePath("book.fb2"), 1});
        QVERIFY(Paths::writeFile(books.last().path, "<?xml version=\"1.0\"?><FictionBook xmlns:l=\"http://www.w3.org/"
            "1999/xlink\"><description><title-info><book-title>B</book-title><coverpage><image l:href=\"#d1\"/>"
            "</coverpage></title-info></description><body>" + fb2Body + "</body>" + fb2Binaries + "</FictionBook>"));
        QImage picture(800, 1200, QImage::Format_RGB32);
        picture.fill(0xffe0d0c0);
        QVector<QPair<QString, QByteArray>> pages{{"p000.svg", ordinaryDrawing(0)}};
        for (int i = 1; i <= 20; ++i)
            pages.append({QString("p%1.png").arg(i, 3, 10, QLatin1Char('0')), encodedImage(picture, "PNG")});
        books.append({"CBZ", work.filePath("book.cbz"), 0});
        QVERIFY(writeZipFile(books.last().path, pages));

        compareBuilds(work, books, BackAndForth);
    }

    // Comics and EPUBs with pictures: every picture now decoded by the
    // helper, against builds that decoded them in the program.
    void pictureBooks()
    {
        QTemporaryDir work;
        QVector<Book> books;
        // Scanned-looking pages: a gradient with grain, as JPEG.
        const auto page = [](int n, const QSize &size) {
            QImage image(size, QImage::Format_RGB32);
            quint32 seed = 2654435761u * quint32(n + 1);
            for (int y = 0; y < size.height(); ++y) {
                QRgb *line = reinterpret_cast<QRgb *>(image.scanLine(y));
                for (int x = 0; x < size.width(); ++x) {
                    seed = seed * 1664525u + 1013904223u;
                    const int grain = int(seed >> 28);
                    line[x] = qRgb((x * 255 / size.width() + grain) & 0xff, (y * 255 / size.height() + n) & 0xff,
                                   (128 + grain * 4) & 0xff);
                }
            }
            return encodedImage(image, "JPEG", 85);
        };
        QVector<QPair<QString, QByteArray>> pages;
        for (int i = 0; i <= 100; ++i)
            pages.append({QString("p%1.jpg").arg(i, 3, 10, QLatin1Char('0')), page(i, QSize(1200, 1800))});
        books.append({"CBZ of 101 JPEG pages", work.filePath("pages.cbz"), 0});
        QVERIFY(writeZipFile(books.last().path, pages));
        EpubFixture epub;
        epub.metadata += "<meta name=\"cover\" content=\"cover\"/>";
        epub.addItem("cover", "images/cover.jpg", "image/jpeg", page(0, QSize(1000, 1500)));
        QByteArray body;
        for (int i = 1; i <= 60; ++i) {
            const QString name = QString("images/f%1.%2").arg(i).arg(i % 3 ? "jpg" : "png");
            const QImage figure = QImage::fromData(page(i, QSize(800, 600)));
            epub.addItem(QString("f%1").arg(i), name, i % 3 ? "image/jpeg" : "image/png",
                         encodedImage(figure, i % 3 ? "JPEG" : "PNG", 85));
            body += "<p><img src=\"" + name.toUtf8() + "\" alt=\"F\"/></p>" + chapterText().left(400);
        }
        epub.addDocument("c1", "c1.xhtml", "Figures", body);
        books.append({"EPUB of 60 pictures", work.filePath("figures.epub"), 0});
        QVERIFY(epub.write(books.last().path));
        QByteArray forward = "1";
        for (int i = 2; i <= 100; ++i)
            forward += ", " + QByteArray::number(i);
        compareBuilds(work, books, forward);
    }

    void pages()
    {
        QFETCH(QString, suffix);
        QFETCH(QByteArray, svg);
        const int timeout = qEnvironmentVariableIsSet("BENCH_SVG_TIMEOUT_MS")
            ? qEnvironmentVariableIntValue("BENCH_SVG_TIMEOUT_MS") : 120000;
        const std::unique_ptr<TestEnvironment> env = openBenchLibrary();
        QVERIFY(env);
        const QString path = env->root() + "/book." + suffix;
        if (suffix == "epub") {
            EpubFixture epub;
            epub.metadata += "<meta name=\"cover\" content=\"cover\"/>";
            epub.addItem("cover", "images/cover.svg", "image/svg+xml", svg);
            if (svg.contains("big.png"))
                epub.addItem("big", "images/big.png", "image/png", pngBomb(8000, 8000));
            epub.addDocument("c1", "c1.xhtml", "Picture", "<p>Before.</p><p><img src=\"images/cover.svg\" alt=\"A\"/></p>");
            QVERIFY(epub.write(path));
        } else {
            QVERIFY(Paths::writeFile(path, "<?xml version=\"1.0\"?><FictionBook xmlns:l=\"http://www.w3.org/1999/xlink\">"
                "<description><title-info><book-title>B</book-title><coverpage><image l:href=\"#c\"/></coverpage>"
                "</title-info></description><body><section><title><p>Picture</p></title><p>Before.</p>"
                "<image l:href=\"#c\"/></section></body><binary id=\"c\" content-type=\"image/svg+xml\">"
                + svg.toBase64() + "</binary></FictionBook>"));
        }
        ApplicationCore core;
        resetPeakMemory();
        QElapsedTimer timer;
        timer.start();
        const QString outcome = importOutcomeNoPolling(core, path, timeout);
        const qint64 importMs = timer.elapsed();
        const qint64 importPeak = peakMemoryKiB() / 1024;
        printf("%s: %.1f KB file, import %lld ms (%s), peak RSS %lld MiB\n", QTest::currentDataTag(),
               QFileInfo(path).size() / 1000.0, importMs, qPrintable(outcome.left(60)), importPeak);
        fflush(stdout);
        if (outcome != QLatin1String("ok"))
            return;
        QString chapter;
        for (QObject *object : core.getChaptersByNovelId(md5Hex(path))) {
            if (qobject_cast<ChapterInfo *>(object)->title() == QLatin1String("Picture"))
                chapter = qobject_cast<ChapterInfo *>(object)->id();
            delete object;
        }
        timer.restart();
        const QImage page = readingPage(core, md5Hex(path), chapter, 0);
        printf("%s: first page %lld ms (%s), peak RSS %lld MiB\n", QTest::currentDataTag(), timer.elapsed(),
               page.isNull() ? "not shown" : "shown", peakMemoryKiB() / 1024);
        fflush(stdout);
    }
};

QTEST_MAIN(BenchSvgBooks)
#include "bench_svgbooks.moc"
