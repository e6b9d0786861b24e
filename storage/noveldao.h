#pragma once

#include <QList>
#include <QObject>
#include <QSqlQuery>
#include <QString>
#include <QStringList>

class NovelInfo;

// Reads and writes novel_info rows on the calling thread's connection.
// Returned records are new objects without parent, owned by the caller.
class NovelDao : public QObject
{
    Q_OBJECT

public:
    explicit NovelDao(QObject *parent = nullptr);

    // Writes all 27 columns as they stand, unset markers included.
    bool insert(NovelInfo *novel);
    // Writes only the set values; update_time always, cover_path also when
    // forceCoverPath is true. True when the statement ran, also for no row.
    bool update(NovelInfo *novel, bool forceCoverPath);
    // True only when a row was deleted.
    bool remove(const QString &id);
    NovelInfo *queryById(const QString &id);
    // How many distinct ids of the list have a row.
    int countExisting(const QStringList &ids);
    // The library list: ten columns per book, latest update first.
    QList<NovelInfo *> queryList();

    void bindAll(QSqlQuery &query, NovelInfo *novel);
};
