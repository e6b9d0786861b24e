#include "epubfiles.h"

#include "keys.h"
#include "paths.h"

#include <QDir>

namespace EpubFiles {

QString bookId(const QString &filePath)
{
    const QString id = md5Hex(filePath);
    return id.isEmpty() ? filePath : id;
}

QString dataDir(const QString &bookId)
{
    return QDir(Paths::dataLocation()).absoluteFilePath(bookId + QLatin1Char('/'));
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    return Paths::writeFile(path, bytes);
}

}
