#include "chapterservice.h"
#include "chapterdao.h"
#include "chapterinfo.h"
#include "unifiedchunkdao.h"
#include "unifiedparagraphdao.h"

ChapterService::ChapterService(ChapterDao *chapterDao, UnifiedParagraphDao *paragraphDao,
                               UnifiedChunkDao *chunkDao, QObject *parent)
    : QObject(parent)
    , m_chapterDao(chapterDao)
    , m_paragraphDao(paragraphDao)
    , m_chunkDao(chunkDao)
{
}

bool ChapterService::replaceChapters(const QVector<ChapterInfo *> &chapters, const QString &novelId)
{
    if (!m_chapterDao->removeByNovelId(novelId))
        return false;
    QVector<ChapterInfo *> list = chapters;
    return m_chapterDao->batchInsert(list);
}

bool ChapterService::replaceChaptersInTransaction(const QVector<ChapterInfo *> &chapters,
                                                  const QString &novelId)
{
    if (!m_chapterDao->removeByNovelId(novelId))
        return false;
    QVector<ChapterInfo *> list = chapters;
    return m_chapterDao->insertAllInTransaction(list);
}

QList<ChapterInfo *> ChapterService::getChaptersByNovelId(const QString &novelId)
{
    return m_chapterDao->queryByNovelId(novelId);
}

bool ChapterService::removeByNovelId(const QString &novelId)
{
    // Chunks are found through the book's paragraph rows, so they go first.
    // A failure of any step fails the whole (the caller's transaction rolls back).
    const bool chapters = m_chapterDao->removeByNovelId(novelId);
    const bool chunks = m_chunkDao->removeByNovelId(novelId);
    return m_paragraphDao->removeByNovelId(novelId) && chapters && chunks;
}
