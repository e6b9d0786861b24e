#include "paths.h"

#include <QDir>
#include <QFileInfo>
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
    if (dir.isEmpty())
        return false;
    // Compared cleaned: "<data>/" or "<data>/x/../.." would name the whole
    // library, "<data>/a/b" something inside another folder.
    const QString folder = QDir::cleanPath(QDir(dir).absolutePath());
    if (QFileInfo(folder).absolutePath() != QDir::cleanPath(QDir(dataLocation()).absolutePath()))
        return false;
    return QDir(folder).removeRecursively();
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
