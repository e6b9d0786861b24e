#include "databasemigrator.h"

#include <QSqlQuery>
#include <QSqlError>
#include <QVariant>

bool DatabaseMigrator::migrate(QSqlDatabase db, QString *error)
{
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("PRAGMA journal_mode=WAL")) || !q.next()
        || q.value(0).toString().compare(QLatin1String("wal"), Qt::CaseInsensitive) != 0) {
        if (error)
            *error = QStringLiteral("启用 WAL 失败: %1").arg(q.lastError().text());
        return false;
    }
    return true;
}
