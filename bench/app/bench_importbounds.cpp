// Hostile books of every format, each under 10 MB (the FB2 one of 2 million
// paragraphs aside), imported through the import task: each must end,
// imported or refused with a message, within 20 s and 300 MiB peak RSS.
// Peak RSS is the process's, reset before each import: run one row per
// process for clean figures, e.g. bench_importbounds import:"MOBI 43 KB".

#include "applicationcore.h"
#include "benchlibrary.h"
#include "epubfixture.h"
#include "imagefixtures.h"
#include "importoutcome.h"
#include "mobifixture.h"
#include "paths.h"

#include <QElapsedTimer>
#include <QFile>
#include <QtTest>

#include <cstdio>
#include <functional>

using Writer = std::function<bool(const QString &path)>;
Q_DECLARE_METATYPE(Writer)

namespace {

bool writeBytes(const QString &path, const QByteArray &bytes)
{
    return Paths::writeFile(path, bytes);
}

// PalmDOC records of 4,096 bytes, each holding the same compressed text.
QByteArray palmDocBook(const QByteArray &record, int records)
{
    MobiFixture::Header h;
    h.textRecordCount = quint16(records);
    h.textLength = quint32(records) * 4096;
    QList<QByteArray> book{MobiFixture::headerRecord(h)};
    const QByteArray compressed = MobiFixture::palmDocCompress(record.left(4096));
    for (int i = 0; i < records; ++i)
        book.append(compressed);
    return MobiFixture::palmDb("palmdoc", book);
}

QByteArray fb2Book(const QByteArray &body)
{
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?><FictionBook><description><title-info>"
           "<book-title>b</book-title></title-info></description><body>" + body + "</body></FictionBook>";
}

}

class BenchImportBounds : public QObject
{
    Q_OBJECT

private slots:
    void import_data()
    {
        QTest::addColumn<QString>("suffix");
        QTest::addColumn<Writer>("write");
        const auto bytes = [](const std::function<QByteArray()> &make) {
            return Writer([make](const QString &path) { return writeBytes(path, make()); });
        };
        for (int records : {300, 1000, 7300}) {
            const QByteArray book = MobiFixture::huffCdicBomb(records);
            QTest::addRow("MOBI %d KB, HUFF/CDIC phrase named twice a record", book.size() / 1000)
                << "mobi" << bytes([book] { return book; });
        }
        QTest::newRow("AZW3, HUFF/CDIC bomb of 128 MiB")
            << "azw3" << bytes([] { return MobiFixture::huffCdicBomb(2100, 8); });
        QTest::newRow("MOBI 10 MB, PalmDOC text of one letter")
            << "mobi" << bytes([] { return palmDocBook(QByteArray(4096, 'a'), 12000); });
        QTest::newRow("MOBI 10 MB, PalmDOC empty paragraphs")
            << "mobi" << bytes([] { return palmDocBook(QByteArray("<p> </p>").repeated(512), 12000); });
        QTest::newRow("MOBI 1 MB, 10,000 contents links")
            << "mobi" << bytes([] {
                   QByteArray text = "<html><body>";
                   for (int i = 0; i < 10000; ++i)
                       text += "<a href=\"#c" + QByteArray::number(i) + "\">Chapter " + QByteArray::number(i) + "</a><br/>";
                   for (int i = 0; i < 10000; ++i)
                       text += "<h2 id=\"c" + QByteArray::number(i) + "\">Chapter</h2><p>Text of it.</p>";
                   text += "</body></html>";
                   MobiFixture::Header h;
                   h.compression = 1;
                   h.textLength = quint32(text.size());
                   const QList<QByteArray> records = MobiFixture::textRecords(text, 4096, 1);
                   h.textRecordCount = quint16(records.size());
                   return MobiFixture::palmDb("links", QList<QByteArray>{MobiFixture::headerRecord(h)} + records);
               });
        QTest::newRow("FB2 over 2 million paragraphs")
            << "fb2" << bytes([] {
                   return fb2Book("<section><cite>" + QByteArray("<p>a</p>").repeated(2000001)
                                  + "</cite></section>");
               });
        QTest::newRow("FB2 10 MB of one-letter paragraphs")
            << "fb2" << bytes([] {
                   return fb2Book("<section>" + QByteArray("<p>a</p>").repeated(1250000) + "</section>");
               });
        QTest::newRow("EPUB, a chapter inflating to 200 MB")
            << "epub" << Writer([](const QString &path) {
                   EpubFixture epub;
                   epub.addDocument("c1", "c1.xhtml", "One", QString("<p>a</p>").repeated(25000000));
                   return epub.write(path);
               });
        QTest::newRow("EPUB, 60 chapters of 90,000 paragraphs")
            << "epub" << Writer([](const QString &path) {
                   EpubFixture epub;
                   const QString body = QString("<p>a</p>").repeated(90000);
                   for (int i = 0; i < 60; ++i)
                       epub.addDocument(QString("c%1").arg(i), QString("c%1.xhtml").arg(i), "C", body);
                   return epub.write(path);
               });
        QTest::newRow("EPUB, 60 chapters of 30,000 paragraphs (a legal book)")
            << "epub" << Writer([](const QString &path) {
                   EpubFixture epub;
                   const QString body = QString("<p>a</p>").repeated(30000);
                   for (int i = 0; i < 60; ++i)
                       epub.addDocument(QString("c%1").arg(i), QString("c%1.xhtml").arg(i), "C", body);
                   return epub.write(path);
               });
        QTest::newRow("TXT 10 MB, one line")
            << "txt" << bytes([] { return QString("字").repeated(3400000).toUtf8(); });
        QTest::newRow("TXT 10 MB, line breaks only")
            << "txt" << bytes([] { return QByteArray(10000000, '\n'); });
        QTest::newRow("CBZ, a page of 30000 x 30000 pixels")
            << "cbz" << Writer([](const QString &path) {
                   return writeZip(path, {{"001.png", pngBomb(30000, 30000)},
                                          {"002.png", encodedImage(QImage(8, 8, QImage::Format_RGB32), "PNG")}});
               });
        for (const char *kind : {"cbz", "cb7"}) {
            QTest::addRow("%s, a page inflating to 400 MB", kind)
                << kind << Writer([kind](const QString &path) {
                       const QVector<FixtureEntry> pages{{"001.png", QByteArray(400 << 20, '\0')},
                                                         {"002.png", encodedImage(QImage(8, 8, QImage::Format_RGB32), "PNG")}};
                       return QByteArray(kind) == "cbz" ? writeZip(path, pages, 9) : writeArchive(path, "7z", pages);
                   });
        }
    }

    void import()
    {
        QFETCH(QString, suffix);
        QFETCH(Writer, write);
        const std::unique_ptr<TestEnvironment> env = openBenchLibrary();
        QVERIFY(env);
        const QString path = env->root() + QStringLiteral("/book.") + suffix;
        QVERIFY(write(path));
        ApplicationCore core;
        resetPeakMemory();
        QElapsedTimer timer;
        timer.start();
        const QString outcome = importOutcomeNoPolling(core, path, 600000);
        const qint64 ms = timer.elapsed();
        const qint64 peak = peakMemoryKiB() / 1024;
        // Only warnings are logged: the figures go to standard output.
        printf("%s: %.1f KB file, %lld ms, peak RSS %lld MiB, %s: %s\n", QTest::currentDataTag(),
               QFileInfo(path).size() / 1000.0, ms, peak,
               ms <= 20000 && peak <= 300 ? "within the bounds" : "OVER THE BOUNDS",
               qPrintable(outcome.left(120)));
        fflush(stdout);
    }
};

QTEST_MAIN(BenchImportBounds)
#include "bench_importbounds.moc"
