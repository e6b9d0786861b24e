#include "fallbacknovelparser.h"

#include "keys.h"
#include "novelinfo.h"
#include "paths.h"

#include <QFileInfo>

FallbackNovelParser::FallbackNovelParser(QObject *parent) : NovelParser(parent) {}

NovelInfo *FallbackNovelParser::parseNovel(const QString &filePath)
{
    const QFileInfo info(filePath);
    auto *novel = new NovelInfo;
    const QString id = md5Hex(filePath);
    const QString now = currentTimeString();
    novel->setId(id);
    novel->setDataDir(Paths::dataLocation() + QLatin1Char('/') + id + QLatin1Char('/'));
    novel->setFileType(QStringLiteral("TXT"));
    novel->setSourceType(0);
    novel->setSourceUrl(info.filePath());
    novel->setFileSize(info.size());
    const QString name = info.fileName();
    const int dot = name.lastIndexOf(QLatin1Char('.'));
    novel->setTitle(dot < 0 ? name : name.left(dot));
    novel->setStatus(0);
    novel->setCreateTime(now);
    novel->setUpdateTime(now);
    novel->setAuthor(QStringLiteral("--"));
    novel->setLanguage(QStringLiteral("--"));
    novel->setDescription(QStringLiteral("--"));
    novel->setWordCount(0);
    return novel;
}
