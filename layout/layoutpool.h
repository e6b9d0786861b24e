#pragma once

#include "layoutrecords.h"
#include "paragraph.h"

#include <QHash>
#include <QMap>
#include <QMutex>
#include <QObject>
#include <QStringList>

#include <functional>

class QThreadPool;
class RenderPool;

// Schedules chapter layouts around the reading position for the one open
// book and feeds laid-out pages to the render pool. Every piece of state
// belongs to one opening, identified by a generation number.
class LayoutPool : public QObject
{
    Q_OBJECT
public:
    using ChapterProvider = std::function<QVector<Paragraph>(const QString &chapterId)>;

    explicit LayoutPool(QObject *parent = nullptr);
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

    int chapterPageCount(const QString &chapterId) const;
    int chapterGlyphCount(const QString &chapterId) const;
    int chapterPageForAddress(const QString &chapterId, const QString &addressChapterId,
                              int addressPageIndex) const;
    QString scrollPageKey(int relativePageIndex) const;
    bool isFirstPage(const QString &chapterId, int pageIndex) const;
    bool isLastPage(const QString &chapterId, int pageIndex) const;
    int pageFirstParaIndex(const QString &chapterId, int pageIndex) const;
    int pageFromParaIndex(const QString &chapterId, int paraIndex) const;
    PageLayout pageEntry(const QString &chapterId, int pageIndex) const;
    bool isWindowLaidOut(int backwardPages, int forwardPages, QStringList &keys) const;

public slots:
    void onInputQueueHasSpace(qulonglong generation);

signals:
    void layoutBatchDone(qulonglong generation);
    void chapterLayoutReady(const QString &chapterId, int pageCount, qulonglong generation);
    void startPageLocated(const QString &chapterId, int pageIndex, qulonglong generation);

private:
    const QVector<PageLayout> *displayPagesOf(const QString &chapterId) const;

    mutable QMutex m_mutex;
    LayoutConfig m_settings;
    QMap<QString, int> m_chapterOrder;
    QMap<int, QString> m_chapterAtIndex;
    QHash<QString, QVector<PageLayout>> m_displayPages;
    QString m_bookId;
    QString m_startChapterId;
    int m_startPageIndex = 0;
    int m_targetGlyph = -1;
    float m_targetOffset = -1.0f;
    quint64 m_generation = 0;
};
