// The single pass over RAR, 7z and tar comic archives: names, limits,
// ComicInfo.xml, size probing and page order, under LANG=C and C.UTF-8.

#include "cbrparser.h"
#include "paths.h"
#include "rarfixture.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <algorithm>
#include <clocale>

using Entries = QVector<FixtureEntry>;
Q_DECLARE_METATYPE(Entries)

namespace {

const QByteArray Png = [] {
    QImage image(8, 12, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    return encodedImage(image, "PNG");
}();

// A ustar header whose base-256 size field declares bytes that never follow.
QByteArray hugeTarHeader(qint64 size)
{
    QByteArray header(512, '\0');
    header.replace(0, 5, "x.jpg").replace(100, 7, "0000644").replace(257, 8, QByteArray("ustar\0" "00", 8));
    char field[12] = {char(0x80)};
    qToBigEndian<quint64>(quint64(size), field + 4);
    header.replace(124, 12, QByteArray(field, 12)).replace(148, 8, "        ")[156] = '0';
    int sum = 0;
    for (char c : header)
        sum += quint8(c);
    return header.replace(148, 7, QByteArray::number(sum, 8).rightJustified(6, '0') + '\0');
}

// GNU tar's sparse entries: each file's picture, then a hole to its size.
bool writeSparseTar(const QString &archive, const Entries &entries, qint64 size)
{
    const QString folder = archive + QStringLiteral(".files");
    QStringList arguments{"--sparse", "-cf", archive, "-C", folder};
    for (const FixtureEntry &entry : entries) {
        QFile file(folder + '/' + entry.name);
        if (!QDir().mkpath(folder) || !file.open(QIODevice::WriteOnly) || file.write(entry.data) != entry.data.size()
            || !file.resize(size))
            return false;
        arguments << QString::fromUtf8(entry.name);
    }
    return QProcess::execute(QStringLiteral("tar"), arguments) == 0;
}

}

class TestComicArchiveScan : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    int scans = 0;

    // "name=file:width ..." and the ComicInfo bytes, or the error; every
    // file in the image folder must be a kept page.
    QString scan(const QString &kind, const Entries &entries, const char *locale = "C.UTF-8", int cut = 0)
    {
        const QString archive = dir.path() + QStringLiteral("/%1.archive").arg(++scans);
        const QString images = dir.path() + QStringLiteral("/images-%1").arg(scans);
        if (!QDir().mkpath(images)
            || !(kind == "huge" ? Paths::writeFile(archive, hugeTarHeader(21LL << 30))
                 : kind == "sparse" ? writeSparseTar(archive, entries, 50 << 20)
                 : kind == "rar" ? writeRar4(archive, entries) : writeArchive(archive, kind, entries)))
            return "not written";
        QFile::resize(archive, QFileInfo(archive).size() - cut);
        setlocale(LC_ALL, locale);
        QLocale::setDefault(qstrcmp(locale, "C") == 0 ? QLocale::c() : QLocale::system());
        QVector<CbrImageEntry> kept;
        QByteArray xml;
        QString error;
        const bool ok = CbrParser::scanArchive("CBT", archive, images, xml, kept, error);
        setlocale(LC_ALL, "C.UTF-8");
        QLocale::setDefault(QLocale::system());
        QStringList out;
        for (const CbrImageEntry &e : kept)
            out << (e.leftOut ? QString::fromUtf8(e.name) + QStringLiteral("=left out")
                              : QStringLiteral("%1=%2:%3").arg(QString::fromUtf8(e.name), QFileInfo(e.filePath).fileName())
                                    .arg(e.width));
        if (QDir(images).entryList(QDir::Files).size()
            != std::count_if(kept.cbegin(), kept.cend(), [](const CbrImageEntry &e) { return !e.leftOut; }))
            return "stray files";
        return ok ? (out + QStringList(QString::fromUtf8(xml))).join(' ').trimmed() : error;
    }

private slots:
    // Names are normalised and unsafe ones never written; Mac, hidden and
    // empty entries are skipped (still numbered), a repeated name is a page
    // of its own (the reader may have folded two names into one); natural
    // order and Chinese names whatever the container and the locale.
    void names_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QByteArray>("locale");
        for (const char *kind : {"7z", "tar", "ustar", "rar"}) {
            for (const char *locale : {"C", "C.UTF-8"})
                QTest::addRow("%s %s", kind, locale) << kind << QByteArray(locale);
        }
    }
    void names()
    {
        QFETCH(QString, kind);
        QFETCH(QByteArray, locale);
        const Entries entries{{"../x.jpg", Png}, {"/abs/x.jpg", Png}, {"a/../b.jpg", Png}, {"./ch1\\p1.png", Png},
                              {"p10.png", Png}, {"p2.png", Png}, {"p1.png", Png}, {"p2.png", Png},
                              {"__MACOSX/p3.png", Png}, {"ch1/._p4.png", Png}, {"ch1/__macosx/p5.PNG", Png},
                              {"第1页.JPG", Png}, {"notes.txt", "text"}, {"scan.tif", Png}, {"empty.png", ""}};
        QCOMPARE(scan(kind, entries, locale.constData()),
                 QStringLiteral("ch1/__macosx/p5.PNG=000007.png:8 ch1/p1.png=000000.png:8 p1.png=000003.png:8 "
                                "p2.png=000002.png:8 p2.png=000004.png:8 p10.png=000001.png:8 scan.tif=000009.tif:8 "
                                "第1页.JPG=000008.jpeg:8"));
    }

    // Limits, damage, the ComicInfo.xml choice and pages of unknown size.
    void contents_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<Entries>("entries");
        QTest::addColumn<int>("cut");
        QTest::addColumn<QString>("expected");

        Entries folders;
        for (int i = 0; i < 19999; ++i)
            folders.append({QByteArray("d") + QByteArray::number(i), {}, true});
        const Entries page{{"p.png", Png + QByteArray(1 << 20, 'x')}};
        QTest::newRow("20000 headers") << "tar" << folders + page << 0 << "p.png=000000.png:8";
        folders.append({"one more", {}, true});
        QTest::newRow("20001 headers, mostly folders") << "tar" << folders + page << 0 << "CBT 文件条目过多";
        QTest::newRow("declared 21 GiB, no data") << "huge" << Entries() << 0 << "CBT 文件解压后过大";
        QTest::newRow("truncated tar") << "tar" << page << 600000 << "CBT 文件已损坏或不完整（可能没有下载完），请重新获取该文件";
        QTest::newRow("subfolder ComicInfo, then top level") << "7z"
            << Entries{{"a/ComicInfo.xml", "sub"}, {"comicinfo.XML", "top"}, {"b/ComicInfo.xml", "other"}}
            << 0 << "top";
        QTest::newRow("only subfolder ComicInfo") << "7z"
            << Entries{{"a/ComicInfo.xml", "sub"}, {"b/ComicInfo.xml", "other"}} << 0 << "sub";
        QTest::newRow("unsized pages: small dropped, large kept") << "7z"
            << Entries{{"small.jpg", QByteArray(10240, 'j')}, {"large.jpg", QByteArray(5 << 20, 'j')}}
            << 0 << "large.jpg=000001.jpeg:-1";
        // Pages unpack to no more than the archive's bytes justify.
        QTest::newRow("sparse entries") << "sparse" << Entries{{"s1.png", Png}, {"s2.png", Png}}
            << 0 << "s1.png=left out s2.png=left out";
        QTest::newRow("declared beyond the whole archive") << "7z"
            << Entries{{"a.png", Png}, {"z.png", Png + QByteArray(30 << 20, '\0')}} << 0
            << "a.png=000000.png:8 z.png=left out";
        QTest::newRow("pages beyond a multiple of the archive") << "tar.gz"
            << Entries{{"z1.png", Png + QByteArray(10 << 20, '\0')}, {"z2.png", Png + QByteArray(10 << 20, '\0')}}
            << 0 << "z1.png=000000.png:8 z2.png=left out";
        QByteArray noise(8 << 20, Qt::Uninitialized);
        QRandomGenerator(7).fillRange(reinterpret_cast<quint32 *>(noise.data()), noise.size() / 4);
        QTest::newRow("unpacked beyond what was read") << "7z"
            << Entries{{"z.png", Png + QByteArray(40 << 20, '\0')}, {"noise.bin", noise}} << 0 << "z.png=left out";
    }
    void contents()
    {
        QFETCH(QString, kind);
        QFETCH(Entries, entries);
        QFETCH(int, cut);
        QFETCH(QString, expected);
        QCOMPARE(scan(kind, entries, "C.UTF-8", cut), expected);
    }
};

QTEST_MAIN(TestComicArchiveScan)
#include "tst_comicarchivescan.moc"
