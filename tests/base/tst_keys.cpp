#include "keys.h"

#include <QRegularExpression>
#include <QtTest>

class TestKeys : public QObject
{
    Q_OBJECT

private slots:
    void md5Vectors_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("digest");
        QTest::newRow("empty") << QString() << QStringLiteral("d41d8cd98f00b204e9800998ecf8427e");
        QTest::newRow("abc") << QStringLiteral("abc") << QStringLiteral("900150983cd24fb0d6963f7d28e17f72");
        // UTF-8 bytes of the title, never its UTF-16 form.
        QTest::newRow("chinese") << QStringLiteral("中文") << QStringLiteral("a7bac2239fcdcb3a067903d8077c4a07");
        QTest::newRow("path") << QStringLiteral("/home/user/book.txt")
                              << QString::fromLatin1(QCryptographicHash::hash("/home/user/book.txt", QCryptographicHash::Md5).toHex());
    }

    void md5Vectors()
    {
        QFETCH(QString, text);
        QFETCH(QString, digest);
        QCOMPARE(md5Hex(text), digest);
    }

    void joined()
    {
        QCOMPARE(md5OfJoined({QStringLiteral("a")}), md5Hex(QStringLiteral("a")));
        QCOMPARE(md5OfJoined({QStringLiteral("a"), QStringLiteral("b")}), md5Hex(QStringLiteral("a|b")));
        QCOMPARE(md5OfJoined({}), md5Hex(QString()));
    }

    void timeString()
    {
        const QString now = currentTimeString();
        QVERIFY2(QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d$")).match(now).hasMatch(),
                 qPrintable(now));
        const QDateTime parsed = QDateTime::fromString(now, QStringLiteral("yyyy-MM-dd hh:mm:ss"));
        QVERIFY(parsed.isValid());
        QVERIFY(qAbs(parsed.secsTo(QDateTime::currentDateTime())) <= 2);
    }
};

QTEST_GUILESS_MAIN(TestKeys)
#include "tst_keys.moc"
