#include "paths.h"

#include <QDir>
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

QString settingsFile()
{
    return configLocation() + QStringLiteral("/config") + QStringLiteral("/appSettings.conf");
}

}
