#include "huffcdic.h"
#include "mobierror.h"
#include "mobiparser.h"
#include "mobitext.h"

#include <QTextCodec>

#include <algorithm>

using mobi::fail;
using mobi::message;

namespace {

const quint32 MaxTextLength = 0x20000000;   // 512 MiB
const qint64 MaxKf8TextLength = 0x8000000;  // 128 MiB, flows included
const quint32 NoRecord = 0xFFFFFFFFu;
// Real books decode to a few times their stored text (PalmDOC to five at the
// very most); the header's length is only a claim. Past this many times the
// text and dictionary records, plus a floor for tiny books, it is a bomb.
const qint64 MaxExpansion = 8;
const qint64 MinTextBudget = qint64(1) << 20;

QString lz77Detail(const char *text, qint64 pos)
{
    return message(text).arg(pos);
}

bool isForbiddenControl(ushort c)
{
    return c < 0x20 && c != 0x09 && c != 0x0A && c != 0x0D;
}

QTextCodec *windows1252()
{
    static QTextCodec *const codec = QTextCodec::codecForName("Windows-1252");
    return codec;
}

}

bool palmDocDecompress(const QByteArray &input, qint64 limit, QByteArray *output, QString *detail)
{
    output->clear();
    const qint64 n = input.size();
    const qint64 cap = std::max<qint64>(0, std::min<qint64>(limit, 0x7FFFFFFF));
    // Room for the whole record up front; the loop writes through a pointer.
    output->resize(int(std::min<qint64>(cap, std::max<qint64>(8 * n, 64))));
    const auto *in = reinterpret_cast<const uchar *>(input.constData());
    qint64 outSize = 0;
    auto ensure = [&](qint64 needed) {
        if (needed > output->size())
            output->resize(int(std::min<qint64>(cap, std::max<qint64>(needed, 2 * qint64(output->size())))));
    };
    qint64 i = 0;
    while (i < n) {
        const qint64 pos = i;
        const uchar c = in[i++];
        if (c == 0x00 || (c >= 0x09 && c <= 0x7F)) {
            if (outSize >= cap)
                return mobi::fail(detail, lz77Detail("偏移 %1：字面量超出正文长度", pos));
            ensure(outSize + 1);
            output->data()[outSize++] = char(c);
        } else if (c <= 0x08) {
            if (n - i < c)
                return mobi::fail(detail, lz77Detail("偏移 %1：字面量序列被截断", pos));
            if (outSize + c > cap)
                return mobi::fail(detail, lz77Detail("偏移 %1：字面量序列超出正文长度", pos));
            ensure(outSize + c);
            memcpy(output->data() + outSize, in + i, c);
            outSize += c;
            i += c;
        } else if (c <= 0xBF) {
            if (i >= n)
                return mobi::fail(detail, lz77Detail("偏移 %1：反向引用被截断", pos));
            const uint v = (uint(c) << 8) | in[i++];
            const qint64 distance = (v >> 3) & 0x7FF;
            const qint64 length = (v & 7) + 3;
            if (distance == 0 || distance > outSize)
                return mobi::fail(detail, message("偏移 %1：反向引用距离 %2 无效，当前输出 %3")
                                               .arg(pos).arg(distance).arg(outSize));
            if (outSize + length > cap)
                return mobi::fail(detail, lz77Detail("偏移 %1：反向引用超出正文长度", pos));
            ensure(outSize + length);
            char *out = output->data();
            const char *from = out + outSize - distance;
            char *to = out + outSize;
            if (distance >= length) {
                memcpy(to, from, size_t(length));
            } else {
                // Overlapping copy repeats the bytes just written.
                for (qint64 k = 0; k < length; ++k)
                    to[k] = from[k];
            }
            outSize += length;
        } else {
            if (outSize + 2 > cap)
                return mobi::fail(detail, lz77Detail("偏移 %1：空格组合超出正文长度", pos));
            ensure(outSize + 2);
            output->data()[outSize++] = ' ';
            output->data()[outSize++] = char(c ^ 0x80);
        }
    }
    output->resize(int(outSize));
    return true;
}

bool stripTrailingEntries(const QByteArray &record, quint16 extraDataFlags, int *payloadLength)
{
    const auto *bytes = reinterpret_cast<const uchar *>(record.constData());
    qint64 n = record.size();
    for (int bit = 1; bit < 16; ++bit) {
        if (!(extraDataFlags & (1u << bit)))
            continue;
        // The entry's size is a number written backwards from the record's end.
        quint32 value = 0;
        bool terminated = false;
        for (int k = 0; k < 4 && n - 1 - k >= 0; ++k) {
            const uchar b = bytes[n - 1 - k];
            value |= quint32(b & 0x7F) << (7 * k);
            if (b & 0x80) {
                terminated = true;
                break;
            }
        }
        if (!terminated || value == 0 || value > n)
            return false;
        n -= value;
    }
    if (extraDataFlags & 1) {
        if (n <= 0)
            return false;
        const qint64 tail = (bytes[n - 1] & 3) + 1;
        if (n < tail)
            return false;
        n -= tail;
    }
    *payloadLength = int(n);
    return true;
}

QString decodeMobiText(const QByteArray &bytes, quint32 encoding)
{
    if (bytes.isEmpty())
        return QString();
    QString text;
    if (encoding == 65001) {
        text = QString::fromUtf8(bytes.constData(), bytes.size());
    } else {
        QTextCodec *const codec = windows1252();
        text = codec ? codec->toUnicode(bytes) : QString::fromLatin1(bytes.constData(), bytes.size());
    }
    // A stray NUL must not cut the book short; it and its kind are simply dropped.
    const ushort *u = text.utf16();
    const int size = text.size();
    int first = 0;
    while (first < size && !isForbiddenControl(u[first]))
        ++first;
    if (first == size)
        return text;
    QString clean;
    clean.reserve(size);
    clean.append(text.constData(), first);
    for (int i = first; i < size; ++i) {
        if (!isForbiddenControl(u[i]))
            clean.append(QChar(u[i]));
    }
    return clean;
}

QString decodeCodePage(const QByteArray &bytes, quint32 encoding)
{
    const int nul = bytes.indexOf('\0');
    const int length = nul < 0 ? bytes.size() : nul;
    if (encoding == 65001)
        return QString::fromUtf8(bytes.constData(), length);
    if (QTextCodec *const codec = windows1252())
        return codec->toUnicode(bytes);
    return QString::fromLatin1(bytes.constData(), length);
}

QString MobiParser::decodeText(const PalmDbBook &, const QByteArray &bytes,
                               const MobiContentSection &section)
{
    return decodeMobiText(bytes, section.textEncoding);
}

QString MobiParser::decodeBookText(const PalmDbBook &book, const QByteArray &bytes)
{
    return decodeMobiText(bytes, book.header.textEncoding);
}

QByteArray MobiParser::extractText(const PalmDbBook &book, const MobiContentSection &section,
                                   QString *error)
{
    const MobiContentSection &s = section;
    if (s.startRecord < 0)
        return fail(error, "MOBI 内容区无效"), QByteArray();
    if (s.encryption != 0)
        return fail(error, "不支持带 DRM 的 MOBI 文件"), QByteArray();
    if (!isSupportedCompression(s.compression))
        return fail(error, "MOBI 压缩方式不受支持"), QByteArray();
    if (s.recordSize == 0 || s.textLength < 1 || s.textLength > MaxTextLength)
        return fail(error, "MOBI 正文长度无效"), QByteArray();

    const qint64 records = book.recordOffsets.size();
    // What the text may decode to: a multiple of its stored records.
    const auto storedBytes = [&](qint64 first, qint64 count) {
        const qint64 end = std::min(first + count, records);
        if (first >= end)
            return qint64(0);
        const qint64 last = end < records ? qint64(book.recordOffsets.at(int(end))) : book.fileSize;
        return std::max<qint64>(0, last - book.recordOffsets.at(int(first)));
    };
    qint64 stored = storedBytes(qint64(s.startRecord) + 1, s.textRecordCount);
    if (s.compression == 17480 && s.huffRecord != NoRecord)
        stored += storedBytes(qint64(s.startRecord) + s.huffRecord, s.huffRecordCount);
    const qint64 maxText = std::max(MinTextBudget, MaxExpansion * stored);
    const auto expanded = [&] {
        return fail(error, message("MOBI 正文解压后异常膨胀（超过压缩数据的 %1 倍），文件可能已损坏")
                               .arg(MaxExpansion)),
               QByteArray();
    };
    if (s.textLength > maxText)
        return expanded();
    // One open file for every record below.
    QFile file(book.filePath);
    if (!file.open(QIODevice::ReadOnly))
        return fail(error, "无法读取 PalmDB 记录"), QByteArray();
    HuffCdicDecoder huff;
    if (s.compression == 17480) {
        if (s.huffRecord == NoRecord || s.huffRecordCount < 2
            || qint64(s.startRecord) + s.huffRecord + s.huffRecordCount > records)
            return fail(error, "HUFF/CDIC 记录范围无效"), QByteArray();
        const int huffIndex = int(s.startRecord + s.huffRecord);
        const QByteArray huffRecord = readRecord(book, huffIndex, file, error);
        if (huffRecord.isEmpty())
            return QByteArray();
        QList<QByteArray> cdic;
        for (quint32 k = 1; k < s.huffRecordCount; ++k) {
            cdic.append(readRecord(book, huffIndex + int(k), file, error));
            if (cdic.last().isEmpty())
                return QByteArray();
        }
        if (!huff.load(huffRecord, cdic, error))
            return QByteArray();
        // Cached expansions may not outgrow the text they serve by much.
        huff.setCacheBudget(std::min<qint64>(HuffCdicDecoder::DefaultCacheBudget, 2 * qint64(s.textLength)));
    }

    const bool kf8 = s.version > 7;
    QByteArray text;
    // Never more than the records can hold, whatever the header claims.
    text.reserve(int(std::min<qint64>(s.textLength, qint64(s.textRecordCount) * s.recordSize)));
    QByteArray decoded;
    for (int i = 1; i <= s.textRecordCount; ++i) {
        QByteArray record = readRecord(book, s.startRecord + i, file, error);
        if (record.isEmpty())
            return QByteArray();
        int payload = 0;
        if (!stripTrailingEntries(record, s.extraDataFlags, &payload))
            return fail(error, "MOBI 正文记录尾部无效"), QByteArray();
        record.truncate(payload);
        const qint64 budget = (kf8 ? MaxKf8TextLength : qint64(s.textLength)) - text.size();
        if (budget <= 0)
            break;
        QString detail;
        if (s.compression == 1) {
            if (record.size() > s.recordSize)
                return fail(error, "MOBI 正文记录过大"), QByteArray();
            decoded = record;
        } else if (s.compression == 2) {
            if (!palmDocDecompress(record, s.recordSize, &decoded, &detail))
                return fail(error, message("PalmDOC 正文记录 %1 解压失败：%2").arg(i).arg(detail)),
                       QByteArray();
        } else if (!huff.decompress(record, &decoded, s.recordSize, &detail)) {
            return fail(error, message("HUFF/CDIC 正文记录 %1 解压失败：%2").arg(i).arg(detail)),
                   QByteArray();
        }
        if (decoded.size() > budget) {
            if (kf8)
                return fail(error, "KF8 正文与 flow 总量过大"), QByteArray();
            decoded.truncate(int(budget));
        }
        if (text.size() + qint64(decoded.size()) > maxText)
            return expanded();
        text.append(decoded);
    }
    if (text.size() < qint64(s.textLength))
        return fail(error, "MOBI 正文记录不完整"), QByteArray();
    if (!kf8)
        text.truncate(int(s.textLength));
    return text;
}

QByteArray MobiParser::extractBookText(const PalmDbBook &book, QString *error)
{
    if (book.mobiSection.startRecord >= 0)
        return extractText(book, book.mobiSection, error);
    if (book.kf8Section.startRecord >= 0)
        return extractText(book, book.kf8Section, error);
    if (book.isPalmDoc)
        return extractText(book, book.header, error);
    fail(error, "MOBI 内容区无效");
    return QByteArray();
}

QList<QByteArray> MobiParser::extractFlows(const PalmDbBook &book, const MobiContentSection &section,
                                           QString *error)
{
    QByteArray text = extractText(book, section, error);
    if (text.isEmpty())
        return {};
    if (section.version <= 7)
        return {text};
    const qint64 records = book.recordOffsets.size();
    const qint64 fdstIndex = qint64(section.startRecord) + section.fdstRecord;
    const bool fdstMissing = section.fdstRecord == NoRecord || fdstIndex >= records;
    if (section.fdstFlowCount == 1 && fdstMissing)
        return {text};
    if (section.fdstRecord == NoRecord || section.fdstFlowCount == 0)
        return fail(error, "KF8 缺少 FDST flow 信息"), QList<QByteArray>();
    if (fdstIndex >= records)
        return fail(error, "FDST 记录范围无效"), QList<QByteArray>();
    const QByteArray fdst = readRecord(book, int(fdstIndex), error);
    if (fdst.isEmpty())
        return {};
    const bool magic = mobi::hasMagic(fdst, 0, "FDST", 4);
    if (!magic && section.fdstFlowCount == 1)
        return {text};
    quint32 tableOffset = 0;
    quint32 count = 0;
    if (fdst.size() < 12 || !magic || !readBigEndianUInt32(fdst, 4, tableOffset) || tableOffset < 12
        || tableOffset > quint32(fdst.size()) || !readBigEndianUInt32(fdst, 8, count) || count == 0
        || count != section.fdstFlowCount || qint64(tableOffset) + 8 * qint64(count) > fdst.size())
        return fail(error, "FDST flow 表无效"), QList<QByteArray>();
    QList<QByteArray> flows;
    flows.reserve(int(count));
    qint64 previousEnd = 0;
    for (quint32 k = 0; k < count; ++k) {
        const char *entry = fdst.constData() + tableOffset + 8 * k;
        const quint32 start = mobi::be32(entry);
        const quint32 end = mobi::be32(entry + 4);
        if (start > end || end > quint32(text.size()) || (k > 0 && start < previousEnd))
            return fail(error, "FDST flow 偏移无效"), QList<QByteArray>();
        // Flow 0, the text, most often starts the buffer: it keeps the buffer
        // itself, cut after the others are copied out, instead of a copy.
        flows.append(k == 0 && start == 0 ? QByteArray() : text.mid(int(start), int(end - start)));
        previousEnd = end;
    }
    const quint32 firstEnd = mobi::be32(fdst.constData() + tableOffset + 4);
    if (mobi::be32(fdst.constData() + tableOffset) == 0) {
        text.truncate(int(firstEnd));
        flows.first() = std::move(text);
    }
    return flows;
}

bool MobiParser::loadKf8Content(const PalmDbBook &book, QList<QByteArray> *parts,
                                QList<QByteArray> *flows, QList<Kf8NavEntry> *navigation,
                                QString *error)
{
    if (!parts || !flows || !navigation || !hasKf8Section(book))
        return fail(error, "KF8 内容区无效");
    const MobiContentSection &s = book.kf8Section;
    const QList<QByteArray> newFlows = extractFlows(book, s, error);
    if (newFlows.isEmpty())
        return false;
    MobiIndexTable skeletons;
    MobiIndexTable fragments;
    QList<QByteArray> newParts;
    if (!readIndexGroup(book, s, s.skeletonIndexRecord, &skeletons, error)
        || !readIndexGroup(book, s, s.fragmentIndexRecord, &fragments, error)
        || !assembleMainFlow(newFlows.first(), skeletons, fragments, &newParts, error))
        return false;
    QList<Kf8NavEntry> newNavigation;
    if (s.ncxIndexRecord != NoRecord) {
        MobiIndexTable ncx;
        if (!readIndexGroup(book, s, s.ncxIndexRecord, &ncx, error)
            || !readNcx(skeletons, fragments, ncx, &newNavigation, error))
            return false;
        // A target outside the assembled parts goes; the others stay.
        newNavigation.erase(std::remove_if(newNavigation.begin(), newNavigation.end(),
                                           [&](const Kf8NavEntry &entry) {
                                               return entry.partIndex < 0
                                                   || entry.partIndex >= newParts.size()
                                                   || entry.offset > quint32(newParts.at(entry.partIndex).size());
                                           }),
                            newNavigation.end());
    }
    *parts = newParts;
    *flows = newFlows;
    *navigation = newNavigation;
    return true;
}
