#include "applicationcore.h"
#include "appconfig.h"
#include "chapterdao.h"
#include "deferredwrites.h"
#include "unifiedparagraphdao.h"
#include "fontregistry.h"
#include "novelinfo.h"
#include "novelservice.h"
#include "paths.h"
#include "readingrecorddao.h"
#include "readingrecordinfo.h"
#include "readprocessdao.h"
#include "readprocessinfo.h"

#include <QDebug>
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

namespace {

const QString ReadSetting = QStringLiteral("READ_SETTING");

// View sizes outside these bounds are refused: a smaller page has no room
// for a line, a larger one would make every page image enormous.
constexpr int MinViewSide = 50;
constexpr int MaxViewSide = 8192;

bool isSafeBookId(const QString &novelId)
{
    return !novelId.contains(QLatin1Char('/')) && !novelId.contains(QLatin1String(".."));
}

}

LayoutConfig ApplicationCore::readingConfig(const QString &novelId, int fontSize,
                                            int letterSpacing, int viewWidth, int viewHeight,
                                            const QString &textColor, const QString &bgColor,
                                            const QString &readerBgColor, bool isDarkTheme)
{
    const QString bookGroup = QStringLiteral("READ_SETTING_") + novelId;
    const auto setting = [this](const char *key, const QVariant &fallback) {
        return appConfig->getValue(ReadSetting, QLatin1String(key), fallback);
    };
    const auto bookSetting = [&](const char *key, const QVariant &fallback) {
        return appConfig->getValue(bookGroup, QLatin1String(key), setting(key, fallback));
    };

    LayoutConfig config;
    config.fontFamily = bookSetting("FONT_FAMILY", QString()).toString();
    config.pageWidth = float(viewWidth);
    config.pageHeight = float(viewHeight);
    config.marginTop = config.marginBottom = 10.0f;
    config.marginLeft = config.marginRight = 20.0f;
    config.fontPixelSize = qBound(4, fontSize, 200);
    config.letterSpacing = float(letterSpacing);
    config.textColor = QColor(textColor);
    const bool transparent = bgColor == QLatin1String("transparent");
    config.backgroundColor = transparent ? QColor(Qt::transparent) : QColor(bgColor);
    config.lineHeightFactor = float(qMax(0.5, setting("LINE_SPACING", 1.5).toDouble()));
    config.orphanControl = setting("ORPHAN_CONTROL", false).toBool();
    config.continuousMode = bookSetting("READ_MODE", 0).toInt() == 1;
    static const float scales[] = {0.6666667f, 1.0f, 1.3333334f, 2.0f};
    config.scale = scales[qBound(0, setting("PDF_DPI", 1).toInt(), 3)];
    if (config.continuousMode) {
        config.marginTop = config.marginBottom = 0.0f;
        config.orphanControl = false;
    }
    config.darkTheme = isDarkTheme;
    const QColor reader(readerBgColor);
    config.readerBgColor = reader.isValid() ? reader
                                            : (transparent ? QColor(Qt::white) : config.backgroundColor);
    setImageMode(novelId, config);
    return config;
}

void ApplicationCore::setImageMode(const QString &novelId, LayoutConfig &config)
{
    const int mode = appConfig->getValue(ReadSetting, QStringLiteral("IMAGE_SCALE_MODE"), 0).toInt();
    if (mode == 1) {
        config.imageMode = config.enlargeImages = true;
        return;
    }
    if (mode >= 2) {
        config.imageMode = config.enlargeImages = false;
        return;
    }
    // Automatic: images on, and enlarged when they make up most of the book.
    const UnifiedContentStats stats = contentStats(novelId);
    const float textWidth = qMax(config.pageWidth - config.marginLeft - config.marginRight, 1.0f);
    const float textHeight = config.pageHeight - config.marginTop - config.marginBottom;
    float imageHeight = textHeight > 1.0f ? stats.unsizedImageCount * textHeight
                                          : float(stats.unsizedImageCount);
    for (const QSize &size : stats.imageSizes)
        imageHeight += size.height() * textWidth / size.width();
    const int images = stats.unsizedImageCount + stats.imageSizes.size();
    config.imageMode = images > 0;
    const double glyphWidth = config.fontPixelSize * 0.9;
    const float charsPerLine = qMax(glyphWidth > 1.0 ? float(textWidth / glyphWidth) : textWidth, 1.0f);
    const float totalHeight = (stats.textLength / charsPerLine) * config.fontPixelSize
                                  * config.lineHeightFactor + imageHeight;
    float ratio = 0.0f;
    config.enlargeImages = false;
    if (totalHeight > 0) {
        ratio = imageHeight / totalHeight;
        config.enlargeImages = images > 0 && double(ratio) >= 0.7;
    }
    qDebug() << "[ApplicationCore] 图片缩放自动识别:" << "images=" << images
             << "textChars=" << stats.textLength << "imageRatio=" << ratio
             << "enlarge=" << (config.enlargeImages ? "true" : "false");
}

UnifiedContentStats ApplicationCore::contentStats(const QString &novelId)
{
    quint64 epoch = 0;
    {
        QMutexLocker lock(&contentStatsMutex);
        const auto found = contentStatsCache.constFind(novelId);
        if (found != contentStatsCache.cend())
            return *found;
        epoch = contentStatsEpoch;
    }
    const UnifiedContentStats stats = paragraphDao->queryContentStatsFromTotals(novelId);
    QMutexLocker lock(&contentStatsMutex);
    // Not kept when a book was imported or removed meanwhile: it may be the old content's.
    if (epoch == contentStatsEpoch)
        contentStatsCache.insert(novelId, stats);
    return stats;
}

void ApplicationCore::forgetContentStats(const QString &novelId)
{
    QMutexLocker lock(&contentStatsMutex);
    ++contentStatsEpoch;
    if (novelId.isEmpty())
        contentStatsCache.clear();
    else
        contentStatsCache.remove(novelId);
}

QString ApplicationCore::openBookForReading(const QString &novelId, const QString &chapterId,
                                            int glyphIndex, float blockOffset, int fontSize,
                                            int letterSpacing, int viewWidth, int viewHeight,
                                            const QString &textColor, const QString &bgColor,
                                            const QString &readerBgColor, bool isDarkTheme)
{
    qInfo() << "[ApplicationCore] openBookForReading:" << chapterId << "glyphIndex:" << glyphIndex
            << "isDarkTheme:" << (isDarkTheme ? "true" : "false");
    if (viewWidth < MinViewSide || viewHeight < MinViewSide || viewWidth > MaxViewSide
        || viewHeight > MaxViewSide) {
        qWarning() << "[ApplicationCore] openBookForReading: view size refused:" << viewWidth
                   << "x" << viewHeight;
        return QString();
    }
    // The id names the book's data folder: nothing may lead out of it.
    if (novelId.isEmpty() || !isSafeBookId(novelId)) {
        qWarning() << "[ApplicationCore] openBookForReading: book id refused:" << novelId;
        return QString();
    }

    ++generation;
    layoutPool.clear(generation);
    renderPool.clear(generation);
    // Makes this book the registry's active one (another book's fonts are
    // dropped) and registers its own fonts again; a book without any is fine.
    // Imports return the registry to it when they end.
    FontRegistry::instance().openBook(novelId, Paths::bookDataDir(novelId));
    const LayoutConfig config = readingConfig(novelId, fontSize, letterSpacing, viewWidth,
                                              viewHeight, textColor, bgColor, readerBgColor,
                                              isDarkTheme);

    // Ids alone: a chapter object per chapter costs a large book milliseconds.
    QMap<QString, int> chapterMap;
    const QStringList chapters = chapterDao->queryIdsByNovelId(novelId);
    for (int i = 0; i < chapters.size(); ++i) {
        if (!chapters[i].isEmpty())
            chapterMap.insert(chapters[i], i);
    }
    if (!chapterMap.contains(chapterId)) {
        qWarning() << "[ApplicationCore] chapter not found:" << chapterId;
        currentChapterId.clear();
        return QString();
    }

    layoutPool.chapterProvider = [this, novelId](const QString &id) {
        return loadChapterContent(novelId, id);
    };
    layoutPool.setLayoutSettings(config);
    renderPool.setRenderSettings(config);
    layoutPool.setBookContext(chapterMap);
    renderPool.setBookContext(chapterMap);
    startPageIndex = 0;
    currentChapterId = chapterId;
    renderPool.resetForSession(novelId, chapterId, 0, generation);
    const float offset = blockOffset > 1.0f ? 1.0f : (blockOffset >= -1.0f ? blockOffset : -1.0f);
    layoutPool.openForReading(novelId, chapterId, 0, qMax(glyphIndex, 0), offset, generation);
    return QString::number(generation);
}

QString ApplicationCore::poolJumpToChapter(const QString &novelId, const QString &chapterId,
                                           int glyphIndex, int fontSize, int letterSpacing,
                                           int viewWidth, int viewHeight,
                                           const QString &textColor, const QString &bgColor,
                                           const QString &readerBgColor, bool isDarkTheme)
{
    return openBookForReading(novelId, chapterId, glyphIndex, -1.0f, fontSize, letterSpacing,
                              viewWidth, viewHeight, textColor, bgColor, readerBgColor,
                              isDarkTheme);
}

void ApplicationCore::poolReportPageTurn(const QString &chapterId, int pageIndex,
                                         const QString &sessionToken)
{
    bool ok = false;
    const quint64 token = sessionToken.toULongLong(&ok, 10);
    if (!ok || token != generation || !layoutPool.hasChapter(chapterId))
        return;
    layoutPool.reportPageTurn(chapterId, pageIndex);
    renderPool.setCurrentPage(chapterId, pageIndex);
    layoutPool.pump();
}

int ApplicationCore::poolForwardPageCount()
{
    return renderPool.forwardReadyCount();
}

int ApplicationCore::poolBackwardPageCount()
{
    return renderPool.backwardReadyCount();
}

int ApplicationCore::poolStartPageIndex()
{
    return startPageIndex;
}

int ApplicationCore::getChapterPageCount(const QString &chapterId)
{
    return layoutPool.chapterPageCount(chapterId);
}

int ApplicationCore::getChapterGlyphCount(const QString &chapterId)
{
    return layoutPool.chapterGlyphCount(chapterId);
}

int ApplicationCore::getChapterPageForAddress(const QString &chapterId,
                                              const QString &addressChapterId,
                                              int addressPageIndex)
{
    return layoutPool.chapterPageForAddress(chapterId, addressChapterId, addressPageIndex);
}

QString ApplicationCore::getScrollPageKey(int relativePageIndex)
{
    return layoutPool.scrollPageKey(relativePageIndex);
}

bool ApplicationCore::isScrollFirstPage(const QString &chapterId, int pageIndex)
{
    return layoutPool.isFirstPage(chapterId, pageIndex);
}

bool ApplicationCore::isScrollLastPage(const QString &chapterId, int pageIndex)
{
    return layoutPool.isLastPage(chapterId, pageIndex);
}

bool ApplicationCore::isPageReady(const QString &chapterId, int pageIndex)
{
    return renderPool.isPageReady(chapterId, pageIndex);
}

bool ApplicationCore::isRenderWindowReady(int backwardPages, int forwardPages)
{
    QStringList keys;
    return layoutPool.renderWindowKeys(backwardPages, forwardPages, keys)
        && renderPool.isWindowReady(keys);
}

int ApplicationCore::getPageFirstParaIndex(int pageIndex)
{
    return layoutPool.pageFirstParaIndex(currentChapterId, pageIndex);
}

QVariantMap ApplicationCore::getPageStartSource(const QString &chapterId, int pageIndex)
{
    const PageLayout page = layoutPool.pageEntry(chapterId, pageIndex);
    QVariantMap source;
    source.insert(QStringLiteral("chapterId"), page.chapterId.isEmpty() ? chapterId : page.chapterId);
    source.insert(QStringLiteral("glyphIndex"), page.startGlyph);
    source.insert(QStringLiteral("progressIndex"), qlonglong(page.startProgress));
    source.insert(QStringLiteral("blockOffset"), layoutPool.pageStartOffset(chapterId, pageIndex));
    return source;
}

void ApplicationCore::setCurrentChapterContext(const QString &chapterId, int chapterIndex)
{
    qDebug() << "[ApplicationCore] setCurrentChapterContext:" << chapterId << "index:"
             << chapterIndex;
    currentChapterId = chapterId;
}

int ApplicationCore::pageFromParaIndexForChapter(const QString &chapterId, int paraIndex)
{
    return layoutPool.pageFromParaIndex(chapterId, paraIndex);
}

QVariantList ApplicationCore::getPageLineSources(const QString &chapterId, int pageIndex)
{
    const PageLayout page = layoutPool.pageEntry(chapterId, pageIndex);
    const LayoutConfig config = layoutPool.layoutSettings();
    const bool isFirst = layoutPool.isFirstPage(chapterId, pageIndex);
    const bool isLast = layoutPool.isLastPage(chapterId, pageIndex);
    QVariantList lines;
    for (const LayoutLine &line : page.lines) {
        const float top = config.marginTop + line.y;
        QVariantMap entry;
        entry.insert(QStringLiteral("chapterId"), line.chapterId);
        entry.insert(QStringLiteral("isFirstPage"), isFirst);
        entry.insert(QStringLiteral("isLastPage"), isLast);
        entry.insert(QStringLiteral("y"), qMax(0.0f, top));
        entry.insert(QStringLiteral("bottom"), qMin(config.pageHeight, top + line.height));
        entry.insert(QStringLiteral("rawY"), top);
        entry.insert(QStringLiteral("lineHeight"), line.height);
        entry.insert(QStringLiteral("isImage"), line.isImage);
        entry.insert(QStringLiteral("glyphIndex"), line.startGlyph);
        entry.insert(QStringLiteral("progressIndex"), qlonglong(line.startProgress));
        entry.insert(QStringLiteral("progressWeight"), qlonglong(line.progressWeight));
        lines.append(entry);
    }
    return lines;
}

QImage ApplicationCore::imageForId(const QString &id) const
{
    return renderPool.imageForKey(id);
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
