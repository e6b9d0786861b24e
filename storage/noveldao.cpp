#include "noveldao.h"

#include "databaseconnection.h"
#include "logmanager.h"
#include "novelinfo.h"
#include "updatebuilder.h"

#include <QSet>
#include <QSqlError>
#include <QSqlRecord>
#include <QVariant>
#include <QVector>


namespace {

const char InsertSql[] =
    "INSERT INTO novel_info (id, title, author, cover_path, description, category, tags, language, "
    "status, chapters_count, word_count, publish_time, last_read_chapter, file_size, file_type, "
    "source_type, source_url, data_dir, load_status, parse_progress, total_glyphs, total_progress, "
    "create_time, update_time, publisher, publish_date, isbn) VALUES (:id, :title, :author, "
    ":cover_path, :description, :category, :tags, :language, :status, :chapters_count, :word_count, "
    ":publish_time, :last_read_chapter, :file_size, :file_type, :source_type, :source_url, :data_dir, "
    ":load_status, :parse_progress, :total_glyphs, :total_progress, :create_time, :update_time, "
    ":publisher, :publish_date, :isbn);";

// SQLite allows 32766 host parameters (999 before 3.32); larger id lists are
// counted in parts so a long list cannot turn into a failed statement and 0.
constexpr int MaxIdsPerStatement = 500;

int countIds(const QStringList &ids)
{
    QStringList placeholders;
    placeholders.reserve(ids.size());
    for (int i = 0; i < ids.size(); ++i)
        placeholders << QStringLiteral(":id%1").arg(i);

    QSqlQuery query(DatabaseConnection::database());
    query.prepare(QStringLiteral("SELECT COUNT(DISTINCT id) FROM novel_info WHERE id IN (%1)")
                      .arg(placeholders.join(QStringLiteral(", "))));
    for (int i = 0; i < ids.size(); ++i)
        query.bindValue(placeholders.at(i), ids.at(i));
    if (!query.exec() || !query.next())
        return 0;
    return query.value(0).toInt();
}

}

NovelDao::NovelDao(QObject *parent)
    : QObject(parent)
{
}

void NovelDao::bindAll(QSqlQuery &query, NovelInfo *novel)
{
    query.bindValue(QStringLiteral(":id"), novel->id());
    query.bindValue(QStringLiteral(":title"), novel->title());
    query.bindValue(QStringLiteral(":author"), novel->author());
    query.bindValue(QStringLiteral(":cover_path"), novel->coverPath());
    query.bindValue(QStringLiteral(":description"), novel->description());
    query.bindValue(QStringLiteral(":category"), novel->category());
    query.bindValue(QStringLiteral(":tags"), novel->tags());
    query.bindValue(QStringLiteral(":language"), novel->language());
    query.bindValue(QStringLiteral(":status"), novel->status());
    query.bindValue(QStringLiteral(":chapters_count"), novel->chaptersCount());
    query.bindValue(QStringLiteral(":word_count"), novel->wordCount());
    query.bindValue(QStringLiteral(":publish_time"), novel->publishTime());
    query.bindValue(QStringLiteral(":last_read_chapter"), novel->lastReadChapter());
    query.bindValue(QStringLiteral(":file_size"), novel->fileSize());
    query.bindValue(QStringLiteral(":file_type"), novel->fileType());
    query.bindValue(QStringLiteral(":source_type"), novel->sourceType());
    query.bindValue(QStringLiteral(":source_url"), novel->sourceUrl());
    query.bindValue(QStringLiteral(":data_dir"), novel->dataDir());
    query.bindValue(QStringLiteral(":load_status"), novel->loadStatus());
    query.bindValue(QStringLiteral(":parse_progress"), novel->parseProgress());
    query.bindValue(QStringLiteral(":total_glyphs"), novel->totalGlyphs());
    query.bindValue(QStringLiteral(":total_progress"), novel->totalProgress());
    query.bindValue(QStringLiteral(":create_time"), novel->createTime());
    query.bindValue(QStringLiteral(":update_time"), novel->updateTime());
    query.bindValue(QStringLiteral(":publisher"), novel->publisher());
    query.bindValue(QStringLiteral(":publish_date"), novel->publishDate());
    query.bindValue(QStringLiteral(":isbn"), novel->isbn());
}

bool NovelDao::insert(NovelInfo *novel)
{
    if (!novel) {
        qWarning() << "新增失败：NovelInfo对象为空";
        return false;
    }
    QLOG_DEBUG() << "新增小说：" << novel->toString();

    QSqlQuery query(DatabaseConnection::database());
    query.prepare(QString::fromUtf8(InsertSql));
    bindAll(query, novel);
    if (!query.exec()) {
        qWarning() << "新增小说失败，错误:" << query.lastError().text();
        QLOG_DEBUG() << "失败SQL:" << query.lastQuery();
        return false;
    }
    qInfo() << "新增小说成功：" << novel->title();
    return true;
}

bool NovelDao::update(NovelInfo *novel, bool forceCoverPath)
{
    if (!novel) {
        qWarning() << "更新失败：NovelInfo对象为空";
        return false;
    }
    const QString id = novel->id();
    if (id.isEmpty()) {
        qWarning() << "更新失败：主键ID为空";
        return false;
    }

    UpdateBuilder update;

    update.setText("title", novel->title());
    update.setText("author", novel->author());
    if (forceCoverPath || !novel->coverPath().isEmpty())
        update.set("cover_path", novel->coverPath());
    update.setText("description", novel->description());
    update.setText("category", novel->category());
    update.setText("tags", novel->tags());
    update.setText("language", novel->language());
    update.setInt("status", novel->status());
    update.setInt("chapters_count", novel->chaptersCount());
    update.setInt("word_count", novel->wordCount());
    update.setText("publish_time", novel->publishTime());
    update.setText("last_read_chapter", novel->lastReadChapter());
    if (novel->fileSize() != -1)
        update.set("file_size", novel->fileSize());
    update.setText("file_type", novel->fileType());
    update.setInt("source_type", novel->sourceType());
    update.setText("source_url", novel->sourceUrl());
    update.setText("data_dir", novel->dataDir());
    update.setInt("load_status", novel->loadStatus());
    if (novel->parseProgress() >= 0.0) // false for NaN as well
        update.set("parse_progress", novel->parseProgress());
    if (novel->totalGlyphs() > 0)
        update.set("total_glyphs", novel->totalGlyphs());
    if (novel->totalProgress() > 0)
        update.set("total_progress", novel->totalProgress());
    update.setText("create_time", novel->createTime());
    update.set("update_time", novel->updateTime());
    update.setText("publisher", novel->publisher());
    update.setText("publish_date", novel->publishDate());
    update.setText("isbn", novel->isbn());

    QSqlQuery query(DatabaseConnection::database());
    query.prepare(update.sql(QStringLiteral("novel_info")));
    update.bindValues(query);
    query.bindValue(QStringLiteral(":id"), id);
    if (!query.exec()) {
        qWarning() << "更新小说失败，错误:" << query.lastError().text();
        return false;
    }
    qInfo() << "更新小说成功（ID：" << id << "）";
    return true;
}

bool NovelDao::remove(const QString &id)
{
    if (id.isEmpty()) {
        qWarning() << "删除失败：主键ID为空";
        return false;
    }
    QSqlQuery query(DatabaseConnection::database());
    query.prepare(QStringLiteral("DELETE FROM novel_info WHERE id = :id"));
    query.bindValue(QStringLiteral(":id"), id);
    if (!query.exec()) {
        qWarning() << "删除小说失败，错误:" << query.lastError().text();
        return false;
    }
    if (query.numRowsAffected() < 1) {
        qWarning() << "删除小说失败：未找到主键为" << id << "的记录";
        return false;
    }
    qInfo() << "删除小说成功（ID:" << id << "）";
    return true;
}

NovelInfo *NovelDao::queryById(const QString &id)
{
    if (id.isEmpty()) {
        qWarning() << "查询失败：ID为空";
        return nullptr;
    }
    QSqlQuery query(DatabaseConnection::database());
    query.prepare(QStringLiteral("SELECT * FROM novel_info WHERE id = :id"));
    query.bindValue(QStringLiteral(":id"), id);
    if (!query.exec() || !query.next())
        return nullptr;

    const QSqlRecord row = query.record();
    const auto text = [&](const char *column) {
        return query.value(row.indexOf(QLatin1String(column))).toString();
    };
    const auto integer = [&](const char *column) {
        return query.value(row.indexOf(QLatin1String(column))).toInt();
    };
    const auto wide = [&](const char *column) {
        return query.value(row.indexOf(QLatin1String(column))).toLongLong();
    };

    auto *novel = new NovelInfo;
    novel->setId(text("id"));
    novel->setTitle(text("title"));
    novel->setAuthor(text("author"));
    novel->setCoverPath(text("cover_path"));
    novel->setDescription(text("description"));
    novel->setCategory(text("category"));
    novel->setTags(text("tags"));
    novel->setLanguage(text("language"));
    novel->setStatus(integer("status"));
    novel->setChaptersCount(integer("chapters_count"));
    novel->setWordCount(integer("word_count"));
    novel->setTotalGlyphs(integer("total_glyphs"));
    novel->setTotalProgress(wide("total_progress"));
    novel->setPublishTime(text("publish_time"));
    novel->setLastReadChapter(text("last_read_chapter"));
    novel->setFileSize(wide("file_size"));
    novel->setFileType(text("file_type"));
    novel->setSourceType(integer("source_type"));
    novel->setSourceUrl(text("source_url"));
    novel->setDataDir(text("data_dir"));
    novel->setLoadStatus(integer("load_status"));
    novel->setParseProgress(query.value(row.indexOf(QLatin1String("parse_progress"))).toDouble());
    novel->setCreateTime(text("create_time"));
    novel->setUpdateTime(text("update_time"));
    novel->setPublisher(text("publisher"));
    novel->setPublishDate(text("publish_date"));
    novel->setIsbn(text("isbn"));
    return novel;
}

int NovelDao::countExisting(const QStringList &ids)
{
    if (ids.size() <= MaxIdsPerStatement)
        return countIds(ids);

    // Distinct ids first, so counting part by part still counts each once.
    QStringList distinct;
    QSet<QString> seen;
    for (const QString &id : ids) {
        if (!seen.contains(id)) {
            seen.insert(id);
            distinct << id;
        }
    }
    int count = 0;
    for (int from = 0; from < distinct.size(); from += MaxIdsPerStatement)
        count += countIds(distinct.mid(from, MaxIdsPerStatement));
    return count;
}

QList<NovelInfo *> NovelDao::queryList()
{
    QList<NovelInfo *> novels;
    QSqlQuery query(QStringLiteral("SELECT id, title, author, cover_path, status, file_type, data_dir, "
                                   "total_progress, create_time, update_time FROM novel_info "
                                   "ORDER BY update_time DESC, title"),
                    DatabaseConnection::database());
    if (!query.isActive())
        return novels;
    while (query.next()) {
        auto *novel = new NovelInfo;
        novel->setId(query.value(0).toString());
        novel->setTitle(query.value(1).toString());
        novel->setAuthor(query.value(2).toString());
        novel->setCoverPath(query.value(3).toString());
        novel->setStatus(query.value(4).toInt());
        novel->setFileType(query.value(5).toString());
        novel->setDataDir(query.value(6).toString());
        novel->setTotalProgress(query.value(7).toLongLong());
        novel->setCreateTime(query.value(8).toString());
        novel->setUpdateTime(query.value(9).toString());
        novels.append(novel);
    }
    return novels;
}
