#pragma once

#include "layoutrecords.h"

#include <QHash>
#include <QImage>
#include <QMap>
#include <QMutex>
#include <QObject>
#include <QStringList>

class QThreadPool;

// Renders laid-out pages to images around the reading position and keeps the
// ready images under their page keys ("chapterId:pageIndex").
class RenderPool : public QObject
{
    Q_OBJECT
public:
    explicit RenderPool(QObject *parent = nullptr);
    ~RenderPool() override;

    // Set by the owner before the first page is pushed; not owned.
    QThreadPool *threadPool = nullptr;

    static constexpr int RenderWindow = 20;

    void setCurrentPage(const QString &chapterId, int pageIndex);
    void clear(quint64 generation);
    void setRenderSettings(const LayoutConfig &config);
    void setBookContext(const QMap<QString, int> &chapterMap);
    void resetForSession(const QString &novelId, const QString &chapterId, int pageIndex,
                         quint64 generation);

    QImage imageForKey(const QString &id) const;
    bool isPageReady(const QString &chapterId, int pageIndex) const;
    bool isWindowReady(const QStringList &keys) const;
    int forwardReadyCount() const;
    int backwardReadyCount() const;

    static QString makeKey(const QString &chapterId, int pageIndex);

signals:
    void inputQueueHasSpace(qulonglong generation);
    void pageRendered(const QString &chapterId, int pageIndex, qulonglong generation);

private:
    // Signed distance of a page key from the current page, in pages; chapters
    // are ordered by the book context.
    int distanceFromCurrent(const QString &key) const;

    mutable QMutex m_mutex;
    LayoutConfig m_settings;
    QMap<QString, int> m_chapterOrder;
    QMap<int, QString> m_chapterAtIndex;
    QHash<QString, QImage> m_ready;
    QString m_novelId;
    QString m_currentChapterId;
    int m_currentPage = 0;
    bool m_forward = true;
    quint64 m_generation = 0;
};
