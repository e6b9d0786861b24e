#include "imagefixtures.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtEndian>

#include <archive.h>
#include <archive_entry.h>
#include <sys/resource.h>
#include <zip.h>
#include <zlib.h>

QByteArray encodedImage(const QImage &image, const char *format, int quality)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format, quality);
    return bytes;
}

namespace {

void appendChunk(QByteArray &png, const char *type, const QByteArray &data)
{
    uchar length[4];
    qToBigEndian<quint32>(quint32(data.size()), length);
    png.append(reinterpret_cast<const char *>(length), 4);
    const QByteArray body = QByteArray(type, 4) + data;
    png.append(body);
    uchar crc[4];
    qToBigEndian<quint32>(quint32(crc32(0, reinterpret_cast<const Bytef *>(body.constData()),
                                        uInt(body.size()))),
                          crc);
    png.append(reinterpret_cast<const char *>(crc), 4);
}

} // namespace

QByteArray pngBomb(int width, int height)
{
    QByteArray header(13, '\0');
    qToBigEndian<quint32>(quint32(width), header.data());
    qToBigEndian<quint32>(quint32(height), header.data() + 4);
    header[8] = 8; // bit depth
    header[9] = 2; // RGB

    // Each row: filter byte 0 and black pixels, deflated as a stream so the
    // raw image never exists in memory.
    const QByteArray row(1 + 3 * width, '\0');
    QByteArray idat;
    z_stream z = {};
    deflateInit(&z, Z_BEST_COMPRESSION);
    QByteArray out(1 << 16, '\0');
    for (int y = 0; y < height; ++y) {
        z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(row.constData()));
        z.avail_in = uInt(row.size());
        const int flush = y + 1 == height ? Z_FINISH : Z_NO_FLUSH;
        do {
            z.next_out = reinterpret_cast<Bytef *>(out.data());
            z.avail_out = uInt(out.size());
            deflate(&z, flush);
            idat.append(out.constData(), out.size() - int(z.avail_out));
        } while (z.avail_out == 0);
    }
    deflateEnd(&z);

    QByteArray png("\x89PNG\r\n\x1A\n", 8);
    appendChunk(png, "IHDR", header);
    appendChunk(png, "IDAT", idat);
    appendChunk(png, "IEND", QByteArray());
    return png;
}

qint64 peakMemoryKiB()
{
    struct rusage usage = {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

int openFilesBelow(const QString &folder)
{
    const QString prefix = QFileInfo(folder).canonicalFilePath() + QLatin1Char('/');
    int count = 0;
    const QFileInfoList fds = QDir(QStringLiteral("/proc/self/fd")).entryInfoList(QDir::System | QDir::Files);
    for (const QFileInfo &fd : fds) {
        if (fd.symLinkTarget().startsWith(prefix))
            ++count;
    }
    return count;
}

bool writeZip(const QString &path, const QVector<FixtureEntry> &entries, int level)
{
    zipFile zip = zipOpen64(QFile::encodeName(path).constData(), APPEND_STATUS_CREATE);
    if (!zip)
        return false;
    bool ok = true;
    for (const FixtureEntry &entry : entries) {
        zip_fileinfo info = {};
        const QByteArray name = entry.directory ? entry.name + '/' : entry.name;
        ok = ok && zipOpenNewFileInZip64(zip, name.constData(), &info, nullptr, 0, nullptr, 0,
                                         nullptr, level == 0 ? 0 : Z_DEFLATED, level,
                                         entry.data.size() > 0x7fffffff) == ZIP_OK;
        ok = ok && zipWriteInFileInZip(zip, entry.data.constData(), unsigned(entry.data.size())) == ZIP_OK;
        ok = ok && zipCloseFileInZip(zip) == ZIP_OK;
    }
    return zipClose(zip, nullptr) == ZIP_OK && ok;
}

bool writeArchive(const QString &path, const QString &kind, const QVector<FixtureEntry> &entries)
{
    struct archive *a = archive_write_new();
    if (kind == QLatin1String("7z")) {
        archive_write_set_format_7zip(a);
    } else {
        archive_write_set_format_pax_restricted(a);
        if (kind == QLatin1String("tar.gz"))
            archive_write_add_filter_gzip(a);
    }
    bool ok = archive_write_open_filename(a, QFile::encodeName(path).constData()) == ARCHIVE_OK;
    for (const FixtureEntry &e : entries) {
        if (!ok)
            break;
        struct archive_entry *entry = archive_entry_new();
        archive_entry_set_pathname(entry, e.name.constData());
        archive_entry_set_filetype(entry, e.directory ? AE_IFDIR : AE_IFREG);
        archive_entry_set_perm(entry, e.directory ? 0755 : 0644);
        archive_entry_set_size(entry, e.directory ? 0 : e.data.size());
        ok = archive_write_header(a, entry) == ARCHIVE_OK;
        if (ok && !e.directory && !e.data.isEmpty())
            ok = archive_write_data(a, e.data.constData(), size_t(e.data.size())) == e.data.size();
        archive_entry_free(entry);
    }
    ok = archive_write_close(a) == ARCHIVE_OK && ok;
    archive_write_free(a);
    return ok;
}
