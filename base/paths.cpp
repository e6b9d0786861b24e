#include "paths.h"

#include <QDir>
#include <QSaveFile>
#include <QStandardPaths>

namespace Paths {

QString configLocation()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
}

QString dataLocation()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
}

QString bookDataDir(const QString &bookId)
{
    return QDir(dataLocation()).absoluteFilePath(bookId + QLatin1Char('/'));
}

bool removeBookDataDir(const QString &dir)
{
    if (dir.isEmpty() || !dir.startsWith(QDir(dataLocation()).absolutePath() + QLatin1Char('/')))
        return false;
    return QDir(dir).removeRecursively();
}

QString settingsFile()
{
    return configLocation() + QStringLiteral("/config") + QStringLiteral("/appSettings.conf");
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
