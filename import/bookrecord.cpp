#include "bookrecord.h"

#include "novelinfo.h"

#include <QFileInfo>

#include <limits>

NovelInfo *newBookRecord(const QString &id, const QString &fileType, const QString &sourcePath,
                         const QString &dataDir, const QString &now)
{
    auto *novel = new NovelInfo;
    novel->setId(id);
    novel->setFileType(fileType);
    novel->setSourceType(0);
    novel->setSourceUrl(sourcePath);
    novel->setDataDir(dataDir);
    novel->setFileSize(qMin<qint64>(QFileInfo(sourcePath).size(), std::numeric_limits<int>::max()));
    novel->setStatus(0);
    novel->setLoadStatus(0);
    novel->setCreateTime(now);
    novel->setUpdateTime(now);
    return novel;
}
