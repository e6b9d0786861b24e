#include "userfonts.h"
#include "fontdao.h"
#include "fontinfo.h"
#include "keys.h"
#include "paths.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QRawFont>
#include <QUuid>

namespace UserFonts {

namespace {

QString message(const char *source)
{
    return QCoreApplication::translate("ApplicationCore", source);
}

ImportResult failure(const char *source)
{
    return ImportResult{false, message(source)};
}

}

QString fontDirectory()
{
    return Paths::dataLocation() + QStringLiteral("/font");
}

QVariantMap fontMetadata(const QString &path)
{
    const QFileInfo info(path);
    const QString suffix = info.suffix().toLower();
    if (!info.exists() || !info.isFile())
        return {};
    if (suffix != QLatin1String("ttf") && suffix != QLatin1String("otf"))
        return {};
    if (info.size() > MaxFontFileSize)
        return {};

    const QRawFont font(info.filePath(), 16, QFont::PreferDefaultHinting);
    if (!font.isValid())
        return {};

    return QVariantMap{
        {QStringLiteral("name"), info.completeBaseName()},
        {QStringLiteral("family"), font.familyName()},
        {QStringLiteral("style"), font.styleName()},
        {QStringLiteral("type"), suffix.toUpper()},
        {QStringLiteral("size"), qlonglong(info.size())},
        {QStringLiteral("modified"), info.lastModified()},
        {QStringLiteral("directory"), info.absolutePath()},
    };
}

ImportResult importFont(const QString &path, FontDao &dao, QHash<QString, int> &registered)
{
    const QVariantMap metadata = fontMetadata(path);
    if (metadata.isEmpty())
        return failure(QT_TRANSLATE_NOOP("ApplicationCore", "字体文件无效"));

    const QString directory = fontDirectory();
    if (!QDir().mkpath(directory))
        return failure(QT_TRANSLATE_NOOP("ApplicationCore", "无法创建字体目录"));

    const QString id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    const QString stored = QDir(directory).absoluteFilePath(
        id + QLatin1Char('.') + QFileInfo(path).suffix().toLower());

    // QFile::copy writes through a temporary file and never overwrites, so a
    // failed copy leaves nothing under the stored name.
    if (!QFile::copy(path, stored))
        return failure(QT_TRANSLATE_NOOP("ApplicationCore", "无法复制字体文件"));

    const int fontId = QFontDatabase::addApplicationFont(stored);
    const QStringList families = fontId < 0 ? QStringList() : QFontDatabase::applicationFontFamilies(fontId);
    if (families.isEmpty()) {
        if (fontId >= 0)
            QFontDatabase::removeApplicationFont(fontId);
        QFile::remove(stored);
        return failure(QT_TRANSLATE_NOOP("ApplicationCore", "无法加载字体文件"));
    }

    FontInfo font;
    font.setId(id);
    font.setName(metadata.value(QStringLiteral("name")).toString());
    font.setFamily(families.first());
    font.setStyle(metadata.value(QStringLiteral("style")).toString());
    font.setPath(stored);
    font.setFileSize(QFileInfo(stored).size());
    font.setFileType(metadata.value(QStringLiteral("type")).toString());
    const QString now = currentTimeString();
    font.setCreateTime(now);
    font.setUpdateTime(now);

    if (!dao.insert(&font)) {
        QFontDatabase::removeApplicationFont(fontId);
        QFile::remove(stored);
        return failure(QT_TRANSLATE_NOOP("ApplicationCore", "无法保存字体信息"));
    }

    registered.insert(stored, fontId);
    return ImportResult{true, message(QT_TRANSLATE_NOOP("ApplicationCore", "字体导入成功"))};
}

QVariantList importedFonts(FontDao &dao)
{
    QVariantList list;
    const QList<FontInfo *> fonts = dao.queryAll(nullptr);
    for (const FontInfo *font : fonts) {
        list.append(QVariantMap{
            {QStringLiteral("id"), font->id()},
            {QStringLiteral("name"), font->name()},
            {QStringLiteral("family"), font->family()},
            {QStringLiteral("style"), font->style()},
            {QStringLiteral("path"), font->path()},
            {QStringLiteral("size"), font->fileSize()},
            {QStringLiteral("type"), font->fileType()},
        });
    }
    qDeleteAll(fonts);
    return list;
}

void registerSavedFonts(FontDao &dao, QHash<QString, int> &registered)
{
    const QList<FontInfo *> fonts = dao.queryAll(nullptr);
    for (const FontInfo *font : fonts) {
        if (registered.contains(font->path()))
            continue;
        // The font database reads the whole file: only a regular file of
        // font size is given to it (a pipe would block the start-up).
        const QFileInfo file(font->path());
        const bool readable = file.isFile() && file.size() <= MaxFontFileSize;
        const int fontId = readable ? QFontDatabase::addApplicationFont(font->path()) : -1;
        if (fontId < 0) {
            qWarning() << "[ApplicationCore] 加载导入字体失败:" << font->path();
            continue;
        }
        registered.insert(font->path(), fontId);
    }
    qDeleteAll(fonts);
}

}
