// Whole EPUB imports through the import task: a book of one file per chapter
// and the same text as one file cut by NCX anchors, at two sizes, so the
// growth shows (linear: 4x the chapters, about 4x the time). calibre's
// ebook-convert on the same book is timed alongside as a reference.

#include "applicationcore.h"
#include "epubfixture.h"
#include "imagefixtures.h"
#include "importoutcome.h"
#include "testenvironment.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QtTest>

namespace {

// About 4.8 KB of text per chapter in five paragraphs.
QString chapterBody(int index)
{
    QString body = QStringLiteral("<h2 id=\"c%1\">第%1章</h2>").arg(index);
    for (int p = 0; p < 5; ++p) {
        body += QStringLiteral("<p>");
        for (int s = 0; s < 8; ++s)
            body += QStringLiteral("夜里下起了雨，他在破庙里避雨。The rain fell all night long. ");
        body += QStringLiteral("</p>");
    }
    return body;
}

// One import through the core: "ok" or the failure message, and the
// time and peak memory it took.
QString timedImport(const QString &path, qint64 *elapsedMs = nullptr)
{
    ApplicationCore core;
    resetPeakMemory();
    const qint64 rssBefore = peakMemoryKiB();
    QElapsedTimer timer;
    timer.start();
    const QString outcome = importOutcome(core, path, 600000);
    qInfo("%s in %lld ms, peak RSS %lld MiB (+%lld MiB over the start)", qPrintable(outcome),
          timer.elapsed(), peakMemoryKiB() / 1024, (peakMemoryKiB() - rssBefore) / 1024);
    if (elapsedMs)
        *elapsedMs = timer.elapsed();
    return outcome;
}

}

class BenchEpubImport : public QObject
{
    Q_OBJECT

private slots:
    void import_data()
    {
        QTest::addColumn<int>("chapters");
        QTest::addColumn<bool>("oneFile");
        QTest::newRow("1000 files") << 1000 << false;
        QTest::newRow("4000 files") << 4000 << false;
        QTest::newRow("one file, 1000 anchors") << 1000 << true;
        QTest::newRow("one file, 4000 anchors") << 4000 << true;
    }

    void import()
    {
        QFETCH(int, chapters);
        QFETCH(bool, oneFile);
        TestEnvironment env;
        QVERIFY(env.openDatabase());
        EpubFixture epub;
        QString points;
        QString whole;
        for (int i = 0; i < chapters; ++i) {
            if (oneFile) {
                whole += chapterBody(i);
                points += EpubFixture::navPoint(QStringLiteral("第%1章").arg(i),
                                                QStringLiteral("text/book.xhtml#c%1").arg(i));
            } else {
                const QString href = QStringLiteral("text/c%1.xhtml").arg(i);
                epub.addDocument(QStringLiteral("c%1").arg(i), href, QStringLiteral("第%1章").arg(i),
                                 chapterBody(i));
                points += EpubFixture::navPoint(QStringLiteral("第%1章").arg(i), href);
            }
        }
        if (oneFile)
            epub.addDocument(QStringLiteral("book"), QStringLiteral("text/book.xhtml"),
                             QStringLiteral("Book"), whole);
        epub.addNcx(QStringLiteral("toc.ncx"), EpubFixture::ncx(points));
        const QString path = env.root() + QStringLiteral("/book.epub");
        QVERIFY(epub.write(path));
        whole.clear();
        epub = EpubFixture();

        QString outcome;
        QBENCHMARK_ONCE {
            outcome = timedImport(path);
        }
        QCOMPARE(outcome, QStringLiteral("ok"));

        const QString convert = QStandardPaths::findExecutable(QStringLiteral("ebook-convert"));
        if (convert.isEmpty())
            return;
        QProcess process;
        QElapsedTimer reference;
        reference.start();
        process.start(convert, {path, env.root() + QStringLiteral("/book.txt")});
        process.waitForFinished(600000);
        qInfo("ebook-convert book.epub book.txt: %lld ms (exit %d)", reference.elapsed(),
              process.exitCode());
    }

    // A spine of tiny documents, each with its navigation point: the time per
    // document stays the same from 5,000 to 50,000 (the larger must end,
    // imported or refused, within 10 s).
    void longSpine_data()
    {
        QTest::addColumn<int>("documents");
        QTest::newRow("5000 documents") << 5000;
        QTest::newRow("50000 documents") << 50000;
    }

    void longSpine()
    {
        QFETCH(int, documents);
        TestEnvironment env;
        QVERIFY(env.openDatabase());
        EpubFixture epub;
        QString points;
        for (int i = 0; i < documents; ++i) {
            const QString href = QStringLiteral("t/d%1.xhtml").arg(i);
            epub.addDocument(QStringLiteral("d%1").arg(i), href, QStringLiteral("D%1").arg(i),
                             QStringLiteral("<p>%1</p>").arg(i));
            points += EpubFixture::navPoint(QStringLiteral("N%1").arg(i), href);
        }
        epub.addNcx(QStringLiteral("toc.ncx"), EpubFixture::ncx(points));
        const QString path = env.root() + QStringLiteral("/spine.epub");
        QVERIFY(epub.write(path));
        epub = EpubFixture();
        qInfo("book: %lld KB", QFileInfo(path).size() / 1024);

        qint64 ms = 0;
        QBENCHMARK_ONCE {
            timedImport(path, &ms);
        }
        qInfo("%.1f us per document", ms * 1000.0 / documents);
    }

    // A 31 KB book whose one document is 20 MiB of <p>a</p>: refused (or
    // imported) in bounded time and memory.
    void paragraphBomb()
    {
        TestEnvironment env;
        QVERIFY(env.openDatabase());
        EpubFixture epub;
        epub.addDocument(QStringLiteral("bomb"), QStringLiteral("bomb.xhtml"), QStringLiteral("Bomb"),
                         QStringLiteral("<p>a</p>").repeated((20 * 1024 * 1024 - 1024) / 8));
        const QString path = env.root() + QStringLiteral("/bomb.epub");
        QVERIFY(epub.write(path));
        epub = EpubFixture();
        qInfo("book: %lld KB", QFileInfo(path).size() / 1024);

        QBENCHMARK_ONCE {
            timedImport(path);
        }
    }
};

QTEST_MAIN(BenchEpubImport)
#include "bench_epubimport.moc"
