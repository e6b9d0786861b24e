// CBZ books of 1000 x 1500 JPEG pages: the whole import through the import
// task at two sizes (linear growth: 10x the pages, about 10x the time), and
// one of the most pages allowed, each tiny, where the archive's directory
// rather than its bytes sets the time; next
// to the floor of listing the archive with `unzip -l` and reading every page
// header of the extracted files with QImageReader (and `identify -ping` when
// ImageMagick is installed); then opening the book at 1080 x 2340 and turning
// 50 pages. The import also copies the archive durably (written and
// flushed), which the floor does not; `cp` plus `sync` of the file is timed
// as that part's own floor.

#include "applicationcore.h"
#include "chapterinfo.h"
#include "imagefixtures.h"
#include "importoutcome.h"
#include "keys.h"
#include "logmanager.h"
#include "quilloraimageprovider.h"
#include "renderpool.h"
#include "testenvironment.h"

#include <QDirIterator>
#include <QElapsedTimer>
#include <QImageReader>
#include <QPainter>
#include <QProcess>
#include <QStandardPaths>
#include <QtTest>

#include <cstdio>

namespace {

// A page with some detail, so the JPEG has a realistic size (about 200 KB).
QByteArray jpegPage()
{
    QImage page(1000, 1500, QImage::Format_RGB32);
    page.fill(Qt::white);
    QPainter painter(&page);
    for (int i = 0; i < 400; ++i) {
        painter.setPen(QColor::fromHsv((i * 37) % 360, 200, 120 + i % 100));
        painter.drawEllipse((i * 97) % 1000, (i * 193) % 1500, 20 + i % 180, 30 + i % 150);
        painter.drawText((i * 53) % 900, (i * 71) % 1500, QStringLiteral("POW! panel %1").arg(i));
    }
    painter.end();
    return encodedImage(page, "JPEG", 85);
}

QString writeBook(const QString &folder, int pages, bool tiny)
{
    QImage small(16, 24, QImage::Format_RGB32);
    small.fill(Qt::gray);
    const QByteArray jpeg = tiny ? encodedImage(small, "JPEG", 85) : jpegPage();
    QVector<FixtureEntry> entries;
    for (int i = pages; i >= 1; --i)
        entries.append({QStringLiteral("pages/page%1.jpg").arg(i).toUtf8(), jpeg});
    const QString path = QStringLiteral("%1/comic-%2.cbz").arg(folder).arg(pages);
    return writeZip(path, entries, 0) ? path : QString();
}

qint64 runTimed(const QString &program, const QStringList &arguments)
{
    QElapsedTimer timer;
    timer.start();
    QProcess process;
    process.start(program, arguments);
    process.waitForFinished(-1);
    return timer.elapsed();
}

}

class BenchCbzImport : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        qInstallMessageHandler(&LogManager::messageHandler);
        LogManager::setLevel(LogManager::Warning);
    }

    void import_data()
    {
        QTest::addColumn<int>("pages");
        QTest::addColumn<bool>("tiny");
        QTest::newRow("300 pages") << 300 << false;
        QTest::newRow("3000 pages") << 3000 << false;
        QTest::newRow("20000 tiny pages") << 20000 << true;
    }

    void import()
    {
        QFETCH(int, pages);
        QFETCH(bool, tiny);
        TestEnvironment env;
        QVERIFY(env.openDatabase());
        const QString path = writeBook(env.root(), pages, tiny);
        QVERIFY(!path.isEmpty());

        // The floor: list the archive, then read every page header.
        qint64 floorMs = -1, identifyMs = -1;
        const qint64 copyMs = runTimed(QStringLiteral("sh"), {QStringLiteral("-c"),
            QStringLiteral("cp '%1' '%1.copy' && sync '%1.copy'").arg(path)});
        QFile::remove(path + QStringLiteral(".copy"));
        const QString unzip = QStandardPaths::findExecutable(QStringLiteral("unzip"));
        if (!unzip.isEmpty()) {
            const QString extracted = env.root() + QStringLiteral("/extracted");
            QProcess::execute(unzip, {QStringLiteral("-q"), path, QStringLiteral("-d"), extracted});
            const qint64 listMs = runTimed(unzip, {QStringLiteral("-l"), path});
            QElapsedTimer timer;
            timer.start();
            int read = 0;
            for (QDirIterator it(extracted, {QStringLiteral("*.jpg")}, QDir::Files, QDirIterator::Subdirectories); it.hasNext();)
                read += QImageReader(it.next()).size().isValid() ? 1 : 0;
            floorMs = listMs + timer.elapsed();
            QCOMPARE(read, pages);
            const QString identify = QStandardPaths::findExecutable(QStringLiteral("identify"));
            if (!identify.isEmpty())
                identifyMs = listMs + runTimed(QStringLiteral("sh"), {QStringLiteral("-c"),
                    QStringLiteral("'%1' -ping -format '%w %h\\n' '%2'/pages/*.jpg > /dev/null").arg(identify, extracted)});
        }

        ApplicationCore core;
        resetPeakMemory();
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(importOutcomeNoPolling(core, path, 600000), QStringLiteral("ok"));
        const qint64 importMs = timer.elapsed();
        std::printf("%d pages (%.0f MB): import %lld ms, peak RSS %lld MiB | floor (unzip -l + "
                    "QImageReader::size) %lld ms, ratio %.2f; with cp + sync %lld ms, ratio %.2f | unzip -l + "
                    "identify -ping %lld ms\n",
                    pages, QFileInfo(path).size() / 1048576.0, importMs, peakMemoryKiB() / 1024, floorMs,
                    floorMs > 0 ? double(importMs) / floorMs : 0.0, floorMs + copyMs,
                    floorMs > 0 ? double(importMs) / (floorMs + copyMs) : 0.0, identifyMs);
    }

    void reading()
    {
        TestEnvironment env;
        QVERIFY(env.openDatabase());
        const QString path = writeBook(env.root(), 300, false);
        ApplicationCore core;
        QCOMPARE(importOutcomeNoPolling(core, path, 600000), QStringLiteral("ok"));
        const QList<QObject *> chapters = core.getChaptersByNovelId(md5Hex(path));
        QCOMPARE(chapters.size(), 1);
        const QString chapter = qobject_cast<ChapterInfo *>(chapters.first())->id();
        qDeleteAll(chapters);

        QuilloraImageProvider provider;
        const auto key = [&](int page) {
            return QString::fromUtf8(QUrl::toPercentEncoding(RenderPool::makeKey(chapter, page)));
        };
        QElapsedTimer timer;
        timer.start();
        const QString token = core.openBookForReading(md5Hex(path), chapter, 0, -1.0f, 20, 0, 1080, 2340,
                                                      QStringLiteral("#000000"), QStringLiteral("#ffffff"), QString());
        QVERIFY(QTest::qWaitFor([&] { return !provider.requestImage(key(0), nullptr, QSize()).isNull(); }, 60000));
        const qint64 firstMs = timer.elapsed();

        // A quick reader: one turn every 300 ms.
        int ready = 0;
        qint64 worstMs = 0;
        for (int page = 1; page <= 50; ++page) {
            QTest::qWait(300);
            core.poolReportPageTurn(chapter, page, token);
            timer.restart();
            if (!provider.requestImage(key(page), nullptr, QSize()).isNull())
                ++ready;
            QVERIFY(QTest::qWaitFor([&] { return !provider.requestImage(key(page), nullptr, QSize()).isNull(); }, 60000));
            worstMs = qMax(worstMs, timer.elapsed());
        }
        std::printf("open at 1080x2340: first page image after %lld ms; 50 turns 300 ms apart: %d shown "
                    "at once, longest wait %lld ms\n", firstMs, ready, worstMs);
    }
};

QTEST_MAIN(BenchCbzImport)
#include "bench_cbzimport.moc"
