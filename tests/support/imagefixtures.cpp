#include "imagefixtures.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QPainter>
#include <QThreadPool>
#include <QtEndian>

#include <archive.h>
#include <archive_entry.h>
#include <sys/resource.h>
#include <zip.h>
#include <zlib.h>

#include <future>

QByteArray encodedImage(const QImage &image, const char *format, int quality)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format, quality);
    return bytes;
}

QImage scene(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    QPainter painter(&image);
    QLinearGradient gradient(0, 0, width, height);
    gradient.setColorAt(0, QColor(250, 220, 120));
    gradient.setColorAt(1, QColor(30, 60, 160));
    painter.fillRect(image.rect(), gradient);
    painter.setBrush(QColor(200, 40, 40));
    painter.drawEllipse(QRectF(width * 0.1, height * 0.2, width * 0.5, height * 0.3));
    painter.fillRect(QRectF(width * 0.55, height * 0.6, width * 0.3, height * 0.3), QColor(20, 140, 60));
    return image;
}

double meanDifference(const QImage &a, const QImage &b)
{
    double sum = 0;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            sum += qAbs(qRed(p) - qRed(q)) + qAbs(qGreen(p) - qGreen(q)) + qAbs(qBlue(p) - qBlue(q));
        }
    }
    return sum / (3.0 * a.width() * a.height());
}

QImage madeOnPoolThread(const std::function<QImage()> &make)
{
    std::promise<QImage> result;
    std::future<QImage> made = result.get_future();
    QThreadPool::globalInstance()->start([&] { result.set_value(make()); });
    return made.get();
}

QByteArray pngBomb(int width, int height)
{
    // Rows (a filter byte and black pixels) deflated one by one, so the raw
    // image never exists in memory; all of them fit the output buffer.
    const QByteArray row(1 + 3 * width, '\0');
    QByteArray idat(qMax(1 << 16, int(qint64(row.size()) * height / 256)), '\0');
    z_stream z = {};
    deflateInit(&z, Z_BEST_COMPRESSION);
    z.next_out = reinterpret_cast<Bytef *>(idat.data());
    z.avail_out = uInt(idat.size());
    for (int y = 0; y < height; ++y) {
        z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(row.constData()));
        z.avail_in = uInt(row.size());
        deflate(&z, y + 1 == height ? Z_FINISH : Z_NO_FLUSH);
    }
    idat.resize(int(z.total_out));
    deflateEnd(&z);

    QByteArray header(13, '\0');
    qToBigEndian<quint32>(quint32(width), header.data());
    qToBigEndian<quint32>(quint32(height), header.data() + 4);
    header[8] = 8; // bit depth
    header[9] = 2; // RGB
    QByteArray png("\x89PNG\r\n\x1A\n", 8);
    const QPair<const char *, QByteArray> chunks[] = {{"IHDR", header}, {"IDAT", idat}, {"IEND", {}}};
    for (const auto &chunk : chunks) {
        const QByteArray body = chunk.first + chunk.second;
        char word[4];
        qToBigEndian<quint32>(quint32(chunk.second.size()), word);
        png.append(word, 4).append(body);
        qToBigEndian<quint32>(quint32(crc32(0, reinterpret_cast<const Bytef *>(body.constData()), uInt(body.size()))), word);
        png.append(word, 4);
    }
    return png;
}

qint64 peakMemoryKiB()
{
    // VmHWM follows resetPeakMemory(); the kernel's own count does not.
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("VmHWM:"))
                return line.mid(6).trimmed().split(' ').first().toLongLong();
        }
    }
    struct rusage usage = {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

void resetPeakMemory()
{
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5");
}

int openFilesBelow(const QString &folder)
{
    const QString prefix = QDir(folder).canonicalPath() + QLatin1Char('/');
    int count = 0;
    for (const QFileInfo &fd : QDir(QStringLiteral("/proc/self/fd")).entryInfoList(QDir::System | QDir::Files))
        count += fd.symLinkTarget().startsWith(prefix) ? 1 : 0;
    return count;
}

bool writeZip(const QString &path, const QVector<FixtureEntry> &entries, int level)
{
    zipFile zip = zipOpen64(QFile::encodeName(path).constData(), APPEND_STATUS_CREATE);
    bool ok = zip != nullptr;
    for (const FixtureEntry &e : entries) {
        zip_fileinfo info = {};
        ok = ok && zipOpenNewFileInZip64(zip, e.name.constData(), &info, nullptr, 0, nullptr, 0, nullptr,
                                         level == 0 ? 0 : Z_DEFLATED, level, 0) == ZIP_OK
             && zipWriteInFileInZip(zip, e.data.constData(), unsigned(e.data.size())) == ZIP_OK
             && zipCloseFileInZip(zip) == ZIP_OK;
    }
    return zip && zipClose(zip, nullptr) == ZIP_OK && ok;
}

bool writeArchive(const QString &path, const QString &kind, const QVector<FixtureEntry> &entries)
{
    struct archive *a = archive_write_new();
    if (kind == QLatin1String("7z"))
        archive_write_set_format_7zip(a);
    else if (kind == QLatin1String("ustar"))
        archive_write_set_format_ustar(a);
    else
        archive_write_set_format_pax_restricted(a);
    if (kind == QLatin1String("tar.gz"))
        archive_write_add_filter_gzip(a);
    bool ok = archive_write_open_filename(a, QFile::encodeName(path).constData()) == ARCHIVE_OK;
    for (const FixtureEntry &e : entries) {
        struct archive_entry *entry = archive_entry_new();
        archive_entry_set_pathname(entry, e.name.constData());
        archive_entry_set_filetype(entry, e.directory ? AE_IFDIR : AE_IFREG);
        archive_entry_set_perm(entry, e.directory ? 0755 : 0644);
        archive_entry_set_size(entry, e.data.size());
        ok = ok && archive_write_header(a, entry) == ARCHIVE_OK
             && (e.data.isEmpty() || archive_write_data(a, e.data.constData(), size_t(e.data.size())) == e.data.size());
        archive_entry_free(entry);
    }
    ok = archive_write_close(a) == ARCHIVE_OK && ok;
    archive_write_free(a);
    return ok;
}
