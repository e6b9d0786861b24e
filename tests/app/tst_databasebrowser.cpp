#include "databasebrowser.h"
#include "databaseconnection.h"
#include "testenvironment.h"

#include <QSqlQuery>
#include <QtTest>

namespace {

QVariant scalar(const QString &sql)
{
    QSqlQuery query(DatabaseConnection::database());
    if (!query.exec(sql) || !query.next())
        return QVariant();
    return query.value(0);
}

// count rows of chapter_info with ids "c0000".."c<n-1>", inserted in order.
bool fillChapters(int count)
{
    QSqlDatabase db = DatabaseConnection::database();
    if (!db.transaction())
        return false;
    QSqlQuery query(db);
    query.prepare(QStringLiteral("INSERT INTO chapter_info (id, title, novel_id, chapter_index) "
                                 "VALUES (?, ?, 'n', ?)"));
    for (int i = 0; i < count; ++i) {
        query.addBindValue(QStringLiteral("c%1").arg(i, 4, 10, QLatin1Char('0')));
        query.addBindValue(QStringLiteral("第%1章").arg(i + 1));
        query.addBindValue(i);
        if (!query.exec())
            return false;
    }
    return db.commit();
}

QStringList ids(const QVariantList &rows)
{
    QStringList result;
    for (const QVariant &row : rows)
        result.append(row.toMap().value(QStringLiteral("id")).toString());
    return result;
}

QStringList expectedIds(int first, int count)
{
    QStringList result;
    for (int i = first; i < first + count; ++i)
        result.append(QStringLiteral("c%1").arg(i, 4, 10, QLatin1Char('0')));
    return result;
}

QVariantMap font(const QString &id, const QString &name)
{
    return QVariantMap{{"id", id}, {"name", name}, {"family", "F"}, {"path", "/p/" + id}};
}

}

class TestDatabaseBrowser : public QObject
{
    Q_OBJECT

    TestEnvironment *env = nullptr;

private slots:
    void init()
    {
        env = new TestEnvironment;
        QVERIFY(env->isValid());
        QVERIFY(env->openDatabase());
    }

    void cleanup()
    {
        delete env;
        env = nullptr;
    }

    void namePattern_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("plain") << "font_info" << true;
        QTest::newRow("digits and capitals") << "Table_2" << true;
        QTest::newRow("empty") << "" << true;
        QTest::newRow("blank") << "font info" << false;
        QTest::newRow("semicolon") << "font_info;DROP TABLE novel_info" << false;
        QTest::newRow("double quote") << "id\"" << false;
        QTest::newRow("single quote") << "id'" << false;
        QTest::newRow("comment") << "id--" << false;
        QTest::newRow("parenthesis") << "x)" << false;
        QTest::newRow("tab") << "a\tb" << false;
        QTest::newRow("newline") << "a\nb" << false;
        QTest::newRow("dot") << "main.font_info" << false;
        QTest::newRow("non-ASCII letter") << QStringLiteral("表") << false;
        QTest::newRow("accented letter") << QStringLiteral("café") << false;
    }

    void namePattern()
    {
        QFETCH(QString, name);
        QFETCH(bool, accepted);
        QCOMPARE(DatabaseBrowser::isAcceptedName(name), accepted);
    }

    void listsTablesAlphabetically()
    {
        const QStringList tables = DatabaseBrowser::listTables();
        for (const char *table : {"chapter_info", "font_info", "novel_info", "read_process_info",
                                  "reading_records", "time_line_log", "unified_chunk",
                                  "unified_paragraph"})
            QVERIFY2(tables.contains(QLatin1String(table)), table);
        QStringList sorted = tables;
        std::sort(sorted.begin(), sorted.end());
        QCOMPARE(tables, sorted);
    }

    void describesColumns()
    {
        const QVariantList columns = DatabaseBrowser::tableColumns(QStringLiteral("font_info"));
        QStringList names;
        for (const QVariant &c : columns)
            names.append(c.toMap().value("name").toString());
        QCOMPARE(names, (QStringList{"id", "name", "family", "style", "path", "file_size",
                                     "file_type", "create_time", "update_time"}));
        QCOMPARE(columns.at(0).toMap().value("pk"), QVariant(1));
        QCOMPARE(columns.at(1).toMap().value("pk"), QVariant(0));
        QVERIFY(DatabaseBrowser::tableColumns(QStringLiteral("no_such_table")).isEmpty());
    }

    void paging_data()
    {
        QTest::addColumn<int>("page");
        QTest::addColumn<int>("pageSize");
        QTest::addColumn<int>("firstId");
        QTest::addColumn<int>("count");

        QTest::newRow("second page") << 2 << 50 << 50 << 50;
        QTest::newRow("first page") << 1 << 50 << 0 << 50;
        QTest::newRow("last, partial page") << 3 << 50 << 100 << 20;
        QTest::newRow("past the end") << 4 << 50 << 0 << 0;
        QTest::newRow("page 0 reads page 1") << 0 << 10 << 0 << 10;
        QTest::newRow("negative page reads page 1") << -7 << 10 << 0 << 10;
        QTest::newRow("lowest int page") << std::numeric_limits<int>::min() << 10 << 0 << 10;
        QTest::newRow("page size 0") << 1 << 0 << 0 << 0;
        QTest::newRow("negative page size") << 1 << -5 << 0 << 0;
        // (page - 1) * pageSize would wrap in 32 bits to a small offset.
        QTest::newRow("huge page") << std::numeric_limits<int>::max() << 1000 << 0 << 0;
        QTest::newRow("wrapping product") << 4294968 << 1000 << 0 << 0;
    }

    void paging()
    {
        QFETCH(int, page);
        QFETCH(int, pageSize);
        QFETCH(int, firstId);
        QFETCH(int, count);
        QVERIFY(fillChapters(120));

        const QVariantList rows = DatabaseBrowser::queryTable(QStringLiteral("chapter_info"), page, pageSize);
        QCOMPARE(ids(rows), expectedIds(firstId, count));
    }

    void rowsCarryEveryColumnWithItsValue()
    {
        QVERIFY(fillChapters(1));
        const QVariantList rows = DatabaseBrowser::queryTable(QStringLiteral("chapter_info"), 1, 10);
        QCOMPARE(rows.size(), 1);
        const QVariantMap row = rows.first().toMap();
        QCOMPARE(row.size(), DatabaseBrowser::tableColumns(QStringLiteral("chapter_info")).size());
        QCOMPARE(row.value("title").toString(), QStringLiteral("第1章"));
        QCOMPARE(row.value("chapter_index").toInt(), 0);
        QCOMPARE(row.value("glyph_count").toInt(), 0); // column default
        QVERIFY(row.contains("path") && row.value("path").isNull());
    }

    void pageSizeIsCapped()
    {
        QVERIFY(fillChapters(DatabaseBrowser::MaxPageSize + 30));
        const QString table = QStringLiteral("chapter_info");
        QCOMPARE(DatabaseBrowser::queryTable(table, 1, std::numeric_limits<int>::max()).size(),
                 DatabaseBrowser::MaxPageSize);
        // Pages follow the capped size, so nothing is skipped.
        QCOMPARE(ids(DatabaseBrowser::queryTable(table, 2, 5000)),
                 expectedIds(DatabaseBrowser::MaxPageSize, 30));
        QCOMPARE(DatabaseBrowser::countRows(table), DatabaseBrowser::MaxPageSize + 30);
    }

    void counts()
    {
        QVERIFY(fillChapters(7));
        QCOMPARE(DatabaseBrowser::countRows(QStringLiteral("chapter_info")), 7);
        QCOMPARE(DatabaseBrowser::countRows(QStringLiteral("font_info")), 0);
        QCOMPARE(DatabaseBrowser::countRows(QString()), 0);
        QCOMPARE(DatabaseBrowser::countRows(QStringLiteral("no_such_table")), 0);
        QCOMPARE(DatabaseBrowser::countRows(QStringLiteral("chapter_info WHERE 1")), 0);
    }

    void updatesAndDeletesOneRow()
    {
        QVERIFY(fillChapters(3));
        const QString table = QStringLiteral("chapter_info");
        QVERIFY(DatabaseBrowser::updateCell(table, "id", "c0001", "title", QStringLiteral("新标题")));
        QCOMPARE(scalar("SELECT title FROM chapter_info WHERE id='c0001'").toString(), QStringLiteral("新标题"));
        QCOMPARE(scalar("SELECT title FROM chapter_info WHERE id='c0000'").toString(), QStringLiteral("第1章"));

        // A value that looks like SQL is stored as it is.
        const QString sly = QStringLiteral("x' WHERE 1; DROP TABLE novel_info; --");
        QVERIFY(DatabaseBrowser::updateCell(table, "id", "c0002", "title", sly));
        QCOMPARE(scalar("SELECT title FROM chapter_info WHERE id='c0002'").toString(), sly);

        // Matching no row still counts as executed.
        QVERIFY(DatabaseBrowser::updateCell(table, "id", "nope", "title", "t"));
        QVERIFY(!DatabaseBrowser::updateCell(table, "id", "c0000", "no_such_column", "t"));

        QVERIFY(DatabaseBrowser::deleteRow(table, "id", "c0001"));
        QCOMPARE(DatabaseBrowser::countRows(table), 2);
        QVERIFY(DatabaseBrowser::deleteRow(table, "id", "nope"));
        QCOMPARE(DatabaseBrowser::countRows(table), 2);
    }

    void refusedNamesRunNothing_data()
    {
        QTest::addColumn<QString>("table");
        QTest::addColumn<QString>("pkColumn");
        QTest::addColumn<QString>("column");
        QTest::newRow("table with semicolon") << "chapter_info;DELETE FROM chapter_info" << "id" << "title";
        QTest::newRow("table with blank") << "chapter_info WHERE 1" << "id" << "title";
        QTest::newRow("key column with quote") << "chapter_info" << "id\" OR \"1\"=\"1" << "title";
        QTest::newRow("key column with blank") << "chapter_info" << "id OR 1" << "title";
        QTest::newRow("column with quote") << "chapter_info" << "id" << "title\"=1,\"novel_id";
        QTest::newRow("column with semicolon") << "chapter_info" << "id" << "title;";
        // Well-formed names of nothing: SQLite must not read them as strings.
        QTest::newRow("unknown key column") << "chapter_info" << "c0000" << "title";
        QTest::newRow("empty key column") << "chapter_info" << "" << "title";
        QTest::newRow("unknown column") << "chapter_info" << "id" << "nosuch";
        QTest::newRow("unknown table") << "nosuch" << "id" << "title";
    }

    void refusedNamesRunNothing()
    {
        QFETCH(QString, table);
        QFETCH(QString, pkColumn);
        QFETCH(QString, column);
        QVERIFY(fillChapters(3));
        const QVariant before = scalar("SELECT group_concat(id || title || novel_id) FROM chapter_info");

        QVERIFY(!DatabaseBrowser::updateCell(table, pkColumn, "c0000", column, "changed"));
        if (column == QLatin1String("title"))
            QVERIFY(!DatabaseBrowser::deleteRow(table, pkColumn, pkColumn.isEmpty() ? "" : "c0000"));
        if (!DatabaseBrowser::listTables().contains(table)) {
            QVERIFY(DatabaseBrowser::tableColumns(table).isEmpty());
            QVERIFY(DatabaseBrowser::queryTable(table, 1, 10).isEmpty());
            QCOMPARE(DatabaseBrowser::countRows(table), 0);
            QVERIFY(!DatabaseBrowser::insertRow(table, QVariantMap{{"id", "c9"}}));
        }
        QCOMPARE(scalar("SELECT group_concat(id || title || novel_id) FROM chapter_info"), before);
        QCOMPARE(DatabaseBrowser::countRows(QStringLiteral("chapter_info")), 3);
        QVERIFY(DatabaseBrowser::listTables().contains(QStringLiteral("novel_info")));
    }

    void insertsSkippingBadKeys()
    {
        const QString table = QStringLiteral("font_info");
        QVariantMap values = font("f1", "Alpha");
        values.insert(QStringLiteral("file size"), 99);         // blank: left out
        values.insert(QStringLiteral("style\") --"), "bold");   // quote: left out
        QVERIFY(DatabaseBrowser::insertRow(table, values));
        const QVariantList rows = DatabaseBrowser::queryTable(table, 1, 10);
        QCOMPARE(rows.size(), 1);
        const QVariantMap row = rows.first().toMap();
        QCOMPARE(row.value("name").toString(), QStringLiteral("Alpha"));
        QCOMPARE(row.value("file_size").toInt(), 0);   // default, not 99
        QCOMPARE(row.value("style").toString(), QString()); // default ''

        // Only bad keys: nothing to insert.
        QVERIFY(!DatabaseBrowser::insertRow(table, QVariantMap{{"a b", 1}, {"c;", 2}}));
        QVERIFY(!DatabaseBrowser::insertRow(table, QVariantMap()));
        // A failing statement: duplicate key, missing NOT NULL column.
        QVERIFY(!DatabaseBrowser::insertRow(table, font("f1", "Again")));
        QVERIFY(!DatabaseBrowser::insertRow(table, QVariantMap{{"id", "f2"}}));
        QCOMPARE(DatabaseBrowser::countRows(table), 1);

        // Values are bound, never spliced.
        const QString sly = QStringLiteral("'); DROP TABLE font_info; --");
        QVERIFY(DatabaseBrowser::insertRow(table, font("f3", sly)));
        QCOMPARE(scalar("SELECT name FROM font_info WHERE id='f3'").toString(), sly);
    }
};

QTEST_GUILESS_MAIN(TestDatabaseBrowser)
#include "tst_databasebrowser.moc"
