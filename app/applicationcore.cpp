#include "applicationcore.h"
#include "appconfig.h"
#include "logmanager.h"

#include <QCoreApplication>
#include <QDebug>

#include <atomic>

namespace {
std::atomic<ApplicationCore *> s_instance{nullptr};
}

ApplicationCore::ApplicationCore(QObject *parent)
    : QObject(parent)
    , m_appConfig(new AppConfig(this))
{
    s_instance.store(this);
}

ApplicationCore::~ApplicationCore()
{
    s_instance.store(nullptr);
}

ApplicationCore *ApplicationCore::instance()
{
    return s_instance.load();
}

void ApplicationCore::setAppConfigValue(const QString &group, const QString &key,
                                        const QVariant &value)
{
    qDebug() << "[ApplicationCore::setAppConfigValue] 存储应用设置值，(" << group << "," << key
             << "," << value << ")";
    m_appConfig->setValue(group, key, value);
}

QVariant ApplicationCore::getAppConfigValue(const QString &group, const QString &key,
                                            const QVariant &defaultValue)
{
    qDebug() << "[ApplicationCore::getAppConfigValue] 查询应用设置值，(" << group << "," << key
             << "," << defaultValue << ")";
    return m_appConfig->getValue(group, key, defaultValue);
}

QVariant ApplicationCore::getAppConfigValue(const QString &group, const QString &key)
{
    qDebug() << "[ApplicationCore::getAppConfigValue] 查询应用设置值，(" << group << "," << key
             << ")";
    return m_appConfig->getValue(group, key);
}

QStringList ApplicationCore::listAppConfigGroups()
{
    return m_appConfig->listGroups();
}

QVariantMap ApplicationCore::listAppConfigKeys(const QString &group)
{
    return m_appConfig->listKeys(group);
}

void ApplicationCore::removeAppConfigKey(const QString &group, const QString &key)
{
    m_appConfig->removeKey(group, key);
}

int ApplicationCore::getLogLevel()
{
    return LogManager::level();
}

void ApplicationCore::setLogLevel(int level)
{
    if (static_cast<unsigned>(level) > LogManager::Off) {
        qWarning() << "[ApplicationCore::setLogLevel] 无效的日志级别:" << level;
        return;
    }
    LogManager::setLevel(level);
    m_appConfig->setValue(QStringLiteral("APP_SETTING"), QStringLiteral("LOG_LEVEL"), level);
}

void ApplicationCore::quitApplication()
{
    qInfo() << "[ApplicationCore::quitApplication] 关闭应用";
    QCoreApplication::quit();
}
