#include "layoutpool.h"

#include <QtGlobal>

#include <cmath>

LayoutPool::LayoutPool(QObject *parent)
    : QObject(parent)
{
}

LayoutPool::~LayoutPool()
{
    disconnect();
}

void LayoutPool::clear(quint64 generation)
{
    QMutexLocker lock(&m_mutex);
    m_generation = generation;
    m_bookId.clear();
    m_startChapterId.clear();
    m_startPageIndex = 0;
    m_targetGlyph = -1;
    m_targetOffset = -1.0f;
    m_displayPages.clear();
}

void LayoutPool::setLayoutSettings(const LayoutConfig &config)
{
    QMutexLocker lock(&m_mutex);
    m_settings = config;
}

LayoutConfig LayoutPool::layoutSettings() const
{
    QMutexLocker lock(&m_mutex);
    return m_settings;
}

void LayoutPool::setBookContext(const QMap<QString, int> &chapterMap)
{
    QMutexLocker lock(&m_mutex);
    m_chapterOrder = chapterMap;
    m_chapterAtIndex.clear();
    for (auto it = chapterMap.cbegin(); it != chapterMap.cend(); ++it)
        m_chapterAtIndex.insert(it.value(), it.key());
}

bool LayoutPool::hasChapter(const QString &chapterId) const
{
    QMutexLocker lock(&m_mutex);
    return m_chapterOrder.contains(chapterId);
}

void LayoutPool::openForReading(const QString &novelId, const QString &chapterId, int pageIndex,
                                int glyphIndex, float blockOffset, quint64 generation)
{
    {
        QMutexLocker lock(&m_mutex);
        m_generation = generation;
        m_bookId = novelId;
        m_startChapterId = chapterId;
        m_startPageIndex = qMax(0, pageIndex);
        m_targetGlyph = glyphIndex < 0 ? -1 : glyphIndex;
        m_targetOffset = std::isnan(blockOffset) ? -1.0f : qBound(-1.0f, blockOffset, 1.0f);
        m_displayPages.clear();
    }
    pump();
}

void LayoutPool::pump()
{
    // Layout tasks come with the page-layout engine; until then nothing is pending.
}

void LayoutPool::reportPageTurn(const QString &chapterId, int pageIndex)
{
    QMutexLocker lock(&m_mutex);
    if (!chapterId.isEmpty())
        m_startChapterId = chapterId;
    const QVector<PageLayout> *pages = displayPagesOf(m_startChapterId);
    m_startPageIndex = pages ? qBound(0, pageIndex, qMax(0, pages->size() - 1)) : qMax(0, pageIndex);
}

const QVector<PageLayout> *LayoutPool::displayPagesOf(const QString &chapterId) const
{
    auto it = m_displayPages.constFind(chapterId);
    return it == m_displayPages.cend() ? nullptr : &it.value();
}

int LayoutPool::chapterPageCount(const QString &chapterId) const
{
    QMutexLocker lock(&m_mutex);
    const QVector<PageLayout> *pages = displayPagesOf(chapterId);
    return pages ? pages->size() : -1;
}

int LayoutPool::chapterGlyphCount(const QString &chapterId) const
{
    QMutexLocker lock(&m_mutex);
    const QVector<PageLayout> *pages = displayPagesOf(chapterId);
    if (!pages)
        return -1;
    for (auto page = pages->crbegin(); page != pages->crend(); ++page) {
        if (!page->lines.isEmpty())
            return page->lines.constLast().endGlyph;
    }
    return 0;
}

int LayoutPool::chapterPageForAddress(const QString &chapterId, const QString &addressChapterId,
                                      int addressPageIndex) const
{
    QMutexLocker lock(&m_mutex);
    if (m_settings.continuousMode)
        return -1;
    return chapterId == addressChapterId ? addressPageIndex : -1;
}

QString LayoutPool::scrollPageKey(int) const
{
    return QString();
}

bool LayoutPool::isFirstPage(const QString &, int) const
{
    return false;
}

bool LayoutPool::isLastPage(const QString &, int) const
{
    return false;
}

int LayoutPool::pageFirstParaIndex(const QString &chapterId, int pageIndex) const
{
    QMutexLocker lock(&m_mutex);
    const QVector<PageLayout> *pages = displayPagesOf(chapterId);
    if (!pages || pageIndex < 0 || pageIndex >= pages->size())
        return -1;
    return pages->at(pageIndex).startGlyph;
}

int LayoutPool::pageFromParaIndex(const QString &chapterId, int paraIndex) const
{
    QMutexLocker lock(&m_mutex);
    const QVector<PageLayout> *pages = displayPagesOf(chapterId);
    if (!pages)
        return -1;
    for (int i = 0; i < pages->size(); ++i) {
        for (const LayoutLine &line : pages->at(i).lines) {
            if (line.paragraphIndex == paraIndex)
                return i;
        }
    }
    return -1;
}

PageLayout LayoutPool::pageEntry(const QString &chapterId, int pageIndex) const
{
    QMutexLocker lock(&m_mutex);
    const QVector<PageLayout> *pages = displayPagesOf(chapterId);
    if (!pages || pageIndex < 0 || pageIndex >= pages->size())
        return PageLayout();
    return pages->at(pageIndex);
}

bool LayoutPool::isWindowLaidOut(int, int, QStringList &) const
{
    // Nothing is laid out until the layout engine runs.
    return false;
}

void LayoutPool::onInputQueueHasSpace(qulonglong generation)
{
    {
        QMutexLocker lock(&m_mutex);
        if (generation != m_generation)
            return;
    }
    pump();
}
