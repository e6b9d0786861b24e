#include "applicationcore.h"
#include "appconfig.h"
#include "bookfolderstage.h"
#include "decodeservice.h"
#include "cbrparser.h"
#include "chapterdao.h"
#include "chapterinfo.h"
#include "chapterservice.h"
#include "databaseconnection.h"
#include "deferredwrites.h"
#include "fontdao.h"
#include "logmanager.h"
#include "noveldao.h"
#include "novelinfo.h"
#include "novelservice.h"
#include "paragraphutils.h"
#include "readingrecorddao.h"
#include "readprocessdao.h"
#include "startupdeleterule.h"
#include "unifiedchunkdao.h"
#include "unifiedparagraphdao.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFileInfo>
#include <QQmlEngine>
#include <QTime>
#include <QTimer>

#include <atomic>

namespace {

std::atomic<ApplicationCore *> s_instance{nullptr};

// How long shutting down waits for the write lock (another process may hold it).
const int ExitFlushTimeoutMs = 10000;

// QML takes ownership of objects returned one by one, not of list elements.
template <typename T>
QList<QObject *> toQmlList(const QList<T *> &items)
{
    QList<QObject *> result;
    result.reserve(items.size());
    for (T *item : items) {
        QQmlEngine::setObjectOwnership(item, QQmlEngine::JavaScriptOwnership);
        result.append(item);
    }
    return result;
}

}

ApplicationCore::ApplicationCore(QObject *parent)
    : QObject(parent)
    , novelDao(new NovelDao(this))
    , chapterDao(new ChapterDao(this))
    , readProcessDao(new ReadProcessDao(this))
    , readingRecordDao(new ReadingRecordDao(this))
    , fontDao(new FontDao(this))
    , paragraphDao(new UnifiedParagraphDao(this))
    , chunkDao(new UnifiedChunkDao(this))
    , novelService(new NovelService(novelDao, chapterDao, readProcessDao, this))
    , chapterService(new ChapterService(chapterDao, paragraphDao, chunkDao, this))
    , appConfig(new AppConfig(this))
    , layoutPool(this)
    , renderPool(this)
{
    {
        QWriteLocker lock(&instanceLock());
        s_instance.store(this);
    }
    initAppTime();
    readingRecordDao->recoverDangling();
    // Before any import: the files of every book match its rows again.
    {
        // One reading of the stored ids for both sweeps.
        QSqlDatabase db = DatabaseConnection::database();
        StartupDeleteRule rule(db);
        BookFolderStage::settleAll(db, rule);
        CbrParser::cleanupOrphanedArchiveData(rule);
    }
    loadImportedFonts();

    workerPool.setMaxThreadCount(1);
    workerPool.setExpiryTimeout(-1);
    layoutPool.workerPool = &workerPool;
    layoutPool.renderPool = &renderPool;
    renderPool.threadPool = &workerPool;
    layoutPool.chapterProvider = [this](const QString &chapterId) {
        return loadChapterContent(sessionNovelId, chapterId);
    };
    connectPools();
}

ApplicationCore::~ApplicationCore()
{
    {
        // Waits for an image request under way on another thread; later ones
        // find no core.
        QWriteLocker lock(&instanceLock());
        ApplicationCore *self = this;
        s_instance.compare_exchange_strong(self, nullptr);
    }
    // Nothing a running task uses may go before the task has ended: queued
    // layout and render tasks are dropped and the running one is waited for
    // before the pools go.
    backgroundTasks.stop();
    workerPool.clear();
    workerPool.waitForDone();
    // What the reader wrote while an import held the lock goes in now, at
    // the latest: the import has ended above.
    if (!DeferredWrites::instance().flush(ExitFlushTimeoutMs))
        qWarning() << "[ApplicationCore] 退出前未能写入暂存数据:"
                   << DeferredWrites::instance().pendingCount();
}

QReadWriteLock &ApplicationCore::instanceLock()
{
    static QReadWriteLock lock;
    return lock;
}

ApplicationCore *ApplicationCore::instance()
{
    return s_instance.load();
}

void ApplicationCore::connectPools()
{
    connect(&renderPool, &RenderPool::inputQueueHasSpace, &layoutPool,
            &LayoutPool::onInputQueueHasSpace);
    connect(&layoutPool, &LayoutPool::layoutBatchDone, this, [this](qulonglong gen) {
        if (gen == generation)
            layoutPool.pump();
    });
    connect(&renderPool, &RenderPool::pageRendered, this,
            [this](const QString &chapterId, int pageIndex, qulonglong gen) {
                if (gen == generation)
                    emit poolPageRendered(chapterId, pageIndex);
            });
    connect(&layoutPool, &LayoutPool::chapterLayoutReady, this,
            [this](const QString &chapterId, int pageCount, qulonglong gen) {
                if (gen == generation)
                    emit poolChapterLayoutReady(chapterId, pageCount);
            });
    connect(&layoutPool, &LayoutPool::startPageLocated, this,
            [this](const QString &chapterId, int pageIndex, qulonglong gen) {
                if (gen != generation)
                    return;
                startPageIndex = pageIndex;
                currentChapterId = chapterId;
                layoutPool.reportPageTurn(chapterId, pageIndex);
                renderPool.setCurrentPage(chapterId, pageIndex);
                layoutPool.pump();
                emit poolStartPageLocated(chapterId, pageIndex);
            });
}

int ApplicationCore::delayToNextMinute(int msecsOfDay)
{
    if (msecsOfDay < 0)
        return 60000;
    const int t = msecsOfDay;
    return ((t / 60000) * 60 + 60 - t / 1000) * 1000 - t % 1000;
}

void ApplicationCore::initAppTime()
{
    qInfo() << "[ApplicationCore::initAppTime] 初始化应用时间";
    auto *timer = new QTimer(this);
    // A precise timer never fires early, and the delay is recomputed at every
    // tick, so the clock cannot drift into showing the previous minute.
    timer->setTimerType(Qt::PreciseTimer);
    const auto nextDelay = [] {
        const QTime now = QTime::currentTime();
        return delayToNextMinute(now.isValid() ? now.msecsSinceStartOfDay() : -1);
    };
    connect(timer, &QTimer::timeout, this, [this, timer, nextDelay] {
        timer->start(nextDelay());
        emit systemTimeUpdated(QTime::currentTime().toString(QStringLiteral("HH:mm")));
    }, Qt::DirectConnection);
    timer->start(nextDelay());
}

QVector<Paragraph> ApplicationCore::loadChapterContent(const QString &novelId,
                                                       const QString &chapterId)
{
    QVector<QString> rowIds;
    QVector<Paragraph> paragraphs = paragraphDao->loadParagraphs(novelId, chapterId, &rowIds);
    if (paragraphs.isEmpty())
        return {};
    // A chapter that shows a picture gets a helper started before its layout.
    for (const Paragraph &paragraph : qAsConst(paragraphs)) {
        if (!paragraph.imageId.isEmpty()) {
            DecodeService::prepare();
            break;
        }
    }
    const auto chunks = chunkDao->loadChunks(novelId, chapterId);
    QVector<Paragraph> result;
    result.reserve(paragraphs.size());
    for (int i = 0; i < paragraphs.size(); ++i) {
        Paragraph &paragraph = paragraphs[i];
        auto found = chunks.constFind(rowIds.value(i));
        if (found != chunks.cend())
            paragraph.chunks = found.value();
        result += normalizeWhitespace(paragraph);
    }
    return result;
}

QObject *ApplicationCore::getNovelInfo(const QString &novelId)
{
    qInfo() << "[ApplicationCore::getNovelInfo] 查询小说信息：" << novelId;
    return novelService->getNovelInfo(novelId);
}

QList<QObject *> ApplicationCore::getNovelList()
{
    qInfo() << "[ApplicationCore::getNovelList] 查询小说列表";
    return toQmlList(novelService->getNovelList());
}

QList<QObject *> ApplicationCore::getChaptersByNovelId(const QString &novelId)
{
    qInfo() << "[ApplicationCore::getChaptersByNovelId] 查询小说的章节列表,小说id:" << novelId;
    return toQmlList(chapterService->getChaptersByNovelId(novelId));
}

QVariantMap ApplicationCore::getFileMetadata(const QString &path)
{
    const QFileInfo info(path);
    const QString name = info.fileName();
    const int dot = name.lastIndexOf(QLatin1Char('.'));
    QVariantMap metadata;
    metadata.insert(QStringLiteral("type"), dot < 0 ? QString() : name.mid(dot + 1).toUpper());
    metadata.insert(QStringLiteral("size"), info.exists() ? info.size() : qint64(0));
    metadata.insert(QStringLiteral("modified"), info.exists() ? info.lastModified() : QDateTime());
    metadata.insert(QStringLiteral("directory"), info.absolutePath());
    return metadata;
}

void ApplicationCore::setAppConfigValue(const QString &group, const QString &key,
                                        const QVariant &value)
{
    qDebug() << "[ApplicationCore::setAppConfigValue] 存储应用设置值，(" << group << "," << key
             << "," << value << ")";
    appConfig->setValue(group, key, value);
}

QVariant ApplicationCore::getAppConfigValue(const QString &group, const QString &key,
                                            const QVariant &defaultValue)
{
    qDebug() << "[ApplicationCore::getAppConfigValue] 查询应用设置值，(" << group << "," << key
             << "," << defaultValue << ")";
    return appConfig->getValue(group, key, defaultValue);
}

QVariant ApplicationCore::getAppConfigValue(const QString &group, const QString &key)
{
    qDebug() << "[ApplicationCore::getAppConfigValue] 查询应用设置值，(" << group << "," << key
             << ")";
    return appConfig->getValue(group, key);
}

QStringList ApplicationCore::listAppConfigGroups()
{
    return appConfig->listGroups();
}

QVariantMap ApplicationCore::listAppConfigKeys(const QString &group)
{
    return appConfig->listKeys(group);
}

void ApplicationCore::removeAppConfigKey(const QString &group, const QString &key)
{
    appConfig->removeKey(group, key);
}

int ApplicationCore::getLogLevel()
{
    return LogManager::level();
}

void ApplicationCore::setLogLevel(int level)
{
    if (static_cast<unsigned>(level) > LogManager::Off) {
        qWarning() << "[ApplicationCore::setLogLevel] 无效的日志级别:" << level;
        return;
    }
    LogManager::setLevel(level);
    appConfig->setValue(QStringLiteral("APP_SETTING"), QStringLiteral("LOG_LEVEL"), level);
}

void ApplicationCore::quitApplication()
{
    qInfo() << "[ApplicationCore::quitApplication] 关闭应用";
    QCoreApplication::quit();
}
