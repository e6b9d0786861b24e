#include "zipimageloader.h"

#include "textdetect.h"
#include "zipfile.h"

#include <QFile>
#include <QHash>
#include <QMutex>
#include <QMutexLocker>
#include <QTextCodec>
#include <QtDebug>

#include <unzip.h>

namespace {

constexpr uLong kNameBufferSize = 512;

struct ZipHandle
{
    unzFile file = nullptr;
    // Raw name bytes to directory position; the first of duplicate names
    // wins, as a directory search would find it.
    QHash<QByteArray, unz64_file_pos> entries;
};

// Process-wide; handles are closed on eviction, on release and at exit.
QMutex g_mutex;
QHash<QString, ZipHandle *> g_handles;

// One pass over the central directory.
void indexDirectory(ZipHandle *handle)
{
    QByteArray name(int(kNameBufferSize), '\0');
    for (int rc = unzGoToFirstFile(handle->file); rc == UNZ_OK;
         rc = unzGoToNextFile(handle->file)) {
        unz_file_info64 info;
        if (unzGetCurrentFileInfo64(handle->file, &info, name.data(), uLong(name.size()),
                                    nullptr, 0, nullptr, 0) != UNZ_OK)
            continue;
        if (info.size_filename > uLong(name.size())) {
            // Longer names than the usual buffer are still found exactly.
            name.resize(int(info.size_filename));
            if (unzGetCurrentFileInfo64(handle->file, &info, name.data(), uLong(name.size()),
                                        nullptr, 0, nullptr, 0) != UNZ_OK)
                continue;
        }
        const QByteArray key(name.constData(), int(info.size_filename));
        if (handle->entries.contains(key))
            continue;
        unz64_file_pos pos;
        if (unzGetFilePos64(handle->file, &pos) == UNZ_OK)
            handle->entries.insert(key, pos);
    }
}

void closeHandle(ZipHandle *handle)
{
    if (handle->file)
        unzClose(handle->file);
    delete handle;
}

// Declared after the cache, so it runs before the cache itself goes.
struct CloseAtExit
{
    ~CloseAtExit()
    {
        QMutexLocker lock(&g_mutex);
        for (ZipHandle *handle : qAsConst(g_handles))
            closeHandle(handle);
        g_handles.clear();
    }
} g_closeAtExit;

// Keeps at most three open files, never closing the one being read.
void evictBeyondThree(const QString &keep)
{
    if (g_handles.size() <= 3)
        return;
    for (auto it = g_handles.begin(); it != g_handles.end(); ++it) {
        if (it.key() != keep && it.value()->file) {
            closeHandle(it.value());
            g_handles.erase(it);
            return;
        }
    }
}

ZipHandle *openHandle(const QString &zipPath)
{
    ZipHandle *&slot = g_handles[zipPath];
    if (!slot)
        slot = new ZipHandle;
    ZipHandle *handle = slot;
    if (handle->file)
        return handle;
    handle->file = openZipFile(QFile::encodeName(zipPath).constData());
    if (!handle->file) {
        qWarning().noquote() << "[ZipImageLoader] 无法打开:" << zipPath;
        g_handles.remove(zipPath);
        delete handle;
        return nullptr;
    }
    indexDirectory(handle);
    evictBeyondThree(zipPath);
    return handle;
}

} // namespace

QByteArray ZipImageLoader::readEntry(const QString &zipPath, const QString &entryName, bool raw)
{
    QMutexLocker lock(&g_mutex);
    ZipHandle *handle = openHandle(zipPath);
    if (!handle)
        return QByteArray();

    const QByteArray name = raw ? QByteArray::fromBase64(entryName.toLatin1()) : entryName.toUtf8();
    if (name.isEmpty())
        return QByteArray();

    const auto found = handle->entries.constFind(name);
    if (found == handle->entries.constEnd()
        || unzGoToFilePos64(handle->file, &found.value()) != UNZ_OK) {
        qWarning().noquote() << "[ZipImageLoader] ZIP 中找不到:" << entryName;
        return QByteArray();
    }

    unz_file_info64 info;
    if (unzGetCurrentFileInfo64(handle->file, &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK)
        return QByteArray();
    const ZPOS64_T size = info.uncompressed_size;
    if (size < 1 || size > ZPOS64_T(kMaxEntryBytes)) {
        qWarning().noquote() << "[ZipImageLoader] 文件大小异常:" << entryName << quint64(size);
        return QByteArray();
    }
    if (unzOpenCurrentFile(handle->file) != UNZ_OK) {
        qWarning().noquote() << "[ZipImageLoader] 无法打开 ZIP 条目:" << entryName;
        return QByteArray();
    }

    QByteArray bytes(int(size), '\0');
    int done = 0;
    while (done < bytes.size()) {
        const int n = unzReadCurrentFile(handle->file, bytes.data() + done,
                                         unsigned(bytes.size() - done));
        if (n <= 0)
            break;
        done += n;
    }
    // Closing after a full read checks the CRC.
    const bool closed = unzCloseCurrentFile(handle->file) == UNZ_OK;
    if (!closed || done != bytes.size())
        return QByteArray();
    return bytes;
}

void ZipImageLoader::releaseZip(const QString &zipPath)
{
    QMutexLocker lock(&g_mutex);
    if (ZipHandle *handle = g_handles.take(zipPath))
        closeHandle(handle);
}

QString ZipImageLoader::displayName(const QByteArray &raw, bool utf8Flag)
{
    const int nul = raw.indexOf('\0');
    const QByteArray name = nul < 0 ? raw : raw.left(nul);
    if (utf8Flag || TextDetect::isValidUtf8(name))
        return QString::fromUtf8(name);
    if (QTextCodec *gb = QTextCodec::codecForName("GB18030"))
        return gb->toUnicode(name);
    return QString::fromLatin1(name);
}
