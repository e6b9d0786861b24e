#include "mobiparser.h"

#include "imageutil.h"
#include "mobierror.h"
#include "paths.h"

#include <QDir>

#include <zlib.h>

namespace {

constexpr qint64 MaxResourceBytes = 52428800;     // one image or font
constexpr qint64 MaxBookResourceBytes = 1073741824;

struct RecordRange
{
    qint64 first = 0;
    qint64 end = 0;
};

bool isImage(const QByteArray &b)
{
    return mobi::hasMagic(b, 0, "\xFF\xD8\xFF", 3) || mobi::hasMagic(b, 0, "\x89PNG\r\n\x1A\n", 8)
        || mobi::hasMagic(b, 0, "BM", 2) || mobi::hasMagic(b, 0, "GIF8", 4)
        || (mobi::hasMagic(b, 0, "RIFF", 4) && mobi::hasMagic(b, 8, "WEBP", 4))
        || mobi::hasMagic(b, 0, "\x00\x00\x01\x00", 4) || mobi::hasMagic(b, 0, "\x00\x00\x00\x0CjP  ", 8)
        || mobi::hasMagic(b, 0, "II*\x00", 4) || mobi::hasMagic(b, 0, "MM\x00*", 4);
}

// The font of a KF8 FONT record (CRES header already removed): de-obfuscated,
// inflated and checked; empty when the record is not a usable font.
QByteArray decodeFontRecord(const QByteArray &record)
{
    if (record.size() <= 23)
        return {};
    quint32 size = 0, flags = 0, dataOffset = 0, keyLength = 0, keyOffset = 0;
    if (!readBigEndianUInt32(record, 4, size) || !readBigEndianUInt32(record, 8, flags)
        || !readBigEndianUInt32(record, 12, dataOffset) || !readBigEndianUInt32(record, 16, keyLength)
        || !readBigEndianUInt32(record, 20, keyOffset))
        return {};
    const qint64 length = record.size();
    if (size < 1 || size > MaxResourceBytes || dataOffset > length || flags > 3)
        return {};
    QByteArray data = record.mid(int(dataOffset));
    if (flags & 2) {
        if (keyLength == 0 || qint64(keyOffset) + keyLength > length)
            return {};
        const char *key = record.constData() + keyOffset;
        const qint64 count = qMin<qint64>(data.size(), qint64(keyLength) * 52);
        char *bytes = data.data();
        for (qint64 n = 0; n < count; ++n)
            bytes[n] = char(bytes[n] ^ key[n % keyLength]);
    }
    if (flags & 1) {
        QByteArray inflated(int(size), Qt::Uninitialized);
        uLongf outLength = size;
        if (uncompress(reinterpret_cast<Bytef *>(inflated.data()), &outLength,
                       reinterpret_cast<const Bytef *>(data.constData()), uLong(data.size())) != Z_OK
            || outLength != size)
            return {};
        data = inflated;
    }
    if (data.size() != qint64(size))
        return {};
    if (!mobi::hasMagic(data, 0, "\x00\x01\x00\x00", 4) && !mobi::hasMagic(data, 0, "OTTO", 4)
        && !mobi::hasMagic(data, 0, "ttcf", 4))
        return {};
    return data;
}

}

bool MobiParser::extractResources(QString *error)
{
    imageNamesByNumber.clear();
    resourceNamesByIndex.clear();
    flowNamesByIndex.clear();
    styleSheetTexts.clear();
    savedFilePaths.clear();
    mimeTypesByPath.clear();

    const bool kf8 = hasKf8Section(book);
    const bool combined = kf8 && book.mobiSection.startRecord >= 0;
    const qint64 records = recordCount(book);
    QVector<RecordRange> ranges;
    if (combined && book.mobiSection.firstImageRecord != 0xFFFFFFFFu) {
        const qint64 first = qint64(book.mobiSection.startRecord) + book.mobiSection.firstImageRecord;
        qint64 end = book.kf8Section.startRecord;
        if (end > 0 && readRecord(book, int(end - 1)).startsWith("BOUNDARY"))
            --end;
        if (first <= 0x7FFFFFFF && first < end)
            ranges.append({first, end});
    }
    if (kf8 && book.kf8Section.firstImageRecord != 0xFFFFFFFFu) {
        const qint64 first = qint64(book.kf8Section.startRecord) + book.kf8Section.firstImageRecord;
        if (first < records)
            ranges.append({first, records});
    }
    if (!kf8) {
        const qint64 first = book.header.firstImageRecord;
        const qint64 end = qMin<qint64>(book.kf8BoundaryRecord, records);
        if (first < end)
            ranges.append({first, end});
    }
    if (ranges.isEmpty())
        return true;

    const QDir dir(dataDir);
    if (!QDir(writeDir()).mkpath(QStringLiteral("images")) || !QDir(writeDir()).mkpath(QStringLiteral("fonts")))
        return mobi::fail(error, QStringLiteral("无法创建 MOBI 资源目录"));

    qint64 total = 0;
    for (const RecordRange &range : qAsConst(ranges)) {
        for (qint64 i = range.first; i < range.end; ++i) {
            const int k = int(i - range.first);
            QByteArray bytes = readRecord(book, int(i));
            if (bytes.isEmpty())
                continue;
            if (bytes.startsWith("CRES") && bytes.size() > 11)
                bytes.remove(0, 12);
            const bool inKf8Part = kf8 && (!combined || i >= book.kf8Section.startRecord);

            if (kf8 && bytes.startsWith("FONT")) {
                if (bytes.size() > MaxResourceBytes)
                    return mobi::fail(error, QStringLiteral("KF8 FONT 记录过大"));
                const QByteArray font = decodeFontRecord(bytes);
                if (font.isEmpty())
                    return mobi::fail(error, QStringLiteral("KF8 FONT 记录无效"));
                if (total + font.size() > MaxBookResourceBytes)
                    return mobi::fail(error, QStringLiteral("MOBI 资源总量过大"));
                const bool otf = font.startsWith("OTTO");
                const QString name = QStringLiteral("fonts/kf8-font-%1.%2")
                                         .arg(k, 5, 10, QLatin1Char('0'))
                                         .arg(otf ? QStringLiteral("otf") : QStringLiteral("ttf"));
                const QString path = dir.absoluteFilePath(name);
                if (!Paths::writeFile(stage.staged(path), font))
                    return mobi::fail(error, QStringLiteral("无法保存 KF8 字体资源"));
                total += font.size();
                resourceNamesByIndex.insert(k, name);
                savedFilePaths.insert(name, path);
                mimeTypesByPath.insert(path, otf ? QStringLiteral("font/otf") : QStringLiteral("font/ttf"));
                continue;
            }

            if (!isImage(bytes))
                continue;
            if (bytes.size() > MaxResourceBytes || total + bytes.size() > MaxBookResourceBytes)
                return mobi::fail(error, QStringLiteral("MOBI 图片资源过大"));
            if (!ImageUtil::loadFromBytes(bytes))
                continue;
            const QString suffix = ImageUtil::defaultSuffix(bytes).toLower();
            const QString name = inKf8Part
                ? QStringLiteral("kf8-resource-%1.%2").arg(k, 5, 10, QLatin1Char('0')).arg(suffix)
                : QStringLiteral("mobi-image-%1.%2").arg(k + 1).arg(suffix);
            const QString path = dir.absoluteFilePath(name);
            if (!Paths::writeFile(stage.staged(path), bytes))
                return mobi::fail(error, QStringLiteral("无法保存 MOBI 图片资源"));
            total += bytes.size();
            if (kf8)
                resourceNamesByIndex.insert(k, name);
            if (!inKf8Part)
                imageNamesByNumber.insert(k + 1, name);
            savedFilePaths.insert(name, path);
            mimeTypesByPath.insert(path, suffix == QLatin1String("jpg")
                                             ? QStringLiteral("image/jpeg")
                                             : QStringLiteral("image/") + suffix);
        }
    }
    return true;
}
