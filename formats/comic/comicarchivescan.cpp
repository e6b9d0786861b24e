// The one pass over a RAR, 7z or tar comic archive: limits, ComicInfo.xml,
// page extraction with size probing, natural order.

#include "cbrparser.h"

#include "archiveimageloader.h"
#include "bookfilecheck.h"
#include "comicpages.h"
#include "imagedecode.h"
#include "logmanager.h"
#include "naturalorder.h"
#include "svgguard.h"

#include <QCoreApplication>
#include <QDebug>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <archive.h>
#include <archive_entry.h>
#include <langinfo.h>
#include <locale.h>

#include <vector>

namespace {

const int OpenBlockBytes = 262144;
const int MaxHeaders = 20000;
const int ExtractBlockBytes = 262144;
const int ProbeLimitBytes = 4194304;
const int ProbeReserveBytes = 65536;
const qint64 KeepUnsizedAbove = 4194304;

QString translated(const char *text)
{
    return QCoreApplication::translate("CbrParser", text);
}

// libarchive converts entry names through the thread's LC_CTYPE: under a
// non-UTF-8 codeset (LANG=C) a 7z or RAR name such as 第1页.jpg has no UTF-8
// form. The scan runs with a UTF-8 LC_CTYPE on its own thread only.
class Utf8CtypeScope
{
public:
    Utf8CtypeScope()
    {
        if (isUtf8(nl_langinfo(CODESET)))
            return;
        locale_t base = duplocale(uselocale(locale_t(0)));
        if (!base)
            return;
        m_locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", base);
        if (!m_locale) {
            freelocale(base);
            return;
        }
        m_previous = uselocale(m_locale);
    }
    ~Utf8CtypeScope()
    {
        if (!m_locale)
            return;
        uselocale(m_previous);
        freelocale(m_locale);
    }
    Utf8CtypeScope(const Utf8CtypeScope &) = delete;
    Utf8CtypeScope &operator=(const Utf8CtypeScope &) = delete;

    static bool isUtf8(const char *codeset)
    {
        const QByteArray name = QByteArray(codeset).toUpper().replace('-', "");
        return name == "UTF8";
    }

private:
    locale_t m_locale = locale_t(0);
    locale_t m_previous = locale_t(0);
};

// The entry's path with "\" as "/", leading "./" dropped; empty for names
// that are absolute, climb with "..", or have no part at all.
QByteArray normalisedName(struct archive_entry *entry)
{
    const QString name = ArchiveImageLoader::writtenPath(entry);
    if (name.startsWith(QLatin1Char('/')))
        return QByteArray();
    const QStringList parts = name.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (parts.isEmpty() || parts.contains(QStringLiteral("..")))
        return QByteArray();
    return parts.join(QLatin1Char('/')).toUtf8();
}

QByteArray lastPart(const QByteArray &name)
{
    return name.mid(name.lastIndexOf('/') + 1);
}

QByteArray firstPart(const QByteArray &name)
{
    const int slash = name.indexOf('/');
    return slash < 0 ? name : name.left(slash);
}

// The format of the common page types from their signature, so the size
// probe goes straight to its handler instead of asking every plug-in;
// empty (the reader decides from the content) for anything else.
QByteArray signatureFormat(const QByteArray &head)
{
    if (head.startsWith("\xFF\xD8\xFF"))
        return QByteArrayLiteral("jpeg");
    if (head.startsWith("\x89PNG\r\n\x1A\n"))
        return QByteArrayLiteral("png");
    if (head.startsWith("GIF8"))
        return QByteArrayLiteral("gif");
    if (head.startsWith("RIFF") && head.mid(8, 4) == "WEBP")
        return QByteArrayLiteral("webp");
    return QByteArray();
}

// Reads the whole entry (declared size bytes); false on a short read.
bool readWhole(struct archive *reader, qint64 size, QByteArray &out)
{
    QByteArray buffer(int(size), Qt::Uninitialized);
    qint64 filled = 0;
    while (filled < size) {
        const la_ssize_t got = archive_read_data(reader, buffer.data() + filled, size_t(size - filled));
        if (got <= 0)
            return false;
        filled += got;
    }
    out = buffer;
    return true;
}

}

QByteArray CbrParser::imageFormatKey(const QByteArray &name)
{
    const int nul = name.indexOf('\0');
    const QString text = QString::fromUtf8(nul < 0 ? name : name.left(nul));
    QByteArray key = QFileInfo(text).suffix().toLatin1().toLower();
    if (key == "jpg" || key == "jpe")
        key = "jpeg";
    return key;
}

QSize CbrParser::extractEntry(struct archive *reader, qint64 declaredSize, const QString &targetPath,
                              bool *written, const std::function<bool(qint64)> &justified)
{
    *written = false;
    QFile file(targetPath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return QSize(-1, -1);
    const auto fail = [&file] {
        file.close();
        file.remove();
        return QSize(-1, -1);
    };

    // One block buffer per thread for every page.
    thread_local std::vector<char> block(ExtractBlockBytes);
    QByteArray probe;
    probe.reserve(ProbeReserveBytes);
    QSize size(-1, -1);
    qint64 done = 0;
    while (done < declaredSize) {
        const qint64 want = qMin<qint64>(declaredSize - done, ExtractBlockBytes);
        const la_ssize_t got = archive_read_data(reader, block.data(), size_t(want));
        if (got <= 0 || !justified(done + got) || file.write(block.data(), got) != got)
            return fail();
        done += got;
        // Retry the size from the growing head of the page until its header
        // yields one or 4 MiB have been examined.
        if ((size.width() < 0 || size.height() < 0) && probe.size() < ProbeLimitBytes) {
            probe.append(block.data(), int(qMin<qint64>(got, ProbeLimitBytes - probe.size())));
            // A drawing is never sized here: Qt SVG would read the whole of it.
            if (!SvgGuard::isDrawing(probe)) {
                ImageDecode::Options options = ImageDecode::sizeOnly();
                options.format = signatureFormat(probe);
                const QSize probed = ImageDecode::decode(probe, options).natural;
                if (probed.width() >= 0 && probed.height() >= 0)
                    size = probed;
            }
        }
    }
    if (!file.flush())
        return fail();
    file.close();
    *written = true;
    return size;
}

bool CbrParser::scanArchive(const QString &formatLabel, const QString &filePath,
                            const QString &imagesDir, QByteArray &comicInfoXml,
                            QVector<CbrImageEntry> &entries, QString &error,
                            const std::function<void(const CbrImageEntry &)> &pageKept)
{
    QElapsedTimer timer;
    timer.start();
    QLOG_DEBUG() << "[CbrParser] scan start type=" << formatLabel << "path=" << filePath;
    const Utf8CtypeScope utf8Names;

    struct archive *reader = archive_read_new();
    if (!reader) {
        error = translated("无法创建 %1 读取器").arg(formatLabel);
        return false;
    }
    archive_read_support_filter_all(reader);
    archive_read_support_format_all(reader);
    if (archive_read_open_filename(reader, filePath.toUtf8().constData(), OpenBlockBytes) != ARCHIVE_OK) {
        const char *message = archive_error_string(reader);
        error = translated("无法打开 %1 文件: %2")
                    .arg(formatLabel, message ? QString::fromLocal8Bit(message) : QString());
        archive_read_free(reader);
        return false;
    }
    const auto fail = [&] {
        if (error.isEmpty()) {
            // The archive's own words go to the log; a read that breaks off
            // is the file's damage to the reader.
            const char *message = archive_error_string(reader);
            qWarning().noquote() << "[CbrParser] 归档读取失败:" << formatLabel << filePath
                                 << (message ? QString::fromLocal8Bit(message) : QString());
            error = BookFileCheck::damaged(formatLabel);
        }
        archive_read_close(reader);
        archive_read_free(reader);
        return false;
    };
    const auto skip = [reader] {
        const int result = archive_read_data_skip(reader);
        return result == ARCHIVE_OK || result == ARCHIVE_WARN;
    };

    const QSet<QByteArray> &suffixes = comicImageSuffixes();
    const QSet<QByteArray> &readable = readableImageFormats();
    int headers = 0;
    qint64 declaredTotal = 0;
    // What the pages kept so far unpacked to, against the archive bytes read.
    const qint64 archiveBytes = QFileInfo(filePath).size();
    qint64 keptBytes = 0;
    const auto leaveOut = [&](const QByteArray &name, int candidate) {
        qWarning() << "[CbrParser] page too large for the archive, left out:" << name;
        entries.append(CbrImageEntry{name, QString(), -1, -1, candidate, true});
        return skip();
    };
    int ordinal = 0;
    bool haveComicInfo = false;
    entries.clear();

    for (;;) {
        struct archive_entry *entry = nullptr;
        const int result = archive_read_next_header(reader, &entry);
        if (result == ARCHIVE_EOF)
            break;
        if (result == ARCHIVE_WARN) {
            // An unconvertible name or an odd header field; the entry is still there.
            const char *message = archive_error_string(reader);
            qWarning() << "[CbrParser] archive warning:" << (message ? message : "");
        } else if (result != ARCHIVE_OK) {
            return fail();
        }
        if (++headers > MaxHeaders) {
            error = translated("%1 文件条目过多").arg(formatLabel);
            return fail();
        }
        if (archive_entry_filetype(entry) != AE_IFREG) {
            if (!skip())
                return fail();
            continue;
        }
        const QByteArray name = normalisedName(entry);
        const qint64 size = archive_entry_size_is_set(entry) ? archive_entry_size(entry) : 0;
        if (size < 0 || size > MaxComicUnpackedBytes - declaredTotal) {
            error = translated("%1 文件解压后过大").arg(formatLabel);
            return fail();
        }
        declaredTotal += size;
        if (name.isEmpty()) {
            if (!skip())
                return fail();
            continue;
        }

        const QByteArray fileName = lastPart(name);
        if (qstricmp(fileName.constData(), "ComicInfo.xml") == 0) {
            const bool qualifies = !haveComicInfo || !name.contains('/');
            if (qualifies && size >= 1 && size <= MaxComicInfoBytes) {
                if (!readWhole(reader, size, comicInfoXml))
                    return fail();
                haveComicInfo = true;
            } else if (!skip()) {
                return fail();
            }
            continue;
        }

        const QByteArray key = imageFormatKey(name);
        if (!suffixes.contains(key)) {
            if (!skip())
                return fail();
            continue;
        }
        // Entries of one name are each a page of their own: libarchive reads
        // names in NFC, so two files whose names differ only in
        // normalisation come out under the same name.
        const int candidate = ordinal++;
        if (firstPart(name).toLower() == "__macosx" || fileName.startsWith('.')
            || !readable.contains(key) || size < 1) {
            if (!skip())
                return fail();
            continue;
        }
        // Holes are no stored bytes; nor can more than the whole archive holds.
        if (size > MaxComicPageBytes || archive_entry_sparse_count(entry) > 0
            || !comicUnpackJustified(keptBytes + size, archiveBytes)) {
            if (!leaveOut(name, candidate))
                return fail();
            continue;
        }

        const QString target = imagesDir + QLatin1Char('/')
                               + QStringLiteral("%1.%2").arg(candidate, 6, 10, QLatin1Char('0'))
                                     .arg(QString::fromLatin1(key));
        archive_clear_error(reader);
        bool written = false;
        bool unjustified = false;
        const QSize probed = extractEntry(reader, size, target, &written, [&](qint64 done) {
            unjustified = !comicUnpackJustified(keptBytes + done, archive_filter_bytes(reader, -1));
            return !unjustified;
        });
        if (unjustified) {
            if (!leaveOut(name, candidate))
                return fail();
            continue;
        }
        if (!written) {
            // A broken archive is reported as such; otherwise the disk refused.
            if (!archive_error_string(reader))
                error = translated("无法保存 %1 图片: %2").arg(formatLabel, QString::fromUtf8(name));
            return fail();
        }
        if ((probed.width() < 0 || probed.height() < 0) && size <= KeepUnsizedAbove) {
            QFile::remove(target);
            continue;
        }
        keptBytes += size;
        entries.append(CbrImageEntry{name, target, probed.width(), probed.height(), candidate});
        if (entries.size() > MaxComicPages) {
            error = translated("%1 图片数量过多").arg(formatLabel);
            return fail();
        }
        if (pageKept)
            pageKept(entries.last());
    }

    archive_read_close(reader);
    archive_read_free(reader);
    QLOG_DEBUG() << "[CbrParser] scan complete before sort entries=" << entries.size()
                 << "archiveEntries=" << headers << "totalUncompressedBytes=" << declaredTotal
                 << "elapsedMs=" << timer.elapsed();
    NaturalOrder().sort(
        entries,
        [](const CbrImageEntry &entry) {
            const int nul = entry.name.indexOf('\0');
            return QString::fromUtf8(nul < 0 ? entry.name : entry.name.left(nul));
        },
        [](const CbrImageEntry &entry) { return entry.name; });
    QLOG_DEBUG() << "[CbrParser] scan sorted entries=" << entries.size() << "elapsedMs=" << timer.elapsed();
    return true;
}
