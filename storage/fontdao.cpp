#include "fontdao.h"
#include "databaseconnection.h"
#include "fontinfo.h"

#include <QDebug>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

FontDao::FontDao(QObject *parent)
    : QObject(parent)
{
}

bool FontDao::insert(const FontInfo *font)
{
    if (!font)
        return false;
    QSqlQuery query(DatabaseConnection::database());
    query.prepare(QStringLiteral(
        "INSERT INTO font_info (id, name, family, style, path, file_size, file_type, create_time, update_time) "
        "VALUES (:id, :name, :family, :style, :path, :file_size, :file_type, :create_time, :update_time)"));
    query.bindValue(QStringLiteral(":id"), font->id());
    query.bindValue(QStringLiteral(":name"), font->name());
    query.bindValue(QStringLiteral(":family"), font->family());
    query.bindValue(QStringLiteral(":style"), font->style());
    query.bindValue(QStringLiteral(":path"), font->path());
    query.bindValue(QStringLiteral(":file_size"), font->fileSize());
    query.bindValue(QStringLiteral(":file_type"), font->fileType());
    query.bindValue(QStringLiteral(":create_time"), font->createTime());
    query.bindValue(QStringLiteral(":update_time"), font->updateTime());
    if (!query.exec()) {
        qWarning() << "[FontDao] 插入字体失败:" << query.lastError().text();
        return false;
    }
    return true;
}

bool FontDao::remove(QString id)
{
    QSqlQuery query(DatabaseConnection::database());
    query.prepare(QStringLiteral("DELETE FROM font_info WHERE id = :id"));
    query.bindValue(QStringLiteral(":id"), id);
    if (!query.exec()) {
        qWarning() << "[FontDao] 删除字体失败:" << query.lastError().text();
        return false;
    }
    return true;
}

FontInfo *FontDao::queryByPath(QString path, QObject *parent)
{
    QSqlQuery query(DatabaseConnection::database());
    query.prepare(QStringLiteral("SELECT * FROM font_info WHERE path = :path LIMIT 1"));
    query.bindValue(QStringLiteral(":path"), path);
    if (!query.exec() || !query.next())
        return nullptr;
    return fromQuery(query, parent);
}

QList<FontInfo *> FontDao::queryAll(QObject *parent)
{
    QList<FontInfo *> fonts;
    QSqlQuery query(DatabaseConnection::database());
    if (!query.exec(QStringLiteral("SELECT * FROM font_info ORDER BY name COLLATE NOCASE"))) {
        qWarning() << "[FontDao] 查询字体列表失败:" << query.lastError().text();
        return fonts;
    }
    while (query.next())
        fonts.append(fromQuery(query, parent));
    return fonts;
}

FontInfo *FontDao::fromQuery(const QSqlQuery &query, QObject *parent)
{
    auto *font = new FontInfo(parent);
    font->setId(query.value(QStringLiteral("id")).toString());
    font->setName(query.value(QStringLiteral("name")).toString());
    font->setFamily(query.value(QStringLiteral("family")).toString());
    font->setStyle(query.value(QStringLiteral("style")).toString());
    font->setPath(query.value(QStringLiteral("path")).toString());
    font->setFileSize(query.value(QStringLiteral("file_size")).toLongLong());
    font->setFileType(query.value(QStringLiteral("file_type")).toString());
    font->setCreateTime(query.value(QStringLiteral("create_time")).toString());
    font->setUpdateTime(query.value(QStringLiteral("update_time")).toString());
    return font;
}
