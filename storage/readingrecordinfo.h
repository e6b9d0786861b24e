#pragma once

#include <QObject>
#include <QString>

// One reading session (a row of reading_records). Only the id, the book and
// the duration are QML properties; the local start time is kept split into
// its six fields, the way the statistics queries group it. A snapshot: no
// setter notifies.
class ReadingRecordInfo : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString id READ id WRITE setId)
    Q_PROPERTY(QString novelId READ novelId WRITE setNovelId)
    Q_PROPERTY(int durationSeconds READ durationSeconds WRITE setDurationSeconds)

public:
    explicit ReadingRecordInfo(QObject *parent = nullptr);

    QString id() const { return m_id; }
    QString novelId() const { return m_novelId; }
    int startYear() const { return m_startYear; }
    int startMonth() const { return m_startMonth; }
    int startDay() const { return m_startDay; }
    int startHour() const { return m_startHour; }
    int startMinute() const { return m_startMinute; }
    int startSecond() const { return m_startSecond; }
    int durationSeconds() const { return m_durationSeconds; }

    void setId(const QString &id) { m_id = id; }
    void setNovelId(const QString &novelId) { m_novelId = novelId; }
    void setStartYear(int startYear) { m_startYear = startYear; }
    void setStartMonth(int startMonth) { m_startMonth = startMonth; }
    void setStartDay(int startDay) { m_startDay = startDay; }
    void setStartHour(int startHour) { m_startHour = startHour; }
    void setStartMinute(int startMinute) { m_startMinute = startMinute; }
    void setStartSecond(int startSecond) { m_startSecond = startSecond; }
    void setDurationSeconds(int durationSeconds) { m_durationSeconds = durationSeconds; }

private:
    QString m_id;
    QString m_novelId;
    int m_startYear = 0;
    int m_startMonth = 0;
    int m_startDay = 0;
    int m_startHour = 0;
    int m_startMinute = 0;
    int m_startSecond = 0;
    int m_durationSeconds = 0;
};
