#include "readprocessdao.h"
#include "databaseconnection.h"
#include "readprocessinfo.h"

#include <QDebug>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>
#include <QVector>

#include <utility>

ReadProcessDao::ReadProcessDao(QObject *parent)
    : QObject(parent)
{
}

bool ReadProcessDao::insert(ReadProcessInfo *process)
{
    if (!process) {
        qWarning() << "插入失败：阅读进度对象为空";
        return false;
    }
    qDebug() << "插入阅读进度：" << process->toString();

    QSqlQuery query(DatabaseConnection::database());
    query.prepare(QStringLiteral(
        "INSERT INTO read_process_info (id, novel_id, chapter_id, chapter_index, last_position, "
        "last_progress_index, last_block_offset, create_time, update_time)"
        "VALUES (:id, :novel_id, :chapter_id, :chapter_index, :last_position, "
        ":last_progress_index, :last_block_offset, :create_time, :update_time)"));
    query.bindValue(QStringLiteral(":id"), process->id());
    query.bindValue(QStringLiteral(":novel_id"), process->novelId());
    query.bindValue(QStringLiteral(":chapter_id"), process->chapterId());
    query.bindValue(QStringLiteral(":chapter_index"), process->chapterIndex());
    query.bindValue(QStringLiteral(":last_position"), process->lastPosition());
    query.bindValue(QStringLiteral(":last_progress_index"), process->lastProgressIndex());
    // Widened to double: the SQLite driver binds only doubles as REAL.
    query.bindValue(QStringLiteral(":last_block_offset"), double(process->lastBlockOffset()));
    query.bindValue(QStringLiteral(":create_time"), process->createTime());
    query.bindValue(QStringLiteral(":update_time"), process->updateTime());
    if (!query.exec()) {
        qWarning() << "插入阅读进度失败：" << query.lastError().text();
        return false;
    }
    qInfo() << "插入阅读进度成功：" << process->id();
    return true;
}

bool ReadProcessDao::remove(QString id)
{
    QSqlQuery query(DatabaseConnection::database());
    query.prepare(QStringLiteral("DELETE FROM read_process_info WHERE id = :id"));
    query.bindValue(QStringLiteral(":id"), id);
    if (!query.exec()) {
        qWarning() << "删除阅读进度失败：" << query.lastError().text();
        return false;
    }
    qInfo() << "删除阅读进度成功：" << id;
    return true;
}

bool ReadProcessDao::removeByNovelId(QString novelId)
{
    QSqlQuery query(DatabaseConnection::database());
    query.prepare(QStringLiteral("DELETE FROM read_process_info WHERE novel_id = :novel_id"));
    query.bindValue(QStringLiteral(":novel_id"), novelId);
    if (!query.exec()) {
        qWarning() << "删除小说阅读进度失败：" << query.lastError().text();
        return false;
    }
    qInfo() << "删除小说[" << novelId << "]的阅读进度成功";
    return true;
}

bool ReadProcessDao::update(ReadProcessInfo *process)
{
    if (!process) {
        qWarning() << "更新失败：阅读进度对象为空";
        return false;
    }
    if (process->id().isNull()) {
        qWarning() << "更新失败：阅读进度ID为空";
        return false;
    }

    // Unset fields (null strings, -1, an offset below -1.0) keep their stored values.
    QStringList assignments;
    QVector<std::pair<QString, QVariant>> params;
    params.append({QStringLiteral(":id"), process->id()});
    if (!process->novelId().isNull()) {
        assignments << QStringLiteral("novel_id = :novel_id");
        params.append({QStringLiteral(":novel_id"), process->novelId()});
    }
    if (!process->chapterId().isNull()) {
        assignments << QStringLiteral("chapter_id = :chapter_id");
        params.append({QStringLiteral(":chapter_id"), process->chapterId()});
    }
    if (process->chapterIndex() != -1) {
        assignments << QStringLiteral("chapter_index = :chapter_index");
        params.append({QStringLiteral(":chapter_index"), process->chapterIndex()});
    }
    if (process->lastPosition() != -1) {
        assignments << QStringLiteral("last_position = :last_position");
        params.append({QStringLiteral(":last_position"), process->lastPosition()});
    }
    if (process->lastProgressIndex() != qint64(-1)) {
        assignments << QStringLiteral("last_progress_index = :last_progress_index");
        params.append({QStringLiteral(":last_progress_index"), process->lastProgressIndex()});
    }
    // Written as ">= -1.0" so that a NaN counts as unset.
    if (process->lastBlockOffset() >= -1.0f) {
        assignments << QStringLiteral("last_block_offset = :last_block_offset");
        params.append({QStringLiteral(":last_block_offset"), double(process->lastBlockOffset())});
    }
    assignments << QStringLiteral("update_time = :update_time");
    params.append({QStringLiteral(":update_time"), process->updateTime()});

    const QString sql = QStringLiteral("UPDATE read_process_info SET %1 WHERE id = :id")
                            .arg(assignments.join(QStringLiteral(", ")));
    qDebug() << "===》" << sql;

    QSqlQuery query(DatabaseConnection::database());
    query.prepare(sql);
    for (const auto &param : qAsConst(params))
        query.bindValue(param.first, param.second);
    if (!query.exec()) {
        qWarning() << "更新失败（ID：" << process->id() << "），错误：" << query.lastError().text();
        qDebug() << "执行SQL：" << query.lastQuery();
        return false;
    }
    return query.numRowsAffected() > 0;
}

QObject *ReadProcessDao::queryById(QString id)
{
    QSqlQuery query(DatabaseConnection::database());
    query.prepare(QStringLiteral("SELECT * FROM read_process_info WHERE id = :id"));
    query.bindValue(QStringLiteral(":id"), id);
    if (!query.exec() || !query.next()) {
        qWarning() << "未找到ID为" << id << "的阅读进度";
        return nullptr;
    }
    return fromQuery(query);
}

QObject *ReadProcessDao::queryByNovelId(QString novelId)
{
    QSqlQuery query(DatabaseConnection::database());
    query.prepare(QStringLiteral("SELECT * FROM read_process_info WHERE novel_id = :novel_id"));
    query.bindValue(QStringLiteral(":novel_id"), novelId);
    if (!query.exec() || !query.next()) {
        qWarning() << "未找到小说[" << novelId << "]的阅读进度";
        return nullptr;
    }
    return fromQuery(query);
}

QList<QObject *> ReadProcessDao::queryList()
{
    QList<QObject *> list;
    QSqlQuery query(DatabaseConnection::database());
    if (!query.exec(QStringLiteral("SELECT * FROM read_process_info ORDER BY update_time DESC"))) {
        qWarning() << "查询所有阅读进度失败：" << query.lastError().text();
        return list;
    }
    while (query.next())
        list.append(fromQuery(query));
    return list;
}

ReadProcessInfo *ReadProcessDao::fromQuery(const QSqlQuery &query)
{
    // NULL columns read as null strings and 0 (not the -1 markers).
    auto *process = new ReadProcessInfo;
    process->setId(query.value(QStringLiteral("id")).toString());
    process->setNovelId(query.value(QStringLiteral("novel_id")).toString());
    process->setChapterId(query.value(QStringLiteral("chapter_id")).toString());
    process->setChapterIndex(query.value(QStringLiteral("chapter_index")).toInt());
    process->setLastPosition(query.value(QStringLiteral("last_position")).toInt());
    process->setLastProgressIndex(query.value(QStringLiteral("last_progress_index")).toLongLong());
    process->setLastBlockOffset(float(query.value(QStringLiteral("last_block_offset")).toDouble()));
    process->setCreateTime(query.value(QStringLiteral("create_time")).toString());
    process->setUpdateTime(query.value(QStringLiteral("update_time")).toString());
    return process;
}
