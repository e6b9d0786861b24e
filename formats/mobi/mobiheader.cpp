#include "mobierror.h"
#include "mobiparser.h"
#include "mobitext.h"

using mobi::fail;

namespace {

// The PalmDOC fields that record 0 and every section header record begin with.
void readPalmDocFields(const QByteArray &record, MobiContentSection &t)
{
    const char *p = record.constData();
    t.compression = mobi::be16(p);
    t.textLength = mobi::be32(p + 4);
    t.textRecordCount = mobi::be16(p + 8);
    t.recordSize = mobi::be16(p + 10);
    t.encryption = mobi::be16(p + 12);
}

// The flags naming a text record's trailing entries: from version 5, in a
// header long enough to hold them.
quint16 readExtraDataFlags(const QByteArray &record, quint32 headerLength, quint32 version)
{
    return version > 4 && headerLength > 227 && record.size() > 243
        ? mobi::be16(record.constData() + 242)
        : quint16(0);
}

// Adds a multi-valued EXTH item once.
void appendUnique(QStringList &list, const QString &value)
{
    if (!value.isEmpty() && !list.contains(value))
        list.append(value);
}

}

bool MobiParser::parseRecordZero(PalmDbBook &book, const QByteArray &record0, QString *error)
{
    if (record0.size() < 16)
        return fail(error, "PalmDOC 头无效");
    MobiContentSection &header = book.header;
    header.startRecord = 0;
    readPalmDocFields(record0, header);
    if (header.textRecordCount == 0 || header.textRecordCount >= book.recordOffsets.size())
        return fail(error, "PalmDOC 正文记录数量无效");

    if (record0.size() < 24 || !mobi::hasMagic(record0, 16, "MOBI", 4)) {
        book.isMobi = false;
        book.metadata.title = book.palmName;
        return true;
    }
    book.isMobi = true;
    quint32 headerLength = 0;
    quint32 nameOffset = 0;
    quint32 nameLength = 0;
    quint32 encoding = 0;
    quint32 version = 0;
    quint32 firstImage = 0;
    if (!readBigEndianUInt32(record0, 20, headerLength) || headerLength < 116
        || qint64(headerLength) + 16 > record0.size() || !readBigEndianUInt32(record0, 28, encoding)
        || !readBigEndianUInt32(record0, 36, version)
        || !readBigEndianUInt32(record0, 84, nameOffset)
        || !readBigEndianUInt32(record0, 88, nameLength)
        || !readBigEndianUInt32(record0, 108, firstImage))
        return fail(error, "MOBI 头无效");
    header.textEncoding = encoding;
    header.version = version;
    header.firstImageRecord = firstImage;
    if (version < 1 || version > 8)
        return fail(error, "仅支持 MOBI 版本 1–8");
    if (header.compression == 17480
        && (!readBigEndianUInt32(record0, 112, header.huffRecord)
            || !readBigEndianUInt32(record0, 116, header.huffRecordCount)))
        return fail(error, "HUFF/CDIC 记录信息无效");
    if (encoding != 1252 && encoding != 65001)
        return fail(error, "MOBI 文本编码不受支持");

    if (nameLength != 0 && qint64(nameOffset) + qint64(nameLength) <= record0.size())
        book.metadata.title = decodeMobiText(record0.mid(int(nameOffset), int(nameLength)), encoding).trimmed();
    if (book.metadata.title.isEmpty())
        book.metadata.title = book.palmName;

    quint32 exthFlags = 0;
    if (!readBigEndianUInt32(record0, 128, exthFlags))
        exthFlags = 0;
    header.extraDataFlags = readExtraDataFlags(record0, headerLength, version);
    if (exthFlags & 0x40)
        parseExth(book, record0, headerLength);
    return true;
}

void MobiParser::parseExth(PalmDbBook &book, const QByteArray &record0, quint32 headerLength)
{
    // 64-bit throughout: a length near 4 GiB must not wrap and walk backwards.
    const qint64 size = record0.size();
    const qint64 start = 16 + qint64(headerLength);
    if (size < qint64(headerLength) + 28 || !mobi::hasMagic(record0, start, "EXTH", 4))
        return;
    quint32 blockLength = 0;
    quint32 count = 0;
    if (!readBigEndianUInt32(record0, start + 4, blockLength)
        || !readBigEndianUInt32(record0, start + 8, count))
        return;
    if (blockLength < 20 || start + qint64(blockLength) > size || count == 0)
        return;
    const qint64 end = start + qint64(blockLength);
    qint64 pos = start + 12;
    MobiBookMetadata &meta = book.metadata;
    for (quint32 n = 0; n < count && end - pos >= 8; ++n) {
        quint32 type = 0;
        quint32 length = 0;
        if (!readBigEndianUInt32(record0, pos, type)
            || !readBigEndianUInt32(record0, pos + 4, length) || length < 8
            || pos + qint64(length) > end)
            return;
        const QByteArray data = record0.mid(int(pos + 8), int(length - 8));
        const auto text = [&]() { return decodeBookText(book, data).trimmed(); };
        switch (type) {
        case 100: appendUnique(meta.authors, text()); break;
        case 101: meta.publisher = text(); break;
        case 103: meta.description = text(); break;
        case 104: meta.isbn = text(); break;
        case 105: appendUnique(meta.subjects, text()); break;
        case 106: meta.publishingDate = text(); break;
        case 121:
            if (length == 12)
                book.kf8BoundaryRecord = mobi::be32(data.constData());
            break;
        case 201:
            if (length == 12)
                book.coverOffset = mobi::be32(data.constData());
            break;
        case 503: {
            const QString title = text();
            if (!title.isEmpty())
                meta.title = title;
            break;
        }
        case 524: meta.language = text(); break;
        default: break;
        }
        pos += length;
    }
}

bool MobiParser::parseContentSection(const PalmDbBook &book, int startRecord,
                                     const QByteArray &headerRecord, MobiContentSection &section,
                                     QString *error)
{
    const QByteArray &r = headerRecord;
    MobiContentSection s;
    s.startRecord = startRecord;
    quint32 headerLength = 0;
    if (r.size() < 24 || !mobi::hasMagic(r, 16, "MOBI", 4)
        || !readBigEndianUInt32(r, 20, headerLength) || headerLength < 116
        || qint64(headerLength) + 16 > r.size() || !readBigEndianUInt32(r, 28, s.textEncoding)
        || !readBigEndianUInt32(r, 36, s.version)
        || !readBigEndianUInt32(r, 108, s.firstImageRecord))
        return fail(error, "MOBI 内容区头无效");
    readPalmDocFields(r, s);
    const char *p = r.constData();
    const qint64 records = book.recordOffsets.size();
    if (s.textRecordCount == 0 || qint64(startRecord) + s.textRecordCount >= records)
        return fail(error, "MOBI 内容区正文记录数量无效");
    if (s.version < 1 || s.version > 8)
        return fail(error, "MOBI 内容区版本不受支持");
    if (s.compression == 17480) {
        if (r.size() < 120)
            return fail(error, "HUFF/CDIC 记录信息无效");
        s.huffRecord = mobi::be32(p + 112);
        s.huffRecordCount = mobi::be32(p + 116);
    }
    if (s.version == 8) {
        if (headerLength < 240 || r.size() < 256)
            return fail(error, "KF8 索引记录信息无效");
        s.fdstRecord = mobi::be32(p + 192);
        s.fdstFlowCount = mobi::be32(p + 196);
        s.ncxIndexRecord = mobi::be32(p + 244);
        s.fragmentIndexRecord = mobi::be32(p + 248);
        s.skeletonIndexRecord = mobi::be32(p + 252);
        const qint64 avail = records - startRecord;
        const auto inRange = [avail](quint32 rel) { return rel != 0xFFFFFFFFu && qint64(rel) < avail; };
        const bool flowsOk = inRange(s.fdstRecord)
            ? (s.fdstFlowCount >= 1 && s.fdstFlowCount <= 65535)
            : s.fdstFlowCount == 1;
        if (!flowsOk || !inRange(s.fragmentIndexRecord) || !inRange(s.skeletonIndexRecord)
            || (s.ncxIndexRecord != 0xFFFFFFFFu && !inRange(s.ncxIndexRecord)))
            return fail(error, "KF8 索引记录范围无效");
    }
    s.extraDataFlags = readExtraDataFlags(r, headerLength, s.version);
    section = s;
    return true;
}
