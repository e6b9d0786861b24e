#include "epubfiles.h"

#include "keys.h"
#include "paths.h"

#include <QSaveFile>

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
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    if (file.write(bytes) != bytes.size()) {
        file.cancelWriting();
        file.commit();
        return false;
    }
    return file.commit();
}

}
