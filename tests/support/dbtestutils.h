#pragma once

#include <QString>
#include <QStringList>
#include <QVariantMap>

class NovelInfo;
class QObject;

// Small database helpers the storage and application tests share. All of them
// work on the calling thread's connection.
namespace DbTestUtils {

// Rows in a table; -1 when the query fails.
int rowCount(const QString &table);
// Rows of a table whose column holds the value; -1 when the query fails.
int rowCount(const QString &table, const QString &column, const QVariant &value);

// The row with this id as the database holds it (SELECT *), NULLs included;
// empty when there is none.
QVariantMap storedRow(const QString &table, const QString &id);

// The row a SELECT with an :id placeholder finds, its cells joined by '|'
// (NULL shown as nullText), or "<no row>".
QString storedCells(const QString &select, const QString &id, const QString &nullText = QString());

// The first column of every row a SELECT with one `?` placeholder finds.
QStringList column(const QString &select, const QVariant &value);

// A book's chapters in order, "title=kind:text,kind:text..." with one
// kind:text per stored paragraph (its chunks' text joined).
QStringList chapterDump(const QString &novelId);

// Every row of every table, "table|cell|cell...", tables by name, rows by rowid.
QStringList allRows();
// Runs a statement and fails the current test when it fails.
void execSql(const QString &sql);

// Compares every property the object's own class declares (not inherited
// ones). With StringNulls::Matter, a null and an empty string differ.
enum class StringNulls { Ignored, Matter };
void compareAllProperties(const QObject &actual, const QObject &expected,
                          StringNulls nulls = StringNulls::Ignored);

// A book record holding only what every insert needs: id, title and fixed
// create and update times. The caller owns it.
NovelInfo *newNovel(const QString &id, const QString &title);

}
