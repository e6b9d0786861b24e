#include "paths.h"

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

QString settingsFile()
{
    return configLocation() + QStringLiteral("/config") + QStringLiteral("/appSettings.conf");
}

}
