#include "chapterdao.h"

#include "databaseconnection.h"
#include "logmanager.h"
#include "updatebuilder.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QStringList>
#include <QVariant>

#include <cmath>

namespace {

const char InsertSql[] =
    "INSERT INTO chapter_info (id, title, novel_id, chapter_index, path, word_count, start_offset, "
    "end_offset, prev_chapter, next_chapter, load_status, status, novel_process, start_glyph_index, "
    "glyph_count, start_progress_index, progress_total, create_time, update_time) VALUES (:id, :title, "
    ":novel_id, :chapter_index, :path, :word_count, :start_offset, :end_offset, :prev_chapter, "
    ":next_chapter, :load_status, :status, :novel_process, :start_glyph_index, :glyph_count, "
    ":start_progress_index, :progress_total, :create_time, :update_time)";

QString insertStatement(bool withSemicolon)
{
    QString sql = QString::fromUtf8(InsertSql);
    if (withSemicolon)
        sql += QLatin1Char(';');
    return sql;
}

// Column positions of one result row, looked up once per query.
struct ChapterColumns
{
    explicit ChapterColumns(const QSqlRecord &row)
        : id(row.indexOf(QStringLiteral("id")))
        , novelId(row.indexOf(QStringLiteral("novel_id")))
        , title(row.indexOf(QStringLiteral("title")))
        , chapterIndex(row.indexOf(QStringLiteral("chapter_index")))
        , path(row.indexOf(QStringLiteral("path")))
        , wordCount(row.indexOf(QStringLiteral("word_count")))
        , startOffset(row.indexOf(QStringLiteral("start_offset")))
        , endOffset(row.indexOf(QStringLiteral("end_offset")))
        , prevChapter(row.indexOf(QStringLiteral("prev_chapter")))
        , nextChapter(row.indexOf(QStringLiteral("next_chapter")))
        , loadStatus(row.indexOf(QStringLiteral("load_status")))
        , status(row.indexOf(QStringLiteral("status")))
        , novelProcess(row.indexOf(QStringLiteral("novel_process")))
        , startGlyphIndex(row.indexOf(QStringLiteral("start_glyph_index")))
        , glyphCount(row.indexOf(QStringLiteral("glyph_count")))
        , startProgressIndex(row.indexOf(QStringLiteral("start_progress_index")))
        , progressTotal(row.indexOf(QStringLiteral("progress_total")))
        , createTime(row.indexOf(QStringLiteral("create_time")))
        , updateTime(row.indexOf(QStringLiteral("update_time")))
    {
    }

    int id, novelId, title, chapterIndex, path, wordCount, startOffset, endOffset, prevChapter,
        nextChapter, loadStatus, status, novelProcess, startGlyphIndex, glyphCount,
        startProgressIndex, progressTotal, createTime, updateTime;
};

// A NULL text loads as an empty string, a NULL number as 0.
QString textAt(const QSqlQuery &query, int column)
{
    const QString value = query.value(column).toString();
    return value.isNull() ? QString(QLatin1String("")) : value;
}

ChapterInfo *loadChapter(const QSqlQuery &query, const ChapterColumns &c, bool withNovelProcess)
{
    auto *chapter = new ChapterInfo;
    chapter->setId(textAt(query, c.id));
    chapter->setNovelId(textAt(query, c.novelId));
    chapter->setTitle(textAt(query, c.title));
    chapter->setChapterIndex(query.value(c.chapterIndex).toInt());
    chapter->setPath(textAt(query, c.path));
    chapter->setWordCount(query.value(c.wordCount).toInt());
    chapter->setStartOffset(query.value(c.startOffset).toInt());
    chapter->setEndOffset(query.value(c.endOffset).toInt());
    chapter->setPrevChapter(textAt(query, c.prevChapter));
    chapter->setNextChapter(textAt(query, c.nextChapter));
    chapter->setLoadStatus(query.value(c.loadStatus).toInt());
    chapter->setStatus(query.value(c.status).toInt());
    if (withNovelProcess)
        chapter->setNovelProcess(query.value(c.novelProcess).toDouble());
    chapter->setStartGlyphIndex(query.value(c.startGlyphIndex).toInt());
    chapter->setGlyphCount(query.value(c.glyphCount).toInt());
    chapter->setStartProgressIndex(query.value(c.startProgressIndex).toLongLong());
    chapter->setProgressTotal(query.value(c.progressTotal).toLongLong());
    chapter->setCreateTime(textAt(query, c.createTime));
    chapter->setUpdateTime(textAt(query, c.updateTime));
    return chapter;
}

}

ChapterDao::ChapterDao(QObject *parent)
    : QObject(parent)
{
}

void ChapterDao::bindChapter(QSqlQuery &query, const ChapterInfo *chapter)
{
    query.bindValue(QStringLiteral(":id"), chapter->id());
    query.bindValue(QStringLiteral(":title"), chapter->title());
    query.bindValue(QStringLiteral(":novel_id"), chapter->novelId());
    query.bindValue(QStringLiteral(":chapter_index"), chapter->chapterIndex());
    query.bindValue(QStringLiteral(":path"), chapter->path());
    query.bindValue(QStringLiteral(":word_count"), chapter->wordCount());
    query.bindValue(QStringLiteral(":start_offset"), chapter->startOffset());
    query.bindValue(QStringLiteral(":end_offset"), chapter->endOffset());
    query.bindValue(QStringLiteral(":prev_chapter"), chapter->prevChapter());
    query.bindValue(QStringLiteral(":next_chapter"), chapter->nextChapter());
    query.bindValue(QStringLiteral(":load_status"), chapter->loadStatus());
    query.bindValue(QStringLiteral(":status"), chapter->status());
    query.bindValue(QStringLiteral(":novel_process"), chapter->novelProcess());
    query.bindValue(QStringLiteral(":start_glyph_index"), chapter->startGlyphIndex());
    query.bindValue(QStringLiteral(":glyph_count"), chapter->glyphCount());
    query.bindValue(QStringLiteral(":start_progress_index"), chapter->startProgressIndex());
    query.bindValue(QStringLiteral(":progress_total"), chapter->progressTotal());
    query.bindValue(QStringLiteral(":create_time"), chapter->createTime());
    query.bindValue(QStringLiteral(":update_time"), chapter->updateTime());
}

bool ChapterDao::insert(ChapterInfo *chapter)
{
    if (!chapter) // nothing to write; a null record would crash the binding
        return false;
    QSqlQuery query(DatabaseConnection::database());
    query.prepare(insertStatement(true));
    QLOG_DEBUG() << "Prepared SQL statement:" << query.lastQuery();
    bindChapter(query, chapter);
    if (!query.exec()) {
        qWarning() << "插入章节信息失败，信息:" << query.lastError().text();
        QLOG_DEBUG() << "失败语句:" << query.lastQuery();
        return false;
    }
    qInfo() << "插入章节信息成功：" << query.lastInsertId();
    return true;
}

bool ChapterDao::batchInsert(const QVector<ChapterInfo *> &chapterList)
{
    if (chapterList.isEmpty()) {
        qWarning() << "批量插入失败：章节列表为空";
        return false;
    }
    QSqlDatabase db = DatabaseConnection::database();
    if (db.isValid() && !db.isOpen())
        db.open();
    if (!db.isOpen()) {
        qWarning() << "批量插入失败：数据库未打开";
        return false;
    }
    if (!db.transaction())
        return false;
    if (!insertAllInTransaction(chapterList)) {
        db.rollback();
        return false;
    }
    if (!db.commit()) {
        qWarning() << "批量插入失败：事务提交失败" << db.lastError().text();
        db.rollback();
        return false;
    }
    qInfo() << "批量插入成功，共插入" << chapterList.size() << "个章节";
    return true;
}

bool ChapterDao::insertAllInTransaction(const QVector<ChapterInfo *> &chapters)
{
    if (chapters.isEmpty())
        return false;
    QSqlQuery query(DatabaseConnection::database());
    query.prepare(insertStatement(false));
    for (const ChapterInfo *chapter : qAsConst(chapters)) {
        if (!chapter)
            continue;
        bindChapter(query, chapter);
        if (!query.exec()) {
            qWarning() << "批量插入失败，章节ID:" << chapter->id() << "，错误信息:"
                       << query.lastError().text();
            return false;
        }
    }
    return true;
}

bool ChapterDao::update(ChapterInfo *novel)
{
    if (!novel) {
        qWarning() << "更新失败：章节对象为空";
        return false;
    }
    const QString id = novel->id();
    if (id.isEmpty()) {
        qWarning() << "更新失败：章节ID为空";
        return false;
    }

    UpdateBuilder update;

    update.setText("title", novel->title());
    if (!novel->novelId().isEmpty()) {
        QLOG_DEBUG() << "小说id不为空:" << novel->novelId();
        update.set("novel_id", novel->novelId());
    }
    update.setInt("chapter_index", novel->chapterIndex());
    update.setText("path", novel->path());
    update.setInt("word_count", novel->wordCount());
    update.setInt("start_offset", novel->startOffset());
    update.setInt("end_offset", novel->endOffset());
    update.setText("prev_chapter", novel->prevChapter());
    update.setText("next_chapter", novel->nextChapter());
    update.setInt("load_status", novel->loadStatus());
    update.setInt("status", novel->status());
    if (!(novel->novelProcess() == -1.0)) // a NaN is written too
        update.set("novel_process", novel->novelProcess());
    update.setText("update_time", novel->updateTime());

    if (update.isEmpty()) {
        QLOG_DEBUG() << "无需更新（章节ID：" << id << "）：所有字段均为无效值";
        return true;
    }

    const QString sql = update.sql(QStringLiteral("chapter_info"));
    QLOG_DEBUG() << "===》" << sql;
    QSqlQuery query(DatabaseConnection::database());
    query.prepare(sql);
    update.bindValues(query);
    query.bindValue(QStringLiteral(":id"), id);
    if (!query.exec()) {
        qWarning() << "更新章节失败（ID：" << id << "），错误：" << query.lastError().text();
        QLOG_DEBUG() << "执行SQL：" << query.lastQuery();
        return false;
    }
    if (query.numRowsAffected() <= 0) {
        qWarning() << "更新章节失败（ID：" << id << "）：未找到匹配记录";
        return false;
    }
    qInfo() << "更新章节成功（ID：" << id << "），更新字段数：" << update.count();
    return true;
}

ChapterInfo *ChapterDao::queryOne(QString novelId, int index)
{
    QSqlQuery query(DatabaseConnection::database());
    query.prepare(QStringLiteral(
        "SELECT * FROM chapter_info WHERE novel_id = :novel_id AND chapter_index = :chapter_index"));
    query.bindValue(QStringLiteral(":novel_id"), novelId);
    query.bindValue(QStringLiteral(":chapter_index"), index);
    if (!query.exec() || !query.next()) {
        qWarning() << "未找到章节，novel_id:" << novelId << "，chapter_index:" << index;
        return nullptr;
    }
    ChapterInfo *chapter = loadChapter(query, ChapterColumns(query.record()), false);
    qInfo() << "查询章节成功，ID:" << chapter->id() << "，标题:" << chapter->title();
    return chapter;
}

ChapterInfo *ChapterDao::queryById(const QString &id)
{
    QSqlQuery query(DatabaseConnection::database());
    query.prepare(QStringLiteral("SELECT * FROM chapter_info WHERE id = :id"));
    query.bindValue(QStringLiteral(":id"), id);
    if (!query.exec() || !query.next())
        return nullptr;
    return loadChapter(query, ChapterColumns(query.record()), false);
}

QList<ChapterInfo *> ChapterDao::queryByNovelId(const QString &novelId)
{
    QList<ChapterInfo *> chapters;
    QSqlQuery query(DatabaseConnection::database());
    // Rows are read once, front to back.
    query.setForwardOnly(true);
    query.prepare(QStringLiteral(
        "SELECT * FROM chapter_info WHERE novel_id = :novel_id ORDER BY chapter_index"));
    query.bindValue(QStringLiteral(":novel_id"), novelId);
    if (!query.exec()) {
        qWarning() << "小说:" << novelId << ",章节查询失败！" << "错误信息:" << query.lastError().text();
        return chapters;
    }
    const ChapterColumns columns(query.record());
    while (query.next())
        chapters.append(loadChapter(query, columns, true));
    QLOG_INFO() << "查询到章节数:" << chapters.size();
    return chapters;
}

QStringList ChapterDao::queryIdsByNovelId(const QString &novelId)
{
    QStringList ids;
    QSqlQuery query(DatabaseConnection::database());
    query.setForwardOnly(true);
    query.prepare(QStringLiteral(
        "SELECT id FROM chapter_info WHERE novel_id = :novel_id ORDER BY chapter_index"));
    query.bindValue(QStringLiteral(":novel_id"), novelId);
    if (!query.exec()) {
        qWarning() << "小说:" << novelId << ",章节查询失败！" << "错误信息:" << query.lastError().text();
        return ids;
    }
    while (query.next())
        ids.append(query.value(0).toString());
    return ids;
}

bool ChapterDao::removeByNovelId(const QString &novelId)
{
    QSqlQuery query(DatabaseConnection::database());
    query.prepare(QStringLiteral("DELETE FROM chapter_info WHERE novel_id = :novel_id"));
    query.bindValue(QStringLiteral(":novel_id"), novelId);
    if (!query.exec()) {
        qWarning() << "Delete chapters failed:" << query.lastError().text();
        return false;
    }
    return true;
}
