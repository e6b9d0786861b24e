#include "archiveimageloader.h"
#include "imagefixtures.h"
#include "logcapture.h"
#include "zipimageloader.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

class TestEntryLoaders : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    const QByteArray m_exact = QByteArray(52428800, 'z');
    const QByteArray m_over = QByteArray(52428801, 'z');

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY(writeZip(m_dir.filePath("a.zip"), {{"exact.bin", m_exact}, {"over.bin", m_over},
                                                 {"empty.bin", ""}, {"img/a.png", "A"}, {"img/a.png", "second"}}, 1));
        QVERIFY(writeArchive(m_dir.filePath("big.tar.gz"), "tar.gz", {{"exact.bin", m_exact}, {"over.bin", m_over}}));
        for (const char *kind : {"7z", "tar", "tar.gz"})
            QVERIFY(writeArchive(m_dir.filePath(QStringLiteral("s.") + kind), kind,
                                 {{"1", "one"}, {"2", "two"}, {"3", "three"}, {".\\img\\001.jpg", "win"},
                                  {"a//b.png", "ab"}, {"pics", "", true}, {"pics", "file"}, {"dup", ""}, {"dup", "later"}}));
    }

    void zipEntries_data()
    {
        QTest::addColumn<QString>("entry");
        QTest::addColumn<int>("size"); // -1: refused
        QTest::newRow("exactly 50 MiB") << "exact.bin" << 52428800;
        QTest::newRow("one byte more") << "over.bin" << -1;
        QTest::newRow("empty") << "empty.bin" << -1;
        QTest::newRow("first of duplicates") << "img/a.png" << 1;
        QTest::newRow("case-sensitive") << "IMG/a.png" << -1;
    }
    void zipEntries()
    {
        QFETCH(QString, entry);
        QFETCH(int, size);
        const QByteArray bytes = ZipImageLoader::readEntry(m_dir.filePath("a.zip"), entry, false);
        QCOMPARE(size < 0 ? -1 : bytes.size(), size);
        QCOMPARE(ZipImageLoader::readEntry(m_dir.filePath("a.zip"), entry.toUtf8().toBase64(), true), bytes);
    }

    void archiveEntries_data()
    {
        QTest::addColumn<QString>("archive");
        QTest::addColumn<QStringList>("reads");
        QTest::addColumn<QByteArray>("last");
        for (const char *kind : {"7z", "tar", "tar.gz"}) {
            const QString a = QStringLiteral("s.") + kind;
            QTest::addRow("%s in order", kind) << a << QStringList{"1", "2", "3"} << QByteArray("three");
            QTest::addRow("%s backwards", kind) << a << QStringList{"3", "1"} << QByteArray("one");
            QTest::addRow("%s backslashes", kind) << a << QStringList{"img/001.jpg"} << QByteArray("win");
            QTest::addRow("%s doubled slash", kind) << a << QStringList{"a/b.png"} << QByteArray("ab");
            QTest::addRow("%s directory skipped", kind) << a << QStringList{"pics"} << QByteArray("file");
            QTest::addRow("%s empty skipped", kind) << a << QStringList{"dup"} << QByteArray("later");
            QTest::addRow("%s missing", kind) << a << QStringList{"nope"} << QByteArray();
        }
        QTest::newRow("exactly 50 MiB") << "big.tar.gz" << QStringList{"exact.bin"} << m_exact;
        QTest::newRow("one byte more") << "big.tar.gz" << QStringList{"over.bin"} << QByteArray();
    }
    void archiveEntries()
    {
        QFETCH(QString, archive);
        QFETCH(QStringList, reads);
        QByteArray bytes;
        for (const QString &entry : reads)
            bytes = ArchiveImageLoader::readEntry(m_dir.filePath(archive), entry);
        QTEST(bytes, "last");
        // A failed search leaves the handle usable.
        QCOMPARE(ArchiveImageLoader::readEntry(m_dir.filePath("s.tar"), "2"), QByteArray("two"));
    }

    void handlesBounded()
    {
        QDir(m_dir.path()).mkdir("many");
        const QString many = m_dir.filePath("many");
        for (int i = 0; i < 5; ++i) {
            const QString zip = many + QStringLiteral("/%1.zip").arg(i);
            const QString tar = many + QStringLiteral("/%1.tar").arg(i);
            QVERIFY(writeZip(zip, {{"p", "z"}}));
            QVERIFY(writeArchive(tar, "tar", {{"p", "t"}}));
        }
        for (int round = 0; round < 2; ++round) {
            for (int i = 0; i < 5; ++i) {
                QCOMPARE(ZipImageLoader::readEntry(many + QStringLiteral("/%1.zip").arg(i), "p", false), QByteArray("z"));
                QCOMPARE(ArchiveImageLoader::readEntry(many + QStringLiteral("/%1.tar").arg(i), "p"), QByteArray("t"));
                QVERIFY(ZipImageLoader::readEntry(many + "/missing.zip", "p", false).isEmpty());
                QVERIFY(openFilesBelow(many) <= 6);
            }
        }
        const int open = openFilesBelow(many);
        ArchiveImageLoader::releaseArchive(many + "/4.zip");
        ArchiveImageLoader::releaseArchive(many + "/4.tar");
        ArchiveImageLoader::releaseArchive(many + "/never-read.zip");
        QVERIFY(openFilesBelow(many) <= open - 2);
    }
};

QTEST_GUILESS_MAIN(TestEntryLoaders)
#include "tst_entryloaders.moc"
