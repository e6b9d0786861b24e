#pragma once

#include <QList>
#include <QObject>
#include <QString>

class ReadProcessInfo;
class QSqlQuery;

// Reading positions in read_process_info, one row per book. Callers fill ids
// and times; the DAO only moves rows. Returned records have no parent and
// belong to the caller.
class ReadProcessDao : public QObject
{
    Q_OBJECT

public:
    explicit ReadProcessDao(QObject *parent = nullptr);

    Q_INVOKABLE bool insert(ReadProcessInfo *process);
    // True when the statement ran, whether or not a row matched.
    Q_INVOKABLE bool remove(QString id);
    Q_INVOKABLE bool removeByNovelId(QString novelId);
    // Writes only the set fields (plus update_time); true when a row changed.
    Q_INVOKABLE bool update(ReadProcessInfo *process);
    Q_INVOKABLE QObject *queryById(QString id);
    Q_INVOKABLE QObject *queryByNovelId(QString novelId);
    // Newest update first.
    Q_INVOKABLE QList<QObject *> queryList();

private:
    static ReadProcessInfo *fromQuery(const QSqlQuery &query);
};
