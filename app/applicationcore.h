#pragma once

#include <QObject>
#include <QStringList>
#include <QVariant>
#include <QVariantMap>

class AppConfig;

// The one object through which the QML user interface reaches the program.
class ApplicationCore : public QObject
{
    Q_OBJECT
public:
    explicit ApplicationCore(QObject *parent = nullptr);
    ~ApplicationCore() override;

    // The process-wide instance; null before construction and after destruction.
    static ApplicationCore *instance();

    // Settings
    Q_INVOKABLE void setAppConfigValue(const QString &group, const QString &key,
                                       const QVariant &value);
    Q_INVOKABLE QVariant getAppConfigValue(const QString &group, const QString &key,
                                           const QVariant &defaultValue);
    Q_INVOKABLE QVariant getAppConfigValue(const QString &group, const QString &key);
    Q_INVOKABLE QStringList listAppConfigGroups();
    Q_INVOKABLE QVariantMap listAppConfigKeys(const QString &group);
    Q_INVOKABLE void removeAppConfigKey(const QString &group, const QString &key);

    // Logging
    Q_INVOKABLE int getLogLevel();
    Q_INVOKABLE void setLogLevel(int level);

    Q_INVOKABLE void quitApplication();

    // --- Library ---

    // --- Import ---

    // --- Removal and reset ---

    // --- External file opening ---

    // --- Reading sessions and statistics ---

    // --- Reading view and page pools ---

    // --- User fonts ---

    // --- Information and maintenance ---

    // --- Database browser ---

signals:

private:
    AppConfig *m_appConfig;
};
