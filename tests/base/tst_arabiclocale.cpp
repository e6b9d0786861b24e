#include "keys.h"

#include <QCoreApplication>
#include <QLocale>
#include <QRegularExpression>
#include <QtTest>

// Stored time stamps are compared as text; a locale with its own digits
// must not change them. The process runs as under LANG=ar_EG.UTF-8.
class TestArabicLocale : public QObject
{
    Q_OBJECT

private slots:
    void timeStampsKeepAsciiDigits()
    {
        // Otherwise the test proves nothing.
        QVERIFY(QLocale::system().zeroDigit() != QLatin1Char('0'));
        const QString now = currentTimeString();
        QVERIFY2(QRegularExpression(QStringLiteral("^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}$"))
                     .match(now).hasMatch(),
                 qPrintable(now));
        QVERIFY(QLocale::c().toDateTime(now, QStringLiteral("yyyy-MM-dd hh:mm:ss")).isValid());
    }
};

int main(int argc, char **argv)
{
    // Before the application object: Qt reads the system locale from these.
    qputenv("LANG", "ar_EG.UTF-8");
    qputenv("LC_ALL", "ar_EG.UTF-8");
    QCoreApplication app(argc, argv);
    TestArabicLocale test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_arabiclocale.moc"
