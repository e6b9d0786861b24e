#include "epubfiles.h"

#include "keys.h"
#include "paths.h"

#include <QDir>
#include <QSaveFile>

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
