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
    // Deletes a book's data folder, but only one that lies strictly inside the
    // writable data location: data_dir can be edited, and must never name the
    // user's home or the location itself. Returns whether it was deleted.
    bool removeDataDir(const QString &path);
    // The canonical path of dataDir when it lies strictly inside
    // dataLocation, else an empty string.
    static QString removableDataDir(const QString &dataDir, const QString &dataLocation);
    void doReading(const QString &novelId, const QString &chapterId, int chapterIndex,
                   int position, qlonglong progressIndex, float blockOffset);
    bool saveNovel(NovelInfo *novel);

private:
    NovelDao *m_novelDao;
    ChapterDao *m_chapterDao;
    ReadProcessDao *m_readProcessDao;
};
