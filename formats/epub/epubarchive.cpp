#include "epubarchive.h"

#include "xmltext.h"
#include "zipfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QUrl>

#include <limits>

EpubArchive::EpubArchive(const QString &filePath)
{
    const QByteArray path = QFile::encodeName(filePath);
    m_zip = openZipFile(path.constData());
    if (!m_zip)
        return;
    for (int rc = unzGoToFirstFile(m_zip); rc == UNZ_OK; rc = unzGoToNextFile(m_zip)) {
        unz_file_info64 info;
        char name[4096];
        if (unzGetCurrentFileInfo64(m_zip, &info, name, sizeof(name), nullptr, 0, nullptr, 0)
            != UNZ_OK)
            continue;
        const QByteArray raw(name, int(qMin<uLong>(info.size_filename, sizeof(name) - 1)));
        unz64_file_pos position;
        if (unzGetFilePos64(m_zip, &position) != UNZ_OK)
            continue;
        m_names.append(QString::fromUtf8(raw));
        // The first of two equal names wins, as a central-directory walk finds it.
        if (!m_positions.contains(raw))
            m_positions.insert(raw, position);
    }
}

EpubArchive::~EpubArchive()
{
    if (m_zip)
        unzClose(m_zip);
}

bool EpubArchive::contains(const QString &entryPath) const
{
    return m_positions.contains(entryPath.toUtf8());
}

QByteArray EpubArchive::readEntry(const QString &entryPath)
{
    if (!m_zip)
        return QByteArray();
    const auto it = m_positions.constFind(entryPath.toUtf8());
    if (it == m_positions.constEnd())
        return QByteArray();
    unz64_file_pos position = it.value();
    if (unzGoToFilePos64(m_zip, &position) != UNZ_OK)
        return QByteArray();
    return readCurrentZipEntry(m_zip, MaxEntrySize);
}

QByteArray readCurrentZipEntry(unzFile zip, qint64 maxBytes, ZipEntryStatus *status)
{
    ZipEntryStatus ignored;
    ZipEntryStatus &result = status ? *status : ignored;
    result = ZipEntryStatus::Damaged;
    unz_file_info64 info;
    if (!zip || unzGetCurrentFileInfo64(zip, &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK)
        return QByteArray();
    if (info.compression_method != 0 && info.compression_method != Z_DEFLATED) {
        result = ZipEntryStatus::Unsupported;
        return QByteArray();
    }
    // A QByteArray holds at most 2 GiB whatever the caller allows.
    const qint64 limit = qMin<qint64>(maxBytes, std::numeric_limits<int>::max() - 64);
    if (info.uncompressed_size == 0) {
        result = ZipEntryStatus::Empty;
        return QByteArray();
    }
    if (info.uncompressed_size > ZPOS64_T(qMax<qint64>(limit, 0))) {
        result = ZipEntryStatus::TooLarge;
        return QByteArray();
    }
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
    // Closing after the declared size was read checks the CRC: sizes that lie
    // leave a cut text behind otherwise.
    if (unzCloseCurrentFile(zip) != UNZ_OK || total != bytes.size())
        return QByteArray();
    result = ZipEntryStatus::Ok;
    return bytes;
}

QString EpubArchive::readText(const QString &entryPath)
{
    const QByteArray bytes = readEntry(entryPath);
    if (bytes.isEmpty())
        return QString();
    return decodeXmlBytes(bytes);
}

QString resolveEpubHref(const QString &href, const QString &basePath)
{
    static const QRegularExpression scheme(QStringLiteral("^[A-Za-z][A-Za-z0-9+.-]*:"));
    QString path = href;
    const int hash = path.indexOf(QLatin1Char('#'));
    if (hash >= 0)
        path.truncate(hash);
    const int query = path.indexOf(QLatin1Char('?'));
    if (query >= 0)
        path.truncate(query);
    // A link into the base document itself, or out of the book.
    if (path.isEmpty() || scheme.match(path).hasMatch())
        return QString();
    // Conforming packages write "Chapter%201.xhtml" for "Chapter 1.xhtml".
    path = QUrl::fromPercentEncoding(path.toUtf8());
    if (path.startsWith(QLatin1Char('/')))
        return path.mid(1);
    const QString dir = QFileInfo(basePath).path();
    if (dir.isEmpty() || dir == QLatin1String("."))
        return path;
    return QDir::cleanPath(dir + QLatin1Char('/') + path);
}

QString epubHrefAnchor(const QString &href)
{
    const int hash = href.indexOf(QLatin1Char('#'));
    if (hash < 0)
        return QString();
    return QUrl::fromPercentEncoding(href.mid(hash + 1).toUtf8());
}
