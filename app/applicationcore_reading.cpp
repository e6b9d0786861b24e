#include "applicationcore.h"
#include "deferredwrites.h"
#include "fontregistry.h"
#include "novelinfo.h"
#include "novelservice.h"
#include "paths.h"
#include "readingrecorddao.h"
#include "readingrecordinfo.h"
#include "readprocessdao.h"
#include "readprocessinfo.h"

#include <QDebug>
#include <QDir>
#include <QHash>

#include <limits>

namespace {

std::function<QDateTime()> &clockFunction()
{
    static std::function<QDateTime()> clock;
    return clock;
}

// Whole seconds between two times, never negative: a clock set back must
// not store a negative reading time.
int elapsedSeconds(const QDateTime &from, const QDateTime &to)
{
    const qint64 seconds = from.secsTo(to);
    if (seconds <= 0)
        return 0;
    return static_cast<int>(qMin<qint64>(seconds, std::numeric_limits<int>::max()));
}

}

void ApplicationCore::setClockForTesting(std::function<QDateTime()> clock)
{
    clockFunction() = std::move(clock);
}

QDateTime ApplicationCore::currentDateTime()
{
    const auto &clock = clockFunction();
    return clock ? clock() : QDateTime::currentDateTime();
}

QObject *ApplicationCore::getReadProcessByNovelId(const QString &novelId)
{
    qInfo() << "[ApplicationCore::getReadProcessByNovelId] 查询小说阅读进度,小说id:" << novelId;
    return novelService->getReadProcess(novelId);
}

void ApplicationCore::doReading(const QString &novelId, const QString &chapterId,
                                int chapterIndex, int position, qlonglong progressIndex,
                                float blockOffset)
{
    qInfo() << "[ApplicationCore::doReading] 阅读小说,小说id:" << novelId << "章节id:"
            << chapterId << "章节索引：" << chapterIndex << "字形：" << position << "进度："
            << progressIndex << "块内偏移：" << blockOffset;
    novelService->doReading(novelId, chapterId, chapterIndex, position, progressIndex,
                            blockOffset);
}

void ApplicationCore::startReadingSession(const QString &novelId)
{
    const QDateTime now = currentDateTime().toLocalTime();
    const QString id = novelId + QLatin1Char('_') + QString::number(now.toMSecsSinceEpoch());

    // Kept rather than lost while an import holds the write lock; the
    // session's heartbeats are then kept behind it.
    const bool started = DeferredWrites::instance().submit(QString(), [id, novelId, now] {
        ReadingRecordInfo record;
        record.setId(id);
        record.setNovelId(novelId);
        record.setStartYear(now.date().year());
        record.setStartMonth(now.date().month());
        record.setStartDay(now.date().day());
        record.setStartHour(now.time().hour());
        record.setStartMinute(now.time().minute());
        record.setStartSecond(now.time().second());
        return ReadingRecordDao().insert(&record);
    });
    if (!started)
        return;

    sessionRecordId = id;
    sessionNovelId = novelId;
    sessionStart = now;
    lastHeartbeat = QDateTime();
    qInfo() << "[ApplicationCore] 阅读会话开始:" << id;
}

void ApplicationCore::heartbeatReadingSession()
{
    if (sessionRecordId.isEmpty())
        return;
    const QString id = sessionRecordId;
    const int seconds = elapsedSeconds(sessionStart, currentDateTime());
    DeferredWrites::instance().submit(QStringLiteral("reading_records.duration:") + id,
                                      [id, seconds] {
                                          return ReadingRecordDao().updateDuration(id, seconds);
                                      });
    lastHeartbeat = currentDateTime();
}

void ApplicationCore::endReadingSession()
{
    if (sessionRecordId.isEmpty())
        return;
    // Past 70 s of silence the reader was away (paused, phone suspended):
    // that time is not counted.
    if (lastHeartbeat.isValid() && lastHeartbeat.secsTo(currentDateTime()) <= 70) {
        heartbeatReadingSession();
    } else {
        qDebug() << "[ApplicationCore] 距上次心跳过久或无心跳，跳过最终提交:" << sessionRecordId;
    }
    sessionRecordId.clear();
    sessionNovelId.clear();
    lastHeartbeat = QDateTime();
}

void ApplicationCore::closeBook()
{
    endReadingSession();
    ++generation;
    layoutPool.clear(generation);
    renderPool.clear(generation);
}

QString ApplicationCore::openBookForReading(const QString &novelId, const QString &chapterId,
                                            int glyphIndex, float blockOffset, int fontSize,
                                            int letterSpacing, int viewWidth, int viewHeight,
                                            const QString &textColor, const QString &bgColor,
                                            const QString &readerBgColor, bool isDarkTheme)
{
    Q_UNUSED(blockOffset)
    Q_UNUSED(fontSize)
    Q_UNUSED(letterSpacing)
    Q_UNUSED(viewWidth)
    Q_UNUSED(viewHeight)
    Q_UNUSED(textColor)
    Q_UNUSED(bgColor)
    Q_UNUSED(readerBgColor)
    qInfo() << "[ApplicationCore] openBookForReading:" << chapterId << "glyphIndex:" << glyphIndex
            << "isDarkTheme:" << (isDarkTheme ? "true" : "false");
    ++generation;
    layoutPool.clear(generation);
    renderPool.clear(generation);
    // Makes this book the registry's active one (another book's fonts are
    // dropped) and registers its own fonts again; a book without any is fine.
    FontRegistry::instance().loadManifest(novelId, QDir(Paths::dataLocation()).filePath(novelId));
    // Laying chapters out is not there yet: no session opens.
    return QString();
}

int ApplicationCore::getTodayReadingSeconds()
{
    return readingRecordDao->getTodaySeconds();
}

int ApplicationCore::getTotalReadingHours()
{
    return readingRecordDao->getTotalSeconds() / 3600;
}

int ApplicationCore::getReadingDays()
{
    return readingRecordDao->getDistinctDays();
}

int ApplicationCore::getReadingStreak()
{
    const QList<QDate> dates = readingRecordDao->getDistinctDatesDesc();
    if (dates.isEmpty())
        return 0;
    const QDate newest = dates.first();
    // A streak survives a day not read yet as long as yesterday was read.
    if (newest < currentDateTime().toLocalTime().date().addDays(-1))
        return 0;
    int streak = 0;
    for (const QDate &date : dates) {
        if (date != newest.addDays(-streak))
            break;
        ++streak;
    }
    return streak;
}

int ApplicationCore::getFinishedBookCount()
{
    const QList<QObject *> novels = getNovelList();
    if (novels.isEmpty())
        return 0;

    const QList<QObject *> processes = readProcessDao->queryList();
    QHash<QString, qint64> progressByNovel;
    for (QObject *object : processes) {
        if (auto *process = qobject_cast<ReadProcessInfo *>(object))
            progressByNovel.insert(process->novelId(), process->lastProgressIndex());
    }

    int finished = 0;
    for (QObject *object : novels) {
        auto *novel = qobject_cast<NovelInfo *>(object);
        if (!novel || novel->totalProgress() <= 0)
            continue;
        const auto found = progressByNovel.constFind(novel->id());
        if (found != progressByNovel.cend() && found.value() >= novel->totalProgress())
            ++finished;
    }
    qDeleteAll(processes);
    qDeleteAll(novels);
    return finished;
}

QVariantList ApplicationCore::getDailyReadingStats(int year, int month)
{
    return readingRecordDao->getDailyStats(year, month);
}

QVariantList ApplicationCore::getMonthlyPerBookStats(int year, int month)
{
    return readingRecordDao->getMonthlyPerBookStats(year, month);
}
