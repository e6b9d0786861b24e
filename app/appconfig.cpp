#include "appconfig.h"
#include "paths.h"

#include <QDebug>
#include <QSet>
#include <QSettings>

AppConfig::AppConfig(QObject *parent)
    : QObject(parent)
    , m_settings(new QSettings(Paths::settingsFile(), QSettings::NativeFormat, this))
{
}

void AppConfig::reload()
{
    delete m_settings;
    m_settings = new QSettings(Paths::settingsFile(), QSettings::NativeFormat, this);
}

AppConfig::~AppConfig()
{
    delete m_settings;
}

void AppConfig::setValue(const QString &group, const QString &key, const QVariant &value)
{
    if (group.isEmpty() || key.isEmpty()) {
        qWarning() << "组名或键名不能为空";
        return;
    }
    m_settings->beginGroup(group);
    m_settings->setValue(key, value);
    m_settings->endGroup();
    m_settings->sync();
}

QVariant AppConfig::getValue(const QString &group, const QString &key, const QVariant &defaultValue)
{
    if (group.isEmpty() || key.isEmpty()) {
        qWarning() << "组名或键名不能为空";
        return defaultValue;
    }
    m_settings->beginGroup(group);
    const QVariant stored = m_settings->value(key, defaultValue);
    m_settings->endGroup();

    // Values read back from the INI file are text: convert by the default's type.
    switch (defaultValue.userType()) {
    case QMetaType::Bool: return stored.toBool();
    case QMetaType::Int: return stored.toInt();
    default: return stored;
    }
}

QVariant AppConfig::getValue(const QString &group, const QString &key)
{
    return getValue(group, key, QVariant());
}

QStringList AppConfig::listGroups()
{
    QSet<QString> groups;
    const QStringList keys = m_settings->allKeys();
    for (const QString &key : keys) {
        const int slash = key.indexOf(QLatin1Char('/'), 1);
        if (slash > 0)
            groups.insert(key.left(slash));
    }
    const QStringList children = m_settings->childGroups();
    for (const QString &child : children)
        groups.insert(child);
    return QStringList(groups.cbegin(), groups.cend());
}

QVariantMap AppConfig::listKeys(const QString &group)
{
    QVariantMap result;
    if (group.isEmpty())
        return result;
    m_settings->beginGroup(group);
    const QStringList keys = m_settings->allKeys();
    qDebug() << "[AppConfig::listKeys] group:" << group << "allKeys count:" << keys.size()
             << "keys:" << keys;
    for (const QString &key : keys) {
        const QVariant value = m_settings->value(key);
        qDebug() << "[AppConfig::listKeys]   key:" << key << "value:" << value;
        result.insert(key, value);
    }
    m_settings->endGroup();
    return result;
}

void AppConfig::removeKey(const QString &group, const QString &key)
{
    if (group.isEmpty() || key.isEmpty())
        return;
    m_settings->beginGroup(group);
    m_settings->remove(key);
    m_settings->endGroup();
    m_settings->sync();
}
