#pragma once

#include "chapterinfo.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVector>

class QSqlQuery;

// Reads and writes chapter_info rows on the calling thread's connection.
// Returned records are new objects without parent, owned by the caller.
class ChapterDao : public QObject
{
    Q_OBJECT

public:
    explicit ChapterDao(QObject *parent = nullptr);

    // Writes one row with all 19 columns as they stand.
    Q_INVOKABLE bool insert(ChapterInfo *chapter);
    // All chapters or none, in a transaction of its own. Null entries are skipped.
    Q_INVOKABLE bool batchInsert(const QVector<ChapterInfo *> &chapterList);
    // Writes only the set fields; false when no row has the id.
    Q_INVOKABLE bool update(ChapterInfo *novel);
    Q_INVOKABLE ChapterInfo *queryOne(QString novelId, int index);

    // Inside a transaction the caller has begun; stops at the first failure
    // and leaves the rollback to the caller.
    bool insertAllInTransaction(const QVector<ChapterInfo *> &chapters);
    ChapterInfo *queryById(const QString &id);
    // All chapters of the book by chapter_index; empty on failure.
    QList<ChapterInfo *> queryByNovelId(const QString &novelId);
    // Only the ids, in the same order: what a reading session needs.
    QStringList queryIdsByNovelId(const QString &novelId);
    // True when the statement ran, also when the book had no chapters.
    bool removeByNovelId(const QString &novelId);

private:
    static void bindChapter(QSqlQuery &query, const ChapterInfo *chapter);
};
