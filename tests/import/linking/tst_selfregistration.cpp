#include "iformatparser.h"
#include "parserregistry.h"

#include <QtTest>

#include <memory>

class TestSelfRegistration : public QObject
{
    Q_OBJECT

private slots:
    void factoryFromStaticLibraryIsRegistered()
    {
        QVERIFY(ParserRegistry::instance().contains(QStringLiteral("qselftest")));
        std::unique_ptr<IFormatParser> parser(
            ParserRegistry::instance().findParser(QStringLiteral("/nowhere/book.QSelfTest")));
        QVERIFY(parser);
        QCOMPARE(parser->parseBookInfo(QString()).errorMessage, QStringLiteral("selftest-parser"));
        // Each request makes its own parser.
        std::unique_ptr<IFormatParser> second(
            ParserRegistry::instance().findParser(QStringLiteral("other.qselftest")));
        QVERIFY(second && second.get() != parser.get());
    }

    void plainTextParsersAreRegistered()
    {
        // Registered from quillora_import's own static initialisers.
        QVERIFY(ParserRegistry::instance().contains(QStringLiteral("txt")));
        QVERIFY(ParserRegistry::instance().contains(QStringLiteral("txt_zh_CN")));
    }
};

QTEST_GUILESS_MAIN(TestSelfRegistration)
#include "tst_selfregistration.moc"
