#include "databasemigrator.h"

#include <QDebug>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace {

void setError(QString *error, const QString &text)
{
    if (error)
        *error = text;
}

using Verifier = bool (*)(QSqlDatabase, QString *);

const QHash<int, Verifier> &verifiers()
{
    static const QHash<int, Verifier> table{
        {1, &DatabaseMigrator::verifyV1},
        {2, &DatabaseMigrator::verifyV2},
    };
    return table;
}

// The expected definitions of every column of the schema, read out of the
// CREATE texts once: verification runs at every start.
const QHash<QString, ColumnDefinition> &expectedColumns()
{
    static const QHash<QString, ColumnDefinition> columns = [] {
        QHash<QString, ColumnDefinition> all;
        for (const SchemaObjectSpec &spec : Schema::allTables()) {
            for (const QString &column : spec.columns)
                all.insert(spec.createStatement + QLatin1Char('\n') + column,
                           DatabaseMigrator::expectedColumn(spec.createStatement, column));
        }
        return all;
    }();
    return columns;
}

ColumnDefinition cachedExpectedColumn(const SchemaObjectSpec &spec, const QString &column)
{
    const QHash<QString, ColumnDefinition> &cache = expectedColumns();
    const auto it = cache.constFind(spec.createStatement + QLatin1Char('\n') + column);
    if (it != cache.constEnd())
        return *it;
    return DatabaseMigrator::expectedColumn(spec.createStatement, column);
}

bool verifyTableColumns(QSqlDatabase db, const SchemaObjectSpec &spec, int version, QString *error)
{
    bool exists = false;
    if (!DatabaseMigrator::tableExists(db, QStringLiteral("table"), spec.name, &exists, error))
        return false;
    if (!exists) {
        setError(error, QStringLiteral("缺少数据表 %1").arg(spec.name));
        return false;
    }
    QHash<QString, ColumnDefinition> actual;
    if (!DatabaseMigrator::tableInfo(db, spec.name, &actual, error))
        return false;
    for (const QString &column : spec.columns) {
        const auto it = actual.constFind(column);
        if (it == actual.constEnd()) {
            setError(error, QStringLiteral("数据表 %1 缺少字段 %2").arg(spec.name, column));
            return false;
        }
        const ColumnDefinition expected = cachedExpectedColumn(spec, column);
        if (it->type != expected.type || it->notNull != expected.notNull
            || it->primaryKey != expected.primaryKey) {
            setError(error, QStringLiteral("数据表 %1 的字段 %2 定义不符合 v%3 结构")
                                .arg(spec.name, column, QString::number(version)));
            return false;
        }
    }
    return true;
}

bool verifyIndex(QSqlDatabase db, const SchemaObjectSpec &spec, QString *error)
{
    bool exists = false;
    if (!DatabaseMigrator::tableExists(db, QStringLiteral("index"), spec.name, &exists, error))
        return false;
    if (!exists) {
        setError(error, QStringLiteral("缺少索引 %1").arg(spec.name));
        return false;
    }
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("PRAGMA index_info('%1')").arg(spec.name))) {
        setError(error, q.lastError().text());
        return false;
    }
    QStringList columns;
    while (q.next())
        columns.append(q.value(2).toString());
    if (columns != spec.columns) {
        setError(error, QStringLiteral("索引 %1 的字段顺序不符合 v1 结构").arg(spec.name));
        return false;
    }
    return true;
}

bool createMissing(QSqlDatabase db, const QVector<SchemaObjectSpec> &specs, const QString &type, QString *error)
{
    for (const SchemaObjectSpec &spec : specs) {
        bool exists = false;
        if (!DatabaseMigrator::tableExists(db, type, spec.name, &exists, error))
            return false;
        if (!exists && !DatabaseMigrator::exec(db, spec.createStatement, error))
            return false;
    }
    return true;
}

// Adds the columns that tables made before versioning may lack. Tables that
// do not exist at all are left to createV1.
bool addLegacyColumns(QSqlDatabase db, QString *error)
{
    for (const LegacyColumn &legacy : Schema::legacyColumns()) {
        bool exists = false;
        if (!DatabaseMigrator::tableExists(db, QStringLiteral("table"), legacy.table, &exists, error))
            return false;
        if (!exists)
            continue;
        QHash<QString, ColumnDefinition> columns;
        if (!DatabaseMigrator::tableInfo(db, legacy.table, &columns, error))
            return false;
        if (columns.contains(legacy.column))
            continue;
        if (!DatabaseMigrator::exec(db,
                                    QStringLiteral("ALTER TABLE %1 ADD COLUMN %2 %3")
                                        .arg(legacy.table, legacy.column, legacy.definition),
                                    error))
            return false;
    }
    return true;
}

// Everything from claiming or creating up to version 2, inside the open
// transaction.
bool upgradeInTransaction(QSqlDatabase db, int version, bool claim, QString *error)
{
    if (version == 0 && !claim) {
        QSqlQuery q(db);
        if (!q.exec(QStringLiteral(
                "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite_%' LIMIT 1"))) {
            setError(error, q.lastError().text());
            return false;
        }
        claim = q.next();
    } else {
        claim = true;
    }

    if (claim) {
        if (!addLegacyColumns(db, error) || !DatabaseMigrator::createV1(db, error))
            return false;
        qInfo() << "[DatabaseMigrator] 已有数据库归并并认领为 v1";
    } else {
        if (!DatabaseMigrator::createV1(db, error))
            return false;
        qInfo() << "[DatabaseMigrator] 已创建数据库 v1";
    }

    if (!DatabaseMigrator::verifyVersion(db, 1, error) || !DatabaseMigrator::setUserVersion(db, 1, error))
        return false;

    const SchemaObjectSpec &fontInfo = Schema::fontInfoSpec();
    bool exists = false;
    if (!DatabaseMigrator::tableExists(db, QStringLiteral("table"), fontInfo.name, &exists, error))
        return false;
    if (!exists && !DatabaseMigrator::exec(db, fontInfo.createStatement, error))
        return false;

    if (!DatabaseMigrator::verifyV1(db, error) || !DatabaseMigrator::verifyTable(db, fontInfo, error)
        || !DatabaseMigrator::setUserVersion(db, 2, error))
        return false;
    qInfo() << "[DatabaseMigrator] 数据库已升级为 v2";
    return true;
}

}

ColumnDefinition DatabaseMigrator::expectedColumn(const QString &createStatement, const QString &column)
{
    const QRegularExpression re(
        QStringLiteral("(?:\\(|,)\\s*%1\\s+([A-Za-z]+)([^,)]*)").arg(QRegularExpression::escape(column)),
        QRegularExpression::CaseInsensitiveOption);
    ColumnDefinition def;
    const QRegularExpressionMatch match = re.match(createStatement);
    if (!match.hasMatch())
        return def;
    def.type = match.captured(1).toUpper();
    const QString rest = match.captured(2).toUpper();
    def.notNull = rest.contains(QLatin1String("NOT NULL"));
    def.primaryKey = rest.contains(QLatin1String("PRIMARY KEY"));
    return def;
}

bool DatabaseMigrator::tableExists(QSqlDatabase db, const QString &type, const QString &name, bool *exists,
                                   QString *error)
{
    QSqlQuery q(db);
    q.prepare(QStringLiteral("SELECT 1 FROM sqlite_master WHERE type = :type AND name = :name"));
    q.bindValue(QStringLiteral(":type"), type);
    q.bindValue(QStringLiteral(":name"), name);
    if (!q.exec()) {
        setError(error, q.lastError().text());
        return false;
    }
    if (exists)
        *exists = q.next();
    return true;
}

bool DatabaseMigrator::exec(QSqlDatabase db, const QString &statement, QString *error)
{
    QSqlQuery q(db);
    if (!q.exec(statement)) {
        setError(error, QStringLiteral("SQL 执行失败: %1; %2").arg(statement, q.lastError().text()));
        return false;
    }
    return true;
}

bool DatabaseMigrator::setUserVersion(QSqlDatabase db, int version, QString *error)
{
    return exec(db, QStringLiteral("PRAGMA user_version = %1").arg(version), error);
}

bool DatabaseMigrator::tableInfo(QSqlDatabase db, const QString &table, QHash<QString, ColumnDefinition> *columns,
                                 QString *error)
{
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("PRAGMA table_info('%1')").arg(table))) {
        setError(error, q.lastError().text());
        return false;
    }
    QHash<QString, ColumnDefinition> result;
    while (q.next()) {
        ColumnDefinition def;
        def.type = q.value(2).toString().toUpper();
        def.notNull = q.value(3).toInt() != 0;
        def.primaryKey = q.value(5).toInt() != 0;
        result.insert(q.value(1).toString(), def);
    }
    if (columns)
        *columns = result;
    return true;
}

bool DatabaseMigrator::verifyTable(QSqlDatabase db, const SchemaObjectSpec &spec, QString *error)
{
    return verifyTableColumns(db, spec, 2, error);
}

bool DatabaseMigrator::verifyV1(QSqlDatabase db, QString *error)
{
    for (const SchemaObjectSpec &spec : Schema::createTableStatementsV1()) {
        if (!verifyTableColumns(db, spec, 1, error))
            return false;
    }
    for (const SchemaObjectSpec &spec : Schema::createIndexStatementsV1()) {
        if (!verifyIndex(db, spec, error))
            return false;
    }
    return true;
}

bool DatabaseMigrator::verifyV2(QSqlDatabase db, QString *error)
{
    return verifyV1(db, error) && verifyTable(db, Schema::fontInfoSpec(), error);
}

bool DatabaseMigrator::createV1(QSqlDatabase db, QString *error)
{
    return createMissing(db, Schema::createTableStatementsV1(), QStringLiteral("table"), error)
        && createMissing(db, Schema::createIndexStatementsV1(), QStringLiteral("index"), error)
        && verifyV1(db, error);
}

bool DatabaseMigrator::verifyVersion(QSqlDatabase db, int version, QString *error)
{
    const Verifier verifier = verifiers().value(version, nullptr);
    if (!verifier) {
        setError(error, QStringLiteral("缺少数据库 v%1 的结构校验").arg(version));
        return false;
    }
    return verifier(db, error);
}

bool DatabaseMigrator::migrate(QSqlDatabase db, QString *error)
{
    int version = 0;
    {
        QSqlQuery q(db);
        if (!q.exec(QStringLiteral("PRAGMA user_version")) || !q.next()) {
            setError(error, q.lastError().text());
            return false;
        }
        version = q.value(0).toInt();
    }

    if (version > LatestVersion) {
        setError(error, QStringLiteral("数据库版本 %1 高于程序支持的版本 %2").arg(version).arg(LatestVersion));
        return false;
    }

    {
        QSqlQuery q(db);
        if (!q.exec(QStringLiteral("PRAGMA journal_mode=WAL")) || !q.next()
            || q.value(0).toString().compare(QLatin1String("wal"), Qt::CaseInsensitive) != 0) {
            setError(error, QStringLiteral("启用 WAL 失败: %1").arg(q.lastError().text()));
            return false;
        }
        q.finish();
    }

    bool claim = false;
    if (version == LatestVersion) {
        QString dropped;
        if (verifyVersion(db, LatestVersion, &dropped))
            return true;
        claim = true;
    }

    if (!db.transaction()) {
        setError(error, db.lastError().text());
        return false;
    }
    if (!upgradeInTransaction(db, version, claim, error)) {
        db.rollback();
        return false;
    }
    if (!db.commit()) {
        setError(error, db.lastError().text());
        db.rollback();
        return false;
    }
    qInfo() << "[DatabaseMigrator] 数据库已就绪，版本" << LatestVersion;
    return true;
}
