#pragma once

#include <QString>
#include <QStringList>
#include <QVector>

// One table or index of the library database: its name, its CREATE statement
// and its columns (table order for a table, index order for an index).
// The migrator reads each column's expected type back out of the statement
// text, so the statements are part of the file format: change none of them.
struct SchemaObjectSpec
{
    QString name;
    QString createStatement;
    QStringList columns;
};

// A column that tables made before schema versions were kept may lack, with
// the definition appended by ALTER TABLE ... ADD COLUMN.
struct LegacyColumn
{
    QString table;
    QString column;
    QString definition;
};

// The library schema, version 2. Built once on first use (thread-safe) and
// kept until the process ends.
namespace Schema {

constexpr int LatestVersion = 2;

// The seven tables of version 1, in order of creation.
const QVector<SchemaObjectSpec> &createTableStatementsV1();
// The four indexes of version 1, in order of creation.
const QVector<SchemaObjectSpec> &createIndexStatementsV1();
// The table version 2 adds.
const SchemaObjectSpec &fontInfoSpec();
// Every table of the current version: the version-1 tables, then font_info.
const QVector<SchemaObjectSpec> &allTables();
// Columns older files may lack, in the order they are added.
const QVector<LegacyColumn> &legacyColumns();

}
