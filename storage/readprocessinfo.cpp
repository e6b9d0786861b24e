#include "readprocessinfo.h"

ReadProcessInfo::ReadProcessInfo(QObject *parent)
    : QObject(parent)
{
}

// QString's == treats null and empty alike, so assigning "" to a null field
// keeps it null (and unset for ReadProcessDao::update).

void ReadProcessInfo::setId(const QString &id)
{
    if (m_id == id)
        return;
    m_id = id;
    emit idChanged();
}

void ReadProcessInfo::setNovelId(const QString &novelId)
{
    if (m_novelId == novelId)
        return;
    m_novelId = novelId;
    emit novelIdChanged();
}

void ReadProcessInfo::setChapterId(const QString &chapterId)
{
    if (m_chapterId == chapterId)
        return;
    m_chapterId = chapterId;
    emit chapterIdChanged();
}

void ReadProcessInfo::setLastPosition(int lastPosition)
{
    if (m_lastPosition == lastPosition)
        return;
    m_lastPosition = lastPosition;
    emit lastPositionChanged();
}

void ReadProcessInfo::setLastProgressIndex(qint64 lastProgressIndex)
{
    if (m_lastProgressIndex == lastProgressIndex)
        return;
    m_lastProgressIndex = lastProgressIndex;
    emit lastProgressIndexChanged();
}

void ReadProcessInfo::setLastBlockOffset(float lastBlockOffset)
{
    // Exact comparison on purpose: a NaN never equals itself and is always stored.
    if (m_lastBlockOffset == lastBlockOffset)
        return;
    m_lastBlockOffset = lastBlockOffset;
    emit lastBlockOffsetChanged();
}

void ReadProcessInfo::setChapterIndex(int chapterIndex)
{
    if (m_chapterIndex == chapterIndex)
        return;
    m_chapterIndex = chapterIndex;
    emit chapterIndexChanged();
}

void ReadProcessInfo::setCreateTime(const QString &createTime)
{
    if (m_createTime == createTime)
        return;
    m_createTime = createTime;
    emit createTimeChanged();
}

void ReadProcessInfo::setUpdateTime(const QString &updateTime)
{
    if (m_updateTime == updateTime)
        return;
    m_updateTime = updateTime;
    emit updateTimeChanged();
}

QString ReadProcessInfo::toString() const
{
    return QStringLiteral("ReadProcessInfo{id='") + m_id
        + QStringLiteral("', novelId='") + m_novelId
        + QStringLiteral("', chapterId='") + m_chapterId
        + QStringLiteral("', lastPosition=") + QString::number(m_lastPosition)
        + QStringLiteral(", chapterIndex=") + QString::number(m_chapterIndex)
        + QStringLiteral(", createTime='") + m_createTime
        + QStringLiteral("', updateTime='") + m_updateTime
        + QStringLiteral("'}");
}
