#include "naturalorder.h"

#include <QtTest>

#include <algorithm>

// Page names sorted under each locale the machine may run with.
class TestNaturalOrder : public QObject
{
    Q_OBJECT

private slots:
    void sorted_data();
    void sorted();
};

void TestNaturalOrder::sorted_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QStringList>("expected");

    const QStringList pages{"page10.jpg", "page2.jpg", "Page1.jpg", "page01b.jpg", "cover.jpg"};
    const QStringList order{"cover.jpg", "Page1.jpg", "page01b.jpg", "page2.jpg", "page10.jpg"};
    for (const char *locale : {"C", "en_US", "de_DE", "zh_CN"})
        QTest::newRow(locale) << QString::fromLatin1(locale) << pages << order;
    QTest::newRow("folders, C") << "C" << QStringList{"v10/p1.png", "v2/p10.png", "v2/p9.png"}
                                << QStringList{"v2/p9.png", "v2/p10.png", "v10/p1.png"};
}

void TestNaturalOrder::sorted()
{
    QFETCH(QString, locale);
    QFETCH(QStringList, names);
    QFETCH(QStringList, expected);

    // The system locale under ctest is C.UTF-8; setDefault stands in for the others.
    QLocale::setDefault(locale == QLatin1String("C") ? QLocale::system() : QLocale(locale));
    if (locale == QLatin1String("C"))
        QCOMPARE(QLocale().language(), QLocale::C);
    const NaturalOrder order;
    std::stable_sort(names.begin(), names.end(), order);
    QCOMPARE(names, expected);
    QCOMPARE(order.compare(QStringLiteral("a.png"), QStringLiteral("A.png")), 0);
    QLocale::setDefault(QLocale::c());
}

QTEST_GUILESS_MAIN(TestNaturalOrder)
#include "tst_naturalorder.moc"
