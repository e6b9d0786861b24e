#include "rawfontcache.h"

#include <QThread>
#include <QThreadStorage>

namespace {
// Deleted by Qt when the owning thread ends.
QThreadStorage<RawFontCache *> &storage()
{
    static QThreadStorage<RawFontCache *> perThread;
    return perThread;
}
}

RawFontCache::RawFontCache() : m_thread(QThread::currentThread()) {}

RawFontCache &RawFontCache::forCurrentThread()
{
    QThreadStorage<RawFontCache *> &s = storage();
    if (!s.hasLocalData())
        s.setLocalData(new RawFontCache);
    return *s.localData();
}

void RawFontCache::clearForCurrentThread(quint64 generation)
{
    RawFontCache &cache = forCurrentThread();
    if (generation > cache.m_lastGeneration) {
        cache.m_fonts.clear();
        cache.m_lastGeneration = generation;
    }
}

qint64 RawFontCache::keyFor(const QRawFont &font)
{
    Q_ASSERT(QThread::currentThread() == m_thread);
    if (!font.isValid())
        return 0;
    // A book uses a handful of fonts: a linear scan is cheaper than hashing fonts.
    for (auto it = m_fonts.cbegin(); it != m_fonts.cend(); ++it) {
        if (it.value() == font)
            return it.key();
    }
    const qint64 key = m_nextKey++;
    m_fonts.insert(key, font);
    return key;
}

QRawFont RawFontCache::rawFont(qint64 key) const
{
    return m_fonts.value(key);
}
