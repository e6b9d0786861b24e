#include "readingrecorddao.h"
#include "databaseconnection.h"
#include "readingrecordinfo.h"

#include <QDebug>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <QVariantMap>

namespace {

// Column 0 of the first row, or 0 when the statement fails or yields nothing.
int firstInt(QSqlQuery &query)
{
    if (!query.exec() || !query.next())
        return 0;
    return query.value(0).toInt();
}

QVariantList perBookStats(QSqlQuery &query)
{
    QVariantList list;
    if (!query.exec())
        return list;
    while (query.next()) {
        QVariantMap row;
        row.insert(QStringLiteral("novelId"), query.value(0).toString());
        row.insert(QStringLiteral("title"), query.value(1).toString());
        row.insert(QStringLiteral("seconds"), query.value(2).toInt());
        list.append(row);
    }
    return list;
}

}

ReadingRecordDao::ReadingRecordDao(QObject *parent)
    : QObject(parent)
{
}

bool ReadingRecordDao::insert(ReadingRecordInfo *record)
{
    if (!record) {
        qWarning() << "[ReadingRecordDao] insert 失败：record 为空";
        return false;
    }
    QSqlQuery query(DatabaseConnection::database());
    query.prepare(QStringLiteral(
        "INSERT INTO reading_records (id, novel_id, start_year, start_month, start_day,  "
        "start_hour, start_minute, start_second, duration_seconds) "
        "VALUES (:id, :novel_id, :sy, :sm, :sd, :sh, :smin, :ss, 0)"));
    query.bindValue(QStringLiteral(":id"), record->id());
    query.bindValue(QStringLiteral(":novel_id"), record->novelId());
    query.bindValue(QStringLiteral(":sy"), record->startYear());
    query.bindValue(QStringLiteral(":sm"), record->startMonth());
    query.bindValue(QStringLiteral(":sd"), record->startDay());
    query.bindValue(QStringLiteral(":sh"), record->startHour());
    query.bindValue(QStringLiteral(":smin"), record->startMinute());
    query.bindValue(QStringLiteral(":ss"), record->startSecond());
    if (!query.exec()) {
        qWarning() << "[ReadingRecordDao] insert 失败:" << query.lastError().text();
        return false;
    }
    qInfo() << "[ReadingRecordDao] 会话开始:" << record->id();
    return true;
}

bool ReadingRecordDao::updateDuration(QString id, int seconds)
{
    // A clock set back makes the elapsed time negative; storing it would
    // subtract from every sum, so it counts as nothing read.
    if (seconds < 0)
        seconds = 0;
    QSqlQuery query(DatabaseConnection::database());
    query.prepare(QStringLiteral("UPDATE reading_records SET duration_seconds = :dur WHERE id = :id"));
    query.bindValue(QStringLiteral(":dur"), seconds);
    query.bindValue(QStringLiteral(":id"), id);
    if (!query.exec()) {
        qWarning() << "[ReadingRecordDao] updateDuration 失败:" << query.lastError().text();
        return false;
    }
    return true;
}

bool ReadingRecordDao::removeByNovelId(QString novelId)
{
    QSqlQuery query(DatabaseConnection::database());
    query.prepare(QStringLiteral("DELETE FROM reading_records WHERE novel_id = :nid"));
    query.bindValue(QStringLiteral(":nid"), novelId);
    if (!query.exec()) {
        qWarning() << "[ReadingRecordDao] removeByNovelId 失败:" << query.lastError().text();
        return false;
    }
    qInfo() << "[ReadingRecordDao] 已删除小说" << novelId << "的阅读记录";
    return true;
}

int ReadingRecordDao::getTodaySeconds()
{
    const QDate today = QDate::currentDate();
    QSqlQuery query(DatabaseConnection::database());
    query.prepare(QStringLiteral(
        "SELECT COALESCE(SUM(duration_seconds), 0) FROM reading_records "
        "WHERE start_year = :y AND start_month = :m AND start_day = :d"));
    query.bindValue(QStringLiteral(":y"), today.year());
    query.bindValue(QStringLiteral(":m"), today.month());
    query.bindValue(QStringLiteral(":d"), today.day());
    return firstInt(query);
}

int ReadingRecordDao::getTotalSeconds()
{
    QSqlQuery query(DatabaseConnection::database());
    query.prepare(QStringLiteral("SELECT COALESCE(SUM(duration_seconds), 0) FROM reading_records"));
    return firstInt(query);
}

int ReadingRecordDao::getDistinctDays()
{
    QSqlQuery query(DatabaseConnection::database());
    query.prepare(QStringLiteral(
        "SELECT COUNT(DISTINCT start_year || '-' || start_month || '-' || start_day) FROM reading_records"));
    return firstInt(query);
}

QList<QDate> ReadingRecordDao::getDistinctDatesDesc()
{
    QList<QDate> dates;
    QSqlQuery query(DatabaseConnection::database());
    if (!query.exec(QStringLiteral(
            "SELECT DISTINCT start_year, start_month, start_day FROM reading_records "
            "ORDER BY start_year DESC, start_month DESC, start_day DESC")))
        return dates;
    while (query.next())
        dates.append(QDate(query.value(0).toInt(), query.value(1).toInt(), query.value(2).toInt()));
    return dates;
}

QVariantList ReadingRecordDao::getDailyStats(int year, int month)
{
    QVariantList list;
    QSqlQuery query(DatabaseConnection::database());
    query.prepare(QStringLiteral(
        "SELECT start_year, start_month, start_day, SUM(duration_seconds) FROM reading_records "
        "WHERE start_year = :y AND start_month = :m "
        "GROUP BY start_year, start_month, start_day ORDER BY start_day"));
    query.bindValue(QStringLiteral(":y"), year);
    query.bindValue(QStringLiteral(":m"), month);
    if (!query.exec())
        return list;
    while (query.next()) {
        QVariantMap row;
        row.insert(QStringLiteral("year"), query.value(0).toInt());
        row.insert(QStringLiteral("month"), query.value(1).toInt());
        row.insert(QStringLiteral("day"), query.value(2).toInt());
        row.insert(QStringLiteral("seconds"), query.value(3).toInt());
        list.append(row);
    }
    return list;
}

QVariantList ReadingRecordDao::getMonthlyPerBookStats(int year, int month)
{
    QSqlQuery query(DatabaseConnection::database());
    query.prepare(QStringLiteral(
        "SELECT r.novel_id, n.title, SUM(r.duration_seconds) FROM reading_records r "
        "LEFT JOIN novel_info n ON r.novel_id = n.id "
        "WHERE r.start_year = :y AND r.start_month = :m "
        "GROUP BY r.novel_id ORDER BY SUM(r.duration_seconds) DESC"));
    query.bindValue(QStringLiteral(":y"), year);
    query.bindValue(QStringLiteral(":m"), month);
    return perBookStats(query);
}

QVariantList ReadingRecordDao::getPerBookStats()
{
    QSqlQuery query(DatabaseConnection::database());
    query.prepare(QStringLiteral(
        "SELECT r.novel_id, n.title, SUM(r.duration_seconds) FROM reading_records r "
        "LEFT JOIN novel_info n ON r.novel_id = n.id "
        "GROUP BY r.novel_id ORDER BY SUM(r.duration_seconds) DESC"));
    return perBookStats(query);
}

void ReadingRecordDao::recoverDangling()
{
    qInfo() << "[ReadingRecordDao] 崩溃恢复：心跳已保数据安全，无需修复";
}
