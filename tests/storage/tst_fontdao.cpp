#include "databaseconnection.h"
#include "dbtestutils.h"
#include "fontdao.h"
#include "fontinfo.h"
#include "logcapture.h"
#include "testenvironment.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QtTest>

#include <memory>

namespace {

using DbTestUtils::execSql;

int rowCount()
{
    return DbTestUtils::rowCount(QStringLiteral("font_info"));
}

std::unique_ptr<FontInfo> makeFont(const QString &id, const QString &name, const QString &path)
{
    auto font = std::make_unique<FontInfo>();
    font->setId(id);
    font->setName(name);
    font->setFamily(name + QStringLiteral(" Family"));
    font->setStyle(QStringLiteral("Regular"));
    font->setPath(path);
    font->setFileSize(Q_INT64_C(3000000000));
    font->setFileType(QStringLiteral("ttf"));
    font->setCreateTime(QStringLiteral("2024-01-01 08:00:00"));
    font->setUpdateTime(QStringLiteral("2024-01-02 08:00:00"));
    return font;
}

QStringList names(const QList<FontInfo *> &fonts)
{
    QStringList out;
    for (const FontInfo *f : fonts)
        out << f->name();
    return out;
}

}

class TestFontDao : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void insertedFontReadsBack();
    void insertFailures_data();
    void insertFailures();
    void listIgnoresCase();
    void nullColumnsReadAsEmptyAndZero();
    void lookupByPath();
    void removeDeletesOnlyItsRow();

private:
    TestEnvironment m_env;
    FontDao m_dao;
};

void TestFontDao::initTestCase()
{
    QVERIFY(m_env.isValid());
    QVERIFY(m_env.openDatabase());
}

void TestFontDao::init()
{
    execSql(QStringLiteral("DELETE FROM font_info"));
}

void TestFontDao::insertedFontReadsBack()
{
    auto font = makeFont(QStringLiteral("0f8fad5b-d9cb-469f-a165-70867728950e"), QStringLiteral("思源宋体"),
                         QStringLiteral("/data/font/思源宋体.ttf"));
    LogCapture log;
    QVERIFY(m_dao.insert(font.get()));
    QCOMPARE(log.count(), 0);

    QObject owner;
    FontInfo *back = m_dao.queryByPath(font->path(), &owner);
    QVERIFY(back);
    QCOMPARE(back->parent(), &owner);
    const QList<QByteArray> properties = {"id", "name", "family", "style", "path", "fileSize",
                                          "fileType", "createTime", "updateTime"};
    for (const QByteArray &property : properties)
        QCOMPARE(back->property(property), font->property(property));

    const QList<FontInfo *> all = m_dao.queryAll();
    QCOMPARE(all.size(), 1);
    QVERIFY(!all.first()->parent());
    QCOMPARE(all.first()->fileSize(), Q_INT64_C(3000000000));
    qDeleteAll(all);
}

// Fonts that the database refuses: each fails with the warning and false.
void TestFontDao::insertFailures_data()
{
    QTest::addColumn<QByteArray>("cleared");
    QTest::addColumn<bool>("duplicateId");

    QTest::newRow("id already stored") << QByteArray() << true;
    QTest::newRow("name never set") << QByteArray("name") << false;
    QTest::newRow("family never set") << QByteArray("family") << false;
    QTest::newRow("path never set") << QByteArray("path") << false;
}

void TestFontDao::insertFailures()
{
    QFETCH(QByteArray, cleared);
    QFETCH(bool, duplicateId);

    auto first = makeFont(QStringLiteral("id-1"), QStringLiteral("A"), QStringLiteral("/f/a.ttf"));
    QVERIFY(m_dao.insert(first.get()));

    auto font = makeFont(duplicateId ? QStringLiteral("id-1") : QStringLiteral("id-2"), QStringLiteral("B"),
                         QStringLiteral("/f/b.ttf"));
    if (!cleared.isEmpty())
        QVERIFY(font->setProperty(cleared, QString()));

    LogCapture log;
    QVERIFY(!m_dao.insert(font.get()));
    const QStringList warnings = log.lines(QtWarningMsg);
    QCOMPARE(warnings.size(), 1);
    QVERIFY2(warnings.first().startsWith(QStringLiteral("[FontDao] 插入字体失败: \"")), qPrintable(warnings.first()));
    QCOMPARE(rowCount(), 1);
}

void TestFontDao::listIgnoresCase()
{
    const QStringList inserted = {QStringLiteral("beta"), QStringLiteral("Alpha"), QStringLiteral("charlie"),
                                  QStringLiteral("Delta"), QStringLiteral("apple")};
    for (int i = 0; i < inserted.size(); ++i)
        QVERIFY(m_dao.insert(makeFont(QString::number(i), inserted[i], QStringLiteral("/f/%1").arg(i)).get()));

    QObject owner;
    const QList<FontInfo *> all = m_dao.queryAll(&owner);
    QCOMPARE(names(all), QStringList({QStringLiteral("Alpha"), QStringLiteral("apple"), QStringLiteral("beta"),
                                      QStringLiteral("charlie"), QStringLiteral("Delta")}));
    for (const FontInfo *f : all)
        QCOMPARE(f->parent(), &owner);
}

void TestFontDao::nullColumnsReadAsEmptyAndZero()
{
    execSql(QStringLiteral("INSERT INTO font_info (id, name, family, style, path, file_size, file_type) "
                           "VALUES ('x', 'X', 'XF', NULL, '/f/x', NULL, NULL)"));
    std::unique_ptr<FontInfo> back(m_dao.queryByPath(QStringLiteral("/f/x"), nullptr));
    QVERIFY(back);
    QCOMPARE(back->fileSize(), qlonglong(0));
    QVERIFY(back->style().isEmpty());
    QVERIFY(back->fileType().isEmpty());
    QVERIFY(back->createTime().isEmpty());
}

void TestFontDao::lookupByPath()
{
    QVERIFY(m_dao.insert(makeFont(QStringLiteral("1"), QStringLiteral("One"), QStringLiteral("/f/shared")).get()));
    QVERIFY(m_dao.insert(makeFont(QStringLiteral("2"), QStringLiteral("Two"), QStringLiteral("/f/shared")).get()));
    QVERIFY(m_dao.insert(makeFont(QStringLiteral("3"), QStringLiteral("Three"), QStringLiteral("/f/other")).get()));

    std::unique_ptr<FontInfo> shared(m_dao.queryByPath(QStringLiteral("/f/shared"), nullptr));
    QVERIFY(shared);
    QVERIFY(shared->id() == QLatin1String("1") || shared->id() == QLatin1String("2"));

    LogCapture log;
    QVERIFY(!m_dao.queryByPath(QStringLiteral("/f/none"), nullptr));
    QVERIFY(!m_dao.queryByPath(QStringLiteral("/F/SHARED"), nullptr));
    QCOMPARE(log.count(), 0);
}

void TestFontDao::removeDeletesOnlyItsRow()
{
    QVERIFY(m_dao.insert(makeFont(QStringLiteral("1"), QStringLiteral("One"), QStringLiteral("/f/1")).get()));
    QVERIFY(m_dao.insert(makeFont(QStringLiteral("2"), QStringLiteral("Two"), QStringLiteral("/f/2")).get()));
    LogCapture log;
    QVERIFY(m_dao.remove(QStringLiteral("1")));
    QVERIFY(m_dao.remove(QStringLiteral("1")));
    QVERIFY(!m_dao.insert(nullptr));
    QCOMPARE(log.count(), 0);
    const QList<FontInfo *> all = m_dao.queryAll();
    QCOMPARE(names(all), QStringList{QStringLiteral("Two")});
    qDeleteAll(all);
}

QTEST_GUILESS_MAIN(TestFontDao)
#include "tst_fontdao.moc"
