#include "mobifixture.h"

#include "paths.h"

#include <QTemporaryDir>
#include <QtEndian>

#include <algorithm>
#include <functional>
#include <numeric>
#include <queue>

namespace MobiFixture {

QByteArray be32(quint32 v)
{
    QByteArray b(4, '\0');
    qToBigEndian(v, b.data());
    return b;
}

QByteArray be16(quint16 v)
{
    QByteArray b(2, '\0');
    qToBigEndian(v, b.data());
    return b;
}

// Big-endian 7-bit groups; the marker bit goes on the last or the first byte.
static QByteArray sevenBitGroups(quint32 value, bool markLast)
{
    QByteArray groups;
    do {
        groups.prepend(char(value & 0x7F));
        value >>= 7;
    } while (value);
    const int marked = markLast ? groups.size() - 1 : 0;
    groups[marked] = char(groups.at(marked) | 0x80);
    return groups;
}

QByteArray forwardNumber(quint32 value)
{
    return sevenBitGroups(value, true);
}

QByteArray backwardNumber(quint32 value)
{
    return sevenBitGroups(value, false);
}

QByteArray palmDb(const QByteArray &name, const QList<QByteArray> &records, const QByteArray &type,
                  const QByteArray &creator)
{
    QByteArray out(78, '\0');
    out.replace(0, std::min(32, name.size()), name.left(32));
    out.replace(60, 4, type.leftJustified(4, ' ', true));
    out.replace(64, 4, creator.leftJustified(4, ' ', true));
    out.replace(76, 2, be16(quint16(records.size())));
    quint32 offset = quint32(78 + 8 * records.size() + 2);
    for (int i = 0; i < records.size(); ++i) {
        out += be32(offset);
        out += be32(quint32(2 * i));
        offset += quint32(records.at(i).size());
    }
    out += QByteArray(2, '\0');
    for (const QByteArray &r : records)
        out += r;
    return out;
}

QString writeBook(const QTemporaryDir &dir, const QByteArray &bytes)
{
    static int count = 0;
    const QString path = dir.filePath(QStringLiteral("book-%1.mobi").arg(++count));
    return Paths::writeFile(path, bytes) ? path : QString();
}

QByteArray headerRecord(const Header &h)
{
    QByteArray r(16, '\0');
    r.replace(0, 2, be16(h.compression));
    r.replace(4, 4, be32(h.textLength));
    r.replace(8, 2, be16(h.textRecordCount));
    r.replace(10, 2, be16(h.recordSize));
    r.replace(12, 2, be16(h.encryption));
    if (!h.mobi)
        return r;
    QByteArray m(int(h.headerLength), '\0');
    auto put = [&m](int at, const QByteArray &bytes) {
        if (at + bytes.size() <= m.size() + 16)
            m.replace(at - 16, bytes.size(), bytes);
    };
    put(16, "MOBI");
    put(20, be32(h.headerLength));
    put(24, be32(2));
    put(28, be32(h.encoding));
    put(36, be32(h.version));
    put(108, be32(h.firstImageRecord));
    put(112, be32(h.huffRecord));
    put(116, be32(h.huffRecordCount));
    put(128, be32(h.exth.isEmpty() ? 0 : 0x40));
    if (h.version == 8) {
        put(192, be32(h.fdstRecord));
        put(196, be32(h.fdstFlowCount));
        put(244, be32(h.ncxIndex));
        put(248, be32(h.fragmentIndex));
        put(252, be32(h.skeletonIndex));
    }
    put(240, be16(0));
    put(242, be16(h.extraDataFlags));
    r += m;
    if (!h.exth.isEmpty()) {
        QByteArray items;
        for (const auto &item : h.exth)
            items += be32(item.first) + be32(quint32(item.second.size() + 8)) + item.second;
        r += "EXTH" + be32(quint32(items.size() + 12)) + be32(quint32(h.exth.size())) + items;
    }
    const int nameOffset = r.size();
    r += h.fullName;
    r += QByteArray(4, '\0');
    if (r.size() >= 92) {
        r.replace(84, 4, be32(quint32(nameOffset)));
        r.replace(88, 4, be32(quint32(h.fullName.size())));
    }
    return r;
}

// Greedy: the latest earlier place with the same three bytes, when near enough.
QByteArray palmDocCompress(const QByteArray &text)
{
    const auto *t = reinterpret_cast<const uchar *>(text.constData());
    const int n = text.size();
    const auto plain = [t](int i) { return t[i] == 0 || (t[i] >= 0x09 && t[i] <= 0x7F); };
    QVector<int> latest(1 << 12, -1);
    QByteArray out;
    int i = 0;
    while (i < n) {
        int length = 0;
        int distance = 0;
        if (i + 2 < n) {
            int &slot = latest[((t[i] << 8) ^ (t[i + 1] << 4) ^ t[i + 2]) & 0xFFF];
            distance = i - slot;
            while (slot >= 0 && distance <= 2047 && length < 10 && i + length < n
                   && t[slot + length] == t[i + length])
                ++length;
            slot = i;
        }
        if (length >= 3) {
            const int v = 0x8000 | (distance << 3) | (length - 3);
            out += char(v >> 8);
            out += char(v & 0xFF);
            i += length;
        } else if (t[i] == ' ' && i + 1 < n && t[i + 1] >= 0x40 && t[i + 1] <= 0x7F) {
            out += char(t[i + 1] ^ 0x80);
            i += 2;
        } else if (plain(i)) {
            out += char(t[i++]);
        } else {
            int run = 0;
            while (run < 8 && i + run < n && !plain(i + run))
                ++run;
            out += char(run) + text.mid(i, run);
            i += run;
        }
    }
    return out;
}

QList<QByteArray> textRecords(const QByteArray &text, int recordSize, int compression)
{
    QList<QByteArray> records;
    for (int at = 0; at < text.size(); at += recordSize) {
        const QByteArray chunk = text.mid(at, recordSize);
        records.append(compression == 2 ? palmDocCompress(chunk) : chunk);
    }
    return records;
}

int HuffCdicWriter::addLiteral(const QByteArray &bytes)
{
    m_symbols.append({bytes, {}, true});
    return m_symbols.size() - 1;
}

int HuffCdicWriter::addPhrase(const QVector<int> &symbols)
{
    m_symbols.append({QByteArray(), symbols, false});
    return m_symbols.size() - 1;
}

void HuffCdicWriter::buildCodes(const QVector<int> &uses)
{
    // Huffman code lengths: each symbol's depth in the tree of merges.
    const int count = m_symbols.size();
    QVector<int> parent(2 * count, -1);
    using Node = std::pair<qint64, int>;
    std::priority_queue<Node, std::vector<Node>, std::greater<Node>> queue;
    for (int s = 0; s < count; ++s)
        queue.push({std::max(1, uses.value(s, 1)), s});
    for (int next = count; queue.size() > 1; ++next) {
        const Node a = queue.top();
        queue.pop();
        const Node b = queue.top();
        queue.pop();
        parent[a.second] = parent[b.second] = next;
        queue.push({a.first + b.first, next});
    }
    QVector<int> lengths;
    QVector<int> symbolOf; // dummies: -1
    for (int s = 0; s < count; ++s) {
        int depth = 0;
        for (int node = s; parent[node] >= 0; node = parent[node])
            ++depth;
        lengths.append(std::max(depth, 1));
        symbolOf.append(s);
    }
    if (count == 1) { // a lone symbol: pair it with a dummy
        symbolOf.append(-1);
        lengths.append(1);
    }
    // Deepen the longest leaf with empty dummies until it has 8 bits.
    int deepest = int(std::max_element(lengths.begin(), lengths.end()) - lengths.begin());
    while (lengths.at(deepest) < 8) {
        ++lengths[deepest];
        symbolOf.append(-1);
        lengths.append(lengths.at(deepest));
        deepest = lengths.size() - 1;
    }
    // Dictionary order: shorter codes first.
    QVector<int> order(lengths.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return lengths.at(a) < lengths.at(b); });
    m_order.clear();
    m_length.clear();
    m_index = QVector<int>(count, -1);
    QVector<int> perLength(33, 0);
    for (int k : order) {
        if (symbolOf.at(k) >= 0)
            m_index[symbolOf.at(k)] = m_order.size();
        m_order.append(symbolOf.at(k));
        m_length.append(lengths.at(k));
        ++perLength[lengths.at(k)];
    }
    // Canonical codes counted from the longest length up.
    m_min = m_max = QVector<quint32>(33, 0);
    quint32 code = 0;
    int firstIndex = m_order.size();
    for (int length = m_length.last(); length >= 1; --length) {
        firstIndex -= perLength[length];
        m_min[length] = code;
        if (perLength[length])
            m_max[length] = code + quint32(perLength[length] - 1 + firstIndex);
        code = (code + quint32(perLength[length])) >> 1;
    }
    m_code = QVector<quint32>(m_length.size(), 0);
    for (int index = 0; index < m_length.size(); ++index)
        m_code[index] = m_max[m_length.at(index)] - quint32(index);
}

QByteArray HuffCdicWriter::encode(const QVector<int> &symbols) const
{
    QByteArray out;
    quint64 buffer = 0;
    int bits = 0;
    for (int s : symbols) {
        const int index = m_index.at(s);
        buffer = (buffer << m_length.at(index)) | m_code.at(index);
        bits += m_length.at(index);
        while (bits >= 8) {
            out += char(buffer >> (bits - 8));
            bits -= 8;
        }
    }
    if (bits > 0)
        out += char(buffer << (8 - bits));
    return out;
}

QByteArray HuffCdicWriter::huffRecord() const
{
    QByteArray r = "HUFF" + be32(24) + be32(24) + be32(24 + 1024) + QByteArray(8, '\0');
    const int maxLength = m_length.last();
    for (int p = 0; p < 256; ++p) {
        quint32 entry = 9; // starts a code longer than 8 bits
        for (int length = 1; length <= std::min(8, maxLength); ++length) {
            const int n = int(m_length.count(length));
            const quint32 prefix = quint32(p) >> (8 - length);
            if (n > 0 && prefix >= m_min[length] && prefix < m_min[length] + quint32(n)) {
                entry = (m_max[length] << 8) | 0x80 | quint32(length);
                break;
            }
        }
        r += be32(entry);
    }
    for (int length = 1; length <= 32; ++length)
        r += be32(m_min[length]) + be32(m_max[length]);
    return r;
}

QList<QByteArray> HuffCdicWriter::cdicRecords(int bits) const
{
    QList<QByteArray> records;
    const int total = m_order.size();
    const int perRecord = 1 << bits;
    for (int first = 0; first < total; first += perRecord) {
        const int n = std::min(perRecord, total - first);
        QByteArray offsets;
        QByteArray data;
        for (int k = 0; k < n; ++k) {
            const int symbol = m_order.at(first + k);
            const bool literal = symbol < 0 || m_symbols.at(symbol).isLiteral;
            const QByteArray bytes = symbol < 0 ? QByteArray()
                : literal ? m_symbols.at(symbol).literal : encode(m_symbols.at(symbol).phrase);
            offsets += be16(quint16(2 * n + data.size()));
            data += be16(quint16(bytes.size() | (literal ? 0x8000 : 0)));
            data += bytes;
        }
        records.append("CDIC" + be32(16) + be32(quint32(total)) + be32(quint32(bits)) + offsets + data);
    }
    return records;
}

QByteArray huffCdicBomb(int records, quint32 version, quint32 textLength)
{
    HuffCdicWriter huff;
    const int phrase = huff.addLiteral(QByteArray(0x7FFF, 'a'));
    huff.buildCodes();
    const QList<QByteArray> cdic = huff.cdicRecords();
    Header h;
    h.compression = 17480;
    h.recordSize = 0xFFFF;
    h.textRecordCount = quint16(records);
    h.textLength = textLength ? textLength : quint32(records) * 2 * 0x7FFF;
    h.huffRecord = h.skeletonIndex = h.fragmentIndex = quint32(records + 1);
    h.huffRecordCount = quint32(1 + cdic.size());
    h.version = version;
    h.headerLength = version == 8 ? 264 : 232;
    QList<QByteArray> book{headerRecord(h)};
    for (int i = 0; i < records; ++i)
        book.append(huff.encode({phrase, phrase}));
    book.append(huff.huffRecord());
    return palmDb("bomb", book + cdic);
}

QByteArray cncxRecord(const QList<QByteArray> &strings, QVector<quint32> *offsets)
{
    QByteArray r;
    for (const QByteArray &s : strings) {
        if (offsets)
            offsets->append(quint32(r.size()));
        r += forwardNumber(quint32(s.size())) + s;
    }
    return r;
}

QList<QByteArray> indexGroup(const QVector<IndexTag> &tags, int controlByteCount,
                             const QVector<RawEntry> &entries, const QList<QByteArray> &cncxRecords,
                             quint32 encoding)
{
    const int headerLength = 192;
    QByteArray primary(headerLength, '\0');
    primary.replace(0, 4, "INDX");
    primary.replace(4, 4, be32(headerLength));
    primary.replace(24, 4, be32(1));
    primary.replace(28, 4, be32(encoding));
    primary.replace(52, 4, be32(quint32(cncxRecords.size())));
    primary += "TAGX" + be32(quint32(12 + 4 * tags.size())) + be32(quint32(controlByteCount));
    for (const IndexTag &t : tags)
        primary += QByteArray(1, char(t.tag)) + char(t.valuesPerEntry) + char(t.mask) + char(t.endFlag);

    QByteArray leaf(headerLength, '\0');
    leaf.replace(0, 4, "INDX");
    leaf.replace(4, 4, be32(headerLength));
    QByteArray idxt = "IDXT";
    for (const RawEntry &e : entries) {
        idxt += be16(quint16(leaf.size()));
        leaf += char(e.label.size()) + e.label + e.controlAndValues;
    }
    leaf.replace(20, 4, be32(quint32(leaf.size())));
    leaf.replace(24, 4, be32(quint32(entries.size())));
    leaf += idxt;
    return QList<QByteArray>{primary, leaf} + cncxRecords;
}

}
