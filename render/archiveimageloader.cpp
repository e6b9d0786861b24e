#include "archiveimageloader.h"

#include "zipimageloader.h"

#include <QFile>
#include <QHash>
#include <QMutex>
#include <QMutexLocker>
#include <QStringList>
#include <QtDebug>

#include <archive.h>
#include <archive_entry.h>

namespace {

constexpr size_t kBlockSize = 262144;

struct ArchiveHandle
{
    struct archive *archive = nullptr;
    QString lastName; // normalised name of the header read last
};

// Process-wide; archives are closed on eviction, on release and at exit.
QMutex g_mutex;
QHash<QString, ArchiveHandle *> g_handles;

// A warning still delivers usable data (e.g. a name in another charset).
bool succeeded(int rc) { return rc == ARCHIVE_OK || rc == ARCHIVE_WARN; }

void closeArchive(ArchiveHandle *handle)
{
    if (handle->archive) {
        archive_read_close(handle->archive);
        archive_read_free(handle->archive);
        handle->archive = nullptr;
    }
    handle->lastName.clear();
}

// (Re)opens at the start of the archive.
bool openArchive(const QString &path, ArchiveHandle *handle)
{
    closeArchive(handle);
    struct archive *a = archive_read_new();
    if (!a)
        return false;
    archive_read_support_filter_all(a);
    archive_read_support_format_all(a);
    if (archive_read_open_filename(a, QFile::encodeName(path).constData(), kBlockSize)
        != ARCHIVE_OK) {
        archive_read_close(a);
        archive_read_free(a);
        return false;
    }
    handle->archive = a;
    return true;
}

void removeHandle(const QString &path)
{
    if (ArchiveHandle *handle = g_handles.take(path)) {
        closeArchive(handle);
        delete handle;
    }
}

// Declared after the cache, so it runs before the cache itself goes.
struct CloseAtExit
{
    ~CloseAtExit()
    {
        QMutexLocker lock(&g_mutex);
        for (ArchiveHandle *handle : qAsConst(g_handles)) {
            closeArchive(handle);
            delete handle;
        }
        g_handles.clear();
    }
} g_closeAtExit;

} // namespace

EntryRef ArchiveImageLoader::parseZipUrl(const QString &source)
{
    EntryRef ref;
    QString rest;
    bool raw = false;
    if (source.startsWith(QLatin1String("zipraw://"))) {
        rest = source.mid(9);
        raw = true;
    } else if (source.startsWith(QLatin1String("zip://"))) {
        rest = source.mid(6);
    } else {
        return ref;
    }
    const int split = raw ? rest.lastIndexOf(QLatin1String("::")) : rest.indexOf(QLatin1String("::"));
    if (split < 0)
        return ref;
    ref.containerPath = rest.left(split);
    ref.entryName = rest.mid(split + 2);
    return ref;
}

EntryRef ArchiveImageLoader::parseArchiveUrl(const QString &source)
{
    EntryRef ref;
    if (!source.startsWith(QLatin1String("archive://")))
        return ref;
    const QString rest = source.mid(10);
    const int split = rest.lastIndexOf(QLatin1String("::"));
    if (split < 0)
        return ref;
    ref.containerPath = rest.left(split);
    const QByteArray decoded = QByteArray::fromBase64(rest.mid(split + 2).toLatin1());
    if (!decoded.isNull()) {
        const int nul = decoded.indexOf('\0');
        ref.entryName = QString::fromUtf8(nul < 0 ? decoded : decoded.left(nul));
    }
    return ref;
}

QString ArchiveImageLoader::writtenPath(struct archive_entry *entry)
{
    QString name;
    if (const char *utf8 = archive_entry_pathname_utf8(entry))
        name = QString::fromUtf8(utf8);
    else if (const char *local = archive_entry_pathname(entry))
        name = QString::fromLocal8Bit(local);
    return writtenPath(name);
}

QString ArchiveImageLoader::writtenPath(QString name)
{
    // Windows separators, "./" prefixes and doubled slashes name the same file.
    name.replace(QLatin1Char('\\'), QLatin1Char('/'));
    while (name.startsWith(QLatin1String("./")))
        name.remove(0, 2);
    return name;
}

QString ArchiveImageLoader::normalisedPath(struct archive_entry *entry)
{
    return writtenPath(entry).split(QLatin1Char('/'), Qt::SkipEmptyParts).join(QLatin1Char('/'));
}

QByteArray ArchiveImageLoader::readEntry(const QString &archivePath, const QString &entryName)
{
    QMutexLocker lock(&g_mutex);
    ArchiveHandle *&slot = g_handles[archivePath];
    if (!slot)
        slot = new ArchiveHandle;
    ArchiveHandle *handle = slot;
    if (!handle->archive && !openArchive(archivePath, handle)) {
        removeHandle(archivePath);
        return QByteArray();
    }
    if (g_handles.size() > 3) {
        for (auto it = g_handles.begin(); it != g_handles.end(); ++it) {
            if (it.key() != archivePath) {
                closeArchive(it.value());
                delete it.value();
                g_handles.erase(it);
                break;
            }
        }
    }

    // From where the last read stopped to the end, then once from the start.
    // Any failure in the first pass (a damaged entry after the one wanted,
    // say) only ends that pass: the wanted entry may lie before it.
    int pass = 1;
    const auto startOver = [&]() {
        if (!openArchive(archivePath, handle)) {
            qWarning().noquote() << "[Archive] reopen failed archive=" << archivePath
                                 << "target=" << entryName;
            removeHandle(archivePath);
            return false;
        }
        pass = 2;
        return true;
    };
    for (;;) {
        struct archive_entry *entry = nullptr;
        if (!succeeded(archive_read_next_header(handle->archive, &entry))) {
            if (pass == 2) {
                qWarning().noquote() << "[Archive] read not found archive=" << archivePath
                                     << "entry=" << entryName;
                // Left at the start for the next read.
                if (!openArchive(archivePath, handle))
                    removeHandle(archivePath);
                return QByteArray();
            }
            if (!startOver())
                return QByteArray();
            continue;
        }

        handle->lastName = normalisedPath(entry);
        if (archive_entry_filetype(entry) == AE_IFREG && handle->lastName == entryName) {
            const qint64 size = archive_entry_size(entry);
            if (size < 1 || size > kMaxEntryBytes) {
                archive_read_data_skip(handle->archive);
                qWarning().noquote() << "[Archive] entry size rejected archive=" << archivePath
                                     << "entry=" << entryName << "size=" << size;
                continue;
            }
            QByteArray bytes(int(size), '\0');
            qint64 done = 0;
            while (done < size) {
                const la_ssize_t n = archive_read_data(handle->archive, bytes.data() + done,
                                                       size_t(size - done));
                if (n < 1) {
                    qWarning().noquote()
                        << "[Archive] data failed archive=" << archivePath << "entry=" << entryName
                        << QStringLiteral("read=%1/%2").arg(done).arg(size)
                        << "error=" << QString::fromUtf8(archive_error_string(handle->archive));
                    break;
                }
                done += n;
            }
            if (done == size)
                return bytes;
        } else if (succeeded(archive_read_data_skip(handle->archive))) {
            continue;
        } else {
            qWarning().noquote() << "[Archive] skip failed archive=" << archivePath
                                 << "current=" << handle->lastName << "target=" << entryName
                                 << "error=" << QString::fromUtf8(archive_error_string(handle->archive));
        }
        // A skip or data failure: the handle's position is lost.
        if (pass == 2) {
            closeArchive(handle);
            return QByteArray();
        }
        if (!startOver())
            return QByteArray();
    }
}

void ArchiveImageLoader::releaseArchive(const QString &path)
{
    ZipImageLoader::releaseZip(path);
    QMutexLocker lock(&g_mutex);
    removeHandle(path);
}
