#include "fontregistry.h"
#include "installedfonts.h"

#include <QCryptographicHash>
#include <QFontDatabase>
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
    void init() { FontRegistry::instance().clearAll(); }

    void aliasFamily_data()
    {
        QTest::addColumn<QString>("bookId");
        QTest::addColumn<QString>("family");
        QTest::addColumn<int>("weight");
        QTest::addColumn<bool>("italic");
        QTest::addColumn<QByteArray>("styleText");
        QTest::newRow("spaces and case") << "b1" << "  Georgia " << 700 << true
                                         << QByteArray("georgia|700|italic");
        QTest::newRow("normal") << "b1" << "georgia" << 400 << false << QByteArray("georgia|400|normal");
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
        QCOMPARE(alias.size(), 34);
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
        QCOMPARE(registry.activeBookId(), QStringLiteral("b2"));
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
        QTest::newRow("empty") << "" << -1 << false << "";
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
        QFETCH(QStringList, names);
        QCOMPARE(FontRegistry::splitFamilyList(value), names);
    }

private:
    QByteArray sans;
};

QTEST_MAIN(TestFontRegistry)
#include "tst_fontregistry.moc"
