// The single pass over RAR, 7z and tar comic archives: names, limits,
// ComicInfo.xml, size probing and page order, under LANG=C and C.UTF-8.

#include "cbrparser.h"
#include "imagefixtures.h"
#include "rarfixture.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <clocale>

namespace {

QByteArray page(int width = 8, int height = 12)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    return encodedImage(image, "PNG");
}

bool writeKind(const QString &kind, const QString &path, const QVector<FixtureEntry> &entries)
{
    return kind == QLatin1String("rar") ? writeRar4(path, entries) : writeArchive(path, kind, entries);
}

// A ustar header whose size field (base-256) declares bytes that never follow.
QByteArray hugeTarHeader(qint64 size)
{
    QByteArray header(512, '\0');
    header.replace(0, 5, "x.jpg");
    header.replace(100, 7, "0000644");
    char field[12] = {char(0x80)};
    qToBigEndian<quint64>(quint64(size), field + 4);
    header.replace(124, 12, QByteArray(field, 12));
    header[156] = '0';
    header.replace(257, 6, QByteArray("ustar\0", 6)).replace(263, 2, "00");
    header.replace(148, 8, "        ");
    int sum = 0;
    for (char c : header)
        sum += quint8(c);
    header.replace(148, 7, QByteArray::number(sum, 8).rightJustified(6, '0') + '\0');
    return header;
}

}

Q_DECLARE_METATYPE(QVector<FixtureEntry>)

class TestComicArchiveScan : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    int scans = 0;
    QString images;

    bool scan(const QString &archive, QVector<CbrImageEntry> &entries, QByteArray &comicInfo, QString &error)
    {
        images = dir.path() + QStringLiteral("/images-%1").arg(++scans);
        QDir().mkpath(images);
        return CbrParser::scanArchive(QStringLiteral("CBT"), archive, images, comicInfo, entries, error);
    }

private slots:
    void cleanup()
    {
        setlocale(LC_ALL, "C.UTF-8");
        QLocale::setDefault(QLocale::system());
    }

    // Names are normalised, unsafe ones never written; hidden, Mac and
    // duplicate entries skipped; pages come out in natural order whatever
    // the container and the locale.
    void names_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QByteArray>("locale");
        for (const char *kind : {"7z", "tar", "ustar", "rar"}) {
            for (const char *locale : {"C", "C.UTF-8"})
                QTest::newRow(qPrintable(QStringLiteral("%1 %2").arg(kind, locale))) << kind << QByteArray(locale);
        }
    }
    void names()
    {
        QFETCH(QString, kind);
        QFETCH(QByteArray, locale);
        const QByteArray png = page();
        const QVector<FixtureEntry> entries{
            {"../x.jpg", png}, {"/abs/x.jpg", png}, {"a/../b.jpg", png}, {"./ch1\\p1.png", png},
            {"p10.png", png}, {"p2.png", png}, {"p1.png", png}, {"p2.png", png},
            {"__MACOSX/p3.png", png}, {"ch1/._p4.png", png}, {"ch1/__macosx/p5.PNG", png},
            {"第1页.JPG", png}, {"notes.txt", "text"}, {"scan.tif", page()}, {"empty.png", ""}};
        const QString archive = dir.path() + QStringLiteral("/names-%1.%2").arg(locale.constData(), kind);
        QVERIFY(writeKind(kind, archive, entries));
        setlocale(LC_ALL, locale.constData());
        if (locale == "C")
            QLocale::setDefault(QLocale::c());

        QVector<CbrImageEntry> kept;
        QByteArray comicInfo;
        QString error;
        QVERIFY2(scan(archive, kept, comicInfo, error), qPrintable(error));
        QStringList got;
        for (const CbrImageEntry &e : kept) {
            QCOMPARE(QFileInfo(e.filePath).size(), qint64(png.size()));
            QCOMPARE(QSize(e.width, e.height), QSize(8, 12));
            got << QStringLiteral("%1=%2").arg(QString::fromUtf8(e.name), QFileInfo(e.filePath).fileName());
        }
        // Ordinals count every image candidate, so the duplicate p2.png and
        // the skipped entries leave gaps.
        QCOMPARE(got, QStringList({"ch1/__macosx/p5.PNG=000007.png", "ch1/p1.png=000000.png",
                                   "p1.png=000003.png", "p2.png=000002.png", "p10.png=000001.png",
                                   "scan.tif=000009.tif", "第1页.JPG=000008.jpeg"}));
        QCOMPARE(QDir(images).count(), uint(2 + kept.size()));
    }

    void limits_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("directories");   // before one page
        QTest::addColumn<QString>("error");     // empty: scans

        QTest::newRow("20000 headers") << "tar" << 19999 << "";
        QTest::newRow("20001 headers, mostly folders") << "tar" << 20000 << "CBT 文件条目过多";
        QTest::newRow("declared 21 GiB, no data") << "huge" << 0 << "CBT 文件解压后过大";
        QTest::newRow("truncated tar") << "truncated" << 0 << "CBT 归档读取失败: ";
        QTest::newRow("truncated rar") << "truncated rar" << 0 << "CBT 归档读取失败: ";
    }
    void limits()
    {
        QFETCH(QString, kind);
        QFETCH(int, directories);
        QFETCH(QString, error);
        QVector<FixtureEntry> entries;
        for (int i = 0; i < directories; ++i)
            entries.append({QByteArray("d") + QByteArray::number(i), {}, true});
        QImage noise(600, 600, QImage::Format_RGB32);
        for (int y = 0; y < noise.height(); ++y)
            for (int x = 0; x < noise.width(); ++x)
                noise.setPixel(x, y, quint32(x * 7919 + y * 104729) * 2654435761u);
        entries.append({"p.png", encodedImage(noise, "PNG")});
        const QString archive = dir.path() + QStringLiteral("/limits-%1").arg(QTest::currentDataTag()).replace(' ', '_');
        if (kind == QLatin1String("huge")) {
            QFile file(archive);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(hugeTarHeader(21LL << 30)) == 512);
        } else {
            QVERIFY(writeKind(kind.endsWith(QLatin1String("rar")) ? "rar" : "tar", archive, entries));
        }
        if (kind.startsWith(QLatin1String("truncated")))
            QVERIFY(QFile::resize(archive, QFileInfo(archive).size() - entries.last().data.size() / 2 - 1024));

        QVector<CbrImageEntry> kept;
        QByteArray comicInfo;
        QString message;
        QCOMPARE(scan(archive, kept, comicInfo, message), error.isEmpty());
        QVERIFY2(error.isEmpty() ? message.isEmpty() : message.startsWith(error), qPrintable(message));
        if (error.endsWith(QLatin1String(": ")))
            QVERIFY(message.size() > error.size());
        if (error.isEmpty())
            QCOMPARE(kept.size(), 1);
    }

    // The first ComicInfo.xml met wins, a later one only from the top level;
    // an unsized page survives only when large.
    void contents_data()
    {
        QTest::addColumn<QVector<FixtureEntry>>("entries");
        QTest::addColumn<QByteArray>("comicInfo");
        QTest::addColumn<QStringList>("pages");   // name=width

        const QByteArray junk10k(10 * 1024, 'j');
        const QByteArray junk5m(5 * 1024 * 1024, 'j');
        QTest::newRow("subfolder ComicInfo, then top level") << QVector<FixtureEntry>{
            {"a/ComicInfo.xml", "sub"}, {"comicinfo.XML", "top"}, {"b/ComicInfo.xml", "other"}, {"p.png", page()}}
            << QByteArray("top") << QStringList{"p.png=8"};
        QTest::newRow("only a subfolder ComicInfo") << QVector<FixtureEntry>{
            {"a/ComicInfo.xml", "sub"}, {"b/ComicInfo.xml", "other"}}
            << QByteArray("sub") << QStringList{};
        QTest::newRow("unsized pages") << QVector<FixtureEntry>{{"small.jpg", junk10k}, {"large.jpg", junk5m}}
            << QByteArray() << QStringList{"large.jpg=-1"};
    }
    void contents()
    {
        QFETCH(QVector<FixtureEntry>, entries);
        QFETCH(QByteArray, comicInfo);
        QFETCH(QStringList, pages);
        const QString archive = dir.path() + QStringLiteral("/contents-%1.7z").arg(QTest::currentDataTag());
        QVERIFY(writeArchive(archive, QStringLiteral("7z"), entries));
        QVector<CbrImageEntry> kept;
        QByteArray xml;
        QString error;
        QVERIFY2(scan(archive, kept, xml, error), qPrintable(error));
        QCOMPARE(xml, comicInfo);
        QStringList got;
        for (const CbrImageEntry &e : kept)
            got << QStringLiteral("%1=%2").arg(QString::fromUtf8(e.name)).arg(e.width);
        QCOMPARE(got, pages);
        QCOMPARE(QDir(images).entryList(QDir::Files).size(), kept.size());
    }
};

QTEST_MAIN(TestComicArchiveScan)
#include "tst_comicarchivescan.moc"
