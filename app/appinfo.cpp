#include "appinfo.h"

#include <QDate>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QTextStream>

namespace AppInfo {

namespace {

// Like the QML files: under $QUILLORA_DATA_ROOT when set, else in the
// installed share folder when it holds the file, else in the source tree.
QString packageFile(const QString &name)
{
    const QString fromEnv = qEnvironmentVariable("QUILLORA_DATA_ROOT");
    if (!fromEnv.isEmpty())
        return fromEnv + QLatin1Char('/') + name;
    const QString installed = QStringLiteral(QUILLORA_INSTALLED_DATA "/") + name;
    if (QFileInfo::exists(installed))
        return installed;
    return QStringLiteral(QUILLORA_SOURCE_ROOT "/packaging/") + name;
}

}

QString specFilePath()
{
    return packageFile(QStringLiteral("harbour-quillora.spec"));
}

QString changesFilePath()
{
    return packageFile(QStringLiteral("harbour-quillora.changes"));
}

QVariantMap readPackageInfo(const QString &path)
{
    static const struct
    {
        const char *tag;
        const char *key;
    } tags[] = {
        {"Name:", "name"},       {"Summary:", "summary"}, {"Version:", "version"},
        {"Release:", "release"}, {"License:", "license"}, {"URL:", "url"},
        {"Requires:", "requires"},
    };

    QVariantMap info;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        qWarning() << "[应用信息] 无法读取 .spec";
        return info;
    }
    QTextStream in(&file);
    in.setCodec("UTF-8");
    while (!in.atEnd()) {
        const QString line = in.readLine().trimmed();
        for (const auto &t : tags) {
            if (line.startsWith(QLatin1String(t.tag))) {
                const int colon = line.indexOf(QLatin1Char(':'));
                info.insert(QLatin1String(t.key), line.mid(colon + 1).trimmed());
                break;
            }
        }
    }
    return info;
}

namespace {

// "* Mon Jan 15 2024 Name <mail> - 1.2.0-3": the weekday, month, day and year
// come first and the version(-release) last. Fewer than six fields: no version.
QVariantMap versionFromHeader(const QString &header)
{
    QVariantMap version;
    const QStringList parts = header.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (parts.size() <= 5)
        return version;

    const QString dateText = parts.mid(1, 3).join(QLatin1Char(' '));
    // Change logs are English whatever the device's language.
    const QDate date = QLocale::c().toDate(dateText, QStringLiteral("MMM d yyyy"));
    version.insert(QStringLiteral("date"),
                   date.isValid() ? date.toString(QStringLiteral("yyyy-MM-dd")) : dateText);

    QString name = parts.last();
    const int dash = name.lastIndexOf(QLatin1Char('-'));
    if (dash > 0)
        name.truncate(dash);
    version.insert(QStringLiteral("version"), name);
    return version;
}

}

QVariantList readChangelog(const QString &path)
{
    QVariantList versions;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        qWarning() << "[更新日志] 无法读取 .changes";
        return versions;
    }
    QTextStream in(&file);
    in.setCodec("UTF-8");

    QVariantMap current;
    QVariantList items;
    auto closeVersion = [&]() {
        if (current.isEmpty())
            return;
        current.insert(QStringLiteral("items"), items);
        versions.append(current);
    };

    while (!in.atEnd()) {
        const QString line = in.readLine();
        if (line.startsWith(QLatin1String("* "))) {
            closeVersion();
            current = versionFromHeader(line.mid(2));
            items.clear();
        } else if (line.startsWith(QLatin1String("- "))) {
            const QString text = line.mid(2);
            items.append(QVariantMap{{QStringLiteral("zh"), text}, {QStringLiteral("en"), text}});
        } else if (line.startsWith(QLatin1String("  ")) && !items.isEmpty()) {
            QVariantMap item = items.last().toMap();
            item.insert(QStringLiteral("en"), line.mid(2));
            items.last() = item;
        }
    }
    closeVersion();
    qDebug() << "[更新日志] 读取到" << versions.size() << "个版本";
    return versions;
}

QVariantMap PackageInfoCache::get(const QString &path)
{
    if (!m_kept.isEmpty())
        return m_kept;
    m_kept = readPackageInfo(path);
    return m_kept;
}

}
