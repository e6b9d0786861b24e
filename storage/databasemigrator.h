#pragma once

#include <QSqlDatabase>
#include <QString>

// Brings the library database to the current schema version.
class DatabaseMigrator
{
public:
    static constexpr int LatestVersion = 2;
    static bool migrate(QSqlDatabase db, QString *error);
};
