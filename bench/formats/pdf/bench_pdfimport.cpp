// Whole PDF imports through the import task, 500 and 2,000 pages, chapters
// from an outline, from a printed contents page and from page ranges; long
// outlines of 20,000 and 60,000 entries beside qpdf reading them; then
// the first page of an imported book shown at 1080x2340. poppler-utils'
// pdfinfo (which reads every page size) and pdftoppm are timed alongside on
// the same file when installed.

#include "applicationcore.h"
#include "chapterinfo.h"
#include "databaseconnection.h"
#include "keys.h"
#include "pdfchapterparser.h"
#include "quilloraimageprovider.h"
#include "renderpool.h"
#include "testenvironment.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <QFile>
#include <QProcess>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QtTest>

namespace {

enum class Chapters { Outline, ContentsPage, Ranges };

// Each figure is the fastest of this many runs: the machine is shared.
constexpr int Runs = 5;

// A plain PDF written object by object: A4 pages with a heading, a few
// lines of text and a filled box; one outline entry or one contents line
// every 25 pages.
QByteArray makePdf(int pages, Chapters kind)
{
    QByteArray out("%PDF-1.4\n");
    QVector<qint64> offsets;
    const auto object = [&](const QByteArray &body) {
        offsets.append(out.size());
        out += QByteArray::number(offsets.size()) + " 0 obj\n" + body + "\nendobj\n";
    };
    const int chapterEvery = 25;
    const int chapters = pages / chapterEvery;
    // 1 catalog, 2 pages, 3 font, 4 outlines, then per page: page and content,
    // then the outline items.
    const int firstPage = 5;
    const int firstItem = firstPage + 2 * pages;
    const auto pageRef = [&](int i) { return QByteArray::number(firstPage + 2 * i) + " 0 R"; };
    const auto heading = [&](int i) {
        if (kind == Chapters::ContentsPage && i == 0)
            return QByteArray("Contents");
        if (i % chapterEvery == 1)
            return "Appendix" + QByteArray::number(i / chapterEvery);
        return "Page " + QByteArray::number(i + 1);
    };

    object("<< /Type /Catalog /Pages 2 0 R"
           + QByteArray(kind == Chapters::Outline ? " /Outlines 4 0 R /PageMode /UseOutlines" : "") + " >>");
    QByteArray kids;
    for (int i = 0; i < pages; ++i)
        kids += pageRef(i) + ' ';
    object("<< /Type /Pages /Count " + QByteArray::number(pages) + " /Kids [" + kids + "] >>");
    object("<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /Encoding /WinAnsiEncoding >>");
    object(kind == Chapters::Outline && chapters > 0
               ? "<< /Type /Outlines /First " + QByteArray::number(firstItem) + " 0 R /Last "
                     + QByteArray::number(firstItem + chapters - 1) + " 0 R /Count "
                     + QByteArray::number(chapters) + " >>"
               : QByteArray("<< /Type /Outlines /Count 0 >>"));
    for (int i = 0; i < pages; ++i) {
        object("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Resources << /Font << /F1 3 0 R >> >> "
               "/Contents " + QByteArray::number(firstPage + 2 * i + 1) + " 0 R >>");
        QByteArray content = "0.8 0.1 0.2 rg 72 500 200 100 re f 0 g BT /F1 24 Tf 72 760 Td ("
            + heading(i) + ") Tj /F1 11 Tf 0 -20 Td";
        if (kind == Chapters::ContentsPage && i == 0) {
            // Printed numbers count from the page after this one.
            for (int c = 0; c < chapters; ++c)
                content += " 0 -14 Td (Appendix" + QByteArray::number(c) + "......"
                    + QByteArray::number(c * chapterEvery + 1) + ") Tj";
        } else {
            for (int l = 0; l < 30; ++l)
                content += " 0 -14 Td (The sea rose against the rocks below the old lighthouse, line "
                    + QByteArray::number(l) + ".) Tj";
        }
        content += " ET";
        object("<< /Length " + QByteArray::number(content.size()) + " >>\nstream\n" + content + "\nendstream");
    }
    for (int c = 0; kind == Chapters::Outline && c < chapters; ++c) {
        QByteArray item = "<< /Title (Chapter " + QByteArray::number(c + 1) + ") /Parent 4 0 R /Dest ["
            + pageRef(c * chapterEvery + 1) + " /Fit]";
        if (c > 0)
            item += " /Prev " + QByteArray::number(firstItem + c - 1) + " 0 R";
        if (c + 1 < chapters)
            item += " /Next " + QByteArray::number(firstItem + c + 1) + " 0 R";
        object(item + " >>");
    }
    const qint64 xref = out.size();
    out += "xref\n0 " + QByteArray::number(offsets.size() + 1) + "\n0000000000 65535 f \n";
    for (qint64 offset : offsets)
        out += QByteArray::number(offset).rightJustified(10, '0') + " 00000 n \n";
    out += "trailer\n<< /Size " + QByteArray::number(offsets.size() + 1) + " /Root 1 0 R >>\nstartxref\n"
        + QByteArray::number(xref) + "\n%%EOF\n";
    return out;
}

// A long outline: `entries` items, two to a page, in chapters of ten that
// each hold nine sections; every third destination is named through the
// name tree, as typesetting tools write them.
QByteArray outlinePdf(int entries)
{
    QByteArray out("%PDF-1.4\n");
    QVector<qint64> offsets;
    const auto n = [](qint64 value) { return QByteArray::number(value); };
    const auto object = [&](const QByteArray &body) {
        offsets.append(out.size());
        out += n(offsets.size()) + " 0 obj\n" + body + "\nendobj\n";
    };
    const int pages = (entries + 1) / 2;
    const int chapters = (entries + 9) / 10;
    // 1 catalog, 2 pages, 3 outlines, 4 one shared page content, then the
    // pages, then the items: chapter c is item 10c, its sections follow it.
    const int firstPage = 5;
    const int firstItem = firstPage + pages;
    const auto item = [&](int i) { return n(firstItem + i) + " 0 R"; };
    const auto dest = [&](int i) { return "[" + n(firstPage + i / 2) + " 0 R /XYZ 0 800 0]"; };
    QByteArray names;
    for (int i = 0; i < entries; i += 3)
        names += "(d" + n(100000 + i) + ") " + dest(i) + " ";
    object("<< /Type /Catalog /Pages 2 0 R /Outlines 3 0 R /Names << /Dests << /Names [" + names + "] >> >> >>");
    QByteArray kids;
    for (int i = 0; i < pages; ++i)
        kids += n(firstPage + i) + " 0 R ";
    object("<< /Type /Pages /Count " + n(pages) + " /Kids [" + kids + "] >>");
    object("<< /Type /Outlines /First " + item(0) + " /Last " + item(10 * (chapters - 1)) + " /Count "
           + n(chapters) + " >>");
    const QByteArray content = "0.8 0.1 0.2 rg 72 500 200 100 re f";
    object("<< /Length " + n(content.size()) + " >>\nstream\n" + content + "\nendstream");
    for (int i = 0; i < pages; ++i)
        object("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Contents 4 0 R >>");
    for (int i = 0; i < entries; ++i) {
        const int chapter = i / 10;
        const bool top = i % 10 == 0;
        const int last = qMin(entries - 1, 10 * chapter + 9);
        QByteArray body = "<< /Title (" + QByteArray(top ? "Chapter " : "Section ") + n(i) + ") /Parent "
            + (top ? QByteArray("3 0 R") : item(10 * chapter))
            + (i % 3 == 0 ? " /A << /S /GoTo /D (d" + n(100000 + i) + ") >>" : " /Dest " + dest(i));
        if (top && last > i)
            body += " /First " + item(i + 1) + " /Last " + item(last) + " /Count " + n(last - i);
        const int previous = top ? i - 10 : i - 1;
        const int next = top ? i + 10 : i + 1;
        if (top ? previous >= 0 : i % 10 > 1)
            body += " /Prev " + item(previous);
        if (top ? next < entries : i < last)
            body += " /Next " + item(next);
        object(body + " >>");
    }
    const qint64 xref = out.size();
    out += "xref\n0 " + n(offsets.size() + 1) + "\n0000000000 65535 f \n";
    for (qint64 offset : offsets)
        out += n(offset).rightJustified(10, '0') + " 00000 n \n";
    return out + "trailer\n<< /Size " + n(offsets.size() + 1) + " /Root 1 0 R >>\nstartxref\n" + n(xref)
           + "\n%%EOF\n";
}

qint64 peakMemoryKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> lines = status.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    }
    return 0;
}

// Fastest of a few runs of a tool in ms, -1 when it is not installed.
qint64 timeTool(const QString &tool, const QStringList &arguments)
{
    const QString program = QStandardPaths::findExecutable(tool);
    if (program.isEmpty())
        return -1;
    qint64 best = -1;
    for (int run = 0; run < Runs; ++run) {
        QProcess process;
        QElapsedTimer timer;
        timer.start();
        process.start(program, arguments);
        if (!process.waitForFinished(600000) || process.exitCode() != 0)
            return -1;
        best = best < 0 ? timer.elapsed() : qMin(best, timer.elapsed());
    }
    return best;
}

void printReference(const char *what, qint64 ours, qint64 reference)
{
    if (reference < 0)
        qInfo("%s: not installed, no reference", what);
    else
        qInfo("%s: %lld ms; ours / reference = %.2f", what, reference,
              double(ours) / double(qMax<qint64>(reference, 1)));
}

// Waits in an event loop of its own, so the figure carries no polling delay.
bool importBook(ApplicationCore &core, const QString &path)
{
    bool ok = false;
    QEventLoop loop;
    QObject::connect(&core, &ApplicationCore::novelImportSucceeded, &loop, [&](const QString &) {
        ok = true;
        loop.quit();
    });
    QObject::connect(&core, &ApplicationCore::novelImportFailed, &loop, [&](const QString &) { loop.quit(); });
    QTimer::singleShot(600000, &loop, &QEventLoop::quit);
    core.importNovel(path);
    loop.exec();
    return ok;
}
}

class BenchPdfImport : public QObject
{
    Q_OBJECT

private slots:
    void import_data()
    {
        QTest::addColumn<int>("pages");
        QTest::addColumn<int>("kind");
        QTest::newRow("500 pages, outline") << 500 << int(Chapters::Outline);
        QTest::newRow("500 pages, contents page") << 500 << int(Chapters::ContentsPage);
        QTest::newRow("500 pages, ranges") << 500 << int(Chapters::Ranges);
        QTest::newRow("2000 pages, outline") << 2000 << int(Chapters::Outline);
        QTest::newRow("2000 pages, ranges") << 2000 << int(Chapters::Ranges);
    }

    void import()
    {
        QFETCH(int, pages);
        QFETCH(int, kind);
        TestEnvironment env;
        QVERIFY(env.openDatabase());
        const QString path = env.root() + QStringLiteral("/book.pdf");
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(makePdf(pages, Chapters(kind)));
        file.close();

        ApplicationCore core;
        QFile clear(QStringLiteral("/proc/self/clear_refs"));
        if (clear.open(QIODevice::WriteOnly))
            clear.write("5");
        clear.close();
        const qint64 rssBefore = peakMemoryKiB();
        // The first import, then re-imports of the same file.
        qint64 ms = -1;
        for (int run = 0; run < Runs; ++run) {
            QElapsedTimer timer;
            timer.start();
            QVERIFY(importBook(core, path));
            ms = ms < 0 ? timer.elapsed() : qMin(ms, timer.elapsed());
        }
        const QObjectList chapters = core.getChaptersByNovelId(md5Hex(path));
        qInfo("import: %lld ms, %d chapters, peak RSS %lld MiB (+%lld MiB over the start)", ms,
              int(chapters.size()), peakMemoryKiB() / 1024, (peakMemoryKiB() - rssBefore) / 1024);
        qDeleteAll(chapters);
        printReference(qPrintable(QStringLiteral("pdfinfo -f 1 -l %1").arg(pages)), ms,
                       timeTool(QStringLiteral("pdfinfo"),
                                {QStringLiteral("-f"), QStringLiteral("1"), QStringLiteral("-l"),
                                 QString::number(pages), path}));
    }

    // Reading a long outline, and importing the book, beside qpdf reading
    // the same outline with every entry's page (its JSON output).
    void outline_data()
    {
        QTest::addColumn<int>("entries");
        QTest::newRow("20000 entries") << 20000;
        // Two entries a page: the most pages a book may have.
        QTest::newRow("40000 entries") << 40000;
    }

    void outline()
    {
        QFETCH(int, entries);
        TestEnvironment env;
        QVERIFY(env.openDatabase());
        const QString path = env.root() + QStringLiteral("/book.pdf");
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(outlinePdf(entries));
        file.close();

        // The import first, so its peak is its own; then the outline alone.
        const auto resetPeak = [] {
            QFile clear(QStringLiteral("/proc/self/clear_refs"));
            if (clear.open(QIODevice::WriteOnly))
                clear.write("5");
        };
        resetPeak();
        const qint64 rssBefore = peakMemoryKiB();
        ApplicationCore core;
        QElapsedTimer timer;
        timer.start();
        QVERIFY(importBook(core, path));
        const qint64 imported = timer.elapsed();
        const qint64 importPeak = peakMemoryKiB();
        const QObjectList chapters = core.getChaptersByNovelId(md5Hex(path));
        qInfo("import: %lld ms, %d chapters (%d pages), peak RSS %lld MiB (+%lld MiB over the start)", imported,
              int(chapters.size()), (entries + 1) / 2, importPeak / 1024, (importPeak - rssBefore) / 1024);
        qDeleteAll(chapters);
        resetPeak();
        const qint64 readBefore = peakMemoryKiB();
        qint64 read = -1;
        for (int run = 0; run < Runs; ++run) {
            QElapsedTimer timer;
            timer.start();
            QCOMPARE(PdfChapterParser::extractTocFromOutline(path).size(), entries);
            read = read < 0 ? timer.elapsed() : qMin(read, timer.elapsed());
        }
        qInfo("outline read: %lld ms, peak RSS +%lld MiB over the start", read, (peakMemoryKiB() - readBefore) / 1024);
        const qint64 floor = timeTool(QStringLiteral("qpdf"), {QStringLiteral("--json"),
                                                               QStringLiteral("--json-key=outlines"), path});
        printReference("qpdf --json --json-key=outlines (outline read)", read, floor);
        printReference("qpdf --json --json-key=outlines (import)", imported, floor);
    }

    // Open for reading to the first page image, as the reading page asks for it.
    void firstPage()
    {
        TestEnvironment env;
        QVERIFY(env.openDatabase());
        const QString path = env.root() + QStringLiteral("/book.pdf");
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(makePdf(500, Chapters::Outline));
        file.close();
        ApplicationCore core;
        QVERIFY(importBook(core, path));
        const QObjectList chapters = core.getChaptersByNovelId(md5Hex(path));
        QVERIFY(!chapters.isEmpty());
        const QString chapter = qobject_cast<ChapterInfo *>(chapters.first())->id();
        qDeleteAll(chapters);
        QSqlQuery query(DatabaseConnection::database());
        QVERIFY(query.exec(QStringLiteral("SELECT image_id FROM unified_paragraph WHERE para_index = 0")) && query.next());
        const int dpi = query.value(0).toString().section(QStringLiteral("dpi="), 1).toInt();

        QuilloraImageProvider provider;
        const QString key = QString::fromUtf8(QUrl::toPercentEncoding(RenderPool::makeKey(chapter, 0)));
        QImage image;
        QElapsedTimer timer;
        timer.start();
        // The first opening of the book in this process, as after a start.
        const QString token = core.openBookForReading(md5Hex(path), chapter, 0, -1.0f, 20, 0, 1080, 2340,
                                                      QStringLiteral("#000000"), QStringLiteral("#ffffff"),
                                                      QString());
        QVERIFY(!token.isEmpty());
        QVERIFY(QTest::qWaitFor([&] { return !(image = provider.requestImage(key, nullptr, QSize())).isNull(); },
                                60000));
        const qint64 ms = timer.elapsed();
        qInfo("open for reading -> first page image %dx%d: %lld ms", image.width(), image.height(), ms);
        const QString stored = QString::number(dpi);
        printReference(qPrintable(QStringLiteral("pdftoppm -r %1 -f 1 -l 1").arg(dpi)), ms,
                       timeTool(QStringLiteral("pdftoppm"),
                                {QStringLiteral("-r"), stored, QStringLiteral("-f"), QStringLiteral("1"),
                                 QStringLiteral("-l"), QStringLiteral("1"), path, env.root() + QStringLiteral("/page")}));
    }
};

QTEST_MAIN(BenchPdfImport)
#include "bench_pdfimport.moc"
