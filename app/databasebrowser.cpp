#include "databasebrowser.h"
#include "databaseconnection.h"
#include "deferredwrites.h"

#include <QRegExp>
#include <QSqlQuery>
#include <QSqlRecord>

namespace DatabaseBrowser {

namespace {

// Names of the tables and columns that exist, compared exactly. A name that
// passes the character check can still name nothing, and SQLite used to read
// such a double-quoted name as a string: a WHERE that matches every row.
bool isTable(const QString &table)
{
    return isAcceptedName(table) && listTables().contains(table);
}

QStringList columnNames(const QString &table)
{
    QStringList names;
    for (const QVariant &column : tableColumns(table))
        names.append(column.toMap().value(QStringLiteral("name")).toString());
    return names;
}

// Edits wait behind the reader's kept writes, like them.
bool runEdit(const QString &sql, const QVariantMap &bindings)
{
    return DeferredWrites::instance().submit(QString(), [sql, bindings] {
        QSqlQuery query(DatabaseConnection::database());
        if (!query.prepare(sql))
            return false;
        for (auto it = bindings.cbegin(); it != bindings.cend(); ++it)
            query.bindValue(it.key(), it.value());
        return query.exec();
    });
}

}

bool isAcceptedName(const QString &name)
{
    const QRegExp forbidden(QStringLiteral("[^a-zA-Z0-9_]"));
    return forbidden.indexIn(name) < 0;
}

QStringList listTables()
{
    QStringList tables;
    QSqlQuery query(DatabaseConnection::database());
    if (!query.exec(QStringLiteral("SELECT name FROM sqlite_master WHERE type='table' ORDER BY name")))
        return tables;
    while (query.next())
        tables.append(query.value(0).toString());
    return tables;
}

QVariantList tableColumns(const QString &table)
{
    QVariantList columns;
    if (!isTable(table))
        return columns;
    QSqlQuery query(DatabaseConnection::database());
    if (!query.exec(QStringLiteral("PRAGMA table_info(%1)").arg(table)))
        return columns;
    while (query.next()) {
        columns.append(QVariantMap{
            {QStringLiteral("name"), query.value(QStringLiteral("name")).toString()},
            {QStringLiteral("pk"), query.value(QStringLiteral("pk")).toInt()},
        });
    }
    return columns;
}

QVariantList queryTable(const QString &table, int page, int pageSize)
{
    QVariantList rows;
    if (!isTable(table) || pageSize <= 0)
        return rows;
    const qint64 limit = qMin(pageSize, MaxPageSize);
    const qint64 offset = (qMax(page, 1) - qint64(1)) * limit;

    QSqlQuery query(DatabaseConnection::database());
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("SELECT * FROM %1 LIMIT %2 OFFSET %3").arg(table).arg(limit).arg(offset)))
        return rows;

    const QStringList names = columnNames(table);
    while (query.next()) {
        const QSqlRecord record = query.record();
        QVariantMap row;
        for (const QString &name : names)
            row.insert(name, record.value(name));
        rows.append(row);
    }
    return rows;
}

int countRows(const QString &table)
{
    if (!isTable(table))
        return 0;
    QSqlQuery query(DatabaseConnection::database());
    if (!query.exec(QStringLiteral("SELECT COUNT(*) FROM %1").arg(table)) || !query.next())
        return 0;
    return query.value(0).toInt();
}

bool updateCell(const QString &table, const QString &pkColumn, const QVariant &pkValue,
                const QString &column, const QVariant &value)
{
    if (!isTable(table))
        return false;
    const QStringList names = columnNames(table);
    if (!names.contains(column) || !names.contains(pkColumn))
        return false;
    return runEdit(QStringLiteral("UPDATE %1 SET \"%2\"=:val WHERE \"%3\"=:pk").arg(table, column, pkColumn),
                   {{QStringLiteral(":val"), value}, {QStringLiteral(":pk"), pkValue}});
}

bool deleteRow(const QString &table, const QString &pkColumn, const QVariant &pkValue)
{
    if (!isTable(table) || !columnNames(table).contains(pkColumn))
        return false;
    return runEdit(QStringLiteral("DELETE FROM %1 WHERE \"%2\"=:pk").arg(table, pkColumn),
                   {{QStringLiteral(":pk"), pkValue}});
}

bool insertRow(const QString &table, const QVariantMap &values)
{
    if (!isTable(table))
        return false;
    const QStringList names = columnNames(table);
    QStringList columns;
    QStringList placeholders;
    QVariantMap bindings;
    for (auto it = values.cbegin(); it != values.cend(); ++it) {
        if (!isAcceptedName(it.key()))
            continue;
        if (!names.contains(it.key()))
            return false;
        columns.append(QLatin1Char('"') + it.key() + QLatin1Char('"'));
        placeholders.append(QLatin1Char(':') + it.key());
        bindings.insert(QLatin1Char(':') + it.key(), it.value());
    }
    if (columns.isEmpty())
        return false;
    return runEdit(QStringLiteral("INSERT INTO %1 (%2) VALUES (%3)")
                       .arg(table, columns.join(QLatin1Char(',')), placeholders.join(QLatin1Char(','))),
                   bindings);
}

}
