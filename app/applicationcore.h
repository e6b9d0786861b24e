#pragma once

#include "backgroundtasks.h"
#include "layoutpool.h"
#include "renderpool.h"
#include "unifiedparagraphdao.h"

#include <QDateTime>
#include <QHash>
#include <QImage>
#include <QMutex>
#include <QObject>
#include <QPointer>
#include <QReadWriteLock>
#include <QStringList>
#include <QThreadPool>
#include <QVariant>
#include <QVariantMap>

#include <functional>

class AppConfig;
class ChapterDao;
class ChapterInfo;
class ChapterService;
class FontDao;
class FontImportScope;
class IFormatParser;
class NovelDao;
class NovelInfo;
class NovelService;
class ReadingRecordDao;
class ReadProcessDao;
class UnifiedChunkDao;
class UnifiedParagraphDao;

// The one object through which the QML user interface reaches the program.
class ApplicationCore : public QObject
{
    Q_OBJECT
public:
    explicit ApplicationCore(QObject *parent = nullptr);
    ~ApplicationCore() override;

    // The process-wide instance; null before construction and after destruction.
    static ApplicationCore *instance();

    // Milliseconds from a local time of day to the next whole minute.
    static int delayToNextMinute(int msecsOfDay);

    // Starts one more minute clock that emits systemTimeUpdated("HH:mm").
    Q_INVOKABLE void initAppTime();

    // Settings
    Q_INVOKABLE void setAppConfigValue(const QString &group, const QString &key,
                                       const QVariant &value);
    Q_INVOKABLE QVariant getAppConfigValue(const QString &group, const QString &key,
                                           const QVariant &defaultValue);
    Q_INVOKABLE QVariant getAppConfigValue(const QString &group, const QString &key);
    Q_INVOKABLE QStringList listAppConfigGroups();
    Q_INVOKABLE QVariantMap listAppConfigKeys(const QString &group);
    Q_INVOKABLE void removeAppConfigKey(const QString &group, const QString &key);

    // Logging
    Q_INVOKABLE int getLogLevel();
    Q_INVOKABLE void setLogLevel(int level);

    Q_INVOKABLE void quitApplication();

    // --- Library ---
    Q_INVOKABLE QObject *getNovelInfo(const QString &novelId);
    Q_INVOKABLE QList<QObject *> getNovelList();
    Q_INVOKABLE QList<QObject *> getChaptersByNovelId(const QString &novelId);
    Q_INVOKABLE QVariantMap getFileMetadata(const QString &path);

    // --- Import ---
    // Imports the book file in the background; the outcome comes as
    // novelImportSucceeded or novelImportFailed.
    Q_INVOKABLE void importNovel(const QString &path);
    friend class ImportTask;
private:
    // The store step of an import, on the thread that runs it. Owns and frees
    // the parser, the book and the chapters; ends the import's fonts, then
    // emits the outcome unless the core is stopping.
    static void storeImportedBook(ApplicationCore *core, IFormatParser *parser,
                                  NovelInfo *novel, const QVector<ChapterInfo *> &chapters,
                                  FontImportScope &fonts);
    // Posted to the main thread for parsers with an import transaction; once
    // the core is gone it only cleans up.
    static void postStoreStep(const QPointer<ApplicationCore> &core, IFormatParser *parser,
                              NovelInfo *novel, const QVector<ChapterInfo *> &chapters,
                              FontImportScope &fonts);
public:

    // --- Removal and reset ---
    // Removes the books (their rows and data folders) in the background.
    Q_INVOKABLE void removeNovel(const QList<QObject *> &bookList);
    // Deletes the configuration and data locations in the background, then
    // emits applicationResetFinished. A mark written first makes the reset
    // whole or nothing: one that stops half-way is finished at the next start.
    Q_INVOKABLE void resetApplication();
    // Deletes a whole location; a link in it goes itself, never what it leads
    // to. Refuses an empty path (it would mean the current directory). True
    // when nothing of it is left.
    static bool removeLocation(const QString &path);
    // At start-up, before anything reads either location: finishes a reset
    // that was stopped after its mark was written.
    static void finishInterruptedReset();

    // --- External file opening ---
    Q_INVOKABLE void openExternalFile(const QString &path);

    // --- Reading sessions and statistics ---
    Q_INVOKABLE QObject *getReadProcessByNovelId(const QString &novelId);
    Q_INVOKABLE void doReading(const QString &novelId, const QString &chapterId,
                               int chapterIndex, int position, qlonglong progressIndex,
                               float blockOffset);
    Q_INVOKABLE void startReadingSession(const QString &novelId);
    Q_INVOKABLE void heartbeatReadingSession();
    Q_INVOKABLE void endReadingSession();
    Q_INVOKABLE int getTodayReadingSeconds();
    Q_INVOKABLE int getTotalReadingHours();
    Q_INVOKABLE int getReadingDays();
    Q_INVOKABLE int getReadingStreak();
    Q_INVOKABLE int getFinishedBookCount();
    Q_INVOKABLE QVariantList getDailyReadingStats(int year, int month);
    Q_INVOKABLE QVariantList getMonthlyPerBookStats(int year, int month);
    Q_INVOKABLE void closeBook();
    // The local time the sessions use; tests set it, an empty function
    // restores the system clock.
    static void setClockForTesting(std::function<QDateTime()> clock);
    static QDateTime currentDateTime();

    // --- Reading view and page pools ---
    // Start a reading session at a glyph position; the answer is the session
    // token, empty when nothing was opened.
    Q_INVOKABLE QString openBookForReading(const QString &novelId, const QString &chapterId,
                                           int glyphIndex, float blockOffset, int fontSize,
                                           int letterSpacing, int viewWidth, int viewHeight,
                                           const QString &textColor, const QString &bgColor,
                                           const QString &readerBgColor,
                                           bool isDarkTheme = false);
    Q_INVOKABLE QString poolJumpToChapter(const QString &novelId, const QString &chapterId,
                                          int glyphIndex, int fontSize, int letterSpacing,
                                          int viewWidth, int viewHeight, const QString &textColor,
                                          const QString &bgColor, const QString &readerBgColor,
                                          bool isDarkTheme = false);
    Q_INVOKABLE void poolReportPageTurn(const QString &chapterId, int pageIndex,
                                        const QString &sessionToken);
    Q_INVOKABLE int poolForwardPageCount();
    Q_INVOKABLE int poolBackwardPageCount();
    Q_INVOKABLE int poolStartPageIndex();
    Q_INVOKABLE int getChapterPageCount(const QString &chapterId);
    Q_INVOKABLE int getChapterGlyphCount(const QString &chapterId);
    Q_INVOKABLE int getChapterPageForAddress(const QString &chapterId,
                                             const QString &addressChapterId,
                                             int addressPageIndex);
    Q_INVOKABLE QString getScrollPageKey(int relativePageIndex);
    Q_INVOKABLE bool isScrollFirstPage(const QString &chapterId, int pageIndex);
    Q_INVOKABLE bool isScrollLastPage(const QString &chapterId, int pageIndex);
    Q_INVOKABLE bool isPageReady(const QString &chapterId, int pageIndex);
    Q_INVOKABLE bool isRenderWindowReady(int backwardPages, int forwardPages);
    Q_INVOKABLE int getPageFirstParaIndex(int pageIndex);
    Q_INVOKABLE QVariantMap getPageStartSource(const QString &chapterId, int pageIndex);
    Q_INVOKABLE void setCurrentChapterContext(const QString &chapterId, int chapterIndex);
    Q_INVOKABLE int pageFromParaIndexForChapter(const QString &chapterId, int paraIndex);
    Q_INVOKABLE QVariantList getPageLineSources(const QString &chapterId, int pageIndex);

    // The rendered page under a percent-encoded page key; null when not ready.
    // Any thread.
    QImage imageForId(const QString &id) const;
    // Held for reading around every use of instance() off the main thread;
    // the destructor clears the instance under the write lock.
    static QReadWriteLock &instanceLock();
    // The layout settings an open builds from its arguments and the reading
    // settings (exposed for the reading tests).
    LayoutConfig readingConfig(const QString &novelId, int fontSize, int letterSpacing,
                               int viewWidth, int viewHeight, const QString &textColor,
                               const QString &bgColor, const QString &readerBgColor,
                               bool isDarkTheme);

    // --- User fonts ---
    Q_INVOKABLE QVariantMap getFontMetadata(const QString &path);
    Q_INVOKABLE void importFont(const QString &path);
    Q_INVOKABLE QVariantList getImportedFonts();
    // Registers the saved user fonts; the constructor calls it once.
    void loadImportedFonts();

    // --- Information and maintenance ---
    Q_INVOKABLE QVariantMap getAppInfo();
    Q_INVOKABLE QVariantList getChangelog();
    Q_INVOKABLE QString getDataPath();
    Q_INVOKABLE QString getConfigPath();
    // Why the library file could not be opened at start-up; empty when it was.
    Q_INVOKABLE QString getDatabaseError();
    Q_INVOKABLE QString getLicenseText();

    // --- Database browser ---
    Q_INVOKABLE QStringList listDbTables();
    Q_INVOKABLE QVariantList getTableColumns(const QString &table);
    Q_INVOKABLE QVariantList queryTable(const QString &table, int page, int pageSize);
    Q_INVOKABLE int countTableRows(const QString &table);
    Q_INVOKABLE bool updateTableCell(const QString &table, const QString &pkColumn,
                                     const QVariant &pkValue, const QString &column,
                                     const QVariant &value);
    Q_INVOKABLE bool deleteTableRow(const QString &table, const QString &pkColumn,
                                    const QVariant &pkValue);
    Q_INVOKABLE bool insertTableRow(const QString &table, const QVariantMap &values);

signals:
    void applicationResetFinished(bool success);
    void fontImportFinished(bool success, const QString &message);
    void fontListChanged();
    void novelImportProgress(const QString &message);
    void novelImportSucceeded(const QString &message);
    void novelImportFailed(const QString &message);
    void externalFileReady(const QString &novelId);
    void externalFileNeedsImport(const QString &path, const QString &novelId);
    void systemTimeUpdated(const QString &timeStr);
    void poolPageRendered(const QString &chapterId, int pageIndex);
    void poolChapterLayoutReady(const QString &chapterId, int pageCount);
    void poolStartPageLocated(const QString &chapterId, int pageIndex);

private:
    QVector<Paragraph> loadChapterContent(const QString &novelId, const QString &chapterId);
    void setImageMode(const QString &novelId, LayoutConfig &config);
    // The book's content statistics, kept per book once read; forgotten when
    // the book is imported again or removed (an empty id: every book).
    UnifiedContentStats contentStats(const QString &novelId);
    void forgetContentStats(const QString &novelId);
    // A book's rows, all in one transaction; false when they all stay.
    bool removeBookRows(const QString &novelId);
    // After a reset: the session works on a new, empty library.
    void openFreshLibrary();
    void connectPools();

    NovelDao *novelDao;
    ChapterDao *chapterDao;
    ReadProcessDao *readProcessDao;
    ReadingRecordDao *readingRecordDao;
    FontDao *fontDao;
    UnifiedParagraphDao *paragraphDao;
    UnifiedChunkDao *chunkDao;
    NovelService *novelService;
    ChapterService *chapterService;
    AppConfig *appConfig;
    QHash<QString, int> userFontIds;
    QString sessionRecordId;
    QString sessionNovelId;
    QDateTime sessionStart;
    QDateTime lastHeartbeat;
    QMutex contentStatsMutex;
    QHash<QString, UnifiedContentStats> contentStatsCache;
    quint64 contentStatsEpoch = 0;
    QThreadPool workerPool;
    LayoutPool layoutPool;
    RenderPool renderPool;
    int startPageIndex = 0;
    quint64 generation = 0;
    QString currentChapterId;
    // Import, removal and reset; stopped first on destruction.
    BackgroundTasks backgroundTasks;
};
