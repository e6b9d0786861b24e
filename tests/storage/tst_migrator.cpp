#include "databaseconnection.h"
#include "databasemigrator.h"
#include "filesizelimit.h"
#include "schema.h"
#include "testenvironment.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <QtTest>

#include <functional>

namespace {

// Collects what the program logs while it lives.
class LogCapture
{
public:
    LogCapture() { s_lines.clear(); m_previous = qInstallMessageHandler(&LogCapture::handler); }
    ~LogCapture() { qInstallMessageHandler(m_previous); }
    QStringList lines() const { return s_lines; }
    bool contains(const QString &line) const { return s_lines.contains(line); }
    QStringList startingWith(const QString &prefix) const
    {
        QStringList found;
        for (const QString &line : s_lines) {
            if (line.startsWith(prefix))
                found.append(line);
        }
        return found;
    }

private:
    static void handler(QtMsgType, const QMessageLogContext &, const QString &message) { s_lines.append(message); }
    static QStringList s_lines;
    QtMessageHandler m_previous = nullptr;
};
QStringList LogCapture::s_lines;

using Builder = std::function<void(QSqlQuery &)>;

// Runs fixture statements on the library file through a connection of its
// own, then closes it so WAL content is checkpointed into the file.
void buildFile(const Builder &builder, bool wal = true)
{
    QDir().mkpath(QFileInfo(DatabaseConnection::databaseFilePath()).path());
    const QString name = QStringLiteral("fixture");
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(DatabaseConnection::databaseFilePath());
        QVERIFY(db.open());
        QSqlQuery q(db);
        if (wal)
            QVERIFY(q.exec(QStringLiteral("PRAGMA journal_mode=WAL")));
        builder(q);
        q.finish();
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
}

void run(QSqlQuery &q, const QString &sql)
{
    QVERIFY2(q.exec(sql), qPrintable(sql + QStringLiteral(": ") + q.lastError().text()));
}

QString tableStatement(const QString &table)
{
    for (const SchemaObjectSpec &spec : Schema::allTables()) {
        if (spec.name == table)
            return spec.createStatement;
    }
    return QString();
}

// The table as a file made before versioning had it: without the columns
// that were added later.
QString legacyStatement(const QString &table)
{
    QString statement = tableStatement(table);
    for (const LegacyColumn &legacy : Schema::legacyColumns()) {
        if (legacy.table == table)
            statement.remove(QLatin1Char(',') + legacy.column + QLatin1Char(' ') + legacy.definition);
    }
    return statement;
}

void createV1Schema(QSqlQuery &q)
{
    for (const SchemaObjectSpec &spec : Schema::createTableStatementsV1())
        run(q, spec.createStatement);
    for (const SchemaObjectSpec &spec : Schema::createIndexStatementsV1())
        run(q, spec.createStatement);
}

void createV2Schema(QSqlQuery &q)
{
    createV1Schema(q);
    run(q, Schema::fontInfoSpec().createStatement);
    run(q, QStringLiteral("PRAGMA user_version = 2"));
}

// A version-2 file in which one table is declared differently.
Builder v2With(const QString &table, const QString &from, const QString &to)
{
    return [=](QSqlQuery &q) {
        for (const SchemaObjectSpec &spec : Schema::allTables()) {
            QString statement = spec.createStatement;
            if (spec.name == table) {
                QVERIFY2(statement.contains(from), qPrintable(from));
                statement.replace(from, to);
            }
            run(q, statement);
        }
        for (const SchemaObjectSpec &spec : Schema::createIndexStatementsV1())
            run(q, spec.createStatement);
        run(q, QStringLiteral("PRAGMA user_version = 2"));
    };
}

void insertSampleRows(QSqlQuery &q)
{
    run(q, QStringLiteral("INSERT INTO novel_info (id, title) VALUES ('b1', '书')"));
    run(q, QStringLiteral("INSERT INTO read_process_info (id, novel_id) VALUES ('r1', 'b1')"));
    run(q, QStringLiteral("INSERT INTO unified_paragraph (id, novel_id, chapter_id, para_index, kind) "
                          "VALUES ('p1', 'b1', 'c1', 0, 1)"));
    run(q, QStringLiteral("INSERT INTO unified_chunk (id, para_id, chunk_index, text) VALUES ('k1', 'p1', 0, 'x')"));
    run(q, QStringLiteral("INSERT INTO chapter_info (id, novel_id, chapter_index) VALUES ('c1', 'b1', 0)"));
}

QByteArray fileBytes()
{
    QFile file(DatabaseConnection::databaseFilePath());
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

QVariant scalar(const QString &sql)
{
    QSqlQuery q(DatabaseConnection::database());
    if (!q.exec(sql) || !q.next())
        return QVariant();
    return q.value(0);
}

QStringList objectNames(const QString &type)
{
    QStringList names;
    QSqlQuery q(DatabaseConnection::database());
    q.prepare(QStringLiteral("SELECT name FROM sqlite_master WHERE type = ? AND name NOT LIKE 'sqlite_%' ORDER BY name"));
    q.addBindValue(type);
    if (q.exec()) {
        while (q.next())
            names.append(q.value(0).toString());
    }
    return names;
}

QStringList sorted(QStringList list)
{
    list.sort();
    return list;
}

QStringList allSchemaNames(const QVector<SchemaObjectSpec> &specs)
{
    QStringList names;
    for (const SchemaObjectSpec &spec : specs)
        names.append(spec.name);
    return sorted(names);
}

const QString CreatedLine = QStringLiteral("[DatabaseMigrator] 已创建数据库 v1");
const QString ClaimedLine = QStringLiteral("[DatabaseMigrator] 已有数据库归并并认领为 v1");
const QString UpgradedLine = QStringLiteral("[DatabaseMigrator] 数据库已升级为 v2");
const QString ReadyLine = QStringLiteral("[DatabaseMigrator] 数据库已就绪，版本 2");

}

Q_DECLARE_METATYPE(Builder)

class TestMigrator : public QObject
{
    Q_OBJECT

private slots:
    void newFileBecomesVersionTwo()
    {
        TestEnvironment env;
        LogCapture log;
        QVERIFY(env.openDatabase());

        QCOMPARE(scalar(QStringLiteral("PRAGMA user_version")).toInt(), 2);
        QCOMPARE(scalar(QStringLiteral("PRAGMA journal_mode")).toString(), QStringLiteral("wal"));
        QCOMPARE(objectNames(QStringLiteral("table")), allSchemaNames(Schema::allTables()));
        QCOMPARE(objectNames(QStringLiteral("index")), allSchemaNames(Schema::createIndexStatementsV1()));
        QCOMPARE(log.startingWith(QStringLiteral("[DatabaseMigrator]")),
                 QStringList({CreatedLine, UpgradedLine, ReadyLine}));

        // SQLite keeps the statement text as given: the stored texts are ours.
        QSqlQuery q(DatabaseConnection::database());
        QVector<SchemaObjectSpec> all = Schema::allTables();
        all += Schema::createIndexStatementsV1();
        for (const SchemaObjectSpec &spec : all) {
            QVERIFY(q.exec(QStringLiteral("SELECT sql FROM sqlite_master WHERE name = '%1'").arg(spec.name)));
            QVERIFY(q.next());
            QCOMPARE(q.value(0).toString(), spec.createStatement);
        }
    }

    // Column order and declared types as the file has them.
    void tablesHaveTheirColumnsInOrder()
    {
        TestEnvironment env;
        QVERIFY(env.openDatabase());
        QSqlQuery q(DatabaseConnection::database());
        for (const SchemaObjectSpec &spec : Schema::allTables()) {
            QVERIFY(q.exec(QStringLiteral("PRAGMA table_info('%1')").arg(spec.name)));
            QStringList names;
            while (q.next()) {
                names.append(q.value(1).toString());
                const QString type = q.value(2).toString();
                QVERIFY2(type == QLatin1String("INTEGER") || type == QLatin1String("TEXT")
                             || type == QLatin1String("REAL"),
                         qPrintable(spec.name + QLatin1Char('.') + names.last() + QLatin1Char(' ') + type));
            }
            QCOMPARE(names, spec.columns);
        }
        QCOMPARE(Schema::createTableStatementsV1().size(), 7);
        QCOMPARE(Schema::allTables().size(), 8);
        QCOMPARE(Schema::createIndexStatementsV1().size(), 4);
    }

    void defaultsTakeEffect()
    {
        TestEnvironment env;
        QVERIFY(env.openDatabase());
        QSqlQuery q(DatabaseConnection::database());
        QVERIFY(q.exec(QStringLiteral("INSERT INTO novel_info (id, title) VALUES ('b', 't')")));
        QCOMPARE(scalar(QStringLiteral("SELECT author FROM novel_info")).toString(), QStringLiteral("用户"));
        QCOMPARE(scalar(QStringLiteral("SELECT language FROM novel_info")).toString(), QStringLiteral("zh-CN"));
        QVERIFY(q.exec(QStringLiteral("INSERT INTO reading_records (id, novel_id, start_year, start_month, start_day, "
                                      "start_hour, start_minute, start_second) VALUES ('s', 'b', 2025, 3, 3, 9, 5, 0)")));
        const QString created = scalar(QStringLiteral("SELECT create_time FROM reading_records")).toString();
        QVERIFY2(QDateTime::fromString(created, QStringLiteral("yyyy-MM-dd hh:mm:ss")).isValid(), qPrintable(created));
        QVERIFY(scalar(QStringLiteral("SELECT update_time FROM reading_records")).isNull());
        // Keyed by the text id; a book needs a title.
        QVERIFY(!q.exec(QStringLiteral("INSERT INTO novel_info (id, title) VALUES ('b', 'again')")));
        QVERIFY(!q.exec(QStringLiteral("INSERT INTO novel_info (id) VALUES ('c')")));
    }

    void expectedColumn_data()
    {
        QTest::addColumn<QString>("table");
        QTest::addColumn<QString>("column");
        QTest::addColumn<QString>("type");
        QTest::addColumn<bool>("notNull");
        QTest::addColumn<bool>("primaryKey");

        QTest::newRow("primary key") << "novel_info" << "id" << "TEXT" << false << true;
        QTest::newRow("not null") << "novel_info" << "title" << "TEXT" << true << false;
        QTest::newRow("not null before default") << "unified_paragraph" << "kind" << "INTEGER" << true << false;
        QTest::newRow("default in quotes") << "novel_info" << "author" << "TEXT" << false << false;
        QTest::newRow("real") << "unified_chunk" << "font_scale" << "REAL" << false << false;
        QTest::newRow("column named like a type") << "unified_chunk" << "text" << "TEXT" << true << false;
        QTest::newRow("after a default with a comma") << "reading_records" << "update_time" << "TEXT" << false << false;
        QTest::newRow("default with a comma") << "time_line_log" << "action_time" << "TEXT" << false << false;
        QTest::newRow("prefix of another column") << "chapter_info" << "status" << "INTEGER" << false << false;
        QTest::newRow("not in the statement") << "novel_info" << "nothing" << "" << false << false;
    }

    void expectedColumn()
    {
        QFETCH(QString, table);
        QFETCH(QString, column);
        const ColumnDefinition def = DatabaseMigrator::expectedColumn(tableStatement(table), column);
        QTEST(def.type, "type");
        QTEST(def.notNull, "notNull");
        QTEST(def.primaryKey, "primaryKey");
    }

    void claimPath_data()
    {
        QTest::addColumn<Builder>("builder");

        QTest::newRow("version 0, tables made before versioning") << Builder([](QSqlQuery &q) {
            for (const SchemaObjectSpec &spec : Schema::createTableStatementsV1())
                run(q, legacyStatement(spec.name));
            insertSampleRows(q);
        });
        QTest::newRow("version 0, only some tables") << Builder([](QSqlQuery &q) {
            run(q, legacyStatement(QStringLiteral("novel_info")));
            run(q, QStringLiteral("INSERT INTO novel_info (id, title) VALUES ('b1', '书')"));
        });
        QTest::newRow("version 1") << Builder([](QSqlQuery &q) {
            createV1Schema(q);
            insertSampleRows(q);
            run(q, QStringLiteral("PRAGMA user_version = 1"));
        });
        QTest::newRow("negative version") << Builder([](QSqlQuery &q) {
            createV1Schema(q);
            insertSampleRows(q);
            run(q, QStringLiteral("PRAGMA user_version = -4"));
        });
        QTest::newRow("version 2 without an index") << Builder([](QSqlQuery &q) {
            createV2Schema(q);
            insertSampleRows(q);
            run(q, QStringLiteral("DROP INDEX idx_records_date"));
        });
        QTest::newRow("version 2 without font_info") << Builder([](QSqlQuery &q) {
            createV2Schema(q);
            insertSampleRows(q);
            run(q, QStringLiteral("DROP TABLE font_info"));
        });
        QTest::newRow("version 2 without a legacy column's table") << Builder([](QSqlQuery &q) {
            createV2Schema(q);
            insertSampleRows(q);
            run(q, QStringLiteral("DROP TABLE reading_records"));
        });
    }

    void claimPath()
    {
        QFETCH(Builder, builder);
        TestEnvironment env;
        buildFile(builder);

        LogCapture log;
        QVERIFY(env.openDatabase());
        QCOMPARE(log.startingWith(QStringLiteral("[DatabaseMigrator]")),
                 QStringList({ClaimedLine, UpgradedLine, ReadyLine}));
        QCOMPARE(scalar(QStringLiteral("PRAGMA user_version")).toInt(), 2);
        QCOMPARE(scalar(QStringLiteral("PRAGMA journal_mode")).toString(), QStringLiteral("wal"));
        QString error;
        QVERIFY2(DatabaseMigrator::verifyV2(DatabaseConnection::database(), &error), qPrintable(error));
        QCOMPARE(objectNames(QStringLiteral("table")), allSchemaNames(Schema::allTables()));
        QCOMPARE(objectNames(QStringLiteral("index")), allSchemaNames(Schema::createIndexStatementsV1()));
        // Rows survive the claim.
        QCOMPARE(scalar(QStringLiteral("SELECT title FROM novel_info WHERE id = 'b1'")).toString(), QStringLiteral("书"));
        QCOMPARE(scalar(QStringLiteral("SELECT total_progress FROM novel_info WHERE id = 'b1'")).toInt(), 0);

        // The next start only verifies.
        TestEnvironment::closeDatabase();
        LogCapture again;
        QVERIFY(env.openDatabase());
        QVERIFY(again.startingWith(QStringLiteral("[DatabaseMigrator]")).isEmpty());
    }

    // Existing rows get the defaults of the columns added to them.
    void legacyColumnsGetTheirDefaults()
    {
        TestEnvironment env;
        buildFile([](QSqlQuery &q) {
            for (const SchemaObjectSpec &spec : Schema::createTableStatementsV1())
                run(q, legacyStatement(spec.name));
            insertSampleRows(q);
        });
        QVERIFY(env.openDatabase());

        QSqlQuery q(DatabaseConnection::database());
        QVERIFY(q.exec(QStringLiteral("SELECT last_progress_index, last_block_offset FROM read_process_info")));
        QVERIFY(q.next());
        QCOMPARE(q.value(0).toInt(), -1);
        QCOMPARE(q.value(1).toDouble(), -1.0);
        QVERIFY(q.exec(QStringLiteral("SELECT first_glyph_index, document_bg_color, table_id, table_row, table_column, "
                                      "table_column_count, table_header FROM unified_paragraph")));
        QVERIFY(q.next());
        QCOMPARE(q.value(0).toInt(), 0);
        QCOMPARE(q.value(1).toString(), QString(""));
        QVERIFY(!q.value(1).isNull());
        QCOMPARE(q.value(2).toInt(), -1);
        QCOMPARE(q.value(3).toInt(), -1);
        QCOMPARE(q.value(4).toInt(), -1);
        QCOMPARE(q.value(5).toInt(), 0);
        QCOMPARE(q.value(6).toInt(), 0);
        QCOMPARE(scalar(QStringLiteral("SELECT font_scale FROM unified_chunk")).toDouble(), 1.0);
        QCOMPARE(scalar(QStringLiteral("SELECT progress_total FROM chapter_info")).toInt(), 0);
    }

    // A valid version-2 file is only read: same bytes, no log line.
    // Also where no file may grow, as on a full disk: nothing is written.
    void validFileIsOnlyVerified_data()
    {
        QTest::addColumn<Builder>("builder");
        QTest::addColumn<bool>("full");
        const Builder created([](QSqlQuery &q) {
            createV2Schema(q);
            insertSampleRows(q);
        });
        QTest::newRow("as created") << created << false;
        QTest::newRow("as created, no room on the disk") << created << true;
        QTest::newRow("with columns, tables and indexes of its own") << Builder([](QSqlQuery &q) {
            createV2Schema(q);
            insertSampleRows(q);
            run(q, QStringLiteral("ALTER TABLE novel_info ADD COLUMN rating INTEGER"));
            run(q, QStringLiteral("CREATE TABLE notes (id TEXT PRIMARY KEY, body TEXT)"));
            run(q, QStringLiteral("CREATE INDEX idx_notes_body ON notes(body)"));
        }) << false;
    }

    void validFileIsOnlyVerified()
    {
        QFETCH(Builder, builder);
        QFETCH(bool, full);
        TestEnvironment env;
        buildFile(builder);
        const QByteArray before = fileBytes();
        QVERIFY(!before.isEmpty());

        const FileSizeLimit noRoom(full ? 0 : RLIM_INFINITY);
        LogCapture log;
        QVERIFY(env.openDatabase());
        QVERIFY2(log.startingWith(QStringLiteral("[DatabaseMigrator]")).isEmpty(), qPrintable(log.lines().join('\n')));
        QString error;
        QVERIFY2(DatabaseMigrator::verifyV2(DatabaseConnection::database(), &error), qPrintable(error));
        TestEnvironment::closeDatabase();
        QCOMPARE(fileBytes(), before);
    }

    // Files that adding columns, tables and indexes cannot repair are refused
    // and left exactly as they were.
    void refused_data()
    {
        QTest::addColumn<Builder>("builder");
        QTest::addColumn<bool>("wal");
        QTest::addColumn<QString>("error");

        QTest::newRow("column of another type") << v2With("novel_info", "word_count INTEGER", "word_count TEXT") << true
                                                << "数据表 novel_info 的字段 word_count 定义不符合 v1 结构";
        QTest::newRow("column lost NOT NULL") << v2With("unified_chunk", "text TEXT NOT NULL", "text TEXT") << true
                                              << "数据表 unified_chunk 的字段 text 定义不符合 v1 结构";
        QTest::newRow("column gained PRIMARY KEY")
            << v2With("chapter_info", "id TEXT PRIMARY KEY,title TEXT", "id TEXT,title TEXT PRIMARY KEY") << true
            << "数据表 chapter_info 的字段 id 定义不符合 v1 结构";
        QTest::newRow("font_info column of another type")
            << v2With("font_info", "file_size INTEGER", "file_size TEXT") << true
            << "数据表 font_info 的字段 file_size 定义不符合 v2 结构";
        QTest::newRow("missing column that no upgrade adds") << v2With("novel_info", ",isbn TEXT", "") << true
                                                             << "数据表 novel_info 缺少字段 isbn";
        QTest::newRow("index on other columns") << Builder([](QSqlQuery &q) {
            createV2Schema(q);
            run(q, QStringLiteral("DROP INDEX idx_uc_para"));
            run(q, QStringLiteral("CREATE INDEX idx_uc_para ON unified_chunk(chunk_index, para_id)"));
        }) << true << "索引 idx_uc_para 的字段顺序不符合 v1 结构";
        QTest::newRow("index with one column less") << Builder([](QSqlQuery &q) {
            createV2Schema(q);
            run(q, QStringLiteral("DROP INDEX idx_up_chapter"));
            run(q, QStringLiteral("CREATE INDEX idx_up_chapter ON unified_paragraph(novel_id, chapter_id)"));
        }) << true << "索引 idx_up_chapter 的字段顺序不符合 v1 结构";
        // Columns are added and tables created before the check fails: all of
        // it must be rolled back.
        QTest::newRow("version 0 with a column of another type") << Builder([](QSqlQuery &q) {
            run(q, legacyStatement(QStringLiteral("novel_info")));
            run(q, QStringLiteral("INSERT INTO novel_info (id, title) VALUES ('b1', '书')"));
            run(q, tableStatement(QStringLiteral("chapter_info")).replace("word_count INTEGER", "word_count REAL"));
        }) << true << "数据表 chapter_info 的字段 word_count 定义不符合 v1 结构";
        QTest::newRow("version 1 with a column of another type") << Builder([](QSqlQuery &q) {
            createV1Schema(q);
            run(q, QStringLiteral("DROP TABLE reading_records"));
            run(q, tableStatement(QStringLiteral("reading_records")).replace("start_day INTEGER", "start_day TEXT"));
            run(q, QStringLiteral("PRAGMA user_version = 1"));
        }) << true << "数据表 reading_records 的字段 start_day 定义不符合 v1 结构";
        // Refused before the journal mode is touched: a rollback-journal file
        // stays one.
        QTest::newRow("version 3") << Builder([](QSqlQuery &q) {
            createV2Schema(q);
            insertSampleRows(q);
            run(q, QStringLiteral("PRAGMA user_version = 3"));
        }) << false << "数据库版本 3 高于程序支持的版本 2";
        QTest::newRow("version 40") << Builder([](QSqlQuery &q) { run(q, QStringLiteral("PRAGMA user_version = 40")); })
                                    << false << "数据库版本 40 高于程序支持的版本 2";
    }

    void refused()
    {
        QFETCH(Builder, builder);
        QFETCH(bool, wal);
        QFETCH(QString, error);
        TestEnvironment env;
        buildFile(builder, wal);
        const QByteArray before = fileBytes();
        QVERIFY(!before.isEmpty());

        {
            LogCapture log;
            QVERIFY(!env.openDatabase());
            QVERIFY2(log.contains(QStringLiteral("[DatabaseConnection] 数据库迁移失败: \"%1\"").arg(error)),
                     qPrintable(log.lines().join('\n')));
            QVERIFY(!log.contains(UpgradedLine));
            QVERIFY(!log.contains(ReadyLine));
        }
        TestEnvironment::closeDatabase();
        QCOMPARE(fileBytes(), before);
        QVERIFY(!QFile::exists(DatabaseConnection::databaseFilePath() + QStringLiteral("-wal"))
                || QFileInfo(DatabaseConnection::databaseFilePath() + QStringLiteral("-wal")).size() == 0);

        // The migrator hands the same text to its caller.
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("direct"));
            db.setDatabaseName(DatabaseConnection::databaseFilePath());
            QVERIFY(db.open());
            QString text;
            QVERIFY(!DatabaseMigrator::migrate(db, &text));
            QCOMPARE(text, error);
            db.close();
        }
        QSqlDatabase::removeDatabase(QStringLiteral("direct"));
        QCOMPARE(fileBytes(), before);
    }

    void operationsReportTheirErrors()
    {
        TestEnvironment env;
        QVERIFY(env.openDatabase());
        QSqlDatabase db = DatabaseConnection::database();

        // Success leaves the caller's text alone.
        QString error = QStringLiteral("untouched");
        QVERIFY(DatabaseMigrator::exec(db, QStringLiteral("CREATE TABLE extra (id TEXT PRIMARY KEY)"), &error));
        bool exists = false;
        QVERIFY(DatabaseMigrator::tableExists(db, QStringLiteral("table"), QStringLiteral("extra"), &exists, &error));
        QVERIFY(exists);
        QVERIFY(DatabaseMigrator::tableExists(db, QStringLiteral("index"), QStringLiteral("extra"), &exists, &error));
        QVERIFY(!exists);
        QVERIFY(DatabaseMigrator::tableExists(db, QStringLiteral("index"), QStringLiteral("idx_uc_para"), &exists, &error));
        QVERIFY(exists);
        QVERIFY(DatabaseMigrator::verifyV2(db, &error));
        QCOMPARE(error, QStringLiteral("untouched"));

        QVERIFY(!DatabaseMigrator::exec(db, QStringLiteral("CREATE TABLE extra (id TEXT)"), &error));
        QVERIFY2(error.startsWith(QStringLiteral("SQL 执行失败: CREATE TABLE extra (id TEXT); ")), qPrintable(error));
        QVERIFY2(error.contains(QLatin1String("already exists")), qPrintable(error));

        QVERIFY(!DatabaseMigrator::verifyVersion(db, 3, &error));
        QCOMPARE(error, QStringLiteral("缺少数据库 v3 的结构校验"));
        QVERIFY(!DatabaseMigrator::verifyVersion(db, 0, &error));
        QCOMPARE(error, QStringLiteral("缺少数据库 v0 的结构校验"));

        QVERIFY(DatabaseMigrator::setUserVersion(db, 2, nullptr));
        QVERIFY(!DatabaseMigrator::verifyTable(db, {QStringLiteral("absent"), QStringLiteral("CREATE TABLE absent (id TEXT)"),
                                                    {QStringLiteral("id")}}, &error));
        QCOMPARE(error, QStringLiteral("缺少数据表 absent"));

        // Declared types are compared whole and in upper case.
        QVERIFY(DatabaseMigrator::exec(db, QStringLiteral("CREATE TABLE typed (a integer not null, b text primary key, c varchar(10))"), nullptr));
        QHash<QString, ColumnDefinition> columns;
        columns.insert(QStringLiteral("stale"), ColumnDefinition());
        QVERIFY(DatabaseMigrator::tableInfo(db, QStringLiteral("typed"), &columns, &error));
        QCOMPARE(columns.size(), 3);
        QCOMPARE(columns.value("a").type, QStringLiteral("INTEGER"));
        QVERIFY(columns.value("a").notNull);
        QVERIFY(!columns.value("a").primaryKey);
        QVERIFY(columns.value("b").primaryKey);
        QCOMPARE(columns.value("c").type, QStringLiteral("VARCHAR(10)"));

        // A connection that is not open is refused, not taken for a new file.
        QSqlDatabase closed = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("closed"));
        QTest::ignoreMessage(QtWarningMsg, "QSqlQuery::exec: database not open");
        QVERIFY(!DatabaseMigrator::migrate(closed, &error));
        closed = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("closed"));
    }

    // Opened twice in one process (the connection stays registered): the
    // second call just verifies the open file.
    void openAndMigrateTwice()
    {
        TestEnvironment env;
        QVERIFY(env.openDatabase());
        LogCapture log;
        QVERIFY(DatabaseConnection::openAndMigrate());
        QVERIFY(log.lines().isEmpty());
        QVERIFY(DatabaseConnection::database().isOpen());
    }
};

QTEST_GUILESS_MAIN(TestMigrator)
#include "tst_migrator.moc"
