#include "epubunifiedparser.h"
#include "epubarchive.h"
#include "xmltext.h"

#include <unzip.h>

QByteArray EpubUnifiedParser::readZipEntry(void *archive, const QString &entryPath, qint64 maxBytes)
{
    unzFile zip = archive;
    if (!zip || unzLocateFile(zip, entryPath.toUtf8().constData(), 1) != UNZ_OK)
        return QByteArray();
    return readCurrentZipEntry(zip, maxBytes);
}

QString EpubUnifiedParser::readZipText(void *archive, const QString &entryPath)
{
    const QByteArray bytes = readZipEntry(archive, entryPath, 20 * 1024 * 1024);
    if (bytes.isNull())
        return QString();
    return decodeXmlBytes(bytes);
}
