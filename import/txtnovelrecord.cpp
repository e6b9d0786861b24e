#include "txtnovelrecord.h"

#include "bookrecord.h"
#include "novelinfo.h"

NovelInfo *newTxtNovelRecord(const QString &filePath)
{
    NovelInfo *novel = newBookRecord(filePath, QStringLiteral("TXT"));
    novel->setWordCount(0);
    return novel;
}
