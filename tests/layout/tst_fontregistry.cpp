#include "epubfixture.h"
#include "fontregistry.h"
#include "installedfonts.h"

#include <QCryptographicHash>
#include <QFontDatabase>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QString sha1Hex12(const QByteArray &text)
{
    return QString::fromLatin1(QCryptographicHash::hash(text, QCryptographicHash::Sha1).toHex())
        .left(12);
}

// Application fonts alive now; ids of removed fonts list no family.
int liveApplicationFonts()
{
    int live = 0;
    for (int id = 0; id < 200; ++id)
        live += QFontDatabase::applicationFontFamilies(id).isEmpty() ? 0 : 1;
    return live;
}

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

class TestFontRegistry : public QObject
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

    void aliasFamily_data()
    {
        QTest::addColumn<QString>("bookId");
        QTest::addColumn<QString>("family");
        QTest::addColumn<int>("weight");
        QTest::addColumn<bool>("italic");
        QTest::addColumn<QByteArray>("styleText");
        QTest::newRow("spaces and case") << "b1" << "  Georgia " << 700 << true
                                         << QByteArray("georgia|700|italic");
        QTest::newRow("chinese book id") << QString::fromUtf8("书") << QString::fromUtf8("宋体")
                                         << 400 << false << QByteArray("宋体|400|normal");
    }
    void aliasFamily()
    {
        QFETCH(QString, bookId);
        QFETCH(QString, family);
        QFETCH(int, weight);
        QFETCH(bool, italic);
        QFETCH(QByteArray, styleText);
        const QString alias = FontRegistry::aliasFamily(bookId, family, weight, italic);
        QCOMPARE(alias, QStringLiteral("quillora-") + sha1Hex12(bookId.toUtf8())
                            + QLatin1Char('-') + sha1Hex12(styleText));
    }

    void registrationLifecycle()
    {
        FontRegistry &registry = FontRegistry::instance();
        QCOMPARE(registry.hasFamily(QStringLiteral(" dejavu SANS ")), QStringLiteral("DejaVu Sans"));
        QVERIFY(registry.registerFontData(QStringLiteral("Book"), 400, false, sans).isEmpty());

        const int before = liveApplicationFonts();
        registry.setActiveBook(QStringLiteral("b1"));
        const QString regular = registry.registerFontData(QStringLiteral("Book"), 400, false, sans);
        const QString bold = registry.registerFontData(QStringLiteral("Book"), 700, false, sans);
        QCOMPARE(regular, FontRegistry::aliasFamily(QStringLiteral("b1"), QStringLiteral("Book"),
                                                    400, false));
        // Qt keeps substitutes lower-cased.
        QCOMPARE(QFont::substitutes(regular), QStringList{QStringLiteral("dejavu sans")});
        QCOMPARE(QFont::substitutes(bold), QFont::substitutes(regular));
        QCOMPARE(liveApplicationFonts(), before + 1);
        QVERIFY(registry.registerFontData(QStringLiteral("Bad"), 400, false, "not a font")
                    .isEmpty());
        QCOMPARE(liveApplicationFonts(), before + 1);

        registry.setActiveBook(QStringLiteral("b1"));
        QCOMPARE(QFont::substitutes(regular).size(), 1);
        registry.setActiveBook(QStringLiteral("b2"));
        QVERIFY(QFont::substitutes(regular).isEmpty());
        QCOMPARE(liveApplicationFonts(), before);

        registry.clearAll();
        QVERIFY(registry.activeBookId().isEmpty());
        QVERIFY(registry.substituteFamily(QStringLiteral("Book"), 400, false,
                                          {QStringLiteral("DejaVu Serif")})
                    .isEmpty());
    }

    void resolve_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<int>("weight");
        QTest::addColumn<bool>("italic");
        QTest::addColumn<QString>("expected");  // "@400" / "@700": alias of that declared face
        QTest::newRow("unknown then generic") << "'No Such Face', SERIF" << -1 << false << "serif";
        QTest::newRow("installed, other case") << "\"dejavu sans\"" << -1 << false << "DejaVu Sans";
        QTest::newRow("alias as written") << "@700" << -1 << false << "@700";
        QTest::newRow("nothing") << "No Such Face" << -1 << false << "";
        QTest::newRow("exact style") << "book" << 700 << false << "@700";
        QTest::newRow("italic falls back to normal") << " Book " << 700 << true << "@700";
        QTest::newRow("weight falls back to 400") << "Book" << 300 << true << "@400";
        QTest::newRow("alias maps to its family") << "@400" << 700 << false << "@700";
        QTest::newRow("undeclared family") << "Other, monospace" << 700 << false << "monospace";
    }
    void resolve()
    {
        QFETCH(QString, value);
        QFETCH(int, weight);
        QFETCH(bool, italic);
        QFETCH(QString, expected);
        FontRegistry &registry = FontRegistry::instance();
        registry.setActiveBook(QStringLiteral("b1"));
        const QStringList candidates{QStringLiteral("DejaVu Sans")};
        const QString regular = registry.substituteFamily(QStringLiteral("Book"), 400, false,
                                                          candidates);
        const QString bold = registry.substituteFamily(QStringLiteral("Book"), 700, false,
                                                       candidates);
        const auto expand = [&](QString text) {
            return text.replace(QLatin1String("@400"), regular)
                .replace(QLatin1String("@700"), bold);
        };
        value = expand(value);
        const QString got = weight < 0 ? registry.resolveFamily(value)
                                       : registry.resolveStyledFamily(value, weight, italic);
        QCOMPARE(got, expand(expected));
    }

    void splitFamilyList_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QStringList>("names");
        QTest::newRow("quoted comma") << "\"A, B\", 'C' , D,," << QStringList{"A, B", "C", "D"};
        QTest::newRow("other quote kept") << "'It\"s', x" << QStringList{"It\"s", "x"};
        QTest::newRow("unclosed quote") << "'Open, Face" << QStringList{"Open, Face"};
        QTest::newRow("blank") << "  ,  " << QStringList{};
    }
    void splitFamilyList()
    {
        QFETCH(QString, value);
        QTEST(FontRegistry::splitFamilyList(value), "names");
    }

    void deobfuscate_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("keySize");
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("changed");
        QTest::newRow("idpf, short font") << 600 << 20 << 1040 << 600;
        QTest::newRow("idpf") << 3000 << 20 << 1040 << 1040;
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
        QVERIFY(writeZipFile(epub, {{QStringLiteral("OEBPS/f.ttf"), FontRegistry::deobfuscate(sans, key, prefix)}}));
        FontManifestEntry font = entry(QStringLiteral("OEBPS/f.ttf"), 400, 1);
        font.obfuscation = obfuscation;
        font.key = key;
        font.prefixLength = prefix;
        save(epub, {font, entry(QStringLiteral("OEBPS/missing.ttf"))});
        QCOMPARE(loadManifest(), registered);
        QCOMPARE(substitutesOf(400), registered ? QStringList{QStringLiteral("dejavu sans")} : QStringList());
        // Already active: the manifest is not read again.
        QFile::remove(bookDir() + QStringLiteral("/fonts/manifest.json"));
        QVERIFY(loadManifest());
    }

    void fontFiles_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("registered");
        QTest::newRow("inside") << "%1/book/fonts/sans.ttf" << true;
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
        QFile::link(dir.filePath(QStringLiteral("outside.ttf")), dir.filePath(QStringLiteral("book/fonts/link.ttf")));
        FontManifestEntry font = entry(path.arg(dir.path()));
        if (path.startsWith(QLatin1String("local:"))) {
            font.resourcePath.clear();
            font.localFamily = path.mid(6).toLower();
        }
        save(QString(), {font});
        QCOMPARE(loadManifest(), registered);
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
        loadManifest();
        for (int i = 0; i < sizes.size(); ++i)
            QCOMPARE(substitutesOf(100 * (i + 1)).size(), registered[i] ? 1 : 0);
    }

private:
    QString bookDir() const { return dir.filePath(QStringLiteral("book")); }
    bool loadManifest() { return FontRegistry::instance().loadManifest(QStringLiteral("book"), bookDir()); }
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

QTEST_MAIN(TestFontRegistry)
#include "tst_fontregistry.moc"
