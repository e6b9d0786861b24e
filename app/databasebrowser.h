#pragma once

#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantList>
#include <QVariantMap>

// Table-by-table browsing and editing of the library database. Table and
// column names come from the user interface and end up inside statements, so
// only names of existing tables and columns (made of ASCII letters, digits
// and underscores) pass; every value is bound. Edits made while another
// connection holds the write lock are kept and written once it is free; they
// then answer true.
namespace DatabaseBrowser {

// The most rows one page may hold: a page is read on the main thread.
constexpr int MaxPageSize = 1000;

bool isAcceptedName(const QString &name);

QStringList listTables();
// {"name", "pk"} per column, in table order.
QVariantList tableColumns(const QString &table);
// Page 1 is the first; a page below 1 reads as page 1. A page size of 0 or
// less gives nothing; above MaxPageSize it is cut to MaxPageSize.
QVariantList queryTable(const QString &table, int page, int pageSize);
int countRows(const QString &table);
bool updateCell(const QString &table, const QString &pkColumn, const QVariant &pkValue,
                const QString &column, const QVariant &value);
bool deleteRow(const QString &table, const QString &pkColumn, const QVariant &pkValue);
// Keys with other characters are left out; false when none is left or a key
// names no column.
bool insertRow(const QString &table, const QVariantMap &values);

}
