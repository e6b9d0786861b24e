#include "huffcdic.h"

#include "mobibook.h"
#include "mobierror.h"

#include <algorithm>

using mobi::fail;

namespace {

const int MaxDepth = 20;
const quint32 MaxDictionary = 0x100000;

// The 32 bits starting at bit `pos`, most significant first; zeros past the end.
inline quint32 codeWindow(const uchar *data, qint64 size, qint64 pos)
{
    const qint64 byte = pos >> 3;
    const int shift = int(pos & 7);
    quint64 window = 0;
    if (byte + 5 <= size) {
        window = (quint64(data[byte]) << 32) | (quint64(data[byte + 1]) << 24)
            | (quint64(data[byte + 2]) << 16) | (quint64(data[byte + 3]) << 8) | quint64(data[byte + 4]);
    } else {
        for (int k = 0; k < 5; ++k)
            window = (window << 8) | (byte + k < size ? quint64(data[byte + k]) : 0);
    }
    return quint32(window >> (8 - shift));
}

}

void HuffCdicDecoder::setCacheBudget(qint64 bytes)
{
    m_cacheBudget = bytes;
}

bool HuffCdicDecoder::load(const QByteArray &huff, const QList<QByteArray> &cdicRecords, QString *error)
{
    m_firstLevel.clear();
    m_mincode.clear();
    m_maxcode.clear();
    m_dictionary.clear();
    m_cachedBytes = 0;

    quint32 headerLength = 0;
    quint32 firstOffset = 0;
    quint32 secondOffset = 0;
    if (huff.size() < 16 || !mobi::hasMagic(huff, 0, "HUFF", 4)
        || !readBigEndianUInt32(huff, 4, headerLength) || headerLength < 24
        || !readBigEndianUInt32(huff, 8, firstOffset)
        || !readBigEndianUInt32(huff, 12, secondOffset) || qint64(firstOffset) + 1024 > huff.size()
        || qint64(secondOffset) + 256 > huff.size())
        return fail(error, "HUFF 记录无效");

    m_firstLevel.resize(256);
    for (int i = 0; i < 256; ++i) {
        quint32 entry = 0;
        if (!readBigEndianUInt32(huff, qint64(firstOffset) + 4 * i, entry) || (entry & 0x1F) == 0)
            return fail(error, "HUFF 一级表无效");
        if ((entry & 0x1F) <= 8 && !(entry & 0x80))
            return fail(error, "HUFF 一级表终止位无效");
        m_firstLevel[i] = entry;
    }
    m_mincode.fill(0, 33);
    m_maxcode.fill(0, 33);
    m_maxcode[0] = 0xFFFFFFFFu;
    for (int i = 1; i <= 32; ++i) {
        quint32 low = 0;
        quint32 high = 0;
        const qint64 at = qint64(secondOffset) + 8 * (i - 1);
        if (!readBigEndianUInt32(huff, at, low) || !readBigEndianUInt32(huff, at + 4, high))
            return fail(error, "HUFF 二级表无效");
        if (i < 32) {
            m_mincode[i] = low << (32 - i);
            m_maxcode[i] = ((high + 1) << (32 - i)) - 1;
        } else {
            m_mincode[i] = low;
            m_maxcode[i] = high;
        }
    }

    quint32 total = 0;
    quint32 bits = 0;
    for (int r = 0; r < cdicRecords.size(); ++r) {
        const QByteArray &cdic = cdicRecords.at(r);
        quint32 length = 0;
        quint32 recordTotal = 0;
        quint32 recordBits = 0;
        if (cdic.size() < 16 || !mobi::hasMagic(cdic, 0, "CDIC", 4)
            || !readBigEndianUInt32(cdic, 4, length) || length != 16
            || !readBigEndianUInt32(cdic, 8, recordTotal)
            || !readBigEndianUInt32(cdic, 12, recordBits) || recordTotal < 1
            || recordTotal > MaxDictionary || recordBits < 1 || recordBits > 16)
            return fail(error, "CDIC 记录无效");
        if (r == 0) {
            total = recordTotal;
            bits = recordBits;
            m_dictionary.reserve(int(total));
        } else if (recordTotal != total || recordBits != bits) {
            return fail(error, "CDIC 记录参数不一致");
        }
        if (quint32(m_dictionary.size()) >= total)
            return fail(error, "CDIC 记录数量过多");
        const qint64 n = std::min<qint64>(qint64(1) << bits, qint64(total) - m_dictionary.size());
        if (cdic.size() < 16 + 2 * n)
            return fail(error, "CDIC 索引表越界");
        for (qint64 k = 0; k < n; ++k) {
            const qint64 p = 16 + qint64(mobi::be16(cdic.constData() + 16 + 2 * k));
            if (p + 1 >= cdic.size())
                return fail(error, "CDIC 词条偏移越界");
            const quint16 descriptor = mobi::be16(cdic.constData() + p);
            const qint64 dataLength = descriptor & 0x7FFF;
            if (p + 2 + dataLength > cdic.size())
                return fail(error, "CDIC 词条数据越界");
            HuffCdicEntry entry;
            entry.data = cdic.mid(int(p + 2), int(dataLength));
            entry.literal = descriptor & 0x8000;
            m_dictionary.append(entry);
        }
    }
    if (quint32(m_dictionary.size()) != total)
        return fail(error, "CDIC 词条数量不完整");
    return true;
}

bool HuffCdicDecoder::decompress(const QByteArray &input, QByteArray *output, qint64 limit,
                                 QString *error)
{
    if (!output || limit < 0 || m_firstLevel.size() != 256 || m_dictionary.isEmpty())
        return fail(error, "HUFF/CDIC 解压器未初始化");
    output->clear();
    // Bounds the codes decoded per record, so uncached expansions stay cheap.
    m_work = 0;
    m_workLimit = 32 * (8 * qint64(input.size()) + std::min<qint64>(limit, qint64(1) << 40)) + (qint64(1) << 22);
    return unpack(input, output, limit, 0, error);
}

bool HuffCdicDecoder::unpack(const QByteArray &input, QByteArray *output, qint64 limit, int depth,
                             QString *error)
{
    if (depth > MaxDepth)
        return fail(error, "HUFF/CDIC 词典递归过深");
    const auto *data = reinterpret_cast<const uchar *>(input.constData());
    const qint64 size = input.size();
    const qint64 totalBits = 8 * size;
    const quint32 *first = m_firstLevel.constData();
    const quint32 *mincode = m_mincode.constData();
    const quint32 *maxcodes = m_maxcode.constData();
    const int dictionarySize = m_dictionary.size();
    qint64 pos = 0;
    while (pos < totalBits) {
        const quint32 code = codeWindow(data, size, pos);
        const quint32 entry = first[code >> 24];
        int length = int(entry & 0x1F);
        quint32 maxcode;
        if (entry & 0x80) {
            maxcode = (((entry >> 8) + 1) << (32 - length)) - 1;
        } else {
            while (length <= 32 && mincode[length] > code)
                ++length;
            if (length > 32)
                return fail(error, "HUFF 码长无效");
            maxcode = maxcodes[length];
        }
        if (pos + length > totalBits)
            return true;
        if (maxcode < code)
            return fail(error, "HUFF 码值无效");
        const quint32 index = length == 32 ? maxcode - code : (maxcode - code) >> (32 - length);
        if (index >= quint32(dictionarySize))
            return fail(error, "HUFF 词典索引越界");
        if (++m_work > m_workLimit)
            return fail(error, "HUFF/CDIC 词典展开超出上限");
        const HuffCdicEntry &e = m_dictionary.at(int(index));
        if (e.literal) {
            // The common case, inlined: a cached or literal phrase.
            if (limit - output->size() < e.data.size())
                return fail(error, "HUFF/CDIC 解压结果超出正文长度");
            output->append(e.data);
        } else if (!expandEntry(int(index), output, limit, depth, error)) {
            return false;
        }
        pos += length;
    }
    return true;
}

// Only coded phrases come here; unpack() appends literal ones itself.
bool HuffCdicDecoder::expandEntry(int index, QByteArray *output, qint64 limit, int depth, QString *error)
{
    HuffCdicEntry &entry = m_dictionary[index];
    if (entry.inProgress)
        return fail(error, "HUFF/CDIC 词典存在递归环");
    entry.inProgress = true;
    QByteArray expansion;
    const bool ok = unpack(m_dictionary.at(index).data, &expansion, limit, depth + 1, error);
    // unpack may not reallocate the dictionary, but take the entry afresh anyway.
    HuffCdicEntry &again = m_dictionary[index];
    again.inProgress = false;
    if (!ok)
        return false;
    if (m_cachedBytes + expansion.size() <= m_cacheBudget) {
        m_cachedBytes += expansion.size();
        again.data = expansion;
        again.literal = true;
    }
    if (limit - output->size() < expansion.size())
        return fail(error, "HUFF/CDIC 解压结果超出正文长度");
    output->append(expansion);
    return true;
}
