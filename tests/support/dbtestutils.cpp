#include "dbtestutils.h"

#include "databaseconnection.h"
#include "novelinfo.h"

#include <QMetaProperty>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QtTest>

namespace DbTestUtils {

int rowCount(const QString &table)
{
    QSqlQuery query(DatabaseConnection::database());
    if (!query.exec(QStringLiteral("SELECT COUNT(*) FROM ") + table) || !query.next())
        return -1;
    return query.value(0).toInt();
}

int rowCount(const QString &table, const QString &column, const QVariant &value)
{
    QSqlQuery query(DatabaseConnection::database());
    query.prepare(QStringLiteral("SELECT COUNT(*) FROM ") + table + QStringLiteral(" WHERE ") + column
                  + QStringLiteral(" = :value"));
    query.bindValue(QStringLiteral(":value"), value);
    if (!query.exec() || !query.next())
        return -1;
    return query.value(0).toInt();
}

QVariantMap storedRow(const QString &table, const QString &id)
{
    QSqlQuery query(DatabaseConnection::database());
    query.prepare(QStringLiteral("SELECT * FROM ") + table + QStringLiteral(" WHERE id = :id"));
    query.bindValue(QStringLiteral(":id"), id);
    if (!query.exec() || !query.next())
        return {};
    QVariantMap row;
    const QSqlRecord record = query.record();
    for (int i = 0; i < record.count(); ++i)
        row.insert(record.fieldName(i), query.value(i));
    return row;
}

QString storedCells(const QString &select, const QString &id, const QString &nullText)
{
    QSqlQuery query(DatabaseConnection::database());
    query.prepare(select);
    query.bindValue(QStringLiteral(":id"), id);
    if (!query.exec() || !query.next())
        return QStringLiteral("<no row>");
    QStringList cells;
    for (int i = 0; i < query.record().count(); ++i)
        cells << (query.isNull(i) ? nullText : query.value(i).toString());
    return cells.join(QLatin1Char('|'));
}

QStringList column(const QString &select, const QVariant &value)
{
    QSqlQuery query(DatabaseConnection::database());
    query.prepare(select);
    query.addBindValue(value);
    QStringList values;
    if (query.exec()) {
        while (query.next())
            values << query.value(0).toString();
    }
    return values;
}

QStringList chapterDump(const QString &novelId)
{
    QStringList dump;
    for (const QString &id : column(QStringLiteral("SELECT id FROM chapter_info WHERE novel_id = ? ORDER BY chapter_index"),
                                    novelId)) {
        dump << column(QStringLiteral("SELECT title FROM chapter_info WHERE id = ?"), id).value(0) + QLatin1Char('=')
                    + column(QStringLiteral("SELECT p.kind || ':' || coalesce(group_concat(k.text, ''), '') "
                                            "FROM unified_paragraph p LEFT JOIN unified_chunk k ON k.para_id = p.id "
                                            "WHERE p.chapter_id = ? GROUP BY p.id ORDER BY p.para_index"), id)
                          .join(QLatin1Char(','));
    }
    return dump;
}

void execSql(const QString &sql)
{
    QSqlQuery query(DatabaseConnection::database());
    QVERIFY2(query.exec(sql), qPrintable(query.lastError().text()));
}

void compareAllProperties(const QObject &actual, const QObject &expected, StringNulls nulls)
{
    const QMetaObject &meta = *expected.metaObject();
    for (int i = meta.propertyOffset(); i < meta.propertyCount(); ++i) {
        const QMetaProperty property = meta.property(i);
        const QVariant a = property.read(&actual);
        const QVariant e = property.read(&expected);
        QVERIFY2(a == e, qPrintable(QStringLiteral("%1: %2 != %3").arg(QLatin1String(property.name()),
                                                                       a.toString(), e.toString())));
        if (nulls == StringNulls::Matter && property.userType() == QMetaType::QString)
            QVERIFY2(a.toString().isNull() == e.toString().isNull(), property.name());
    }
}

NovelInfo *newNovel(const QString &id, const QString &title)
{
    auto *novel = new NovelInfo;
    novel->setId(id);
    novel->setTitle(title);
    novel->setCreateTime(QStringLiteral("2020-01-01 00:00:00"));
    novel->setUpdateTime(QStringLiteral("2020-01-01 00:00:00"));
    return novel;
}

QStringList allRows()
{
    QStringList dump;
    QSqlQuery tables(DatabaseConnection::database());
    tables.exec(QStringLiteral("SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name"));
    while (tables.next()) {
        const QString table = tables.value(0).toString();
        QSqlQuery rows(DatabaseConnection::database());
        rows.exec(QStringLiteral("SELECT * FROM ") + table + QStringLiteral(" ORDER BY rowid"));
        while (rows.next()) {
            QStringList values{table};
            for (int c = 0; c < rows.record().count(); ++c)
                values << rows.value(c).toString();
            dump << values.join(QLatin1Char('|'));
        }
    }
    return dump;
}

}
