#include "updatebuilder.h"

#include <QSqlQuery>

void UpdateBuilder::set(const char *column, const QVariant &value)
{
    const QString name = QString::fromLatin1(column);
    m_clauses << name + QStringLiteral(" = :") + name;
    m_values.append({QLatin1Char(':') + name, value});
}

void UpdateBuilder::setText(const char *column, const QString &value)
{
    if (!value.isEmpty())
        set(column, value);
}

void UpdateBuilder::setInt(const char *column, int value)
{
    if (value != -1)
        set(column, value);
}

QString UpdateBuilder::sql(const QString &table) const
{
    return QStringLiteral("UPDATE %1 SET %2 WHERE id = :id").arg(table, m_clauses.join(QStringLiteral(", ")));
}

void UpdateBuilder::bindValues(QSqlQuery &query) const
{
    for (const auto &value : m_values)
        query.bindValue(value.first, value.second);
}
