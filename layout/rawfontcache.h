#pragma once

#include <QHash>
#include <QRawFont>
#include <QtGlobal>

class QThread;

// Raw fonts of shaped glyph runs, one cache per thread. Glyph runs carry a
// small key instead of a QRawFont so pages copy cheaply between threads; a key
// means something only on the thread that issued it, which is why layout and
// rendering share one worker thread.
class RawFontCache
{
public:
    static RawFontCache &forCurrentThread();
    // Empties the cache when generation is newer than the last one seen.
    static void clearForCurrentThread(quint64 generation);

    // 0 for an invalid font; the key of an equal font already stored; else a new key.
    qint64 keyFor(const QRawFont &font);
    // Invalid QRawFont when nothing is stored under key.
    QRawFont rawFont(qint64 key) const;

private:
    RawFontCache();

    QThread *m_thread;  // the only thread that may use this cache

    quint64 m_lastGeneration = 0;
    qint64 m_nextKey = 1;  // never reused on this thread, even after clearing
    QHash<qint64, QRawFont> m_fonts;
};
