#include "mobierror.h"
#include "mobiparser.h"

#include <QFile>
#include <QFileInfo>

using mobi::fail;

namespace {

const qint64 PalmHeaderSize = 78;
const qint64 MaxRecordSize = 104857600; // 100 MiB

}

bool readBigEndianUInt32(const QByteArray &bytes, qint64 offset, quint32 &out)
{
    if (offset < 0 || offset + 4 > bytes.size())
        return false;
    out = mobi::be32(bytes.constData() + offset);
    return true;
}

bool readBigEndianUInt16(const QByteArray &bytes, qint64 offset, quint16 &out)
{
    if (offset < 0 || offset + 2 > bytes.size())
        return false;
    out = mobi::be16(bytes.constData() + offset);
    return true;
}

void MobiParser::resetBook(PalmDbBook &book)
{
    book = PalmDbBook();
}

bool MobiParser::openPalmDb(PalmDbBook &book, const QString &path, QString *error)
{
    resetBook(book);
    const QFileInfo info(path);
    const qint64 size = info.size();
    if (!info.isFile() || size < PalmHeaderSize || (quint64(size) >> 32) != 0)
        return fail(error, "无法打开 PalmDB 文件");
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return fail(error, "无法打开 PalmDB 文件");

    const QByteArray header = file.read(PalmHeaderSize);
    if (header.size() < PalmHeaderSize)
        return fail(error, "PalmDB 记录表无效");
    const int count = mobi::be16(header.constData() + 76);
    if (count == 0)
        return fail(error, "PalmDB 记录表无效");
    const qint64 tableEnd = PalmHeaderSize + 8 * qint64(count);
    if (tableEnd > size)
        return fail(error, "PalmDB 记录表越界");
    const QByteArray table = file.read(8 * qint64(count));
    if (table.size() < 8 * qint64(count))
        return fail(error, "无法读取 PalmDB 记录表");

    QVector<quint32> offsets;
    offsets.reserve(count);
    for (int i = 0; i < count; ++i) {
        const quint32 offset = mobi::be32(table.constData() + 8 * i);
        if (qint64(offset) < tableEnd || qint64(offset) >= size
            || (i > 0 && offset <= offsets.last())) {
            resetBook(book);
            return fail(error, "PalmDB 记录偏移无效");
        }
        offsets.append(offset);
    }
    file.close();

    book.recordOffsets = offsets;
    book.filePath = path;
    book.fileSize = size;
    QByteArray name = header.left(32);
    const int nul = name.indexOf('\0');
    if (nul >= 0)
        name.truncate(nul);
    book.palmName = QString::fromLatin1(name).trimmed();
    book.isPalmDoc = header.mid(60, 4) == "TEXt" && header.mid(64, 4) == "REAd";

    QString recordError;
    const QByteArray record0 = readRecord(book, 0, &recordError);
    if (record0.isEmpty()) {
        resetBook(book);
        if (error && error->isEmpty())
            *error = recordError;
        return false;
    }
    if (!parseRecordZero(book, record0, error)) {
        resetBook(book);
        return false;
    }
    if (!book.isMobi) {
        if (book.isPalmDoc)
            return true;
        resetBook(book);
        return fail(error, "文件不是 PalmDOC 或 MOBI");
    }
    if (book.header.version > 7) {
        if (!parseContentSection(book, 0, record0, book.kf8Section, error)) {
            resetBook(book);
            return false;
        }
        return true;
    }
    if (!parseContentSection(book, 0, record0, book.mobiSection, error)) {
        resetBook(book);
        return false;
    }

    // A combined file: damage in its KF8 half only costs the KF8 section.
    const quint32 boundary = book.kf8BoundaryRecord;
    if (boundary == 0xFFFFFFFFu || qint64(boundary) >= count)
        return true;
    const QByteArray boundaryRecord = readRecord(book, int(boundary));
    const qint64 start = boundaryRecord.startsWith("BOUNDARY") ? qint64(boundary) + 1 : boundary;
    if (start >= count)
        return true;
    const QByteArray kf8Header = readRecord(book, int(start));
    MobiContentSection kf8;
    if (kf8Header.isEmpty() || !parseContentSection(book, int(start), kf8Header, kf8)
        || kf8.version < 8)
        kf8 = MobiContentSection();
    book.kf8Section = kf8;
    return true;
}

QByteArray MobiParser::readRecord(const PalmDbBook &book, int index, QString *error)
{
    if (index < 0 || index >= book.recordOffsets.size() || book.filePath.isEmpty()) {
        fail(error, "PalmDB 记录索引越界");
        return {};
    }
    QFile file(book.filePath);
    if (!file.open(QIODevice::ReadOnly)) {
        fail(error, "无法读取 PalmDB 记录");
        return {};
    }
    return readRecord(book, index, file, error);
}

QByteArray MobiParser::readRecord(const PalmDbBook &book, int index, QFile &file, QString *error)
{
    if (index < 0 || index >= book.recordOffsets.size()) {
        fail(error, "PalmDB 记录索引越界");
        return {};
    }
    const qint64 start = book.recordOffsets.at(index);
    const qint64 end =
        index + 1 < book.recordOffsets.size() ? qint64(book.recordOffsets.at(index + 1)) : book.fileSize;
    const qint64 length = end - start;
    if (length < 1 || length > MaxRecordSize) {
        fail(error, "PalmDB 记录大小无效");
        return {};
    }
    if (!file.seek(start)) {
        fail(error, "无法读取 PalmDB 记录");
        return {};
    }
    QByteArray bytes = file.read(length);
    if (bytes.size() != length) {
        fail(error, "PalmDB 记录读取不完整");
        return {};
    }
    return bytes;
}

bool MobiParser::isEncrypted(const PalmDbBook &book)
{
    return book.header.encryption != 0
        || (book.mobiSection.startRecord >= 0 && book.mobiSection.encryption != 0)
        || (book.kf8Section.startRecord >= 0 && book.kf8Section.encryption != 0);
}

bool MobiParser::hasKf8Section(const PalmDbBook &book)
{
    return book.kf8Section.startRecord >= 0;
}

bool MobiParser::isKf8Only(const PalmDbBook &book)
{
    return hasKf8Section(book) && book.mobiSection.startRecord < 0;
}
