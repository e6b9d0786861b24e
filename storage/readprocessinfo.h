#pragma once

#include <QObject>
#include <QString>

// One row of read_process_info: where the reader stopped in a book. Handed to
// QML directly, so every property notifies. Integers at -1, a block offset
// below -1.0 and null strings mean "not set"; ReadProcessDao::update writes
// only the set values.
class ReadProcessInfo : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString id READ id WRITE setId NOTIFY idChanged)
    Q_PROPERTY(QString novelId READ novelId WRITE setNovelId NOTIFY novelIdChanged)
    Q_PROPERTY(QString chapterId READ chapterId WRITE setChapterId NOTIFY chapterIdChanged)
    Q_PROPERTY(int lastPosition READ lastPosition WRITE setLastPosition NOTIFY lastPositionChanged)
    Q_PROPERTY(qint64 lastProgressIndex READ lastProgressIndex WRITE setLastProgressIndex NOTIFY lastProgressIndexChanged)
    Q_PROPERTY(float lastBlockOffset READ lastBlockOffset WRITE setLastBlockOffset NOTIFY lastBlockOffsetChanged)
    Q_PROPERTY(int chapterIndex READ chapterIndex WRITE setChapterIndex NOTIFY chapterIndexChanged)
    Q_PROPERTY(QString createTime READ createTime WRITE setCreateTime NOTIFY createTimeChanged)
    Q_PROPERTY(QString updateTime READ updateTime WRITE setUpdateTime NOTIFY updateTimeChanged)

public:
    explicit ReadProcessInfo(QObject *parent = nullptr);

    QString id() const { return m_id; }
    QString novelId() const { return m_novelId; }
    QString chapterId() const { return m_chapterId; }
    int lastPosition() const { return m_lastPosition; }
    qint64 lastProgressIndex() const { return m_lastProgressIndex; }
    float lastBlockOffset() const { return m_lastBlockOffset; }
    int chapterIndex() const { return m_chapterIndex; }
    QString createTime() const { return m_createTime; }
    QString updateTime() const { return m_updateTime; }

    void setId(const QString &id);
    void setNovelId(const QString &novelId);
    void setChapterId(const QString &chapterId);
    void setLastPosition(int lastPosition);
    void setLastProgressIndex(qint64 lastProgressIndex);
    void setLastBlockOffset(float lastBlockOffset);
    void setChapterIndex(int chapterIndex);
    void setCreateTime(const QString &createTime);
    void setUpdateTime(const QString &updateTime);

    // One line for the debug log.
    QString toString() const;

signals:
    void idChanged();
    void novelIdChanged();
    void chapterIdChanged();
    void lastPositionChanged();
    void lastProgressIndexChanged();
    void lastBlockOffsetChanged();
    void chapterIndexChanged();
    void createTimeChanged();
    void updateTimeChanged();

private:
    QString m_id;
    QString m_novelId;
    QString m_chapterId;
    int m_lastPosition = -1;
    qint64 m_lastProgressIndex = -1;
    // -1.0 is a real offset, so "unset" lies below it.
    float m_lastBlockOffset = -2.0f;
    int m_chapterIndex = -1;
    QString m_createTime;
    QString m_updateTime;
};
