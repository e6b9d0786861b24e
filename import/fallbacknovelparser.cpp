#include "fallbacknovelparser.h"

#include "novelinfo.h"
#include "txtnovelrecord.h"

#include <QFileInfo>

FallbackNovelParser::FallbackNovelParser(QObject *parent) : NovelParser(parent) {}

NovelInfo *FallbackNovelParser::parseNovel(const QString &filePath)
{
    NovelInfo *novel = newTxtNovelRecord(filePath);
    const QString name = QFileInfo(filePath).fileName();
    const int dot = name.lastIndexOf(QLatin1Char('.'));
    novel->setTitle(dot < 0 ? name : name.left(dot));
    novel->setAuthor(QStringLiteral("--"));
    novel->setLanguage(QStringLiteral("--"));
    novel->setDescription(QStringLiteral("--"));
    return novel;
}
