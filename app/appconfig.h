#pragma once

#include <QObject>
#include <QStringList>
#include <QVariant>
#include <QVariantMap>

class QSettings;

// Reads and writes the settings file in named groups. Every write is synced
// to the file at once.
class AppConfig : public QObject
{
    Q_OBJECT
public:
    explicit AppConfig(QObject *parent = nullptr);
    ~AppConfig() override;

    Q_INVOKABLE void setValue(const QString &group, const QString &key, const QVariant &value);
    Q_INVOKABLE QVariant getValue(const QString &group, const QString &key,
                                  const QVariant &defaultValue);
    Q_INVOKABLE QVariant getValue(const QString &group, const QString &key);
    Q_INVOKABLE QStringList listGroups();
    Q_INVOKABLE QVariantMap listKeys(const QString &group);
    Q_INVOKABLE void removeKey(const QString &group, const QString &key);
    // Reads the settings file afresh (after a reset deleted it).
    void reload();

private:
    QSettings *m_settings;
};
