#include "layoutpool.h"

#include "layoutengine.h"
#include "logmanager.h"
#include "rawfontcache.h"
#include "renderpool.h"

#include <QDebug>
#include <QFutureInterface>
#include <QRunnable>
#include <QSet>
#include <QThreadPool>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>

namespace {

// A layout task whose future always finishes: when the thread pool drops it
// unrun (QThreadPool::clear at tear-down) the future is cancelled instead of
// being left running, so the pool's destructor never waits forever.
class ChapterLayoutTask : public QRunnable
{
public:
    ChapterLayoutTask(QVector<Paragraph> paragraphs, const LayoutConfig &config,
                      const QString &chapterId, quint64 generation)
        : m_paragraphs(std::move(paragraphs)), m_config(config), m_chapterId(chapterId),
          m_generation(generation)
    {
        m_promise.reportStarted();
    }

    ~ChapterLayoutTask() override
    {
        if (!m_promise.isFinished()) {
            m_promise.reportCanceled();
            m_promise.reportFinished();
        }
    }

    QFuture<ChapterLayoutResult> future() { return m_promise.future(); }

    // Worker thread; works on its own copies only.
    void run() override
    {
        if (!m_promise.isCanceled()) {
            RawFontCache::clearForCurrentThread(m_generation);
            ChapterLayoutResult result;
            result.chapterId = m_chapterId;
            result.generation = m_generation;
            result.pages = LayoutEngine().layoutChapter(m_paragraphs, m_config, 0, m_chapterId);
            m_promise.reportResult(result);
        }
        m_promise.reportFinished();
    }

private:
    QFutureInterface<ChapterLayoutResult> m_promise;
    QVector<Paragraph> m_paragraphs;
    LayoutConfig m_config;
    QString m_chapterId;
    quint64 m_generation;
};

// A page of blank lines alone starts at the glyph of the page after it.
bool holdsNoGlyph(const PageLayout &page)
{
    for (const LayoutLine &line : page.lines) {
        if (line.endGlyph != line.startGlyph || line.isImage)
            return false;
    }
    return true;
}

// The page of a chapter holding a glyph index: the last page starting at or
// before it, the first page when all start after it; -1 without pages. With
// an offset of 0 or more, the first of the pages starting there when those
// before it hold no glyph (a page of blank lines saved as the position).
int pageForGlyph(const QVector<PageLayout> &pages, int glyph, float offset = -1.0f)
{
    if (pages.isEmpty())
        return -1;
    int found = 0;
    for (int i = 0; i < pages.size(); ++i) {
        if (pages[i].startGlyph > glyph)
            break;
        found = i;
    }
    while (offset >= 0 && found > 0 && pages[found - 1].startGlyph == pages[found].startGlyph
           && holdsNoGlyph(pages[found - 1]))
        --found;
    return pages[found].pageIndex;
}

QString keyList(const QMap<QString, PageLayout> &pages)
{
    return QStringList(pages.keys()).join(QLatin1Char(','));
}

} // namespace

LayoutPool::LayoutPool(QObject *parent)
    : QObject(parent)
{
    connect(&m_watcher, &QFutureWatcher<ChapterLayoutResult>::finished, this,
            &LayoutPool::onChapterLayoutFinished);
}

LayoutPool::~LayoutPool()
{
    disconnect();
    m_watcher.disconnect();
    QFuture<ChapterLayoutResult> running = m_watcher.future();
    running.cancel();
    running.waitForFinished();
}

void LayoutPool::resetTables()
{
    m_chapterPageCounts.clear();
    m_chapterLayouts.clear();
    m_displayPages.clear();
    m_windowPages.clear();
    m_pendingPages.clear();
    m_strip.clear();
}

void LayoutPool::clear(quint64 generation)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_generation = generation;
    m_bookId.clear();
    m_startChapterId.clear();
    m_startPageIndex = 0;
    m_targetGlyph = -1;
    m_targetOffset = -1.0f;
    // A task still running finishes and its result is dropped as stale.
    resetTables();
}

void LayoutPool::setLayoutSettings(const LayoutConfig &config)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_settings = config;
}

LayoutConfig LayoutPool::layoutSettings() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_settings;
}

void LayoutPool::setBookContext(const QMap<QString, int> &chapterMap)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_chapterOrder = chapterMap;
    m_chapterAtIndex.clear();
    for (auto it = chapterMap.cbegin(); it != chapterMap.cend(); ++it)
        m_chapterAtIndex.insert(it.value(), it.key());
}

bool LayoutPool::hasChapter(const QString &chapterId) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_chapterOrder.contains(chapterId);
}

void LayoutPool::openForReading(const QString &novelId, const QString &chapterId, int pageIndex,
                                int glyphIndex, float blockOffset, quint64 generation)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_generation = generation;
        m_bookId = novelId;
        m_startChapterId = chapterId;
        m_startPageIndex = qMax(0, pageIndex);
        m_targetGlyph = glyphIndex < 0 ? -1 : glyphIndex;
        m_targetOffset = blockOffset > 1.0f ? 1.0f : (blockOffset > -1.0f ? blockOffset : -1.0f);
        resetTables();
    }
    pump();
}

int LayoutPool::orderOf(const QString &chapterId) const
{
    return m_chapterOrder.value(chapterId, -1);
}

LayoutPlan LayoutPool::planChapters(int behind, int ahead) const
{
    if (m_settings.continuousMode)
        return m_strip.plan(m_startChapterId, m_startPageIndex, behind, ahead);
    LayoutPlan plan;
    const auto start = m_chapterOrder.constFind(m_startChapterId);
    if (start == m_chapterOrder.cend() || start.value() < 0)
        return plan;
    const int startIndex = start.value();
    const auto startCount = m_chapterPageCounts.constFind(m_startChapterId);
    if (startCount == m_chapterPageCounts.cend()) {
        plan.chaptersToLayout.append(m_startChapterId);
        return plan;
    }
    const auto needLayout = [&plan](const QString &chapterId) {
        if (!plan.chaptersToLayout.contains(chapterId))
            plan.chaptersToLayout.append(chapterId);
    };

    int forwardPage = 0;
    int backwardPage = -1;
    if (startCount.value() > 0) {
        const int page = qBound(0, m_startPageIndex, startCount.value() - 1);
        plan.pages.append(PageRef{m_startChapterId, page});
        forwardPage = page + 1;
        backwardPage = page - 1;
    }

    int index = startIndex;
    int page = forwardPage;
    for (int remaining = ahead; remaining > 0;) {
        const auto chapter = m_chapterAtIndex.constFind(index);
        if (chapter == m_chapterAtIndex.cend()) {
            plan.reachedEnd = true;
            break;
        }
        const auto count = m_chapterPageCounts.constFind(chapter.value());
        if (count == m_chapterPageCounts.cend()) {
            needLayout(chapter.value());
            break;
        }
        if (page < count.value()) {
            plan.pages.append(PageRef{chapter.value(), page++});
            --remaining;
        } else {
            page = 0;
            if (!m_chapterAtIndex.contains(++index)) {
                plan.reachedEnd = true;
                break;
            }
        }
    }

    index = startIndex;
    page = backwardPage;
    QString chapterId = m_startChapterId;
    for (int remaining = behind; remaining > 0;) {
        if (page < 0) {
            const auto chapter = m_chapterAtIndex.constFind(--index);
            if (chapter == m_chapterAtIndex.cend()) {
                plan.reachedStart = true;
                break;
            }
            const auto count = m_chapterPageCounts.constFind(chapter.value());
            if (count == m_chapterPageCounts.cend()) {
                needLayout(chapter.value());
                break;
            }
            chapterId = chapter.value();
            page = count.value() - 1;
            continue;
        }
        plan.pages.append(PageRef{chapterId, page--});
        --remaining;
    }
    return plan;
}

const PageLayout *LayoutPool::findPage(const QString &chapterId, int pageIndex) const
{
    if (m_settings.continuousMode) {
        if (const PageLayout *page = m_strip.findPage(chapterId, pageIndex))
            return page;
    }
    const auto pages = m_displayPages.constFind(chapterId);
    if (pages != m_displayPages.cend()) {
        const QVector<PageLayout> &list = pages.value();
        if (pageIndex >= 0 && pageIndex < list.size() && list[pageIndex].pageIndex == pageIndex)
            return &list[pageIndex];
        for (const PageLayout &page : list) {
            if (page.pageIndex == pageIndex)
                return &page;
        }
    }
    const auto window = m_windowPages.constFind(RenderPool::makeKey(chapterId, pageIndex));
    return window == m_windowPages.cend() ? nullptr : &window.value();
}

QVector<LayoutLine> LayoutPool::chapterLines(const QString &chapterId) const
{
    return m_strip.chapterLines(chapterId);
}

QString LayoutPool::nearestChapterWithLinesLocked(const QString &chapterId) const
{
    return m_strip.nearestChapterWithLines(chapterId);
}

QString LayoutPool::nearestChapterWithLines(const QString &chapterId) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return nearestChapterWithLinesLocked(chapterId);
}

bool LayoutPool::distanceFromStart(const QString &chapterId, int pageIndex, int &distance) const
{
    if (m_settings.continuousMode) {
        const int from = m_strip.scrollIndexOf(m_startChapterId, m_startPageIndex);
        const int to = m_strip.scrollIndexOf(chapterId, pageIndex);
        if (from == ContinuousStrip::NoScroll || to == ContinuousStrip::NoScroll)
            return false;
        distance = to - from;
        return true;
    }
    if (chapterId == m_startChapterId) {
        distance = pageIndex - m_startPageIndex;
        return true;
    }
    const int a = orderOf(m_startChapterId);
    const int b = orderOf(chapterId);
    if (a < 0 || b < 0)
        return false;
    int between = 0;
    for (int i = qMin(a, b); i < qMax(a, b); ++i) {
        const auto count = m_chapterPageCounts.constFind(m_chapterAtIndex.value(i));
        if (count == m_chapterPageCounts.cend())
            return false;
        between += count.value();
    }
    distance = pageIndex - m_startPageIndex + (a < b ? between : -between);
    return true;
}

void LayoutPool::startChapterLayout(const QString &chapterId)
{
    ChapterProvider provider;
    LayoutConfig config;
    quint64 generation = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_layoutInFlight || m_bookId.isEmpty() || m_chapterLayouts.contains(chapterId))
            return;
        if (!workerPool) {
            qWarning() << "[Pool] no worker pool; chapter not laid out:" << chapterId;
            return;
        }
        m_layoutInFlight = true;
        provider = chapterProvider;
        config = m_settings;
        generation = m_generation;
    }
    QVector<Paragraph> paragraphs = provider ? provider(chapterId) : QVector<Paragraph>();
    QLOG_DEBUG() << "[Pool] layout chapter=" << chapterId << "paragraphs=" << paragraphs.size()
                 << "generation=" << generation;
    auto *task = new ChapterLayoutTask(std::move(paragraphs), config, chapterId, generation);
    m_watcher.setFuture(task->future());
    workerPool->start(task);
}

void LayoutPool::rebuildStrip()
{
    if (m_strip.rebuild(m_settings, m_startChapterId, m_startPageIndex)) {
        m_displayPages = m_strip.displayPages();
        m_chapterPageCounts = m_strip.pageCounts();
    }
}

void LayoutPool::integrateChapterResult()
{
    if (m_settings.continuousMode) {
        rebuildStrip();
        return;
    }
    m_strip.clear();
    m_displayPages = m_chapterLayouts;
    m_chapterPageCounts.clear();
    for (auto it = m_chapterLayouts.cbegin(); it != m_chapterLayouts.cend(); ++it)
        m_chapterPageCounts.insert(it.key(), it.value().size());
}

void LayoutPool::onChapterLayoutFinished()
{
    const QFuture<ChapterLayoutResult> future = m_watcher.future();
    const bool hasResult = future.resultCount() > 0;
    const ChapterLayoutResult result = hasResult ? future.result() : ChapterLayoutResult();

    bool located = false;
    int pageCount = 0;
    QString startChapter;
    int startPage = 0;
    QHash<QString, int> pageCounts;
    QHash<QString, int> sequence;
    RenderPool *render = nullptr;
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_layoutInFlight = false;
        if (!hasResult || result.generation != m_generation || m_bookId.isEmpty()) {
            lock.unlock();
            pump();
            return;
        }
        m_chapterLayouts.insert(result.chapterId, result.pages);
        integrateChapterResult();

        const int startCount = m_chapterPageCounts.value(m_startChapterId, 0);
        if (m_targetGlyph >= 0 && (result.chapterId == m_startChapterId || startCount == 0)) {
            const QString chapter = startCount > 0 ? m_startChapterId
                                                   : nearestChapterWithLinesLocked(m_startChapterId);
            PageRef start{chapter, -1};
            if (!chapter.isEmpty() && m_settings.continuousMode) {
                start = m_strip.pageAtScrollIndex(m_strip.scrollIndexForTarget(
                    chapter, m_targetGlyph, m_targetOffset, m_settings.textAreaHeight()));
                if (start.chapterId.isEmpty())
                    start.pageIndex = -1;
            } else if (!chapter.isEmpty()) {
                start.pageIndex = pageForGlyph(m_displayPages.value(chapter), m_targetGlyph,
                                               m_targetOffset);
            }
            if (start.pageIndex >= 0) {
                m_startChapterId = start.chapterId;
                m_startPageIndex = start.pageIndex;
                m_targetGlyph = -1;
                m_targetOffset = -1.0f;
                located = true;
            }
        }
        pageCount = m_chapterPageCounts.value(result.chapterId, 0);
        startChapter = m_startChapterId;
        startPage = m_startPageIndex;
        render = renderPool;
        if (render) {
            pageCounts = m_chapterPageCounts;
            if (m_settings.continuousMode)
                sequence = m_strip.pageSequence();
        }
    }
    const quint64 generation = result.generation;
    if (render) {
        for (auto it = pageCounts.cbegin(); it != pageCounts.cend(); ++it)
            render->setChapterPageCount(it.key(), it.value(), generation);
        render->setPageSequence(sequence, generation);  // empty in paged mode
        if (!startChapter.isEmpty())
            render->setCurrentPage(startChapter, startPage);
    }
    emit chapterLayoutReady(result.chapterId, pageCount, generation);
    if (located)
        emit startPageLocated(startChapter, startPage, generation);
    continuePlan();
    drainPending();
    emit layoutBatchDone(generation);
    pump();
}

bool LayoutPool::evictChapters(const QSet<QString> &keep)
{
    bool removed = false;
    while (m_displayPages.size() > MaxLaidOutChapters) {
        const int origin = orderOf(m_startChapterId);
        QString farthest;
        int farthestDistance = -1;
        for (auto it = m_displayPages.cbegin(); it != m_displayPages.cend(); ++it) {
            if (keep.contains(it.key()))
                continue;
            const int index = orderOf(it.key());
            const int distance = (index < 0 || origin < 0) ? 100000 : std::abs(index - origin);
            if (distance > farthestDistance) {
                farthest = it.key();
                farthestDistance = distance;
            }
        }
        if (farthestDistance < 0)
            break;
        QLOG_DEBUG() << "[Pool] evict chapter=" << farthest;
        m_displayPages.remove(farthest);
        m_chapterLayouts.remove(farthest);
        m_strip.forgetChapter(farthest);
        removed = true;
        // Its page count stays until the next result is integrated.
    }
    if (removed && m_settings.continuousMode)
        rebuildStrip();
    return removed;
}

void LayoutPool::continuePlan()
{
    QSet<QString> retain;
    quint64 generation = 0;
    RenderPool *render = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_bookId.isEmpty())
            return;
        LayoutPlan layoutPlan = planChapters(layoutBehind(), layoutAhead());
        QSet<QString> keep{m_startChapterId};
        for (const PageRef &ref : layoutPlan.pages) {
            if (const PageLayout *page = findPage(ref.chapterId, ref.pageIndex)) {
                // Neighbouring lines nearly always share their chapter.
                const QString *last = nullptr;
                for (const LayoutLine &line : page->lines) {
                    if (!last || line.chapterId != *last)
                        keep.insert(line.chapterId);
                    last = &line.chapterId;
                }
            }
        }
        if (evictChapters(keep) && m_settings.continuousMode)
            layoutPlan = planChapters(layoutBehind(), layoutAhead());

        const LayoutPlan renderPlan = planChapters(renderBehind(), renderAhead());
        m_windowPages.clear();
        for (const PageRef &ref : layoutPlan.pages) {
            if (const PageLayout *page = findPage(ref.chapterId, ref.pageIndex))
                m_windowPages.insert(RenderPool::makeKey(ref.chapterId, ref.pageIndex), *page);
        }
        m_pendingPages.clear();
        for (const PageRef &ref : renderPlan.pages) {
            if (const PageLayout *page = findPage(ref.chapterId, ref.pageIndex)) {
                const QString key = RenderPool::makeKey(ref.chapterId, ref.pageIndex);
                m_pendingPages.insert(key, *page);
                retain.insert(key);
            }
        }
        generation = m_generation;
        render = renderPool;
    }
    if (render)
        render->retainPages(retain, generation);
}

void LayoutPool::drainPending()
{
    // Pushes the pending pages nearest the reading position first. The order
    // is worked out once and again only when the reading position moved while
    // a push ran (the render pool may call back in), which gives the order of
    // picking the nearest page before every push at a fraction of its cost.
    for (;;) {
        QVector<QPair<int, QString>> order;  // (|distance|, key), nearest first
        QString position;
        quint64 generation = 0;
        RenderPool *render = nullptr;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_pendingPages.isEmpty() || m_bookId.isEmpty())
                return;
            QLOG_DEBUG() << "[Pool] drain pending count=" << m_pendingPages.size()
                         << "pages=" << keyList(m_pendingPages);
            for (auto it = m_pendingPages.cbegin(); it != m_pendingPages.cend(); ++it) {
                const int colon = it.key().lastIndexOf(QLatin1Char(':'));
                int distance = 0;
                if (colon >= 0 && distanceFromStart(it.key().left(colon), it.value().pageIndex, distance))
                    order.append({std::abs(distance), it.key()});
            }
            if (order.isEmpty()) {
                qWarning() << "[Pool] drain pending no distance current=" << m_startChapterId
                           << m_startPageIndex << "pending=" << keyList(m_pendingPages);
                return;
            }
            // Stable: among equals the first in key order.
            std::stable_sort(order.begin(), order.end(),
                             [](const QPair<int, QString> &a, const QPair<int, QString> &b) {
                                 return a.first < b.first;
                             });
            position = RenderPool::makeKey(m_startChapterId, m_startPageIndex);
            generation = m_generation;
            render = renderPool;
        }
        if (!render)
            return;
        bool moved = false;
        for (const auto &entry : qAsConst(order)) {
            const QString &key = entry.second;
            PageLayout page;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                const auto pending = m_pendingPages.constFind(key);
                if (pending == m_pendingPages.cend())
                    continue;
                page = pending.value();
            }
            const int result = render->push(key.left(key.lastIndexOf(QLatin1Char(':'))), page,
                                            generation);
            QLOG_DEBUG() << "[Pool] push page=" << key << "result=" << result;
            std::lock_guard<std::mutex> lock(m_mutex);
            if (generation != m_generation || result > RenderPool::AlreadyDone)
                return;
            m_pendingPages.remove(key);
            if (position != RenderPool::makeKey(m_startChapterId, m_startPageIndex)) {
                moved = true;
                break;
            }
        }
        if (!moved)
            return;
    }
}

void LayoutPool::pump()
{
    continuePlan();
    drainPending();
    if (renderPool)
        renderPool->scheduleNextRender();
    QString chosen;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_bookId.isEmpty() || m_layoutInFlight)
            return;
        const LayoutPlan plan = planChapters(layoutBehind(), layoutAhead());
        QStringList candidates = plan.chaptersToLayout;
        for (const PageRef &ref : plan.pages) {
            if (!findPage(ref.chapterId, ref.pageIndex) && !candidates.contains(ref.chapterId))
                candidates.append(ref.chapterId);
        }
        const int origin = orderOf(m_startChapterId);
        int best = INT_MAX;
        for (const QString &candidate : candidates) {
            const int index = orderOf(candidate);
            if (index < 0 || origin < 0) {
                if (chosen.isEmpty())
                    chosen = candidate;
                continue;
            }
            const int distance = std::abs(index - origin);
            if (distance < best) {
                best = distance;
                chosen = candidate;
            }
        }
    }
    if (!chosen.isEmpty())
        startChapterLayout(chosen);
}

void LayoutPool::reportPageTurn(const QString &chapterId, int pageIndex)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    QString chapter = chapterId;
    if (m_settings.continuousMode && m_chapterPageCounts.value(chapter, 0) == 0)
        chapter = nearestChapterWithLinesLocked(chapter);
    if (chapter.isEmpty())
        return;
    m_startChapterId = chapter;
    const int count = m_chapterPageCounts.value(chapter, 0);
    m_startPageIndex = count >= 1 ? qBound(0, pageIndex, count - 1) : qMax(pageIndex, 0);
}

void LayoutPool::onInputQueueHasSpace(qulonglong generation)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (generation != m_generation)
            return;
    }
    drainPending();
    pump();
}

int LayoutPool::chapterPageCount(const QString &chapterId) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_chapterPageCounts.value(chapterId, -1);
}

int LayoutPool::chapterGlyphCount(const QString &chapterId) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_chapterLayouts.contains(chapterId))
        return -1;
    const QVector<LayoutLine> lines = chapterLines(chapterId);
    return lines.isEmpty() ? 0 : lines.constLast().endGlyph;
}

int LayoutPool::chapterPageForAddress(const QString &chapterId, const QString &addressChapterId,
                                      int addressPageIndex) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_settings.continuousMode)
        return m_strip.chapterPageForAddress(chapterId, addressChapterId, addressPageIndex);
    return chapterId == addressChapterId ? addressPageIndex : -1;
}

QString LayoutPool::scrollPageKey(int pageIndex) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    // Only the continuous strip has a page sequence across chapters.
    if (!m_settings.continuousMode)
        return QString();
    return m_strip.scrollPageKey(m_startChapterId, m_startPageIndex, pageIndex);
}

bool LayoutPool::isFirstPage(const QString &chapterId, int pageIndex) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_settings.continuousMode && m_strip.isFirstPage(chapterId, pageIndex);
}

bool LayoutPool::isLastPage(const QString &chapterId, int pageIndex) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_settings.continuousMode && m_strip.isLastPage(chapterId, pageIndex);
}

int LayoutPool::pageFirstParaIndex(const QString &chapterId, int pageIndex) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const PageLayout *page = findPage(chapterId, pageIndex);
    if (!page)
        return -1;
    return m_settings.continuousMode ? m_strip.pageFirstGlyph(chapterId, pageIndex) : page->startGlyph;
}

int LayoutPool::pageFromParaIndex(const QString &chapterId, int glyphIndex) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_settings.continuousMode)
        return m_strip.pageFromGlyph(chapterId, glyphIndex);
    const auto pages = m_displayPages.constFind(chapterId);
    if (pages == m_displayPages.cend())
        return -1;
    return pageForGlyph(pages.value(), qMax(0, glyphIndex));
}

float LayoutPool::pageStartOffset(const QString &chapterId, int pageIndex) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_settings.continuousMode)
        return m_strip.startOffset(chapterId, pageIndex);
    const auto pages = m_displayPages.constFind(chapterId);
    if (pages == m_displayPages.cend() || pageIndex < 0 || pageIndex + 1 >= pages->size())
        return -1.0f;
    const PageLayout &page = pages->at(pageIndex);
    return holdsNoGlyph(page) && pages->at(pageIndex + 1).startGlyph == page.startGlyph ? 0.0f
                                                                                        : -1.0f;
}

PageLayout LayoutPool::pageEntry(const QString &chapterId, int pageIndex) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const PageLayout *page = findPage(chapterId, pageIndex);
    return page ? *page : PageLayout();
}

bool LayoutPool::renderWindowKeys(int backwardPages, int forwardPages, QStringList &keys) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const LayoutPlan plan = planChapters(backwardPages, forwardPages);
    if (!plan.chaptersToLayout.isEmpty())
        return false;
    keys.clear();
    for (const PageRef &ref : plan.pages)
        keys.append(RenderPool::makeKey(ref.chapterId, ref.pageIndex));
    QLOG_DEBUG() << "[Pool] render window keys backward=" << backwardPages
                 << "forward=" << forwardPages << "count=" << keys.size() << keys;
    return !keys.isEmpty();
}
