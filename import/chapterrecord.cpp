#include "chapterrecord.h"

#include "chapterinfo.h"

ChapterInfo *newChapterRecord(const QString &id, const QString &novelId, int index,
                              const QString &title, const QString &path, const QString &now)
{
    auto *chapter = new ChapterInfo;
    chapter->setId(id);
    chapter->setNovelId(novelId);
    chapter->setTitle(title);
    chapter->setChapterIndex(index);
    chapter->setPath(path);
    chapter->setStatus(0);
    chapter->setLoadStatus(0);
    chapter->setCreateTime(now);
    chapter->setUpdateTime(now);
    return chapter;
}
