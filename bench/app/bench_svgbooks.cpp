// Books whose SVG pictures would cost without bound, imported through the
// core and opened at the page that shows the drawing: time to the import's
// outcome, time to that first page, and the peak RSS of the process. Run one
// row per process for clean peaks, e.g. bench_svgbooks pages:"FB2 cover".
// BENCH_SVG_TIMEOUT_MS bounds each wait (default 120000).

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
#include <QFileInfo>
#include <QtTest>

#include <cstdio>

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
