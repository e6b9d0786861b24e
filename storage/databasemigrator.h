#pragma once

#include "schema.h"

#include <QHash>
#include <QSqlDatabase>
#include <QString>

// What is compared for one column: its declared type (upper case) and flags.
struct ColumnDefinition
{
    QString type;
    bool notNull = false;
    bool primaryKey = false;
};

// Brings the library database to schema version 2, or refuses it. Every
// operation takes the open database and an optional error text that is set
// only on failure. Everything a migration writes happens in one transaction,
// so a refused file stays as it was (apart from the journal mode).
class DatabaseMigrator
{
public:
    static constexpr int LatestVersion = Schema::LatestVersion;

    static bool migrate(QSqlDatabase db, QString *error);

    // type is "table" or "index". Returns whether the query ran.
    static bool tableExists(QSqlDatabase db, const QString &type, const QString &name, bool *exists,
                            QString *error);
    static bool exec(QSqlDatabase db, const QString &statement, QString *error);
    static bool setUserVersion(QSqlDatabase db, int version, QString *error);
    static bool tableInfo(QSqlDatabase db, const QString &table, QHash<QString, ColumnDefinition> *columns,
                          QString *error);

    // Checks one table of version 2 (font_info) column by column.
    static bool verifyTable(QSqlDatabase db, const SchemaObjectSpec &spec, QString *error);
    static bool verifyV1(QSqlDatabase db, QString *error);
    static bool verifyV2(QSqlDatabase db, QString *error);
    // Creates the version-1 tables and indexes that are missing, then verifies.
    static bool createV1(QSqlDatabase db, QString *error);
    static bool verifyVersion(QSqlDatabase db, int version, QString *error);

    // The definition a column has in a CREATE statement; empty type when the
    // statement does not name the column.
    static ColumnDefinition expectedColumn(const QString &createStatement, const QString &column);
};
