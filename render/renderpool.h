#pragma once

#include "layoutrecords.h"

#include <QFutureWatcher>
#include <QHash>
#include <QImage>
#include <QMap>
#include <mutex>
#include <QObject>
#include <QSet>
#include <QStringList>
#include <QVector>

#include <functional>

class QThreadPool;

// One page waiting for, or going through, a render task.
struct RenderItem
{
    QString chapterId;
    PageLayout page;
    quint64 generation = 0;
};

// What one render task produced: its pages in task order, one image each.
struct RenderResult
{
    QVector<RenderItem> items;
    QVector<QImage> images;
};

// Renders laid-out pages to images around the reading position and keeps the
// ready images under their page keys ("chapterId:pageIndex"). Pages are taken
// nearest-first in the reading direction, one task at a time on the owner's
// worker pool; everything belongs to one book opening (its generation), and
// work of another generation is dropped on every path.
//
// Main thread: push, the setters, setCurrentPage, retainPages, resetForSession,
// clear. Any thread: the queries (imageForKey, isPageReady, ...).
class RenderPool : public QObject
{
    Q_OBJECT
public:
    enum PushResult { Queued = 0, AlreadyDone = 1, QueueFull = 2, StaleGeneration = 3 };

    // Of the pools' shared tuning values, those the render pool reads.
    static constexpr int KeepDistance = 20;
    static constexpr int QueueCapacity = 30;
    static constexpr int QueueLowWater = 22;
    // Ready page images and the renderers' caches (decoded pictures, PDF
    // rasters) are kept within this many bytes, whatever the screen: the
    // pages nearest the reading position first, those ahead before those
    // behind. Farther pages are rendered again when the reader comes near.
    static constexpr qint64 MemoryBudget = 96 * 1024 * 1024;
    // What the ready pages may take: the budget less the renderers' caches.
    static qint64 pageBudget();

    explicit RenderPool(QObject *parent = nullptr);
    // Waits for a running task; safe while one is in flight.
    ~RenderPool() override;

    // Set by the owner before the first page is pushed; not owned. Layout
    // tasks must run on the same one thread: font keys of shaped glyph runs
    // are valid only there.
    QThreadPool *threadPool = nullptr;

    static QString makeKey(const QString &chapterId, int pageIndex);

    int push(const QString &chapterId, const PageLayout &page, quint64 generation);
    void setCurrentPage(const QString &chapterId, int pageIndex);
    void retainPages(const QSet<QString> &keys, quint64 generation);
    void setChapterPageCount(const QString &chapterId, int pageCount, quint64 generation);
    // Continuous mode: the scroll index of every page of the laid-out strip.
    void setPageSequence(const QHash<QString, int> &sequence, quint64 generation);

    void setRenderSettings(const LayoutConfig &config);
    void setBookContext(const QMap<QString, int> &chapterMap);
    void resetForSession(const QString &novelId, const QString &chapterId, int pageIndex,
                         quint64 generation);
    void clear(quint64 generation);

    // Signed reading distance from the current page; false when unknown.
    bool pageDistance(const QString &chapterId, int pageIndex, int &distance) const;
    bool keyDistance(const QString &key, int &distance) const;

    // id: a page key, percent-encoded as UTF-8.
    QImage imageForKey(const QString &id) const;
    bool isPageReady(const QString &chapterId, int pageIndex) const;
    bool isWindowReady(const QStringList &keys) const;
    int forwardReadyCount() const;
    int backwardReadyCount() const;
    qint64 readyBytes() const;

signals:
    void inputQueueHasSpace(qulonglong generation);
    void pageRendered(const QString &chapterId, int pageIndex, qulonglong generation);

public slots:
    // Starts a render task for the best queued page unless one is running.
    // Pushes ask for it through the event loop, after a run of pushes; the
    // layout pool asks at once before it starts the next layout, so the
    // pages just pushed go first on the shared worker.
    void scheduleNextRender();

private slots:
    void onRenderFinished();
    // Unless a book was opened meanwhile, whose first render task does it.
    void returnMemoryIfClosed();

private:
    // All of these expect m_mutex to be held.
    void dropPagesLocked(quint64 generation);
    bool pageDistanceLocked(const QString &chapterId, int pageIndex, int &distance) const;
    bool keyDistanceLocked(const QString &key, int &distance) const;
    // Also makes room for incoming bytes of pages about to be drawn.
    void evictFarPages(qint64 incoming = 0);
    // Lower keeps longer: the current page, then by reading distance with
    // pages behind counting double; pages without a distance come last.
    qint64 keepRankOfKey(const QString &key) const;
    // Each ready page's keep rank and size in bytes.
    QVector<QPair<qint64, qint64>> readyRanksLocked() const;
    // Whether a page of this rank still fits beside the ready pages that
    // rank before it and the bytes of pages drawn alongside it.
    bool fitsBudget(qint64 rank, const QVector<QPair<qint64, qint64>> &ready,
                    qint64 alongside = 0) const;
    // What one page image takes: the screen, or the largest seen this session.
    qint64 pageBytes() const;
    // What a task of so many pages holds while it runs.
    qint64 taskBytes(int pages, bool pdf) const;
    void storeImage(const QString &key, const QImage &image, qint64 stamp);
    void dropImage(QMap<QString, QImage>::iterator &it);
    int readyCountLocked(int sign) const;
    void removeQueued(const std::function<bool(const RenderItem &)> &drop);
    // Clears spaceWanted and answers true when the queue is short enough to say so.
    bool takeSpaceSignal();

    // std::mutex rather than QMutex: thread sanitizer sees through it.
    mutable std::mutex m_mutex;
    LayoutConfig m_config;

    QVector<RenderItem> m_queue;  // arrival order
    QSet<QString> m_queuedKeys;
    QSet<QString> m_inFlightKeys;
    QHash<QString, qint64> m_inFlightStamps;
    quint64 m_inFlightGeneration = 0;
    QMap<QString, QImage> m_readyImages;
    qint64 m_readyBytes = 0;
    qint64 m_largestImageBytes = 0;  // this session's: how much the next page may take
    QHash<QString, qint64> m_readyStamps;
    QHash<QString, qint64> m_latestStamps;
    QSet<QString> m_retainKeys;
    bool m_spaceWanted = false;
    bool m_busy = false;
    bool m_memoryOwed = false;  // freed pages not yet handed back to the system
    quint64 m_generation = 0;

    // Reading position.
    QString m_novelId;
    QString m_currentChapterId;
    int m_currentPageIndex = 0;
    int m_direction = 1;
    QMap<QString, int> m_chapterOrder;
    QMap<int, QString> m_indexToChapter;
    QHash<QString, int> m_chapterPageCounts;
    QHash<QString, int> m_pageSequence;

    QFutureWatcher<RenderResult> m_watcher;  // main thread only
};
