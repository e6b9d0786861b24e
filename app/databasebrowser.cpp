#include "databasebrowser.h"
#include "databaseconnection.h"

#include <QRegExp>
#include <QSqlQuery>
#include <QSqlRecord>

namespace DatabaseBrowser {

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
    if (!isAcceptedName(table))
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
    if (!isAcceptedName(table) || pageSize <= 0)
        return rows;
    const qint64 limit = qMin(pageSize, MaxPageSize);
    const qint64 offset = (qMax(page, 1) - qint64(1)) * limit;

    QSqlQuery query(DatabaseConnection::database());
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("SELECT * FROM %1 LIMIT %2 OFFSET %3").arg(table).arg(limit).arg(offset)))
        return rows;

    QStringList names;
    for (const QVariant &column : tableColumns(table))
        names.append(column.toMap().value(QStringLiteral("name")).toString());

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
    if (!isAcceptedName(table))
        return 0;
    QSqlQuery query(DatabaseConnection::database());
    if (!query.exec(QStringLiteral("SELECT COUNT(*) FROM %1").arg(table)) || !query.next())
        return 0;
    return query.value(0).toInt();
}

bool updateCell(const QString &table, const QString &pkColumn, const QVariant &pkValue,
                const QString &column, const QVariant &value)
{
    if (!isAcceptedName(table) || !isAcceptedName(column) || !isAcceptedName(pkColumn))
        return false;
    QSqlQuery query(DatabaseConnection::database());
    if (!query.prepare(QStringLiteral("UPDATE %1 SET \"%2\"=:val WHERE \"%3\"=:pk")
                           .arg(table, column, pkColumn)))
        return false;
    query.bindValue(QStringLiteral(":val"), value);
    query.bindValue(QStringLiteral(":pk"), pkValue);
    return query.exec();
}

bool deleteRow(const QString &table, const QString &pkColumn, const QVariant &pkValue)
{
    if (!isAcceptedName(table) || !isAcceptedName(pkColumn))
        return false;
    QSqlQuery query(DatabaseConnection::database());
    if (!query.prepare(QStringLiteral("DELETE FROM %1 WHERE \"%2\"=:pk").arg(table, pkColumn)))
        return false;
    query.bindValue(QStringLiteral(":pk"), pkValue);
    return query.exec();
}

bool insertRow(const QString &table, const QVariantMap &values)
{
    if (!isAcceptedName(table))
        return false;
    QStringList columns;
    QStringList placeholders;
    for (auto it = values.cbegin(); it != values.cend(); ++it) {
        if (!isAcceptedName(it.key()))
            continue;
        columns.append(QLatin1Char('"') + it.key() + QLatin1Char('"'));
        placeholders.append(QLatin1Char(':') + it.key());
    }
    if (columns.isEmpty())
        return false;

    QSqlQuery query(DatabaseConnection::database());
    if (!query.prepare(QStringLiteral("INSERT INTO %1 (%2) VALUES (%3)")
                           .arg(table, columns.join(QLatin1Char(',')), placeholders.join(QLatin1Char(',')))))
        return false;
    for (auto it = values.cbegin(); it != values.cend(); ++it) {
        if (isAcceptedName(it.key()))
            query.bindValue(QLatin1Char(':') + it.key(), it.value());
    }
    return query.exec();
}

}
