#pragma once

#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVector>

#include <utility>

class QSqlQuery;

// Collects the "column = :column" assignments of an UPDATE that writes only
// the values a record has set; unset text is empty, unset numbers are -1.
class UpdateBuilder
{
public:
    void set(const char *column, const QVariant &value);
    void setText(const char *column, const QString &value);
    void setInt(const char *column, int value);

    bool isEmpty() const { return m_clauses.isEmpty(); }
    int count() const { return m_clauses.size(); }

    // "UPDATE <table> SET a = :a, b = :b WHERE id = :id"
    QString sql(const QString &table) const;
    // Binds every collected value (not :id).
    void bindValues(QSqlQuery &query) const;

private:
    QStringList m_clauses;
    QVector<std::pair<QString, QVariant>> m_values;
};
