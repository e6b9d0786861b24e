// Whole MOBI 6 and AZW3 imports through the import task, of calibre-made
// books of 2, 4 and 8 MB of text with 50, 100 and 200 chapters (linear: twice
// the text, about twice the time), with calibre's own
// "ebook-convert book.azw3 book.txt" timed alongside on the same book. Then
// the markup repair passes on a 10 MB text with 100k void tags, at half and
// full size. Without calibre the import rows are skipped.

#include "applicationcore.h"
#include "mobimarkup.h"
#include "mobiparser.h"
#include "imagefixtures.h"
#include "testenvironment.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QtTest>

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
        TestEnvironment env;
        QVERIFY(env.openDatabase());
        const QString path = env.root() + QStringLiteral("/book.") + format;
        QVERIFY(QFile::copy(source, path));

        ApplicationCore core;
        QString outcome;
        connect(&core, &ApplicationCore::novelImportSucceeded, this,
                [&](const QString &) { outcome = QStringLiteral("ok"); }, Qt::QueuedConnection);
        connect(&core, &ApplicationCore::novelImportFailed, this,
                [&](const QString &m) { outcome = m; }, Qt::QueuedConnection);
        resetPeakMemory();
        const qint64 rssBefore = peakMemoryKiB();
        QElapsedTimer timer;
        QBENCHMARK_ONCE {
            timer.start();
            core.importNovel(path);
            QVERIFY(QTest::qWaitFor([&] { return !outcome.isEmpty(); }, 600000));
        }
        const qint64 ms = timer.elapsed();
        QCOMPARE(outcome, QStringLiteral("ok"));
        qInfo("import: %lld ms, peak RSS %lld MiB (+%lld MiB over the start)", ms,
              peakMemoryKiB() / 1024, (peakMemoryKiB() - rssBefore) / 1024);

        QProcess process;
        QElapsedTimer reference;
        reference.start();
        process.start(QStandardPaths::findExecutable(QStringLiteral("ebook-convert")),
                      {path, env.root() + QStringLiteral("/book.txt")});
        process.waitForFinished(-1);
        const qint64 referenceMs = reference.elapsed();
        qInfo("ebook-convert book.%s book.txt: %lld ms (exit %d), ratio %.1fx",
              qPrintable(format), referenceMs, process.exitCode(), double(referenceMs) / qMax<qint64>(ms, 1));
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
