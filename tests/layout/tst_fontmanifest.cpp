#include "epubfixture.h"
#include "fontregistry.h"
#include "installedfonts.h"

#include <QTemporaryDir>
#include <QtTest>

namespace {

FontManifestEntry entry(const QString &path, int weight = 400, int order = 0)
{
    FontManifestEntry e;
    e.cssFamily = QStringLiteral("Book");
    e.resourcePath = path;
    e.weight = weight;
    e.candidateOrder = order;
    return e;
}

QStringList substitutesOf(int weight)
{
    return QFont::substitutes(
        FontRegistry::aliasFamily(QStringLiteral("book"), QStringLiteral("Book"), weight, false));
}

}

class TestFontManifest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        sans = installedFontData(QStringLiteral("DejaVuSans.ttf"));
        QVERIFY2(!sans.isEmpty(), "fonts-dejavu-core is not installed");
    }
    void init()
    {
        FontRegistry::instance().clearAll();
        QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("book/fonts"))));
    }

    void deobfuscate_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("keySize");
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("changed");
        QTest::newRow("idpf, short font") << 600 << 20 << 1040 << 600;
        QTest::newRow("idpf") << 3000 << 20 << 1040 << 1040;
        QTest::newRow("adobe") << 3000 << 16 << 1024 << 1024;
        QTest::newRow("no key") << 100 << 0 << 1040 << 0;
        QTest::newRow("no count") << 100 << 16 << 0 << 0;
    }
    void deobfuscate()
    {
        QFETCH(int, size);
        QFETCH(int, keySize);
        QFETCH(int, count);
        QFETCH(int, changed);
        QByteArray key;
        for (int i = 0; i < keySize; ++i)
            key.append(char(0x80 + i));
        // Over zero bytes the XOR shows the repeated key, then the untouched rest.
        const QByteArray zeros(size, '\0');
        const QByteArray out = FontRegistry::deobfuscate(zeros, key, count);
        QCOMPARE(out, key.repeated(size).left(changed) + zeros.mid(changed));
        QCOMPARE(FontRegistry::deobfuscate(out, key, count), zeros);
    }

    void archiveFonts_data()
    {
        QTest::addColumn<QString>("obfuscation");
        QTest::addColumn<int>("keySize");
        QTest::addColumn<int>("prefix");
        QTest::addColumn<bool>("registered");
        QTest::newRow("plain") << "" << 0 << 0 << true;
        QTest::newRow("idpf") << "idpf" << 20 << 1040 << true;
        QTest::newRow("adobe") << "adobe" << 16 << 1024 << true;
        QTest::newRow("unsupported") << "unsupported" << 16 << 1024 << false;
    }
    void archiveFonts()
    {
        QFETCH(QString, obfuscation);
        QFETCH(int, keySize);
        QFETCH(int, prefix);
        QFETCH(bool, registered);
        const QByteArray key = QByteArray("0123456789abcdefghij").left(keySize);
        const QString epub = dir.filePath(QStringLiteral("book.epub"));
        // The first candidate is missing, so the second one stands in.
        QVERIFY(writeZipFile(epub, {{QStringLiteral("OEBPS/f.ttf"),
                                 FontRegistry::deobfuscate(sans, key, prefix)}}));
        FontManifestEntry font = entry(QStringLiteral("OEBPS/f.ttf"), 400, 1);
        font.obfuscation = obfuscation;
        font.key = key;
        font.prefixLength = prefix;
        save(epub, {font, entry(QStringLiteral("OEBPS/missing.ttf"))});
        QCOMPARE(FontRegistry::instance().loadManifest(QStringLiteral("book"), bookDir()),
                 registered);
        QCOMPARE(substitutesOf(400),
                 registered ? QStringList{QStringLiteral("dejavu sans")} : QStringList());
        // Already active: the manifest is not read again.
        QFile::remove(bookDir() + QStringLiteral("/fonts/manifest.json"));
        QVERIFY(FontRegistry::instance().loadManifest(QStringLiteral("book"), bookDir()));
    }

    void fontFiles_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("registered");
        QTest::newRow("inside") << "%1/book/fonts/sans.ttf" << true;
        QTest::newRow("relative inside") << "sans.ttf" << true;
        QTest::newRow("dot-dot") << "%1/book/fonts/../../outside.ttf" << false;
        QTest::newRow("relative dot-dot") << "../../outside.ttf" << false;
        QTest::newRow("absolute outside") << "%1/outside.ttf" << false;
        QTest::newRow("link leaving") << "%1/book/fonts/link.ttf" << false;
        QTest::newRow("local family") << "local:DejaVu Sans" << true;
    }
    void fontFiles()
    {
        QFETCH(QString, path);
        QFETCH(bool, registered);
        writeFile(dir.filePath(QStringLiteral("book/fonts/sans.ttf")), sans);
        writeFile(dir.filePath(QStringLiteral("outside.ttf")), sans);
        QFile::link(dir.filePath(QStringLiteral("outside.ttf")),
                    dir.filePath(QStringLiteral("book/fonts/link.ttf")));
        FontManifestEntry font = entry(path.arg(dir.path()));
        if (path.startsWith(QLatin1String("local:"))) {
            font.resourcePath.clear();
            font.localFamily = path.mid(6).toLower();
        }
        save(QString(), {font});
        QCOMPARE(FontRegistry::instance().loadManifest(QStringLiteral("book"), bookDir()),
                 registered);
        QCOMPARE(substitutesOf(400).size(), registered ? 1 : 0);
    }

    void sizeLimits_data()
    {
        QTest::addColumn<QList<int>>("sizes");
        QTest::addColumn<QList<bool>>("registered");
        const int limit = 52428800;
        QTest::newRow("exactly the limit") << QList<int>{limit} << QList<bool>{true};
        QTest::newRow("one byte over") << QList<int>{limit + 1} << QList<bool>{false};
        QTest::newRow("book total") << QList<int>{limit, limit, limit, limit, limit}
                                    << QList<bool>{true, true, true, true, false};
    }
    void sizeLimits()
    {
        QFETCH(QList<int>, sizes);
        QFETCH(QList<bool>, registered);
        QVector<QPair<QString, QByteArray>> files;
        QList<FontManifestEntry> entries;
        for (int i = 0; i < sizes.size(); ++i) {
            // Trailing bytes leave a font loadable.
            const QString name = QStringLiteral("f%1.ttf").arg(i);
            files.append({name, sans + QByteArray(sizes[i] - sans.size(), '\0')});
            entries.append(entry(name, 100 * (i + 1)));
        }
        const QString epub = dir.filePath(QStringLiteral("big.epub"));
        QVERIFY(writeZipFile(epub, files));
        files.clear();
        save(epub, entries);
        FontRegistry::instance().loadManifest(QStringLiteral("book"), bookDir());
        for (int i = 0; i < sizes.size(); ++i)
            QCOMPARE(substitutesOf(100 * (i + 1)).size(), registered[i] ? 1 : 0);
    }

private:
    QString bookDir() const { return dir.filePath(QStringLiteral("book")); }
    static void writeFile(const QString &path, const QByteArray &data)
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(data);
    }
    void save(const QString &source, const QList<FontManifestEntry> &entries)
    {
        FontRegistry::instance().setActiveBook(QStringLiteral("book"));
        QVERIFY(FontRegistry::instance().saveManifest(bookDir(), source, entries));
        FontRegistry::instance().clearAll();
    }

    QTemporaryDir dir;
    QByteArray sans;
};

QTEST_MAIN(TestFontManifest)
#include "tst_fontmanifest.moc"
