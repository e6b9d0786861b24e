#include "renderpool.h"

#include "pagerenderer.h"
#include "rawfontcache.h"

#include <QDebug>
#include <QFutureInterface>
#include <QRunnable>
#include <QThreadPool>
#include <QUrl>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <utility>

namespace {

QString itemKey(const RenderItem &item)
{
    return RenderPool::makeKey(item.chapterId, item.page.pageIndex);
}

// Ranks after every page with a reading distance.
constexpr qint64 NoDistanceRank = LLONG_MAX / 2;

// Pages behind the reader count double: turns mostly go on in one direction.
qint64 rankForDistance(int distance, int direction)
{
    const qint64 magnitude = std::abs(qint64(distance));
    return distance * direction >= 0 ? 2 * magnitude : 4 * magnitude + 1;
}

// A render task whose future always finishes: when the thread pool drops the
// task unrun (QThreadPool::clear), the future is cancelled instead of being
// left running, so neither the watcher nor the pool's destructor waits forever.
class RenderTask : public QRunnable
{
public:
    RenderTask(QVector<RenderItem> batch, bool pdfBatch, const LayoutConfig &config,
               quint64 generation, bool returnMemory)
        : m_batch(std::move(batch)), m_pdfBatch(pdfBatch), m_config(config),
          m_generation(generation), m_returnMemory(returnMemory)
    {
        m_promise.reportStarted();
    }

    ~RenderTask() override
    {
        if (!m_promise.isFinished()) {
            m_promise.reportCanceled();
            m_promise.reportFinished();
        }
    }

    QFuture<RenderResult> future() { return m_promise.future(); }

    void run() override
    {
        if (!m_promise.isCanceled())
            m_promise.reportResult(render());
        m_promise.reportFinished();
        // After the pages are out, so it never delays them.
        if (m_returnMemory)
            PageRenderer::returnFreedMemory();
        if (m_pdfBatch)
            PageRenderer::forCurrentThread().releaseDroppedRasters();
    }

private:
    // Runs on the worker thread and touches no pool state.
    RenderResult render() const
    {
        RawFontCache::clearForCurrentThread(m_generation);
        PageRenderer &renderer = PageRenderer::forCurrentThread();
        renderer.resetForGeneration(qint64(m_generation));
        QVector<PageLayout> pages;
        pages.reserve(m_batch.size());
        for (const RenderItem &item : m_batch)
            pages.append(item.page);
        RenderResult result;
        result.items = m_batch;
        result.images = m_pdfBatch ? renderer.renderPdfBatch(pages, m_config)
                                   : renderer.renderPages(pages, m_config);
        return result;
    }

    QFutureInterface<RenderResult> m_promise;
    QVector<RenderItem> m_batch;
    bool m_pdfBatch;
    LayoutConfig m_config;
    quint64 m_generation;
    bool m_returnMemory;
};

} // namespace

RenderPool::RenderPool(QObject *parent)
    : QObject(parent)
{
    connect(&m_watcher, &QFutureWatcher<RenderResult>::finished, this,
            &RenderPool::onRenderFinished);
}

RenderPool::~RenderPool()
{
    disconnect();
    m_watcher.disconnect();
    QFuture<RenderResult> running = m_watcher.future();
    running.cancel();
    running.waitForFinished();
}

QString RenderPool::makeKey(const QString &chapterId, int pageIndex)
{
    return chapterId + QLatin1Char(':') + QString::number(pageIndex);
}

int RenderPool::push(const QString &chapterId, const PageLayout &page, quint64 generation)
{
    const QString key = makeKey(chapterId, page.pageIndex);
    const qint64 stamp = page.layoutStamp;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (generation != m_generation) {
            qDebug().noquote().nospace() << "[RenderPool] push stale key=" << key
                                         << " generation=" << generation
                                         << " current=" << m_generation;
            return StaleGeneration;
        }
        if (m_readyImages.contains(key) && m_readyStamps.value(key, 0) == stamp) {
            m_latestStamps[key] = stamp;
            return AlreadyDone;
        }
        if (m_queuedKeys.contains(key)) {
            for (int i = 0; i < m_queue.size(); ++i) {
                if (itemKey(m_queue[i]) != key)
                    continue;
                if (m_queue[i].page.layoutStamp == stamp) {
                    m_latestStamps[key] = stamp;
                    return AlreadyDone;
                }
                m_queue.remove(i);
                break;
            }
            m_queuedKeys.remove(key);
        }
        if (generation == m_inFlightGeneration && m_inFlightKeys.contains(key)
            && m_inFlightStamps.value(key, 0) == stamp) {
            m_latestStamps[key] = stamp;
            return AlreadyDone;
        }
        auto ready = m_readyImages.find(key);
        if (ready != m_readyImages.end())
            dropImage(ready);
        if (m_queue.size() >= QueueCapacity) {
            m_spaceWanted = true;
            qDebug().noquote().nospace() << "[RenderPool] push full key=" << key
                                         << " queue=" << m_queue.size();
            return QueueFull;
        }
        m_latestStamps[key] = stamp;
        m_queue.append(RenderItem{chapterId, page, generation});
        m_queuedKeys.insert(key);
    }
    QMetaObject::invokeMethod(this, &RenderPool::scheduleNextRender, Qt::QueuedConnection);
    return Queued;
}

void RenderPool::scheduleNextRender()
{
    QVector<RenderItem> batch;
    bool pdfBatch = false;
    bool returnMemory = false;
    LayoutConfig config;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_busy || m_queue.isEmpty())
            return;
        if (!threadPool) {
            qWarning("[RenderPool] no thread pool set; pages stay queued");
            return;
        }

        // Nearest page first; among equals the one in the reading direction.
        // Pages without a distance never win over another page; a page that
        // the memory budget would not keep waits until the reader comes near.
        // The ready pages' ranks do not change while the batch is picked.
        const QVector<QPair<qint64, qint64>> ready = readyRanksLocked();
        int anchor = -1;
        bool anchorKnown = false;
        int best = INT_MAX;
        bool inDirection = false;
        for (int i = 0; i < m_queue.size(); ++i) {
            int d = 0;
            const bool known = pageDistanceLocked(m_queue[i].chapterId, m_queue[i].page.pageIndex, d);
            const bool pdf = !PageRenderer::isPdfSource(m_queue[i].page).isEmpty();
            if (!fitsBudget(known ? rankForDistance(d, m_direction) : NoDistanceRank, ready,
                            taskBytes(1, pdf) - pageBytes()))
                continue;
            if (!known) {
                if (anchor < 0)
                    anchor = i;
                continue;
            }
            const int magnitude = std::abs(d);
            const bool forward = d * m_direction >= 0;
            if (!anchorKnown || magnitude < best
                || (magnitude == best && forward && !inDirection)) {
                anchor = i;
                anchorKnown = true;
                best = magnitude;
                inDirection = forward;
            }
        }
        if (anchor < 0)
            return;
        batch.append(m_queue.takeAt(anchor));

        // A PDF page takes its nearest queued PDF neighbours along, so the
        // renderer can rasterise them together: one in paged mode, up to ten
        // in the continuous strip, where a page image often straddles two
        // screens. The page the reader is on goes alone, and in the strip a
        // page n screens ahead takes fewer than n along: the task must be done
        // before the reader scrolls there.
        pdfBatch = !PageRenderer::isPdfSource(batch.first().page).isEmpty();
        if (pdfBatch && !(anchorKnown && best == 0)) {
            const quint64 anchorGeneration = batch.first().generation;
            QVector<QPair<int, int>> companions;  // (|distance|, queue index)
            int d = 0;
            for (int i = 0; i < m_queue.size(); ++i) {
                const RenderItem &item = m_queue[i];
                if (item.generation != anchorGeneration
                    || PageRenderer::isPdfSource(item.page).isEmpty()
                    || !pageDistanceLocked(item.chapterId, item.page.pageIndex, d)
                    || !fitsBudget(rankForDistance(d, m_direction), ready))
                    continue;
                companions.append({std::abs(d), i});
            }
            std::stable_sort(companions.begin(), companions.end(),
                             [](const QPair<int, int> &a, const QPair<int, int> &b) {
                                 return a.first < b.first;
                             });
            const int most = m_config.continuousMode ? qMin(10, anchorKnown ? best - 1 : 10) : 1;
            companions.resize(qMin(companions.size(), most));
            // The pages of one task are all in memory at once: each must fit
            // beside those taken before it.
            QVector<int> taken;
            for (const auto &companion : qAsConst(companions)) {
                const RenderItem &item = m_queue[companion.second];
                pageDistanceLocked(item.chapterId, item.page.pageIndex, d);
                if (!fitsBudget(rankForDistance(d, m_direction), ready,
                                taskBytes(batch.size() + 1, true) - pageBytes()))
                    break;
                batch.append(item);
                taken.append(companion.second);
            }
            std::sort(taken.begin(), taken.end(), std::greater<int>());
            for (int index : qAsConst(taken))
                m_queue.removeAt(index);
        }

        m_inFlightGeneration = batch.first().generation;
        m_inFlightKeys.clear();
        m_inFlightStamps.clear();
        for (const RenderItem &item : batch) {
            const QString key = itemKey(item);
            m_queuedKeys.remove(key);
            m_inFlightKeys.insert(key);
            m_inFlightStamps.insert(key, item.page.layoutStamp);
        }
        // Pages the new ones displace go before the task starts, not after it:
        // the budget then holds the pages being drawn too, and the first of
        // them draws into a leaving page's buffer.
        evictFarPages(taskBytes(batch.size(), pdfBatch));
        m_busy = true;
        config = m_config;
        returnMemory = std::exchange(m_memoryOwed, false);
    }
    const quint64 generation = batch.first().generation;
    auto *task = new RenderTask(std::move(batch), pdfBatch, config, generation, returnMemory);
    m_watcher.setFuture(task->future());
    threadPool->start(task);
}

void RenderPool::onRenderFinished()
{
    const QFuture<RenderResult> future = m_watcher.future();
    // A task the thread pool dropped unrun comes back cancelled, without a result.
    const RenderResult result = future.resultCount() > 0 ? future.result() : RenderResult();
    QVector<const RenderItem *> stored;
    bool signalSpace = false;
    quint64 generation = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_busy = false;
        const int count = qMin(result.items.size(), result.images.size());
        for (int i = 0; i < count; ++i) {
            const RenderItem &item = result.items[i];
            const QString key = itemKey(item);
            const qint64 stamp = item.page.layoutStamp;
            const auto latest = m_latestStamps.constFind(key);
            if (item.generation == m_inFlightGeneration && item.generation == m_generation
                && m_inFlightKeys.contains(key) && m_inFlightStamps.value(key, 0) == stamp
                && (latest == m_latestStamps.constEnd() || latest.value() == stamp)) {
                // A null image (the page could not be drawn) is kept like any
                // other, so the page is not rendered again and again.
                storeImage(key, result.images[i], stamp);
                stored.append(&item);
            }
        }
        m_inFlightKeys.clear();
        m_inFlightStamps.clear();
        m_inFlightGeneration = 0;
        evictFarPages();
        signalSpace = takeSpaceSignal();
        generation = m_generation;
    }
    // The pool's own generation: the finished task may be of an older one, and
    // a wake-up the layout pool ignores would be lost.
    if (signalSpace)
        emit inputQueueHasSpace(generation);
    for (const RenderItem *item : stored)
        emit pageRendered(item->chapterId, item->page.pageIndex, item->generation);
    scheduleNextRender();
}

void RenderPool::evictFarPages(qint64 incoming)
{
    const QString current = makeKey(m_currentChapterId, m_currentPageIndex);
    for (auto it = m_readyImages.begin(); it != m_readyImages.end();) {
        int d = 0;
        bool drop = false;
        if (it.key() != current) {
            if (keyDistanceLocked(it.key(), d))
                drop = std::abs(d) > KeepDistance;
            else
                drop = !m_retainKeys.contains(it.key());
        }
        if (drop)
            dropImage(it);
        else
            ++it;
    }
    const qint64 budget = pageBudget() - incoming;
    if (m_readyBytes <= budget)
        return;
    // The ranks do not change while pages go: taken once, the farthest first
    // (the first in key order among equals), never the current page.
    QVector<QPair<qint64, QString>> byRank;
    for (auto it = m_readyImages.cbegin(); it != m_readyImages.cend(); ++it) {
        if (it.key() != current)
            byRank.append({keepRankOfKey(it.key()), it.key()});
    }
    std::stable_sort(byRank.begin(), byRank.end(),
                     [](const QPair<qint64, QString> &a, const QPair<qint64, QString> &b) {
                         return a.first > b.first;
                     });
    for (int i = 0; i < byRank.size() && m_readyBytes > budget; ++i) {
        auto it = m_readyImages.find(byRank[i].second);
        dropImage(it);
    }
}

qint64 RenderPool::keepRankOfKey(const QString &key) const
{
    int d = 0;
    return keyDistanceLocked(key, d) ? rankForDistance(d, m_direction) : NoDistanceRank;
}

QVector<QPair<qint64, qint64>> RenderPool::readyRanksLocked() const
{
    QVector<QPair<qint64, qint64>> ready;
    ready.reserve(m_readyImages.size());
    for (auto it = m_readyImages.cbegin(); it != m_readyImages.cend(); ++it)
        ready.append({keepRankOfKey(it.key()), it.value().sizeInBytes()});
    return ready;
}

bool RenderPool::fitsBudget(qint64 rank, const QVector<QPair<qint64, qint64>> &ready,
                            qint64 alongside) const
{
    qint64 before = 0;
    for (const auto &page : ready) {
        if (page.first < rank)
            before += page.second;
    }
    // The nearest page is drawn whatever it takes.
    if (before == 0)
        return true;
    return before + alongside + pageBytes() <= pageBudget();
}

qint64 RenderPool::taskBytes(int pages, bool pdf) const
{
    // A PDF task also holds the rasters of up to two pages at once.
    const double scale = pdf ? double(m_config.scale) : 0.0;
    return pages * pageBytes() + qint64(qMin(pages, 2) * pageBytes() * scale * scale);
}

qint64 RenderPool::pageBytes() const
{
    return qMax(m_largestImageBytes,
                qint64(std::ceil(m_config.pageWidth)) * qint64(std::ceil(m_config.pageHeight)) * 4);
}

qint64 RenderPool::pageBudget()
{
    return MemoryBudget - PageRenderer::cachedBytes();
}

void RenderPool::storeImage(const QString &key, const QImage &image, qint64 stamp)
{
    auto old = m_readyImages.find(key);
    if (old != m_readyImages.end())
        m_readyBytes -= old.value().sizeInBytes();
    m_readyImages.insert(key, image);
    m_readyStamps.insert(key, stamp);
    m_readyBytes += image.sizeInBytes();
    m_largestImageBytes = qMax(m_largestImageBytes, qint64(image.sizeInBytes()));
}

void RenderPool::dropImage(QMap<QString, QImage>::iterator &it)
{
    m_readyBytes -= it.value().sizeInBytes();
    m_readyStamps.remove(it.key());
    PageRenderer::recyclePageImage(it.value());
    it = m_readyImages.erase(it);
}

void RenderPool::removeQueued(const std::function<bool(const RenderItem &)> &drop)
{
    for (int i = m_queue.size() - 1; i >= 0; --i) {
        if (drop(m_queue[i])) {
            m_queuedKeys.remove(itemKey(m_queue[i]));
            m_queue.remove(i);
        }
    }
}

bool RenderPool::takeSpaceSignal()
{
    if (!m_spaceWanted || m_queue.size() > QueueLowWater)
        return false;
    m_spaceWanted = false;
    return true;
}

void RenderPool::setCurrentPage(const QString &chapterId, int pageIndex)
{
    bool signalSpace = false;
    quint64 generation = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        int move = 0;
        if (pageDistanceLocked(chapterId, pageIndex, move) && move != 0)
            m_direction = move > 0 ? 1 : -1;
        m_currentChapterId = chapterId;
        m_currentPageIndex = pageIndex;
        removeQueued([this](const RenderItem &item) {
            int d = 0;
            return pageDistanceLocked(item.chapterId, item.page.pageIndex, d)
                && std::abs(d) > KeepDistance;
        });
        evictFarPages();
        signalSpace = takeSpaceSignal();
        generation = m_generation;
    }
    if (signalSpace)
        emit inputQueueHasSpace(generation);
    scheduleNextRender();
}

void RenderPool::retainPages(const QSet<QString> &keys, quint64 generation)
{
    bool signalSpace = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (generation != m_generation)
            return;
        m_retainKeys = keys;
        removeQueued([&keys](const RenderItem &item) { return !keys.contains(itemKey(item)); });
        evictFarPages();
        // A shorter queue is room for the layout pool just as a finished task is.
        signalSpace = takeSpaceSignal();
    }
    if (signalSpace)
        emit inputQueueHasSpace(generation);
}

void RenderPool::setChapterPageCount(const QString &chapterId, int pageCount, quint64 generation)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (generation == m_generation)
        m_chapterPageCounts.insert(chapterId, pageCount);
}

void RenderPool::setPageSequence(const QHash<QString, int> &sequence, quint64 generation)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (generation == m_generation)
        m_pageSequence = sequence;
}

void RenderPool::setRenderSettings(const LayoutConfig &config)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_config = config;
}

void RenderPool::setBookContext(const QMap<QString, int> &chapterMap)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_chapterOrder = chapterMap;
    // In id order, so of two chapters with one index the larger id stays.
    m_indexToChapter.clear();
    for (auto it = chapterMap.cbegin(); it != chapterMap.cend(); ++it)
        m_indexToChapter.insert(it.value(), it.key());
}

void RenderPool::resetForSession(const QString &novelId, const QString &chapterId, int pageIndex,
                                 quint64 generation)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    dropPagesLocked(generation);
    m_novelId = novelId;
    m_currentChapterId = chapterId;
    m_currentPageIndex = pageIndex;
    m_direction = 1;
    if (!m_busy) {
        m_inFlightKeys.clear();
        m_inFlightStamps.clear();
    }
}

void RenderPool::clear(quint64 generation)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        dropPagesLocked(generation);
        PageRenderer::dropSpareBuffer();
        m_novelId.clear();
        m_currentChapterId.clear();
        m_currentPageIndex = 0;
        m_inFlightKeys.clear();
        m_inFlightStamps.clear();
        m_inFlightGeneration = 0;
        m_chapterOrder.clear();
        m_indexToChapter.clear();
        // Handing the freed pages back to the system takes milliseconds: it
        // is done on the worker, after the next book's first page, or at once
        // when no book follows.
        m_memoryOwed = true;
    }
    QMetaObject::invokeMethod(this, &RenderPool::returnMemoryIfClosed, Qt::QueuedConnection);
}

void RenderPool::returnMemoryIfClosed()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_memoryOwed || !m_novelId.isEmpty() || !threadPool)
            return;
        m_memoryOwed = false;
    }
    threadPool->start(QRunnable::create(&PageRenderer::returnFreedMemory));
}

// Everything a new opening must not inherit: rendered and queued pages, the
// retain set and the page numbering.
void RenderPool::dropPagesLocked(quint64 generation)
{
    m_generation = generation;
    m_readyImages.clear();
    m_readyBytes = 0;
    m_largestImageBytes = 0;
    m_readyStamps.clear();
    m_latestStamps.clear();
    m_retainKeys.clear();
    m_queue.clear();
    m_queuedKeys.clear();
    m_chapterPageCounts.clear();
    m_pageSequence.clear();
    m_spaceWanted = false;
}

bool RenderPool::pageDistanceLocked(const QString &chapterId, int pageIndex, int &distance) const
{
    if (m_config.continuousMode) {
        const auto current = m_pageSequence.constFind(makeKey(m_currentChapterId, m_currentPageIndex));
        const auto target = m_pageSequence.constFind(makeKey(chapterId, pageIndex));
        if (current == m_pageSequence.constEnd() || target == m_pageSequence.constEnd())
            return false;
        distance = target.value() - current.value();
        return true;
    }
    if (chapterId == m_currentChapterId) {
        distance = pageIndex - m_currentPageIndex;
        return true;
    }
    const auto from = m_chapterOrder.constFind(m_currentChapterId);
    const auto to = m_chapterOrder.constFind(chapterId);
    if (from == m_chapterOrder.constEnd() || to == m_chapterOrder.constEnd() || from.value() < 0
        || to.value() < 0)
        return false;
    const int a = from.value();
    const int b = to.value();
    // Every chapter from the earlier of the two up to the later one, exclusive.
    int between = 0;
    for (int i = qMin(a, b); i < qMax(a, b); ++i) {
        const auto count = m_chapterPageCounts.constFind(m_indexToChapter.value(i));
        if (count == m_chapterPageCounts.constEnd())
            return false;
        between += count.value();
    }
    distance = (pageIndex - m_currentPageIndex) + (a < b ? between : -between);
    return true;
}

bool RenderPool::keyDistanceLocked(const QString &key, int &distance) const
{
    const int colon = key.lastIndexOf(QLatin1Char(':'));
    if (colon < 0)
        return false;
    return pageDistanceLocked(key.left(colon), key.midRef(colon + 1).toInt(), distance);
}

bool RenderPool::pageDistance(const QString &chapterId, int pageIndex, int &distance) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return pageDistanceLocked(chapterId, pageIndex, distance);
}

bool RenderPool::keyDistance(const QString &key, int &distance) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return keyDistanceLocked(key, distance);
}

QImage RenderPool::imageForKey(const QString &id) const
{
    const QString key = QUrl::fromPercentEncoding(id.toUtf8());
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_readyImages.value(key);
}

bool RenderPool::isPageReady(const QString &chapterId, int pageIndex) const
{
    const QString key = makeKey(chapterId, pageIndex);
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_readyImages.contains(key);
}

bool RenderPool::isWindowReady(const QStringList &keys) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const QString &key : keys) {
        if (!m_readyImages.contains(key))
            return false;
    }
    return true;
}

int RenderPool::readyCountLocked(int sign) const
{
    int count = 0;
    for (auto it = m_readyImages.cbegin(); it != m_readyImages.cend(); ++it) {
        int d = 0;
        if (keyDistanceLocked(it.key(), d) && d * sign > 0)
            ++count;
    }
    return count;
}

qint64 RenderPool::readyBytes() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_readyBytes;
}

int RenderPool::forwardReadyCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return readyCountLocked(1);
}

int RenderPool::backwardReadyCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return readyCountLocked(-1);
}
