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
};

QTEST_GUILESS_MAIN(TestSelfRegistration)
#include "tst_selfregistration.moc"
