#include "applicationcore.h"
#include "appinfo.h"
#include "databasebrowser.h"
#include "databaseconnection.h"
#include "licensetext.h"
#include "paths.h"

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

QString ApplicationCore::getDatabaseError()
{
    return DatabaseConnection::openFailure();
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
