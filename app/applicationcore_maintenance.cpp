#include "applicationcore.h"
#include "appinfo.h"
#include "databasebrowser.h"
#include "databaseconnection.h"
#include "licensetext.h"
#include "paths.h"

#include <sqlite3.h>

QVariantMap ApplicationCore::getAppInfo()
{
    // The installed description does not change while the program runs.
    static AppInfo::PackageInfoCache cache;
    return cache.get(AppInfo::specFilePath());
}

QVariantList ApplicationCore::getChangelog()
{
    return AppInfo::readChangelog(AppInfo::changesFilePath());
}

QString ApplicationCore::getDataPath()
{
    return Paths::dataLocation();
}

QString ApplicationCore::getConfigPath()
{
    return Paths::configLocation();
}

// SQLite's own words went to the log; the reader is told the cause and the way out.
QString ApplicationCore::getDatabaseError()
{
    if (DatabaseConnection::openFailure().isEmpty())
        return QString();
    const QString reset = tr("使用“重置应用”可重建一个空书库（已导入的书籍和设置会被清除），之后请重新导入书籍。");
    switch (DatabaseConnection::openFailureCode()) {
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
        return tr("书库文件已损坏，无法读取。") + reset;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        return tr("书库正被另一个运行中的本应用占用。请关闭它后重新启动。");
    case SQLITE_FULL:
        return tr("存储空间已满，书库无法打开。请清理出空间后重新启动。");
    case SQLITE_CANTOPEN:
    case SQLITE_PERM:
    case SQLITE_READONLY:
    case SQLITE_AUTH:
        return tr("没有读写书库文件的权限。") + reset;
    case SQLITE_IOERR:
        return tr("读取书库文件时存储设备出错。") + reset;
    default:
        return tr("书库文件无法读取。") + reset;
    }
}

QString ApplicationCore::getLicenseText()
{
    return licenseText();
}

QStringList ApplicationCore::listDbTables()
{
    return DatabaseBrowser::listTables();
}

QVariantList ApplicationCore::getTableColumns(const QString &table)
{
    return DatabaseBrowser::tableColumns(table);
}

QVariantList ApplicationCore::queryTable(const QString &table, int page, int pageSize)
{
    return DatabaseBrowser::queryTable(table, page, pageSize);
}

int ApplicationCore::countTableRows(const QString &table)
{
    return DatabaseBrowser::countRows(table);
}

bool ApplicationCore::updateTableCell(const QString &table, const QString &pkColumn,
                                      const QVariant &pkValue, const QString &column,
                                      const QVariant &value)
{
    return DatabaseBrowser::updateCell(table, pkColumn, pkValue, column, value);
}

bool ApplicationCore::deleteTableRow(const QString &table, const QString &pkColumn,
                                     const QVariant &pkValue)
{
    return DatabaseBrowser::deleteRow(table, pkColumn, pkValue);
}

bool ApplicationCore::insertTableRow(const QString &table, const QVariantMap &values)
{
    return DatabaseBrowser::insertRow(table, values);
}
