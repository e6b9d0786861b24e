#include "logmanager.h"
#include "paths.h"

#include <QDateTime>
#include <QSettings>

#include <cstdio>
#include <cstdlib>

std::atomic<int> LogManager::s_level{LogManager::DefaultLevel};

namespace {

int levelOfType(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg: return LogManager::Debug;
    case QtInfoMsg: return LogManager::Info;
    case QtWarningMsg: return LogManager::Warning;
    case QtCriticalMsg: return LogManager::Error;
    case QtFatalMsg: return LogManager::Fatal;
    }
    return LogManager::Debug;
}

QString tagOfType(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg: return QStringLiteral("DEBUG");
    case QtInfoMsg: return QStringLiteral("INFO");
    case QtWarningMsg: return QStringLiteral("WARN");
    case QtCriticalMsg: return QStringLiteral("ERROR");
    case QtFatalMsg: return QStringLiteral("FATAL");
    }
    return QStringLiteral("????");
}

QString timeNow()
{
    return QTime::currentTime().toString(QStringLiteral("hh:mm:ss.zzz"));
}

}

void LogManager::install()
{
    int stored = DefaultLevel;
    {
        QSettings settings(Paths::settingsFile(), QSettings::NativeFormat);
        settings.beginGroup(QStringLiteral("APP_SETTING"));
        stored = settings.value(QStringLiteral("LOG_LEVEL"), DefaultLevel).toInt();
        settings.endGroup();
    }
    if (static_cast<unsigned>(stored) > Off)
        stored = DefaultLevel;
    s_level.store(stored);
    qInstallMessageHandler(&LogManager::messageHandler);
    std::fprintf(stderr, "[INFO ] [%s] LogManager installed, level=%d\n",
                 timeNow().toLocal8Bit().constData(), stored);
}

QString LogManager::formatLine(QtMsgType type, const QString &message)
{
    // One pass over the pattern: marker-like text inside the message stays as it is.
    return QStringLiteral("[%1] [%2] %3\n").arg(tagOfType(type), timeNow(), message);
}

void LogManager::messageHandler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (levelOfType(type) < level())
        return;
    std::fputs(formatLine(type, message).toLocal8Bit().constData(), stderr);
    if (type == QtFatalMsg)
        std::abort();
}

QString LogManager::levelName(int level)
{
    switch (level) {
    case Debug: return QStringLiteral("调试");
    case Info: return QStringLiteral("信息");
    case Warning: return QStringLiteral("警告");
    case Error: return QStringLiteral("错误");
    case Fatal: return QStringLiteral("致命");
    case Off: return QStringLiteral("关闭");
    }
    return QStringLiteral("未知");
}

void LogManager::setLevel(int level)
{
    s_level.store(level);
    qInfo() << "[LogManager] 日志级别切换为:" << levelName(level) << "(" << level << ")";
}
