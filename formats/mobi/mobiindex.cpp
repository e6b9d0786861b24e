#include "mobierror.h"
#include "mobiparser.h"
#include "mobitext.h"

using mobi::fail;

namespace {

struct TagDefinition
{
    quint8 tag;
    quint8 valuesPerEntry;
    quint8 mask;
    quint8 endFlag;
};

// Tag values of one entry, planned before any value is read.
struct TagPlan
{
    quint8 tag;
    qint64 valueCount; // -1: a value block of blockLength bytes
    qint64 blockLength;
    quint8 valuesPerEntry;
};

// Forward number: 7-bit groups, most significant first, bit 7 on the last byte.
bool readForward(const uchar *data, qint64 end, qint64 &pos, quint32 &value)
{
    quint32 v = 0;
    for (int k = 0; k < 5; ++k) {
        if (pos >= end)
            return false;
        if (v > 0x1FFFFFF)
            return false;
        const uchar b = data[pos++];
        v = (v << 7) | (b & 0x7F);
        if (b & 0x80) {
            value = v;
            return true;
        }
    }
    return false;
}

int lowestBit(quint8 mask)
{
    for (int bit = 0; bit < 8; ++bit) {
        if (mask & (1 << bit))
            return bit;
    }
    return -1;
}

bool singleBit(quint8 mask)
{
    return mask != 0 && (mask & (mask - 1)) == 0;
}

}

bool MobiParser::readIndexGroup(const PalmDbBook &book, const MobiContentSection &section,
                                quint32 relativeIndexRecord, MobiIndexTable *table, QString *error)
{
    if (relativeIndexRecord == 0xFFFFFFFFu || section.startRecord < 0)
        return fail(error, "KF8 INDX 索引无效");
    const qint64 records = book.recordOffsets.size();
    const qint64 primaryIndex = qint64(section.startRecord) + relativeIndexRecord;
    if (primaryIndex >= records)
        return fail(error, "KF8 INDX 记录越界");
    QString readError;
    const QByteArray primary = readRecord(book, int(primaryIndex), &readError);
    if (primary.isEmpty())
        return fail(error, readError.isEmpty() ? mobi::message("KF8 INDX 记录组无效") : readError);
    quint32 leafCount = 0;
    quint32 cncxCount = 0;
    if (!mobi::hasMagic(primary, 0, "INDX", 4) || primary.size() < 28
        || !readBigEndianUInt32(primary, 24, leafCount) || leafCount < 1 || leafCount > 0xFFFF
        || primary.size() < 56 || !readBigEndianUInt32(primary, 52, cncxCount) || cncxCount > 0xFFFF
        || primaryIndex + 1 + leafCount + cncxCount > records)
        return fail(error, "KF8 INDX 记录组无效");
    QList<QByteArray> group;
    group.reserve(int(1 + leafCount + cncxCount));
    group.append(primary);
    for (qint64 i = primaryIndex + 1; i <= primaryIndex + leafCount + cncxCount; ++i) {
        group.append(readRecord(book, int(i), error));
        if (group.last().isEmpty())
            return false;
    }
    return readIndex(group, section.textEncoding, table, error);
}

bool MobiParser::readIndex(const QList<QByteArray> &records, quint32 textEncoding,
                           MobiIndexTable *table, QString *error)
{
    if (!table || records.isEmpty())
        return fail(error, "INDX 记录为空");
    if (textEncoding != 1252 && textEncoding != 65001)
        return fail(error, "INDX 文本编码不受支持");

    const QByteArray &primary = records.first();
    quint32 headerLength = 0;
    quint32 leafCount = 0;
    quint32 cncxCount = 0;
    if (primary.size() < 56 || !mobi::hasMagic(primary, 0, "INDX", 4)
        || !readBigEndianUInt32(primary, 4, headerLength)
        || !readBigEndianUInt32(primary, 24, leafCount)
        || !readBigEndianUInt32(primary, 52, cncxCount) || headerLength <= 55
        || headerLength > quint32(primary.size()) || leafCount == 0
        || 1 + qint64(leafCount) + cncxCount > records.size())
        return fail(error, "INDX 主记录无效");

    quint32 tagxLength = 0;
    quint32 controlCount = 0;
    if (qint64(headerLength) + 12 > primary.size()
        || !mobi::hasMagic(primary, headerLength, "TAGX", 4)
        || !readBigEndianUInt32(primary, qint64(headerLength) + 4, tagxLength)
        || !readBigEndianUInt32(primary, qint64(headerLength) + 8, controlCount) || tagxLength < 12
        || qint64(headerLength) + tagxLength > primary.size() || controlCount < 1
        || controlCount > 64 || tagxLength % 4 != 0)
        return fail(error, "TAGX 定义无效");

    QVector<TagDefinition> definitions;
    for (qint64 at = qint64(headerLength) + 12; at < qint64(headerLength) + tagxLength; at += 4) {
        const auto *d = reinterpret_cast<const uchar *>(primary.constData() + at);
        const TagDefinition def{d[0], d[1], d[2], d[3]};
        if (def.endFlag > 1 || (def.endFlag == 0 && (def.tag == 0 || def.valuesPerEntry == 0 || def.mask == 0)))
            return fail(error, "TAGX 标签定义无效");
        definitions.append(def);
    }

    QVector<MobiIndexEntry> entries;
    QVector<TagPlan> plans;
    QVector<qint64> offsets;
    for (quint32 leaf = 1; leaf <= leafCount; ++leaf) {
        const QByteArray &record = records.at(int(leaf));
        const qint64 size = record.size();
        quint32 idxt = 0;
        quint32 count = 0;
        if (size < 28 || !mobi::hasMagic(record, 0, "INDX", 4)
            || !readBigEndianUInt32(record, 20, idxt) || !readBigEndianUInt32(record, 24, count)
            || idxt > 0xFFFF || idxt >= size || qint64(idxt) + 4 + 2 * qint64(count) > size
            || !mobi::hasMagic(record, idxt, "IDXT", 4))
            return fail(error, "INDX leaf 记录无效");
        offsets.clear();
        for (quint32 k = 0; k < count; ++k) {
            const qint64 offset = mobi::be16(record.constData() + idxt + 4 + 2 * k);
            if (offset >= idxt || (k > 0 && offset <= offsets.last()))
                return fail(error, "IDXT 条目偏移无效");
            offsets.append(offset);
        }
        offsets.append(idxt);
        const auto *data = reinterpret_cast<const uchar *>(record.constData());
        for (quint32 k = 0; k < count; ++k) {
            const qint64 start = offsets.at(int(k));
            const qint64 end = offsets.at(int(k) + 1);
            if (start >= end || start >= size)
                return fail(error, "INDX 条目范围无效");
            const qint64 labelEnd = start + 1 + data[start];
            if (labelEnd > end)
                return fail(error, "INDX 条目标识无效");
            if (labelEnd + controlCount > end)
                return fail(error, "INDX 条目控制字节无效");
            MobiIndexEntry entry;
            entry.label = record.mid(int(start + 1), int(labelEnd - start - 1));
            const uchar *control = data + labelEnd;
            qint64 pos = labelEnd + controlCount;

            // First every tag's count and every block length (these follow the
            // control bytes), then the values in tag order.
            plans.clear();
            quint32 m = 0;
            for (const TagDefinition &def : qAsConst(definitions)) {
                if (def.endFlag) {
                    ++m;
                    continue;
                }
                if (m >= controlCount)
                    return fail(error, "TAGX 控制字节索引越界");
                const quint8 v = def.mask & control[m];
                if (v == 0)
                    continue;
                if (v != def.mask) {
                    const int shift = lowestBit(def.mask);
                    if (shift < 0)
                        return fail(error, "TAGX 掩码无效");
                    plans.append({def.tag, qint64(def.valuesPerEntry) * (v >> shift), 0, def.valuesPerEntry});
                } else if (singleBit(def.mask)) {
                    plans.append({def.tag, def.valuesPerEntry, 0, def.valuesPerEntry});
                } else {
                    quint32 blockLength = 0;
                    if (!readForward(data, end, pos, blockLength))
                        return fail(error, "TAGX 值块长度无效");
                    plans.append({def.tag, -1, blockLength, def.valuesPerEntry});
                }
            }
            for (const TagPlan &plan : qAsConst(plans)) {
                QVector<quint32> &values = entry.tags[plan.tag];
                quint32 value = 0;
                if (plan.valueCount >= 0) {
                    for (qint64 n = 0; n < plan.valueCount; ++n) {
                        if (!readForward(data, end, pos, value))
                            return fail(error, "TAGX 标签值无效");
                        values.append(value);
                    }
                    continue;
                }
                const qint64 blockEnd = pos + plan.blockLength;
                if (blockEnd > end)
                    return fail(error, "TAGX 值块长度无效");
                qint64 read = 0;
                while (pos < blockEnd) {
                    if (!readForward(data, end, pos, value))
                        return fail(error, "TAGX 值块无效");
                    values.append(value);
                    ++read;
                }
                if (pos != blockEnd || read % plan.valuesPerEntry != 0)
                    return fail(error, "TAGX 值块数量无效");
            }
            for (qint64 p = pos; p < end; ++p) {
                if (data[p] != 0)
                    return fail(error, "INDX 条目存在未解析数据");
            }
            entries.append(entry);
        }
    }

    QMap<quint32, QString> cncx;
    for (quint32 c = 0; c < cncxCount; ++c) {
        const QByteArray &record = records.at(int(1 + leafCount + c));
        const auto *data = reinterpret_cast<const uchar *>(record.constData());
        const qint64 size = record.size();
        qint64 p = 0;
        while (p < size) {
            qint64 q = p;
            while (q < size && data[q] == 0)
                ++q;
            if (q == size)
                break;
            qint64 pos = p;
            quint32 length = 0;
            if (!readForward(data, size, pos, length) || pos + qint64(length) > size)
                return fail(error, "CNCX 字符串记录无效");
            cncx.insert(c * 65536u + quint32(p),
                        decodeCodePage(record.mid(int(pos), int(length)), textEncoding));
            p = pos + length;
        }
    }

    table->entries = entries;
    table->cncx = cncx;
    table->recordsUsed = int(1 + leafCount + cncxCount);
    return true;
}
