#include "renderpool.h"

#include <QUrl>

RenderPool::RenderPool(QObject *parent)
    : QObject(parent)
{
}

RenderPool::~RenderPool()
{
    disconnect();
}

QString RenderPool::makeKey(const QString &chapterId, int pageIndex)
{
    return chapterId + QLatin1Char(':') + QString::number(pageIndex);
}

void RenderPool::setCurrentPage(const QString &chapterId, int pageIndex)
{
    QMutexLocker lock(&m_mutex);
    const int move = distanceFromCurrent(makeKey(chapterId, pageIndex));
    if (move != 0)
        m_forward = move > 0;
    m_currentChapterId = chapterId;
    m_currentPage = pageIndex;
}

void RenderPool::clear(quint64 generation)
{
    QMutexLocker lock(&m_mutex);
    m_generation = generation;
    m_novelId.clear();
    m_currentChapterId.clear();
    m_currentPage = 0;
    m_ready.clear();
}

void RenderPool::setRenderSettings(const LayoutConfig &config)
{
    QMutexLocker lock(&m_mutex);
    m_settings = config;
}

void RenderPool::setBookContext(const QMap<QString, int> &chapterMap)
{
    QMutexLocker lock(&m_mutex);
    m_chapterOrder = chapterMap;
    m_chapterAtIndex.clear();
    for (auto it = chapterMap.cbegin(); it != chapterMap.cend(); ++it)
        m_chapterAtIndex.insert(it.value(), it.key());
}

void RenderPool::resetForSession(const QString &novelId, const QString &chapterId, int pageIndex,
                                 quint64 generation)
{
    QMutexLocker lock(&m_mutex);
    m_generation = generation;
    m_novelId = novelId;
    m_currentChapterId = chapterId;
    m_currentPage = pageIndex;
    m_forward = true;
    m_ready.clear();
}

QImage RenderPool::imageForKey(const QString &id) const
{
    const QString key = QUrl::fromPercentEncoding(id.toUtf8());
    QMutexLocker lock(&m_mutex);
    return m_ready.value(key);
}

bool RenderPool::isPageReady(const QString &chapterId, int pageIndex) const
{
    QMutexLocker lock(&m_mutex);
    return m_ready.contains(makeKey(chapterId, pageIndex));
}

bool RenderPool::isWindowReady(const QStringList &keys) const
{
    QMutexLocker lock(&m_mutex);
    for (const QString &key : keys) {
        if (!m_ready.contains(key))
            return false;
    }
    return true;
}

int RenderPool::distanceFromCurrent(const QString &key) const
{
    const int colon = key.lastIndexOf(QLatin1Char(':'));
    const QString chapter = key.left(colon);
    const int page = key.midRef(colon + 1).toInt();
    if (chapter == m_currentChapterId)
        return page - m_currentPage;
    const int chapterDelta = m_chapterOrder.value(chapter, 0) - m_chapterOrder.value(m_currentChapterId, 0);
    return chapterDelta > 0 ? RenderWindow + 1 : -(RenderWindow + 1);
}

int RenderPool::forwardReadyCount() const
{
    QMutexLocker lock(&m_mutex);
    int count = 0;
    for (auto it = m_ready.cbegin(); it != m_ready.cend(); ++it)
        count += distanceFromCurrent(it.key()) > 0 ? 1 : 0;
    return count;
}

int RenderPool::backwardReadyCount() const
{
    QMutexLocker lock(&m_mutex);
    int count = 0;
    for (auto it = m_ready.cbegin(); it != m_ready.cend(); ++it)
        count += distanceFromCurrent(it.key()) < 0 ? 1 : 0;
    return count;
}
