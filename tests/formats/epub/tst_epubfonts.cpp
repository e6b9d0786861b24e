// A book's embedded fonts: obfuscation keys, the encryption table and which
// sources get registered.

#include "epubfonts.h"
#include "fontregistry.h"
#include "installedfonts.h"

#include <QCryptographicHash>
#include <QtTest>

namespace {

const QString Uuid = QStringLiteral("12345678-9abc-def0-1234-56789abcdef0");

QString encryptionXml(const QString &algorithm, const QString &uri)
{
    return QStringLiteral(
               "<encryption xmlns=\"urn:oasis:names:tc:opendocument:xmlns:container\" "
               "xmlns:enc=\"http://www.w3.org/2001/04/xmlenc#\"><enc:EncryptedData>"
               "<enc:EncryptionMethod Algorithm=\"%1\"/><enc:CipherData>"
               "<enc:CipherReference URI=\"%2\"/></enc:CipherData></enc:EncryptedData></encryption>")
        .arg(algorithm, uri);
}

}

class TestEpubFonts : public QObject
{
    Q_OBJECT
private slots:
    void init() { FontRegistry::instance().clearAll(); }

    void obfuscationTable_data()
    {
        QTest::addColumn<QString>("algorithm");
        QTest::addColumn<QString>("uri");
        QTest::addColumn<QString>("uniqueId");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("method");
        QTest::addColumn<QByteArray>("key");
        QTest::addColumn<int>("length");

        const QString idpf = QStringLiteral("http://www.idpf.org/2008/embedding");
        const QString adobe = QStringLiteral("http://ns.adobe.com/pdf/enc#RC");
        const QByteArray sha = QCryptographicHash::hash("urn:isbn:123", QCryptographicHash::Sha1);
        const QByteArray uuidBytes = QByteArray::fromHex(QString(Uuid).remove('-').toLatin1());
        QTest::newRow("idpf") << idpf << "OEBPS/f.ttf" << "urn:isbn:123" << "OEBPS/f.ttf"
                              << "idpf" << sha << 1040;
        QTest::newRow("idpf ignores white space, no-break included")
            << idpf << "OEBPS/f.ttf" << QStringLiteral(" urn:isbn:\u00a01 2\t3\n") << "OEBPS/f.ttf"
            << "idpf" << sha << 1040;
        QTest::newRow("adobe braced urn with a trailing space")
            << adobe << "f.ttf" << QStringLiteral("urn:uuid:{%1} ").arg(Uuid) << "f.ttf" << "adobe"
            << uuidBytes << 1024;
        QTest::newRow("adobe without a uuid") << adobe << "f.ttf" << "urn:isbn:123" << "f.ttf"
                                              << "unsupported" << QByteArray() << 0;
        QTest::newRow("idpf with a blank id") << idpf << "f.ttf" << " \u3000 " << "f.ttf"
                                              << "unsupported" << QByteArray() << 0;
        QTest::newRow("unknown algorithm") << "http://www.w3.org/2001/04/xmlenc#aes128-cbc"
                                           << "f.ttf" << "x" << "f.ttf" << "unsupported"
                                           << QByteArray() << 0;
        QTest::newRow("uri decoded from the root, fragment dropped")
            << idpf << "/OEBPS/My%20Font.otf#x" << "id" << "OEBPS/My Font.otf" << "idpf"
            << QCryptographicHash::hash("id", QCryptographicHash::Sha1) << 1040;
        QTest::newRow("absolute uri is no path") << idpf << "http://example.com/f.ttf" << "id"
                                                 << "" << "" << QByteArray() << 0;
    }
    void obfuscationTable()
    {
        QFETCH(QString, algorithm);
        QFETCH(QString, uri);
        QFETCH(QString, uniqueId);
        QFETCH(QString, path);
        const QMap<QString, EpubObfuscation> table =
            EpubFonts::readEncryption(encryptionXml(algorithm, uri), uniqueId);
        QCOMPARE(table.size(), path.isEmpty() ? 0 : 1);
        const EpubObfuscation entry = table.value(path);
        QTEST(entry.method, "method");
        QTEST(entry.key, "key");
        QTEST(entry.length, "length");
    }

    // Which source of a face wins, and what every source leaves in the manifest.
    void registration_data()
    {
        QTest::addColumn<QString>("css");
        QTest::addColumn<QString>("method");      // obfuscation of fonts/a.ttf
        QTest::addColumn<QStringList>("records");  // kind:obfuscation per record
        QTest::addColumn<QStringList>("reads");
        QTest::addColumn<bool>("registered");

        const QString face = QStringLiteral("@font-face{font-family:Book;src:%1}");
        QTest::newRow("plain url") << face.arg("url(../fonts/a.ttf)") << "" << QStringList{"url:"}
                                   << QStringList{"fonts/a.ttf"} << true;
        QTest::newRow("installed local wins, url recorded but not read")
            << face.arg("local('DejaVu Serif'),url(../fonts/a.ttf)") << ""
            << QStringList{"local:", "url:"} << QStringList() << true;
        QTest::newRow("unknown local falls to the url")
            << face.arg("local(NoSuchFont),url(../fonts/a.ttf)") << ""
            << QStringList{"local:", "url:"} << QStringList{"fonts/a.ttf"} << true;
        QTest::newRow("unsupported is recorded only")
            << face.arg("url(../fonts/a.ttf)") << "unsupported" << QStringList{"url:unsupported"}
            << QStringList() << false;
        QTest::newRow("second rule of the same face is not read")
            << face.arg("url(../fonts/a.ttf)") + face.arg("url(../fonts/a.ttf)") << ""
            << QStringList{"url:", "url:"} << QStringList{"fonts/a.ttf"} << true;
    }
    void registration()
    {
        QFETCH(QString, css);
        QFETCH(QString, method);
        const QByteArray font = installedFontData(QStringLiteral("DejaVuSans.ttf"));
        QVERIFY(!font.isEmpty());

        EpubFonts::Book book;
        book.bookId = QStringLiteral("font-book");
        book.opfPath = QStringLiteral("content.opf");
        book.styleTexts.insert(QStringLiteral("css/style.css"), css);
        if (!method.isEmpty())
            book.obfuscation.insert(QStringLiteral("fonts/a.ttf"), {method, QByteArray(), 0});
        book.lookup = [](const QString &href, const QString &) {
            return href == QLatin1String("../fonts/a.ttf") ? QStringLiteral("fonts/a.ttf") : QString();
        };
        QStringList reads;
        book.read = [&](const QString &entry) {
            reads << entry;
            return font;
        };
        const QList<FontManifestEntry> manifest = EpubFonts::registerFonts(book);

        QStringList records;
        for (const FontManifestEntry &entry : manifest) {
            records << (entry.localFamily.isEmpty() ? "url:" : "local:") + entry.obfuscation;
            QCOMPARE(entry.candidateOrder, records.size() - 1);
        }
        QTEST(records, "records");
        QTEST(reads, "reads");
        const QString resolved = FontRegistry::instance().resolveStyledFamily("Book", 400, false);
        QFETCH(bool, registered);
        QCOMPARE(resolved.startsWith(QLatin1String("quillora-")), registered);
    }

    void sourcesReadPerBookAreCapped()
    {
        const QByteArray font = installedFontData(QStringLiteral("DejaVuSans.ttf"));
        EpubFonts::Book book;
        book.bookId = QStringLiteral("many");
        QString css;
        for (int i = 0; i < EpubFonts::MaxFontSources + 10; ++i)
            css += QStringLiteral("@font-face{font-family:F%1;src:url(f.ttf)}").arg(i);
        book.styleTexts.insert(QStringLiteral("s.css"), css);
        book.lookup = [](const QString &, const QString &) { return QStringLiteral("f.ttf"); };
        int reads = 0;
        book.read = [&](const QString &) { ++reads; return font; };
        QCOMPARE(EpubFonts::registerFonts(book).size(), EpubFonts::MaxFontSources + 10);
        QCOMPARE(reads, EpubFonts::MaxFontSources);
    }
};

QTEST_MAIN(TestEpubFonts)
#include "tst_epubfonts.moc"
