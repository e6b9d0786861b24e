#include "bookrecord.h"

#include "keys.h"
#include "novelinfo.h"
#include "paths.h"

#include <QFileInfo>

NovelInfo *newBookRecord(const QString &filePath, const QString &fileType)
{
    const QFileInfo info(filePath);
    const QString id = bookIdForPath(filePath);
    const QString now = currentTimeString();
    auto *novel = new NovelInfo;
    novel->setId(id);
    novel->setDataDir(Paths::bookDataDir(id));
    novel->setSourceType(0);
    novel->setFileType(fileType);
    novel->setSourceUrl(info.filePath());
    novel->setFileSize(info.size());
    novel->setStatus(0);
    novel->setCreateTime(now);
    novel->setUpdateTime(now);
    return novel;
}
