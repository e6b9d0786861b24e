#include "novelinfo.h"

#include "recordtext.h"

#include <QStringList>

NovelInfo::NovelInfo(QObject *parent)
    : QObject(parent)
{
}

QString NovelInfo::toString() const
{
    using RecordText::number;
    using RecordText::text;
    const QStringList items{
        text("id", m_id),
        text("title", m_title),
        text("author", m_author),
        text("coverPath", m_coverPath),
        text("description", m_description),
        text("category", m_category),
        text("tags", m_tags),
        text("language", m_language),
        number("status", m_status),
        number("chaptersCount", m_chaptersCount),
        number("wordCount", m_wordCount),
        text("publishTime", m_publishTime),
        text("lastReadChapter", m_lastReadChapter),
        number("fileSize", m_fileSize),
        text("fileType", m_fileType),
        number("sourceType", m_sourceType),
        text("sourceUrl", m_sourceUrl),
        text("dataDir", m_dataDir),
        number("loadStatus", m_loadStatus),
        QLatin1String("parseProgress=") + QString::number(m_parseProgress, 'g', 6),
        text("createTime", m_createTime),
        text("updateTime", m_updateTime),
        text("publisher", m_publisher),
        text("publishDate", m_publishDate),
        text("isbn", m_isbn),
    };
    return QLatin1String("NovelInfo{") + items.join(QLatin1String(", ")) + QLatin1Char('}');
}
