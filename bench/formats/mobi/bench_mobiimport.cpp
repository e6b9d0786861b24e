// Whole MOBI 6 and AZW3 imports through the import task, of calibre-made
// books of 2, 4 and 8 MB of text with 50, 100 and 200 chapters (linear: twice
// the text, about twice the time). Beside each, in the same run: a floor that
// LZ77-decodes every text record, strips the tags and inserts as many
// paragraph and chunk rows as the import stored, in one transaction; and
// calibre's own "ebook-convert book.mobi book.txt" on the same book. Each is
// run five times, medians printed. Then the markup repair passes on a 10 MB
// text with 100k void tags, at half and full size. Without calibre the import
// rows are skipped.

#include "applicationcore.h"
#include "databaseconnection.h"
#include "importoutcome.h"
#include "mobimarkup.h"
#include "mobiparser.h"
#include "mobitext.h"
#include "imagefixtures.h"
#include "testenvironment.h"
#include "transaction.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QUuid>
#include <QtTest>

#include <algorithm>

namespace {

// A book of `megabytes` MB of UTF-8 text in `chapters` chapters, made once
// per machine by calibre and kept in the temporary folder.
QString calibreBook(int megabytes, int chapters, const QString &format)
{
    const QString convert = QStandardPaths::findExecutable(QStringLiteral("ebook-convert"));
    if (convert.isEmpty())
        return QString();
    const QString dir = QDir::temp().filePath(QStringLiteral("quillora-bench-mobi"));
    QDir().mkpath(dir);
    const QString stem = dir + QStringLiteral("/book-%1mb-%2").arg(megabytes).arg(chapters);
    const QString out = stem + QLatin1Char('.') + format;
    if (QFileInfo::exists(out))
        return out;
    const QString html = stem + QStringLiteral(".html");
    if (!QFileInfo::exists(html)) {
        const QByteArray sentence =
            QStringLiteral("夜里下起了雨，他在破庙里避雨。The rain fell all night on the old temple. ").toUtf8();
        const qint64 perChapter = qint64(megabytes) * 1024 * 1024 / chapters;
        QFile file(html);
        file.open(QIODevice::WriteOnly);
        file.write("<html xmlns=\"http://www.w3.org/1999/xhtml\"><head><title>Bench</title></head><body>");
        for (int c = 0; c < chapters; ++c) {
            file.write(QStringLiteral("<h1 id=\"c%1\">第%1章</h1>").arg(c + 1).toUtf8());
            for (qint64 written = 0; written < perChapter;) {
                const QByteArray paragraph = "<p>" + sentence.repeated(12) + "</p>\n";
                file.write(paragraph);
                written += paragraph.size();
            }
        }
        file.write("</body></html>");
    }
    QProcess process;
    QStringList arguments{html, out, QStringLiteral("--title=Bench"),
                          QStringLiteral("--level1-toc=//h:h1")};
    if (format == QLatin1String("mobi"))
        arguments << QStringLiteral("--mobi-file-type") << QStringLiteral("old");
    process.start(convert, arguments);
    process.waitForFinished(-1);
    return QFileInfo::exists(out) ? out : QString();
}

// The floor: the file read once, every text record of the section read (the
// KF8 one when there is one) LZ77-decoded, tags stripped, and `paragraphs`
// paragraph rows and `chunks` chunk rows of that text inserted in one transaction.
bool floorImport(const QString &path, int paragraphs, int chunks)
{
    PalmDbBook book;
    QFile file(path);
    QString error;
    if (!MobiParser::openPalmDb(book, path, &error) || !file.open(QIODevice::ReadOnly)) {
        qWarning("floor: %s", qPrintable(error));
        return false;
    }
    const QByteArray bytes = file.readAll();
    const MobiContentSection &s = book.kf8Section.startRecord >= 0 ? book.kf8Section : book.mobiSection;
    QByteArray html;
    QByteArray decoded;
    for (int i = 1; i <= s.textRecordCount; ++i) {
        const int r = s.startRecord + i;
        const int end = r + 1 < book.recordOffsets.size() ? int(book.recordOffsets.at(r + 1)) : bytes.size();
        const QByteArray record = QByteArray::fromRawData(bytes.constData() + book.recordOffsets.at(r),
                                                          end - int(book.recordOffsets.at(r)));
        int payload = 0;
        if (!stripTrailingEntries(record, s.extraDataFlags, &payload)
            || !palmDocDecompress(record.left(payload), s.recordSize, &decoded)) {
            qWarning("floor: text record %d unreadable", i);
            return false;
        }
        html += decoded;
    }
    QByteArray stripped;
    stripped.reserve(html.size());
    bool inTag = false;
    for (const char c : qAsConst(html)) {
        if (c == '<')
            inTag = true;
        else if (c == '>')
            inTag = false;
        else if (!inTag)
            stripped += c;
    }
    const QString text = QString::fromUtf8(stripped);
    QSqlDatabase db = DatabaseConnection::database();
    Transaction transaction(db);
    QSqlQuery paragraph(db);
    paragraph.prepare(QStringLiteral("INSERT INTO unified_paragraph (id, novel_id, chapter_id, para_index, kind) "
                                     "VALUES (?, 'floor', 'floor', ?, 0)"));
    QSqlQuery chunk(db);
    chunk.prepare(QStringLiteral("INSERT INTO unified_chunk (id, para_id, chunk_index, text) VALUES (?, ?, ?, ?)"));
    const int slice = text.size() / qMax(1, chunks) + 1;
    QString paragraphId;
    for (int c = 0, p = 0; c < chunks || p < paragraphs; ++c) {
        // Chunks spread evenly over the paragraphs.
        if (p < paragraphs && qint64(c) * paragraphs >= qint64(p) * qMax(1, chunks)) {
            paragraphId = QUuid::createUuid().toString(QUuid::WithoutBraces);
            paragraph.addBindValue(paragraphId);
            paragraph.addBindValue(p++);
            if (!paragraph.exec()) {
                qWarning("floor: %s", qPrintable(paragraph.lastError().text()));
                return false;
            }
        }
        if (c >= chunks)
            continue;
        chunk.addBindValue(QUuid::createUuid().toString(QUuid::WithoutBraces));
        chunk.addBindValue(paragraphId);
        chunk.addBindValue(c);
        // Past the text's end (more chunks than letters): an empty, not a null, text.
        const QString piece = text.mid(c * slice, slice);
        chunk.addBindValue(piece.isNull() ? QStringLiteral("") : piece);
        if (!chunk.exec()) {
            qWarning("floor: %s", qPrintable(chunk.lastError().text()));
            return false;
        }
    }
    return transaction.commit();
}

qint64 median(QVector<qint64> values)
{
    std::sort(values.begin(), values.end());
    return values.at(values.size() / 2);
}

// Text of about `megabytes` MB holding `tags` of each kind the passes rewrite.
QString repairText(int megabytes, int tags)
{
    const int unit = megabytes * 1024 * 1024 / tags;
    const QString filler = QStringLiteral("x").repeated(qMax(0, unit - 120));
    QString text;
    text.reserve(megabytes * 1024 * 1024 + 1024);
    for (int i = 0; i < tags; ++i) {
        text += QStringLiteral("<p>") + filler + QStringLiteral("<br>")
            + QStringLiteral("<img recindex=\"00001\"><a filepos=0000000%1>l</a>"
                             "<span src=\"kindle:embed:0001\"/></p>")
                  .arg(i);
    }
    return text;
}

}

class BenchMobiImport : public QObject
{
    Q_OBJECT

private slots:
    void import_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<int>("megabytes");
        QTest::addColumn<int>("chapters");
        for (const char *format : {"mobi", "azw3"}) {
            QTest::addRow("%s, 2 MB, 50 chapters", format) << format << 2 << 50;
            QTest::addRow("%s, 4 MB, 100 chapters", format) << format << 4 << 100;
            QTest::addRow("%s, 8 MB, 200 chapters", format) << format << 8 << 200;
        }
    }

    void import()
    {
        QFETCH(QString, format);
        QFETCH(int, megabytes);
        QFETCH(int, chapters);
        const QString source = calibreBook(megabytes, chapters, format);
        if (source.isEmpty())
            QSKIP("calibre's ebook-convert is not installed");
        QVector<qint64> importMs, floorMs, calibreMs;
        qint64 importPeak = 0;
        qint64 floorPeak = 0;
        for (int run = 0; run < 5; ++run) {
            TestEnvironment env;
            QVERIFY(env.openDatabase());
            const QString path = env.root() + QStringLiteral("/book.") + format;
            QVERIFY(QFile::copy(source, path));
            ApplicationCore core;
            resetPeakMemory();
            QElapsedTimer timer;
            timer.start();
            QCOMPARE(importOutcomeNoPolling(core, path, 600000), QStringLiteral("ok"));
            importMs.append(timer.elapsed());
            importPeak = qMax(importPeak, peakMemoryKiB());

            QSqlQuery rows(DatabaseConnection::database());
            QVERIFY(rows.exec(QStringLiteral("SELECT (SELECT count(*) FROM unified_paragraph), "
                                             "(SELECT count(*) FROM unified_chunk)")) && rows.next());
            const int paragraphs = rows.value(0).toInt();
            const int chunks = rows.value(1).toInt();
            rows.finish();
            resetPeakMemory();
            timer.restart();
            QVERIFY(floorImport(path, paragraphs, chunks));
            floorMs.append(timer.elapsed());
            floorPeak = qMax(floorPeak, peakMemoryKiB());
            if (run == 0)
                qInfo("import stored %d paragraphs, %d chunks", paragraphs, chunks);

            const QString convert = QStandardPaths::findExecutable(QStringLiteral("ebook-convert"));
            QProcess process;
            timer.restart();
            process.start(convert, {path, env.root() + QStringLiteral("/book.txt")});
            process.waitForFinished(-1);
            calibreMs.append(timer.elapsed());
        }
        const qint64 ms = median(importMs);
        qInfo("import: %lld ms (median of 5), peak RSS %lld MiB; floor: %lld ms, peak RSS %lld MiB; "
              "import / floor = %.2f; ebook-convert book.%s book.txt: %lld ms, calibre / import = %.1f",
              ms, importPeak / 1024, median(floorMs), floorPeak / 1024,
              double(ms) / qMax<qint64>(1, median(floorMs)), qPrintable(format), median(calibreMs),
              double(median(calibreMs)) / qMax<qint64>(ms, 1));
    }

    void repair_data()
    {
        QTest::addColumn<int>("megabytes");
        QTest::addColumn<int>("tags");
        QTest::addColumn<bool>("unclosed");
        QTest::newRow("5 MB, 50k void tags") << 5 << 50000 << false;
        QTest::newRow("10 MB, 100k void tags") << 10 << 100000 << false;
        // Hostile: tags that never close must not make every pass quadratic.
        QTest::newRow("10 MB of unclosed tags") << 10 << 100000 << true;
    }

    void repair()
    {
        QFETCH(int, megabytes);
        QFETCH(int, tags);
        QFETCH(bool, unclosed);
        const QString text = unclosed
            ? QStringLiteral("<br <img recindex=1 <a filepos=1 <h1 id=x ").repeated(megabytes * 1024 * 1024 / 42)
            : repairText(megabytes, tags);
        const QByteArray bytes = text.toUtf8();
        const QMap<int, QString> names{{0, QStringLiteral("kf8-resource-00000.jpg")},
                                       {1, QStringLiteral("mobi-image-1.jpg")}};
        QElapsedTimer timer;
        const auto report = [&](const char *pass, int size) {
            qInfo("%-22s %6lld ms (%d bytes out)", pass, timer.elapsed(), size);
            timer.restart();
        };
        QBENCHMARK_ONCE {
            timer.start();
            const QString breaks = MobiMarkup::insertPageBreaks(text);
            report("insertPageBreaks", breaks.size());
            const QString images = MobiMarkup::rewriteImageRecindex(breaks, names);
            report("rewriteImageRecindex", images.size());
            const QString links = MobiMarkup::rewriteKindleLinks(images, names, names);
            report("rewriteKindleLinks", links.size());
            const QString filepos = MobiMarkup::rewriteFileposLinks(links);
            report("rewrite filepos links", filepos.size());
            const int entries = MobiMarkup::buildMobiToc(filepos).size();
            report("buildMobiToc", entries);
            const QByteArray anchored = MobiMarkup::insertFileposAnchors(bytes);
            report("filepos anchors", anchored.size());
            QList<Kf8NavEntry> navigation;
            for (int i = 0; i < tags; ++i)
                navigation.append({QString(), 0, quint32(qint64(bytes.size()) * i / tags)});
            QByteArray part = bytes;
            QMap<quint32, QString> anchors;
            timer.restart();
            // Unclosed tags carry no target: the call fails, in one sweep.
            QCOMPARE(MobiParser::assignNavAnchors(part, navigation, 0, 65001, anchors), !unclosed);
            report("assignNavAnchors", part.size());
        }
    }
};

QTEST_MAIN(BenchMobiImport)
#include "bench_mobiimport.moc"
