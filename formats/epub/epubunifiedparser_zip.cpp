#include "epubunifiedparser.h"
#include "xmltext.h"

#include <unzip.h>

#include <limits>

QByteArray EpubUnifiedParser::readZipEntry(void *archive, const QString &entryPath, qint64 maxBytes)
{
    unzFile zip = archive;
    if (!zip || unzLocateFile(zip, entryPath.toUtf8().constData(), 1) != UNZ_OK)
        return QByteArray();
    unz_file_info64 info;
    if (unzGetCurrentFileInfo64(zip, &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK)
        return QByteArray();
    // A QByteArray holds at most 2 GiB whatever the caller allows.
    const qint64 limit = qMin<qint64>(maxBytes, std::numeric_limits<int>::max() - 64);
    if (info.uncompressed_size == 0 || info.uncompressed_size > ZPOS64_T(qMax<qint64>(limit, 0)))
        return QByteArray();
    if (unzOpenCurrentFile(zip) != UNZ_OK)
        return QByteArray();
    QByteArray bytes(int(info.uncompressed_size), Qt::Uninitialized);
    int total = 0;
    while (total < bytes.size()) {
        const int read = unzReadCurrentFile(zip, bytes.data() + total, unsigned(bytes.size() - total));
        if (read <= 0)
            break;
        total += read;
    }
    unzCloseCurrentFile(zip);
    if (total < bytes.size())
        return QByteArray();
    return bytes;
}

QString EpubUnifiedParser::readZipText(void *archive, const QString &entryPath)
{
    const QByteArray bytes = readZipEntry(archive, entryPath, 20 * 1024 * 1024);
    if (bytes.isNull())
        return QString();
    return decodeXmlBytes(bytes);
}
