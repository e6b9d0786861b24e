#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QVector>

// One phrase of the dictionary. Non-literal data is itself coded text and is
// replaced by its expansion on first use (when the cache budget allows).
struct HuffCdicEntry
{
    QByteArray data;
    bool literal = false;
    bool inProgress = false;
};

// Decoder of HUFF/CDIC-compressed text records. Expanding changes the
// dictionary, so one decoder serves one thread.
class HuffCdicDecoder
{
public:
    static constexpr qint64 DefaultCacheBudget = qint64(256) * 1024 * 1024;

    bool load(const QByteArray &huffRecord, const QList<QByteArray> &cdicRecords,
              QString *error = nullptr);
    bool decompress(const QByteArray &input, QByteArray *output, qint64 limit,
                    QString *error = nullptr);

    // Bytes that cached expansions may hold in total; past it expansions are
    // recomputed on each use instead of kept.
    void setCacheBudget(qint64 bytes);
    qint64 cachedBytes() const { return m_cachedBytes; }
    int dictionarySize() const { return m_dictionary.size(); }

private:
    bool unpack(const QByteArray &input, QByteArray *output, qint64 limit, int depth,
                QString *error);
    bool expandEntry(int index, QByteArray *output, qint64 limit, int depth, QString *error);

    QVector<quint32> m_firstLevel;
    QVector<quint32> m_mincode;
    QVector<quint32> m_maxcode;
    QVector<HuffCdicEntry> m_dictionary;
    qint64 m_cacheBudget = DefaultCacheBudget;
    qint64 m_cachedBytes = 0;
    qint64 m_work = 0;
    qint64 m_workLimit = 0;
};
