#pragma once

#include <QDate>
#include <QList>
#include <QObject>
#include <QString>
#include <QVariantList>

class ReadingRecordInfo;

// Reading sessions in reading_records and the statistics derived from them.
// A session belongs to the local day it started on, however long it runs.
// The reading operations log nothing: a failed query answers 0 or an empty
// list, like an empty table.
class ReadingRecordDao : public QObject
{
    Q_OBJECT

public:
    explicit ReadingRecordDao(QObject *parent = nullptr);

    // Stores the session with duration 0, whatever the record holds.
    Q_INVOKABLE bool insert(ReadingRecordInfo *record);
    // Overwrites the duration (the total since the start, not an increment).
    Q_INVOKABLE bool updateDuration(QString id, int seconds);
    Q_INVOKABLE bool removeByNovelId(QString novelId);

    Q_INVOKABLE int getTodaySeconds();
    Q_INVOKABLE int getTotalSeconds();
    Q_INVOKABLE int getDistinctDays();
    // One date per reading day, newest first.
    Q_INVOKABLE QList<QDate> getDistinctDatesDesc();
    // Maps {year, month, day, seconds} for the days of the month with sessions, by day.
    Q_INVOKABLE QVariantList getDailyStats(int year, int month);
    // Maps {novelId, title, seconds}, most read first; a removed book keeps an empty title.
    Q_INVOKABLE QVariantList getMonthlyPerBookStats(int year, int month);
    Q_INVOKABLE QVariantList getPerBookStats();

    // Every heartbeat already stored the elapsed time, so a session cut
    // short by a crash needs no repair; this only logs.
    Q_INVOKABLE void recoverDangling();
};
