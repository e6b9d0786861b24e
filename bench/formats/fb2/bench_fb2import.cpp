// Whole FB2 imports through the import task at 5 MB and 20 MB (linear: 4x the
// book, about 4x the time). Several bodies, a notes body with one note per
// 16 paragraphs (about 3,000 in the larger book), images and an embedded font
// family on the body. Beside it, in the same run: a floor that reads the same
// file with QXmlStreamReader, decodes the binaries and inserts the paragraph
// texts into the library schema in one transaction; and calibre's
// ebook-convert book.fb2 book.txt when it is installed (slow on the larger
// book: run with QTEST_FUNCTION_TIMEOUT=1800000).

#include "applicationcore.h"
#include "databaseconnection.h"
#include "installedfonts.h"
#include "imagefixtures.h"
#include "testenvironment.h"
#include "transaction.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QUuid>
#include <QXmlStreamReader>
#include <QtTest>

namespace {


// About `megabytes` MB of FB2: 60 paragraphs per section, one note link per 16.
void writeBook(const QString &path, int megabytes)
{
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    const QByteArray font = installedFontData(QStringLiteral("DejaVuSans.ttf"));
    file.write("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<FictionBook "
               "xmlns=\"http://www.gribuser.ru/xml/fictionbook/2.0\" xmlns:l=\"http://www.w3.org/1999/xlink\">"
               "<stylesheet type=\"text/css\">@font-face{font-family:\"Book Sans\";src:url(#sans.ttf)}"
               "body{font-family:\"Book Sans\"} .k{font-weight:bold;color:#600}</stylesheet>"
               "<description><title-info><genre>prose</genre><author><first-name>林</first-name>"
               "<last-name>川</last-name></author><book-title>长夜</book-title><lang>zh</lang>"
               "<coverpage><image l:href=\"#img0\"/></coverpage></title-info></description>");
    const QByteArray text = QStringLiteral("夜里下起了雨，他在破庙里避雨。The rain fell all night long on the "
                                           "old temple. 庙里只有一盏灯，").toUtf8();
    const qint64 target = qint64(megabytes) * 1000 * 1000 - font.size() * 4 / 3;
    int notes = 0;
    int section = 0;
    for (int body = 0; body < 2; ++body) {
        file.write("<body><title><p>第" + QByteArray::number(body + 1) + "部</p></title>");
        while (file.size() < target * (body + 1) / 2) {
            file.write("<section><title><p>第" + QByteArray::number(++section) + "章</p></title>");
            if (section % 50 == 1)
                file.write("<image l:href=\"#img" + QByteArray::number(section % 8) + "\"/>");
            for (int p = 0; p < 60; ++p) {
                file.write("<p>" + text + "<emphasis>" + text + "</emphasis><style name=\"k\">" + text
                           + "</style>");
                if (p % 16 == 0) {
                    const QByteArray note = QByteArray::number(++notes);
                    file.write("<a l:href=\"#n" + note + "\" type=\"note\">[" + note + "]</a>");
                }
                file.write("</p>\n");
            }
            file.write("</section>\n");
        }
        file.write("</body>\n");
    }
    file.write("<body name=\"notes\">");
    for (int n = 1; n <= notes; ++n)
        file.write("<section id=\"n" + QByteArray::number(n) + "\"><title><p>" + QByteArray::number(n)
                   + "</p></title><p>" + text + "</p></section>\n");
    file.write("</body>");
    QImage image(400, 300, QImage::Format_RGB32);
    for (int i = 0; i < 8; ++i) {
        image.fill(QColor::fromHsv(i * 40, 200, 200));
        QByteArray png;
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        image.save(&buffer, "PNG");
        file.write("<binary id=\"img" + QByteArray::number(i) + "\" content-type=\"image/png\">"
                   + png.toBase64() + "</binary>\n");
    }
    file.write("<binary id=\"sans.ttf\" content-type=\"font/ttf\">" + font.toBase64()
               + "</binary></FictionBook>\n");
    qInfo("book: %.1f MB, %d sections, %d notes", file.size() / 1e6, section, notes);
}

// The floor: one read, binaries decoded, one paragraph and one chunk row per
// paragraph-like element, one transaction.
bool floorImport(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QSqlDatabase db = DatabaseConnection::database();
    Transaction transaction(db);
    QSqlQuery paragraph(db);
    paragraph.prepare(QStringLiteral("INSERT INTO unified_paragraph (id, novel_id, chapter_id, para_index, kind) "
                                     "VALUES (?, 'floor', ?, ?, 0)"));
    QSqlQuery chunk(db);
    chunk.prepare(QStringLiteral("INSERT INTO unified_chunk (id, para_id, chunk_index, text) VALUES (?, ?, 0, ?)"));
    QXmlStreamReader reader(&file);
    int section = 0;
    int index = 0;
    qint64 decoded = 0;
    while (!reader.atEnd()) {
        reader.readNext();
        if (!reader.isStartElement())
            continue;
        const QStringRef name = reader.name();
        if (name == QLatin1String("section")) {
            ++section;
        } else if (name == QLatin1String("binary")) {
            decoded += QByteArray::fromBase64(reader.readElementText().toLatin1()).size();
        } else if (name == QLatin1String("p") || name == QLatin1String("v")) {
            const QString text = reader.readElementText(QXmlStreamReader::IncludeChildElements);
            const QString id = QUuid::createUuid().toString(QUuid::WithoutBraces);
            paragraph.addBindValue(id);
            paragraph.addBindValue(QString::number(section));
            paragraph.addBindValue(index++);
            chunk.addBindValue(QUuid::createUuid().toString(QUuid::WithoutBraces));
            chunk.addBindValue(id);
            chunk.addBindValue(text);
            if (!paragraph.exec() || !chunk.exec())
                return false;
        }
    }
    return !reader.hasError() && decoded > 0 && transaction.commit();
}

}

class BenchFb2Import : public QObject
{
    Q_OBJECT

private slots:
    void import_data()
    {
        QTest::addColumn<int>("megabytes");
        QTest::newRow("5 MB") << 5;
        QTest::newRow("20 MB") << 20;
    }

    void import()
    {
        QFETCH(int, megabytes);
        TestEnvironment env;
        QVERIFY(env.openDatabase());
        const QString path = env.root() + QStringLiteral("/book.fb2");
        writeBook(path, megabytes);

        ApplicationCore core;
        bool done = false;
        QString outcome;
        connect(&core, &ApplicationCore::novelImportSucceeded, this,
                [&](const QString &) { done = true; outcome = QStringLiteral("ok"); }, Qt::QueuedConnection);
        connect(&core, &ApplicationCore::novelImportFailed, this,
                [&](const QString &m) { done = true; outcome = m; }, Qt::QueuedConnection);
        resetPeakMemory();
        qint64 rssBefore = peakMemoryKiB();
        QElapsedTimer timer;
        timer.start();
        core.importNovel(path);
        QVERIFY(QTest::qWaitFor([&] { return done; }, 600000));
        const qint64 importMs = timer.elapsed();
        QCOMPARE(outcome, QStringLiteral("ok"));
        qInfo("import: %lld ms, peak RSS %lld MiB (+%lld MiB over the start)", importMs,
              peakMemoryKiB() / 1024, (peakMemoryKiB() - rssBefore) / 1024);
        // The floor stores one chunk per paragraph; the import one per styled run.
        QSqlQuery rows(DatabaseConnection::database());
        rows.exec(QStringLiteral("SELECT (SELECT count(*) FROM unified_paragraph), "
                                 "(SELECT count(*) FROM unified_chunk), (SELECT count(*) FROM chapter_info)"));
        if (rows.next())
            qInfo("import stored %d paragraphs, %d chunks, %d chapters", rows.value(0).toInt(),
                  rows.value(1).toInt(), rows.value(2).toInt());

        resetPeakMemory();
        rssBefore = peakMemoryKiB();
        timer.restart();
        QVERIFY(floorImport(path));
        const qint64 floorMs = timer.elapsed();
        qInfo("floor: %lld ms, peak RSS %lld MiB (+%lld MiB); import / floor = %.2f", floorMs,
              peakMemoryKiB() / 1024, (peakMemoryKiB() - rssBefore) / 1024, double(importMs) / floorMs);

        const QString convert = QStandardPaths::findExecutable(QStringLiteral("ebook-convert"));
        if (convert.isEmpty()) {
            qInfo("ebook-convert not installed: calibre reference skipped");
            return;
        }
        QProcess process;
        timer.restart();
        process.start(convert, {path, env.root() + QStringLiteral("/book.txt")});
        process.waitForFinished(1800000);
        const qint64 calibreMs = timer.elapsed();
        qInfo("ebook-convert book.fb2 book.txt: %lld ms (exit %d); calibre / import = %.1f", calibreMs,
              process.exitCode(), double(calibreMs) / importMs);
    }
};

QTEST_MAIN(BenchFb2Import)
#include "bench_fb2import.moc"
