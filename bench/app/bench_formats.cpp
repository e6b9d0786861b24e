// Reading every format on a large phone screen (1080 x 2340): from
// openBookForReading to the first page image beside a floor measured in the
// same run (poppler drawing page 1 to fit; the first comic image decoded and
// scaled; fetching, laying out and drawing page 1 of a reflowable book), then
// 100 page turns (paged) and 100 scroll steps (continuous) at one per 100 ms,
// each in a fresh process: the turns whose page was not ready, the peak
// memory, and the CPU time and page faults the process spent.
// uiThreadOpen: what opening and closing a book cost the UI thread, over
// BENCH_FORMATS_OPENS opens (default 15) in each fresh process.
//
// BENCH_FORMATS (comma-separated, default all): pdf, cbz, cb7, fb2, azw3, epub, txt.
// BENCH_FORMATS_REFERENCE: other builds of this benchmark (comma-separated
// paths), read the same books in runs alternating with this build's, so both
// columns come from the same minutes. BENCH_FORMATS_RUNS: runs of each build
// per format and mode (default 1, 3 with a reference); medians are reported.
#include "applicationcore.h"
#include "benchlibrary.h"
#include "chapterinfo.h"
#include "chinesebook.h"
#include "databaseconnection.h"
#include "epubfixture.h"
#include "imagefixtures.h"
#include "keys.h"
#include "layoutengine.h"
#include "logmanager.h"
#include "pageimageloader.h"
#include "pagerenderer.h"
#include "paragraphutils.h"
#include "pdfpageloader.h"
#include "renderpool.h"
#include "testenvironment.h"
#include "textpagefloor.h"
#include "unifiedchunkdao.h"
#include "unifiedparagraphdao.h"
#include "zipimageloader.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QPainter>
#include <QProcess>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

#include <algorithm>
#include <cstdio>
#include <memory>

#include <sys/resource.h>

namespace {

constexpr int Width = 1080;
constexpr int Height = 2340;
constexpr int Turns = 100;

double median(QVector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.isEmpty() ? 0.0 : values.at(values.size() / 2);
}

double memoryMiB(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(int(qstrlen(field))).trimmed().split(' ').first().toDouble() / 1024.0;
    }
    return -1;
}

bool run(const QString &program, const QStringList &arguments, const QString &dir = QString())
{
    QProcess process;
    if (!dir.isEmpty())
        process.setWorkingDirectory(dir);
    process.start(program, arguments);
    if (!process.waitForFinished(600000) || process.exitCode() != 0) {
        std::printf("%s failed: %s\n", qPrintable(program), process.readAllStandardError().constData());
        return false;
    }
    return true;
}

// Varied English prose of about `chars` characters, as paragraphs of XML text.
QStringList prose(int seed, int chars)
{
    static const char *words[] = {"harbour", "lamp",  "keeper", "storm", "rocks",  "night", "light",
                                  "the",     "of",    "and",    "a",     "winter", "ship",  "rope",
                                  "tide",    "waves", "quiet",  "north", "gull",   "salt",  "coast"};
    QStringList paragraphs;
    quint32 state = quint32(seed) * 2654435761u + 1;
    QString paragraph;
    int total = 0;
    while (total < chars) {
        state = state * 1664525u + 1013904223u;
        paragraph += QLatin1String(words[(state >> 8) % 21]);
        paragraph += (state >> 20) % 11 == 0 ? QStringLiteral(". ") : QStringLiteral(" ");
        if (paragraph.size() > 400 + int((state >> 12) % 400)) {
            total += paragraph.size();
            paragraphs << paragraph.trimmed();
            paragraph.clear();
        }
    }
    return paragraphs;
}

// A picture with enough detail that JPEG does not shrink it to nothing.
QImage picture(int width, int height, int seed)
{
    QImage image(width, height, QImage::Format_RGB32);
    QPainter painter(&image);
    QLinearGradient gradient(0, 0, width, height);
    gradient.setColorAt(0, QColor::fromHsv(seed * 37 % 360, 120, 230));
    gradient.setColorAt(1, QColor::fromHsv(seed * 53 % 360, 200, 90));
    painter.fillRect(image.rect(), gradient);
    painter.setPen(Qt::black);
    QFont font;
    font.setPixelSize(qMax(8, height / 40));
    painter.setFont(font);
    for (int row = 0; row < 30; ++row)
        painter.drawText(20, (row + 1) * height / 31,
                         QStringLiteral("Panel %1 line %2: the keeper climbs the stair").arg(seed).arg(row));
    for (int i = 0; i < 40; ++i)
        painter.drawEllipse(QPoint((i * 97 + seed * 13) % width, (i * 61 + seed * 29) % height),
                            width / 20, height / 30);
    painter.end();
    return image;
}

QString writePdf(const QString &dir)
{
    const QString ps = dir + QStringLiteral("/book.ps");
    QFile file(ps);
    if (!file.open(QIODevice::WriteOnly))
        return QString();
    QByteArray text = "%!PS\n<< /PageSize [595 842] >> setpagedevice\n"
                      "/Times-Roman findfont 11 scalefont setfont\n";
    const QStringList lines = prose(7, 90 * 60);
    text += "1 1 361 { /p exch def\n"
            "  /Helvetica-Bold findfont 20 scalefont setfont 60 780 moveto (Chapter ) show p 4 string cvs show\n"
            "  /Times-Roman findfont 11 scalefont setfont\n"
            "  0 1 55 { /i exch def 60 750 i 12 mul sub moveto lines i p add lines length mod get show } for\n"
            "  0.2 0.4 0.7 setrgbcolor 60 60 moveto 420 40 lineto 520 90 lineto fill 0 setgray\n"
            "  showpage } for\n";
    QByteArray array = "/lines [\n";
    for (const QString &paragraph : lines)
        array += "(" + paragraph.left(90).toLatin1() + ")\n";
    array += "] def\n";
    file.write(text.left(text.indexOf("1 1 361")) + array + text.mid(text.indexOf("1 1 361")));
    file.close();
    const QString pdf = dir + QStringLiteral("/book.pdf");
    return run(QStringLiteral("gs"), {"-q", "-dNOPAUSE", "-dBATCH", "-dSAFER", "-sDEVICE=pdfwrite",
                                      "-o", pdf, ps})
        ? pdf
        : QString();
}

// 300 pages of 1400 x 2000, as a ZIP or a 7z archive.
QString writeComic(const QString &dir, const QString &format)
{
    QVector<FixtureEntry> entries;
    for (int i = 1; i <= 300; ++i) {
        FixtureEntry entry;
        entry.name = QStringLiteral("page%1.jpg").arg(i, 3, 10, QLatin1Char('0')).toUtf8();
        entry.data = encodedImage(picture(1400, 2000, i), "JPEG", 80);
        entries << entry;
    }
    const QString path = dir + QStringLiteral("/book.") + format;
    const bool written = format == QLatin1String("cbz") ? writeZip(path, entries, 0)
                                                         : writeArchive(path, QStringLiteral("7z"), entries);
    return written ? path : QString();
}

// One child's report: fields of its RESULT line.
struct ReadingRun
{
    int waits = 0;
    int turns = 0;
    double peakMiB = 0;
    double cpuMsPerTurn = 0;
    double faultsPerTurn = 0;
};

bool parseRun(const QByteArray &line, ReadingRun *run)
{
    QHash<QByteArray, double> fields;
    for (const QByteArray &part : line.split(' ')) {
        const int eq = part.indexOf('=');
        if (eq > 0)
            fields.insert(part.left(eq), part.mid(eq + 1).toDouble());
    }
    if (!fields.contains("waits") || !fields.contains("cpu"))
        return false;
    run->waits = int(fields.value("waits"));
    run->turns = int(fields.value("turns"));
    run->peakMiB = fields.value("peak");
    run->cpuMsPerTurn = fields.value("cpu");
    run->faultsPerTurn = fields.value("faults");
    return true;
}

QByteArray xmlText(const QString &text)
{
    return text.toHtmlEscaped().toUtf8();
}

// About 5 MB: 200 sections of prose, a picture every tenth, notes linked from the text.
QString writeFb2(const QString &dir)
{
    QByteArray xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
                     "<FictionBook xmlns=\"http://www.gribuser.ru/xml/fictionbook/2.0\" "
                     "xmlns:l=\"http://www.w3.org/1999/xlink\"><description><title-info>"
                     "<genre>prose</genre><author><first-name>Mara</first-name><last-name>Quill</last-name>"
                     "</author><book-title>The Long Coast</book-title><lang>en</lang></title-info>"
                     "</description><body>";
    QByteArray binaries;
    for (int s = 0; s < 200; ++s) {
        xml += "<section><title><p>Chapter " + QByteArray::number(s + 1) + "</p></title>";
        const QStringList paragraphs = prose(s, 9000);
        for (int p = 0; p < paragraphs.size(); ++p) {
            xml += "<p>" + xmlText(paragraphs.at(p));
            if (p % 9 == 4)
                xml += "<a l:href=\"#n" + QByteArray::number(s) + "\" type=\"note\">[" + QByteArray::number(s)
                    + "]</a>";
            xml += "</p>";
            if (s % 10 == 0 && p == 3) {
                xml += "<image l:href=\"#img" + QByteArray::number(s) + "\"/>";
                binaries += "<binary id=\"img" + QByteArray::number(s) + "\" content-type=\"image/jpeg\">"
                    + encodedImage(picture(900, 1300, s), "JPEG", 75).toBase64() + "</binary>";
            }
        }
        xml += "</section>";
    }
    xml += "</body><body name=\"notes\">";
    for (int s = 0; s < 200; ++s)
        xml += "<section id=\"n" + QByteArray::number(s) + "\"><title><p>" + QByteArray::number(s)
            + "</p></title><p>A note on the keeper's log, entry " + QByteArray::number(s) + ".</p></section>";
    xml += "</body>" + binaries + "</FictionBook>\n";
    const QString path = dir + QStringLiteral("/book.fb2");
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(xml) == xml.size() ? path : QString();
}

// 60 chapters of prose with a picture every sixth: the EPUB, and the AZW3
// calibre makes of it.
QString writeEpub(const QString &dir)
{
    EpubFixture book;
    book.metadata = QStringLiteral("<dc:title>The Long Coast</dc:title><dc:language>en</dc:language>");
    for (int c = 0; c < 60; ++c) {
        QString body = QStringLiteral("<h1>Chapter %1</h1>").arg(c + 1);
        const QStringList paragraphs = prose(c + 1000, 30000);
        for (int p = 0; p < paragraphs.size(); ++p) {
            body += QStringLiteral("<p>") + paragraphs.at(p).toHtmlEscaped() + QStringLiteral("</p>");
            if (c % 6 == 0 && p == 2) {
                const QString image = QStringLiteral("images/p%1.jpg").arg(c);
                book.addItem(QStringLiteral("img%1").arg(c), image, QStringLiteral("image/jpeg"),
                             encodedImage(picture(800, 1100, c), "JPEG", 70));
                body += QStringLiteral("<p><img src=\"%1\" alt=\"\"/></p>").arg(image);
            }
        }
        book.addDocument(QStringLiteral("c%1").arg(c), QStringLiteral("c%1.xhtml").arg(c),
                         QStringLiteral("Chapter %1").arg(c + 1), body);
    }
    QString points;
    for (int c = 0; c < 60; ++c)
        points += EpubFixture::navPoint(QStringLiteral("Chapter %1").arg(c + 1), QStringLiteral("c%1.xhtml").arg(c));
    book.addNcx(QStringLiteral("toc.ncx"), EpubFixture::ncx(points));
    const QString path = dir + QStringLiteral("/book.epub");
    return book.write(path) ? path : QString();
}

QString writeAzw3(const QString &dir, const QString &epub)
{
    const QString path = dir + QStringLiteral("/book.azw3");
    return run(QStringLiteral("ebook-convert"), {epub, path}) ? path : QString();
}

} // namespace

class BenchFormats : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestEnvironment> env;
    std::unique_ptr<ApplicationCore> core;
    QHash<QString, QString> books;  // format -> path
    QString bookId;
    QStringList chapters;
    QStringList summary;  // table rows, one per format, mode and build
    QStringList uiSummary;  // uiThreadOpen's rows, one per format and build

    static bool child() { return qEnvironmentVariableIsSet("BENCH_FORMATS_BOOK"); }

    static QStringList wanted()
    {
        const QString list = qEnvironmentVariable("BENCH_FORMATS", QStringLiteral("pdf,cbz,cb7,fb2,azw3,epub,txt"));
        return list.split(QLatin1Char(','), Qt::SkipEmptyParts);
    }

    static QString openChapterOf(const QString &format, const QStringList &chapters)
    {
        // Reflowable books open past their cover, where text starts.
        return format == QLatin1String("pdf") || format == QLatin1String("cbz")
                || format == QLatin1String("cb7")
            ? chapters.first()
            : chapters.value(1);
    }

    void loadChapters(const QString &id)
    {
        bookId = id;
        chapters.clear();
        for (QObject *chapter : core->getChaptersByNovelId(bookId)) {
            chapters << qobject_cast<ChapterInfo *>(chapter)->id();
            delete chapter;
        }
    }

    QString open(const QString &chapter)
    {
        return core->openBookForReading(bookId, chapter, 0, -1.0f, 20, 0, Width, Height,
                                        QStringLiteral("#202020"), QStringLiteral("#fdf8ee"),
                                        QStringLiteral("#fdf8ee"));
    }

    // To the first page image; also the openBookForReading call itself and
    // the UI thread's CPU time until the image.
    double openMs(const QString &chapter, double *callMs = nullptr, double *uiMs = nullptr)
    {
        QEventLoop loop;
        QString key;
        const auto rendered = connect(core.get(), &ApplicationCore::poolPageRendered, &loop,
                                      [&](const QString &c, int p) {
                                          if (!key.isEmpty() && RenderPool::makeKey(c, p) == key)
                                              loop.quit();
                                      });
        const auto located = connect(core.get(), &ApplicationCore::poolStartPageLocated, &loop,
                                     [&](const QString &c, int p) {
                                         key = RenderPool::makeKey(c, p);
                                         if (core->isPageReady(c, p))
                                             loop.quit();
                                     });
        const double cpu = threadCpuMs();
        QElapsedTimer timer;
        timer.start();
        const bool opened = !open(chapter).isEmpty();
        if (callMs)
            *callMs = timer.nsecsElapsed() / 1e6;
        QTimer::singleShot(20000, &loop, &QEventLoop::quit);
        if (opened && !(key.size() && core->isPageReady(key.section(':', 0, 0), key.section(':', 1).toInt())))
            loop.exec();
        const double ms = timer.nsecsElapsed() / 1e6;
        if (uiMs)
            *uiMs = threadCpuMs() - cpu;
        disconnect(rendered);
        disconnect(located);
        if (!opened || core->imageForId(key).isNull())
            qWarning("open: no page image");
        return ms;
    }

    // Poppler drawing page 1 to fit the text area.
    static double pdfFloorMs(const QString &path)
    {
        QElapsedTimer timer;
        timer.start();
        const QSize natural = PdfPageLoader::pageSize(path, 0, 72);
        const QSize fit = natural.scaled(QSize(Width - 40, Height - 20), Qt::KeepAspectRatio);
        PdfPageLoader loader;
        const QImage image = loader.renderPage(QStringLiteral("pdf://%1?page=0&dpi=72").arg(path), fit,
                                               QRect(QPoint(0, 0), fit), 1.0f);
        const double ms = timer.nsecsElapsed() / 1e6;
        if (image.isNull())
            qWarning("floor: no PDF raster");
        return ms;
    }

    // The first comic image read, decoded and scaled to fit the text area.
    static double comicFloorMs(const QString &path)
    {
        QElapsedTimer timer;
        timer.start();
        const QByteArray bytes = ZipImageLoader::readEntry(path, QStringLiteral("page001.jpg"), false);
        const QImage image = PageImageLoader::decodeScaled(bytes).scaled(
            QSize(Width - 40, Height - 20), Qt::KeepAspectRatio, Qt::SmoothTransformation);
        const double ms = timer.nsecsElapsed() / 1e6;
        ZipImageLoader::releaseZip(path);
        if (image.isNull())
            qWarning("floor: no comic image");
        return ms;
    }

    // One turn per interval: the next page (paged) or the next screen of the
    // strip (continuous); counts the turns whose page was not ready.
    int turnPages(const QString &token, const QString &start, bool continuous)
    {
        int waits = 0;
        QString chapter = start;
        int page = core->poolStartPageIndex();
        for (int turn = 1; turn <= Turns; ++turn) {
            QTest::qWait(100);
            if (continuous) {
                // As the reading page steps the strip: relative to the page shown.
                const QString key = core->getScrollPageKey(page + 1);
                if (key.isEmpty()) {
                    ++waits;
                    continue;
                }
                const int colon = key.lastIndexOf(QLatin1Char(':'));
                chapter = key.left(colon);
                page = key.mid(colon + 1).toInt();
            } else if (++page >= core->getChapterPageCount(chapter)) {
                const int next = chapters.indexOf(chapter) + 1;
                if (next >= chapters.size())
                    break;
                chapter = chapters.at(next);
                page = 0;
            }
            waits += core->isPageReady(chapter, page) ? 0 : 1;
            core->poolReportPageTurn(chapter, page, token);
        }
        return waits;
    }

    // A child opens the parent's library as a freshly started program would.
    bool startChild()
    {
        qInstallMessageHandler(&LogManager::messageHandler);
        LogManager::setLevel(LogManager::Warning);
        QCoreApplication::setOrganizationName(QStringLiteral("com.tivex"));
        QCoreApplication::setApplicationName(QStringLiteral("harbour-Quillora"));
        if (!DatabaseConnection::openAndMigrate())
            return false;
        core.reset(new ApplicationCore);
        loadChapters(qEnvironmentVariable("BENCH_FORMATS_BOOK"));
        return !chapters.isEmpty();
    }

    // This build and the references, each in a fresh process running one row
    // of one benchmark function over the book of format; their stdout, by build.
    bool runChildren(const QString &function, const QString &format, const QStringList &environment,
                     QVector<QByteArray> *outputs)
    {
        QStringList builds{QCoreApplication::applicationFilePath()};
        builds += references();
        outputs->clear();
        for (const QString &build : qAsConst(builds)) {
            QProcess child;
            child.setEnvironment(env->childEnvironment() + environment
                                 + QStringList{QStringLiteral("BENCH_FORMATS_BOOK=") + md5Hex(books.value(format)),
                                               QStringLiteral("BENCH_FORMATS_FORMAT=") + format});
            child.start(build, {function + QLatin1Char(':') + QTest::currentDataTag()});
            if (!child.waitForFinished(300000) || child.exitCode() != 0) {
                std::printf("%s failed: %s\n", qPrintable(build), child.readAllStandardError().constData());
                return false;
            }
            outputs->append(child.readAllStandardOutput());
        }
        return true;
    }

    static QStringList references()
    {
        return qEnvironmentVariable("BENCH_FORMATS_REFERENCE").split(QLatin1Char(','), Qt::SkipEmptyParts);
    }

    // Runs of each build: three with a reference unless told.
    static int runsOfEachBuild()
    {
        return qMax(1, qEnvironmentVariableIntValue("BENCH_FORMATS_RUNS"))
            * (!references().isEmpty() && !qEnvironmentVariableIsSet("BENCH_FORMATS_RUNS") ? 3 : 1);
    }

    static QString buildName(int build)
    {
        return build ? QFileInfo(references().at(build - 1)).absoluteFilePath() : QStringLiteral("this build");
    }

    // The child: reads the imported book as a freshly started program would.
    void readInChild()
    {
        const QString format = qEnvironmentVariable("BENCH_FORMATS_FORMAT");
        const bool continuous = qEnvironmentVariableIntValue("BENCH_FORMATS_CONTINUOUS") == 1;
        QVERIFY(startChild());
        core->setAppConfigValue(QStringLiteral("READ_SETTING"), QStringLiteral("READ_MODE"),
                                continuous ? 1 : 0);
        QTest::qWait(200);
        const double idle = memoryMiB("VmRSS:");
        resetPeakMemory();
        const QString chapter = openChapterOf(format, chapters);
        QSignalSpy located(core.get(), &ApplicationCore::poolStartPageLocated);
        const QString token = open(chapter);
        QVERIFY(!token.isEmpty());
        QVERIFY(located.wait(20000));
        const QString startChapter = located.first().at(0).toString();
        // The first turn comes 100 ms after the first page shows.
        QVERIFY(QTest::qWaitFor([&] { return core->isPageReady(startChapter, located.first().at(1).toInt()); },
                                20000));
        rusage before{};
        getrusage(RUSAGE_SELF, &before);
        const int waits = turnPages(token, startChapter, continuous);
        QTest::qWait(300);
        rusage after{};
        getrusage(RUSAGE_SELF, &after);
        const auto cpuMs = [](const rusage &u) {
            return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3
                + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
        };
        std::printf("RESULT %s %s waits=%d turns=%d idle=%.0f peak=%.0f cpu=%.1f faults=%ld\n",
                    qPrintable(format), continuous ? "continuous" : "paged", waits, Turns, idle,
                    memoryMiB("VmHWM:"), (cpuMs(after) - cpuMs(before)) / Turns,
                    (after.ru_minflt - before.ru_minflt) / Turns);
        std::fflush(stdout);
    }

    // Turns the event loop for ms milliseconds, allocating as a UI thread does;
    // the longest turn (the worker holding the allocator's lock shows here).
    static double longestTurnMs(int ms)
    {
        QElapsedTimer clock;
        clock.start();
        qint64 last = 0;
        qint64 longest = 0;
        while (clock.elapsed() < ms) {
            QCoreApplication::processEvents();
            const QByteArray scratch(4096 + int(last % 8192), 'x');
            const qint64 now = clock.nsecsElapsed();
            longest = qMax(longest, now - last);
            last = now;
        }
        return longest / 1e6;
    }

    // The child of uiThreadOpen: opens the book, once it is read opens it
    // again (as a chapter jump does), then closes it; each time the pages
    // ahead are drawn first.
    void openInChild()
    {
        QVERIFY(startChild());
        const QString chapter = openChapterOf(qEnvironmentVariable("BENCH_FORMATS_FORMAT"), chapters);
        const int opens = qMax(1, qEnvironmentVariableIntValue("BENCH_FORMATS_OPENS"));
        QTest::qWait(200);
        resetPeakMemory();
        QStringList calls, uis, firsts, reopens, closes, turns;
        const auto text = [](double ms) { return QString::number(ms, 'f', 2); };
        for (int i = 0; i < opens; ++i) {
            double call = 0, ui = 0;
            firsts << text(openMs(chapter, &call, &ui));
            calls << text(call);
            uis << text(ui);
            turns << text(longestTurnMs(1000));
            openMs(chapter, &call, &ui);
            reopens << text(call);
            turns << text(longestTurnMs(1000));
            QElapsedTimer timer;
            timer.start();
            core->closeBook();
            closes << text(timer.nsecsElapsed() / 1e6);
            turns << text(longestTurnMs(300));
        }
        std::printf("OPENS call=%s ui=%s first=%s reopen=%s close=%s turn=%s closed=%.0f peak=%.0f\n",
                    qPrintable(calls.join(',')), qPrintable(uis.join(',')), qPrintable(firsts.join(',')),
                    qPrintable(reopens.join(',')), qPrintable(closes.join(',')), qPrintable(turns.join(',')),
                    memoryMiB("VmRSS:"), memoryMiB("VmHWM:"));
        std::fflush(stdout);
    }

private slots:
    void initTestCase()
    {
        if (child())
            return;
        env = openBenchLibrary();
        QVERIFY(env);
        core.reset(new ApplicationCore);
        const QString dir = env->root() + QStringLiteral("/books");
        QDir().mkpath(dir);
        for (const QString &format : wanted()) {
            QString path;
            if (format == QLatin1String("pdf"))
                path = writePdf(dir);
            else if (format == QLatin1String("cbz") || format == QLatin1String("cb7"))
                path = writeComic(dir, format);
            else if (format == QLatin1String("fb2"))
                path = writeFb2(dir);
            else if (format == QLatin1String("epub"))
                path = writeEpub(dir);
            else if (format == QLatin1String("azw3"))
                path = writeAzw3(dir, books.value(QStringLiteral("epub"), writeEpub(env->root())));
            else if (format == QLatin1String("txt"))
                path = ChineseBook::write(dir, 1750, 4000);
            QVERIFY2(!path.isEmpty(), qPrintable(format));
            QSignalSpy imported(core.get(), &ApplicationCore::novelImportSucceeded);
            QSignalSpy failed(core.get(), &ApplicationCore::novelImportFailed);
            core->importNovel(path);
            QVERIFY(QTest::qWaitFor([&] { return imported.size() + failed.size() > 0; }, 600000));
            QVERIFY2(imported.size() == 1, qPrintable(format));
            books.insert(format, path);
            loadChapters(md5Hex(path));
            std::printf("%s: %lld bytes, %d chapters\n", qPrintable(format), QFileInfo(path).size(),
                        int(chapters.size()));
        }
        std::fflush(stdout);
    }

    void reading_data()
    {
        QTest::addColumn<QString>("format");
        for (const QString &format : wanted())
            QTest::newRow(qPrintable(format)) << format;
    }

    void reading()
    {
        QFETCH(QString, format);
        if (child()) {
            if (format == qEnvironmentVariable("BENCH_FORMATS_FORMAT"))
                readInChild();
            return;
        }
        const QString path = books.value(format);
        loadChapters(md5Hex(path));
        const QString chapter = openChapterOf(format, chapters);
        QVector<double> opens, floors;
        for (int i = 0; i < 5; ++i) {
            opens << openMs(chapter);
            core->closeBook();
            QTest::qWait(50);
            if (format == QLatin1String("pdf"))
                floors << pdfFloorMs(path);
            else if (format == QLatin1String("cbz"))
                floors << comicFloorMs(path);
            else if (format == QLatin1String("cb7"))
                floors << 0.0;
            else
                floors << textPageFloorMs(core.get(), bookId, chapter, Width, Height);
        }
        const double open = median(opens);
        const double floor = median(floors);
        if (floor > 0)
            std::printf("%-5s open to first page %.1f ms, floor %.1f ms, ratio %.2f\n", qPrintable(format),
                        open, floor, open / floor);
        else
            std::printf("%-5s open to first page %.1f ms\n", qPrintable(format), open);
        std::fflush(stdout);
        const int builds = 1 + references().size();
        for (const int continuous : {0, 1}) {
            QVector<QVector<ReadingRun>> results(builds);
            // This build and the references in turn, so load changes hit all alike.
            for (int r = 0; r < runsOfEachBuild(); ++r) {
                QVector<QByteArray> outputs;
                QVERIFY(runChildren(QStringLiteral("reading"), format,
                                    {QStringLiteral("BENCH_FORMATS_CONTINUOUS=%1").arg(continuous)}, &outputs));
                for (int b = 0; b < builds; ++b) {
                    ReadingRun run;
                    bool reported = false;
                    for (const QByteArray &line : outputs.at(b).split('\n')) {
                        if (line.startsWith("RESULT ") && parseRun(line, &run)) {
                            std::printf("%s%s\n", b ? "reference " : "", line.mid(7).constData());
                            reported = true;
                        }
                    }
                    std::fflush(stdout);
                    QVERIFY(reported);
                    results[b].append(run);
                }
            }
            for (int b = 0; b < builds; ++b) {
                QVector<double> cpu, peak, waits, faults;
                for (const ReadingRun &run : results.at(b)) {
                    cpu << run.cpuMsPerTurn * run.turns / 1000.0;
                    peak << run.peakMiB;
                    waits << run.waits;
                    faults << run.faultsPerTurn;
                }
                summary << QStringLiteral("| %1 | %2 | %3 | %4 s | %5 of %6 | %7 MiB | %8 |")
                               .arg(format, continuous ? QStringLiteral("100 scroll steps")
                                                       : QStringLiteral("100 turns"),
                                    buildName(b))
                               .arg(median(cpu), 0, 'f', 2)
                               .arg(median(waits))
                               .arg(Turns)
                               .arg(median(peak), 0, 'f', 0)
                               .arg(median(faults), 0, 'f', 0);
            }
        }
    }

    void uiThreadOpen_data() { reading_data(); }

    void uiThreadOpen()
    {
        QFETCH(QString, format);
        if (child()) {
            if (format == qEnvironmentVariable("BENCH_FORMATS_FORMAT"))
                openInChild();
            return;
        }
        const int builds = 1 + references().size();
        // Fields of each build's OPENS lines: all opens, and one value per run.
        QVector<QHash<QByteArray, QVector<double>>> results(builds);
        const QString opens = qEnvironmentVariable("BENCH_FORMATS_OPENS", QStringLiteral("15"));
        for (int r = 0; r < runsOfEachBuild(); ++r) {
            QVector<QByteArray> outputs;
            QVERIFY(runChildren(QStringLiteral("uiThreadOpen"), format,
                                {QStringLiteral("BENCH_FORMATS_OPENS=") + opens}, &outputs));
            for (int b = 0; b < builds; ++b) {
                const int at = outputs.at(b).indexOf("OPENS ");
                QVERIFY(at >= 0);
                const QByteArray line = outputs.at(b).mid(at + 6).split('\n').first();
                std::printf("%s%s\n", b ? "reference " : "", line.constData());
                for (const QByteArray &field : line.split(' ')) {
                    const int eq = field.indexOf('=');
                    for (const QByteArray &value : field.mid(eq + 1).split(','))
                        results[b][field.left(eq)].append(value.toDouble());
                }
            }
            std::fflush(stdout);
        }
        for (int b = 0; b < builds; ++b) {
            const auto &r = results.at(b);
            const QVector<double> calls = r.value("call");
            const QVector<double> reopens = r.value("reopen");
            const QVector<double> turns = r.value("turn");
            uiSummary << QStringLiteral("| %1 | %2 | %3 | %4 ms (most %5) | %6 ms (most %7) | %8 ms | %9 ms | %10 ms | %11 ms (most %12) | %13 MiB | %14 MiB |")
                             .arg(format, buildName(b))
                             .arg(calls.size())
                             .arg(median(calls), 0, 'f', 1)
                             .arg(*std::max_element(calls.cbegin(), calls.cend()), 0, 'f', 1)
                             .arg(median(reopens), 0, 'f', 1)
                             .arg(*std::max_element(reopens.cbegin(), reopens.cend()), 0, 'f', 1)
                             .arg(median(r.value("ui")), 0, 'f', 1)
                             .arg(median(r.value("first")), 0, 'f', 1)
                             .arg(median(r.value("close")), 0, 'f', 1)
                             .arg(median(turns), 0, 'f', 1)
                             .arg(*std::max_element(turns.cbegin(), turns.cend()), 0, 'f', 1)
                             .arg(median(r.value("closed")), 0, 'f', 0)
                             .arg(median(r.value("peak")), 0, 'f', 0);
        }
    }

    void cleanupTestCase()
    {
        if (!child() && !uiSummary.isEmpty()) {
            std::printf("\n| format | build | opens | openBookForReading on the UI thread (median) | "
                        "the same while a book is read | UI thread CPU to the first page | open to first "
                        "page | closeBook | longest UI thread turn after each | RSS after closing | peak RSS "
                        "|\n|---|---|---|---|---|---|---|---|---|---|---|\n%s\n",
                        qPrintable(uiSummary.join(QLatin1Char('\n'))));
            std::fflush(stdout);
        }
        if (!child() && !summary.isEmpty()) {
            std::printf("\n| format | reading | build | CPU (median) | not ready when asked | peak RSS | "
                        "page faults a step |\n|---|---|---|---|---|---|---|\n%s\n",
                        qPrintable(summary.join(QLatin1Char('\n'))));
            std::fflush(stdout);
        }
        core.reset();
        env.reset();
    }
};

int main(int argc, char *argv[])
{
    // A format read by several builds, three runs each, takes many minutes.
    if (!qEnvironmentVariableIsSet("QTEST_FUNCTION_TIMEOUT"))
        qputenv("QTEST_FUNCTION_TIMEOUT", "3600000");
    QGuiApplication app(argc, argv);
    BenchFormats bench;
    return QTest::qExec(&bench, argc, argv);
}
#include "bench_formats.moc"
