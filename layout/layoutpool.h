#pragma once

#include "continuousstrip.h"
#include "layoutplan.h"
#include "layoutrecords.h"
#include "paragraph.h"

#include <QFutureWatcher>
#include <QHash>
#include <QList>
#include <QMap>
#include <mutex>
#include <QObject>
#include <QSet>
#include <QStringList>

#include <array>
#include <functional>

class QThreadPool;
class RenderPool;

// Schedules chapter layouts around the reading position for the one open
// book and feeds laid-out pages to the render pool, nearest first. Every
// piece of state belongs to one opening, identified by a generation number;
// results and signals of another generation change nothing.
//
// Main thread only. The mutex is never held across a chapter-provider call,
// a RenderPool call or a signal, so the render pool may call back in (its
// queue-space signal) from inside any of them.
//
// In continuous mode (settings.continuousMode) the pages shown are those of
// the strip of laid-out chapters, and positions are measured on it.
class LayoutPool : public QObject
{
    Q_OBJECT
public:
    using ChapterProvider = std::function<QVector<Paragraph>(const QString &chapterId)>;

    // Laid-out chapters kept before the farthest unneeded one is dropped.
    static constexpr int MaxLaidOutChapters = 6;

    explicit LayoutPool(QObject *parent = nullptr);
    // Cancels and waits for a running layout task; safe while one is in flight.
    ~LayoutPool() override;

    // Filled by the owner before any book is opened; not owned.
    RenderPool *renderPool = nullptr;
    QThreadPool *workerPool = nullptr;
    // Loads a chapter's paragraphs with their chunks; called on the main thread.
    ChapterProvider chapterProvider;

    void clear(quint64 generation);
    void setLayoutSettings(const LayoutConfig &config);
    LayoutConfig layoutSettings() const;
    void setBookContext(const QMap<QString, int> &chapterMap);
    bool hasChapter(const QString &chapterId) const;
    void openForReading(const QString &novelId, const QString &chapterId, int pageIndex,
                        int glyphIndex, float blockOffset, quint64 generation);
    void pump();
    void reportPageTurn(const QString &chapterId, int pageIndex);

    // Queries for the reading screen.
    int chapterPageCount(const QString &chapterId) const;
    int chapterGlyphCount(const QString &chapterId) const;
    int chapterPageForAddress(const QString &chapterId, const QString &addressChapterId,
                              int addressPageIndex) const;
    QString scrollPageKey(int relativePageIndex) const;
    bool isFirstPage(const QString &chapterId, int pageIndex) const;
    bool isLastPage(const QString &chapterId, int pageIndex) const;
    // Glyph-index currency despite the names: a page's start glyph, and the
    // page that holds a glyph index.
    int pageFirstParaIndex(const QString &chapterId, int pageIndex) const;
    int pageFromParaIndex(const QString &chapterId, int glyphIndex) const;
    PageLayout pageEntry(const QString &chapterId, int pageIndex) const;
    // The block offset to save with the page's start glyph so that opening
    // there shows this very page again.
    float pageStartOffset(const QString &chapterId, int pageIndex) const;
    // Keys of the window around the reading page; false (keys untouched) while
    // a chapter of it is not laid out, or when it holds no page.
    bool renderWindowKeys(int backwardPages, int forwardPages, QStringList &keys) const;
    QString nearestChapterWithLines(const QString &chapterId) const;

public slots:
    void onInputQueueHasSpace(qulonglong generation);

signals:
    void layoutBatchDone(qulonglong generation);
    void chapterLayoutReady(const QString &chapterId, int pageCount, qulonglong generation);
    void startPageLocated(const QString &chapterId, int pageIndex, qulonglong generation);

private slots:
    void onChapterLayoutFinished();

private:
    // The tuning values the layout pool reads (of the pools' shared thirteen).
    int renderAhead() const { return m_tuning[3]; }
    int renderBehind() const { return m_tuning[4]; }
    int layoutAhead() const { return m_tuning[7]; }
    int layoutBehind() const { return m_tuning[8]; }

    void startChapterLayout(const QString &chapterId);
    void continuePlan();
    void drainPending();

    // All of these expect m_mutex to be held.
    void resetTables();
    LayoutPlan planChapters(int behind, int ahead) const;
    void integrateChapterResult();
    // True when a chapter was dropped.
    bool evictChapters(const QSet<QString> &keep);
    void rebuildStrip();
    const PageLayout *findPage(const QString &chapterId, int pageIndex) const;
    QVector<LayoutLine> chapterLines(const QString &chapterId) const;
    QString nearestChapterWithLinesLocked(const QString &chapterId) const;
    bool distanceFromStart(const QString &chapterId, int pageIndex, int &distance) const;
    int orderOf(const QString &chapterId) const;  // -1 when unknown

    // std::mutex rather than QMutex: thread sanitizer sees through it.
    mutable std::mutex m_mutex;
    LayoutConfig m_settings;
    std::array<int, 13> m_tuning{{10, 10, 5, 15, 15, 10, 20, 30, 30, 25, 45, 30, 22}};
    QMap<QString, int> m_chapterOrder;
    QMap<int, QString> m_chapterAtIndex;
    QHash<QString, int> m_chapterPageCounts;
    QHash<QString, QVector<PageLayout>> m_chapterLayouts;
    QHash<QString, QVector<PageLayout>> m_displayPages;
    QMap<QString, PageLayout> m_windowPages;
    QMap<QString, PageLayout> m_pendingPages;
    QString m_bookId;
    QString m_startChapterId;
    int m_startPageIndex = 0;
    int m_targetGlyph = -1;
    float m_targetOffset = -1.0f;
    quint64 m_generation = 0;
    bool m_layoutInFlight = false;
    ContinuousStrip m_strip{m_chapterOrder, m_chapterAtIndex, m_chapterLayouts};

    QFutureWatcher<ChapterLayoutResult> m_watcher;  // not guarded: main thread only
};
