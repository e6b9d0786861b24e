#include "txtnovelrecord.h"

#include "keys.h"
#include "novelinfo.h"
#include "paths.h"

#include <QFileInfo>

NovelInfo *newTxtNovelRecord(const QString &filePath)
{
    const QFileInfo info(filePath);
    auto *novel = new NovelInfo;
    const QString id = bookIdForPath(filePath);
    const QString now = currentTimeString();
    novel->setId(id);
    novel->setDataDir(Paths::bookDataDir(id));
    novel->setSourceType(0);
    novel->setFileType(QStringLiteral("TXT"));
    novel->setSourceUrl(info.filePath());
    novel->setFileSize(info.size());
    novel->setStatus(0);
    novel->setCreateTime(now);
    novel->setUpdateTime(now);
    novel->setWordCount(0);
    return novel;
}
