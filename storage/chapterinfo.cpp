#include "chapterinfo.h"

#include "recordtext.h"

#include <QStringList>

ChapterInfo::ChapterInfo(QObject *parent)
    : QObject(parent)
{
}

QString ChapterInfo::toString() const
{
    using RecordText::number;
    using RecordText::text;
    const QStringList items{
        text("id", m_id),
        text("novelId", m_novelId),
        text("title", m_title),
        number("chapterIndex", m_chapterIndex),
        text("path", m_path),
        number("wordCount", m_wordCount),
        number("startOffset", m_startOffset),
        number("endOffset", m_endOffset),
        text("prevChapter", m_prevChapter),
        text("nextChapter", m_nextChapter),
        number("loadStatus", m_loadStatus),
        number("status", m_status),
        text("createTime", m_createTime),
        text("updateTime", m_updateTime),
        QLatin1String("novelProcess=") + QString::number(m_novelProcess, 'g', 6),
    };
    return QLatin1String("ChapterInfo{") + items.join(QLatin1String(", ")) + QLatin1Char('}');
}
