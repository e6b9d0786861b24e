#pragma once

#include <QList>
#include <QObject>

class ChapterDao;
class NovelDao;
class NovelInfo;
class ReadProcessDao;
class ReadProcessInfo;

// Books, reading positions and book data folders: the few multi-step writes
// of the library in one call each.
class NovelService : public QObject
{
    Q_OBJECT
public:
    NovelService(NovelDao *novelDao, ChapterDao *chapterDao, ReadProcessDao *readProcessDao,
                 QObject *parent = nullptr);

    NovelInfo *getNovelInfo(const QString &id);
    QList<NovelInfo *> getNovelList();
    ReadProcessInfo *getReadProcess(const QString &novelId);
    bool removeReadProcess(const QString &novelId);
    bool removeNovel(const QString &id);
    // The canonical path of the book's own data folder when path is that;
    // empty (with a warning for a folder that is there) otherwise.
    static QString ownDataDir(const QString &path, const QString &novelId);
    // The canonical path of dataDir when it is the folder of the book
    // novelId directly inside dataLocation, else an empty string.
    static QString removableDataDir(const QString &dataDir, const QString &novelId,
                                    const QString &dataLocation);
    void doReading(const QString &novelId, const QString &chapterId, int chapterIndex,
                   int position, qlonglong progressIndex, float blockOffset);
    bool saveNovel(NovelInfo *novel);

private:
    NovelDao *m_novelDao;
    ChapterDao *m_chapterDao;
    ReadProcessDao *m_readProcessDao;
};
