#include "translatorloader.h"
#include "paths.h"
#include "sailfishapp.h"

#include <QCoreApplication>
#include <QDebug>
#include <QLocale>
#include <QSettings>
#include <QTranslator>

QString localeNameForLanguage(int language)
{
    switch (language) {
    case 0: return QLocale::system().name();
    case 1: return QStringLiteral("zh_CN");
    case 2: return QStringLiteral("en_US");
    case 3: return QStringLiteral("de");
    case 4: return QStringLiteral("fr");
    case 5: return QStringLiteral("es");
    case 6: return QStringLiteral("ja");
    case 7: return QStringLiteral("ru");
    }
    qWarning().noquote() << "[Language] 未知的语言模式:" << language << "，回退到系统语言";
    return QLocale::system().name();
}

namespace {

QString translationPath(const QString &locale)
{
    return SailfishApp::pathTo(QStringLiteral("translations/harbour-quillora-%1.qm").arg(locale))
        .toLocalFile();
}

}

void loadTranslator(QCoreApplication &app)
{
    const QString settingsPath = Paths::settingsFile();
    int language = 0;
    {
        QSettings settings(settingsPath, QSettings::NativeFormat);
        settings.beginGroup(QStringLiteral("APP_SETTING"));
        language = settings.value(QStringLiteral("LANGUAGE"), 0).toInt();
        settings.endGroup();
    }
    qInfo() << "[Language] 配置文件:" << settingsPath;
    qInfo() << "[Language] LANGUAGE 值:" << language;
    qInfo() << "[Language] 系统 locale:" << QLocale::system().name();

    const QString target = localeNameForLanguage(language);
    qInfo() << "[Language] 目标 locale:" << target;

    auto *translator = new QTranslator(&app);
    const QString path = translationPath(target);
    qInfo() << "[Language] 加载:" << path;
    if (translator->load(path)) {
        app.installTranslator(translator);
        qInfo() << "[Language] 成功";
        return;
    }
    qInfo() << "[Language] 失败，未找到指定翻译文件:" << path;
    if (translator->load(translationPath(QStringLiteral("en_US")))) {
        app.installTranslator(translator);
        qInfo() << "[Language] 未发现匹配语言，默认启用英语";
    } else {
        qInfo() << "[Language] 默认启用英语失败，正在启用中文";
    }
}
