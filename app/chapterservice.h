#pragma once

#include <QList>
#include <QObject>
#include <QVector>

class ChapterDao;
class ChapterInfo;
class UnifiedChunkDao;
class UnifiedParagraphDao;

// A book's chapter list and its unified content.
class ChapterService : public QObject
{
    Q_OBJECT
public:
    ChapterService(ChapterDao *chapterDao, UnifiedParagraphDao *paragraphDao,
                   UnifiedChunkDao *chunkDao, QObject *parent = nullptr);

    bool replaceChapters(const QVector<ChapterInfo *> &chapters, const QString &novelId);
    // For use inside a transaction the caller already holds.
    bool replaceChaptersInTransaction(const QVector<ChapterInfo *> &chapters, const QString &novelId);
    QList<ChapterInfo *> getChaptersByNovelId(const QString &novelId);
    bool removeByNovelId(const QString &novelId);

private:
    ChapterDao *m_chapterDao;
    UnifiedParagraphDao *m_paragraphDao;
    UnifiedChunkDao *m_chunkDao;
};
