#include "paths.h"

#include <QTemporaryDir>
#include <QtTest>

// Removing a failed import's folder must never reach past that one folder.
class TestPaths : public QObject
{
    Q_OBJECT

    QTemporaryDir home;

private slots:
    void initTestCase()
    {
        QVERIFY(home.isValid());
        qputenv("XDG_DATA_HOME", home.path().toUtf8());
    }

    void removeBookDataDir_data()
    {
        QTest::addColumn<QString>("dir");       // below the data location
        QTest::addColumn<bool>("removed");
        QTest::newRow("a book's folder") << "book/" << true;
        QTest::newRow("without the slash") << "book" << true;
        QTest::newRow("the data location itself") << "" << false;
        QTest::newRow("back up to it") << "book/.." << false;
        QTest::newRow("past it") << "book/../.." << false;
        QTest::newRow("inside a book's folder") << "book/images" << false;
    }
    void removeBookDataDir()
    {
        QFETCH(QString, dir);
        QFETCH(bool, removed);
        const QString location = Paths::dataLocation();
        QVERIFY(QDir().mkpath(location + "/book/images"));
        QVERIFY(QDir().mkpath(location + "/other"));
        QCOMPARE(Paths::removeBookDataDir(location + '/' + dir), removed);
        QCOMPARE(QFileInfo::exists(location + "/book"), !removed);
        QVERIFY(QFileInfo::exists(location + "/other"));
        QVERIFY(QFileInfo::exists(home.path()));
    }
};

QTEST_GUILESS_MAIN(TestPaths)
#include "tst_paths.moc"
