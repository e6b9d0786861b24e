#include "epubfiles.h"

#include "keys.h"
#include "paths.h"

namespace EpubFiles {

QString bookId(const QString &filePath)
{
    return bookIdForPath(filePath);
}

QString dataDir(const QString &bookId)
{
    return Paths::bookDataDir(bookId);
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    return Paths::writeFile(path, bytes);
}

}
