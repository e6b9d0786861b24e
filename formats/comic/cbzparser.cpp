#include "cbzparser.h"

#include "archiveimageloader.h"
#include "chapterinfo.h"
#include "comicpages.h"
#include "databaseconnection.h"
#include "keys.h"
#include "naturalorder.h"
#include "novelinfo.h"
#include "pageimageloader.h"
#include "paragraph.h"
#include "parserregistry.h"
#include "paths.h"
#include "transaction.h"
#include "unifiedchunkdao.h"
#include "unifiedparagraphdao.h"
#include "zipfile.h"
#include "zipimageloader.h"

#include <QDebug>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QImage>
#include <QSaveFile>

#include <cstdio>

namespace {

const ParserRegistration registration("cbz", &CbzParser::create);

constexpr int CopyBlockBytes = 262144;
constexpr int ProbeBlockBytes = 16384;
constexpr uLong Utf8NameFlag = 0x0800;
constexpr uLong EncryptedFlag = 0x0001;

QString translated(const char *text)
{
    return QCoreApplication::translate("CbzParser", text);
}

ParseResult failure(const char *message)
{
    return ParseResult::failed(translated(message));
}

// The archive handle, closed on every way out.
class Zip
{
public:
    explicit Zip(const QString &path) : m_zip(openZipFile(QFile::encodeName(path).constData())) {}
    ~Zip()
    {
        if (m_zip)
            unzClose(m_zip);
    }
    Zip(const Zip &) = delete;
    Zip &operator=(const Zip &) = delete;
    unzFile get() const { return m_zip; }

private:
    unzFile m_zip;
};

struct Scan
{
    QVector<CbzPageEntry> pages;
    QByteArray comicInfoName;
};

// One pass over the central directory. False: the listing broke or a limit was hit.
bool scanEntries(unzFile zip, Scan &scan)
{
    QSet<QByteArray> seen;
    QHash<QByteArray, CbzEntryPosition> firstOfName;
    quint64 total = 0;
    int ordinal = 0;
    int rc = unzGoToFirstFile(zip);
    for (; rc == UNZ_OK; rc = unzGoToNextFile(zip)) {
        unz_file_info64 info{};
        if (unzGetCurrentFileInfo64(zip, &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK)
            return false;
        if (info.size_filename < 1 || info.size_filename > uLong(CbzParser::MaxNameBytes))
            continue;
        QByteArray buffer(int(info.size_filename) + 1, '\0');
        if (unzGetCurrentFileInfo64(zip, &info, buffer.data(), uLong(buffer.size()), nullptr, 0,
                                    nullptr, 0) != UNZ_OK)
            continue;
        CbzPageEntry entry;
        entry.rawName = buffer.left(int(info.size_filename));
        auto first = firstOfName.find(entry.rawName);
        if (first == firstOfName.end()) {
            CbzEntryPosition here;
            if (unzGetFilePos64(zip, &here.position) != UNZ_OK)
                continue;
            here.size = info.uncompressed_size;
            first = firstOfName.insert(entry.rawName, here);
        }
        entry.firstOfName = first.value();
        entry.displayName = ZipImageLoader::displayName(entry.rawName, info.flag & Utf8NameFlag);
        if (comicImageSuffixes().contains(CbzParser::imageFormatKey(entry.rawName, entry.displayName)))
            entry.ordinal = ordinal++;

        const quint64 size = info.uncompressed_size;
        if ((info.flag & EncryptedFlag) || size < 1)
            continue;
        const bool image = CbzParser::isImageEntry(entry.rawName, entry.displayName) && !seen.contains(entry.rawName);
        // Pages stay in the copy, read when shown: only their size bounds them.
        entry.leftOut = size > CbzParser::MaxPageBytes;
        if (image && entry.leftOut)
            qWarning() << "[CbzParser] page too large for the archive, left out:" << entry.displayName;
        if (image) {
            if (scan.pages.size() >= CbzParser::MaxPages || total + size > CbzParser::MaxTotalPageBytes)
                return false;
            seen.insert(entry.rawName);
            total += entry.leftOut ? 0 : size;
            scan.pages.append(entry);
            continue;
        }
        if (entry.leftOut)
            continue;
        if (size <= CbzParser::MaxComicInfoBytes
            && QFileInfo(entry.displayName).fileName().compare(QLatin1String("ComicInfo.xml"), Qt::CaseInsensitive) == 0) {
            // The last top-level one, else the first nested one.
            if (scan.comicInfoName.isEmpty()
                || !ArchiveImageLoader::writtenPath(entry.displayName).contains(QLatin1Char('/')))
                scan.comicInfoName = entry.rawName;
        }
    }
    return rc == UNZ_END_OF_LIST_OF_FILE;
}

// Raw name to directory position, first occurrence kept, in one pass.
QHash<QByteArray, CbzEntryPosition> indexEntries(unzFile zip)
{
    QHash<QByteArray, CbzEntryPosition> index;
    QByteArray buffer;
    for (int rc = unzGoToFirstFile(zip); rc == UNZ_OK; rc = unzGoToNextFile(zip)) {
        unz_file_info64 info{};
        if (unzGetCurrentFileInfo64(zip, &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK
            || info.size_filename < 1 || info.size_filename > uLong(CbzParser::MaxNameBytes))
            continue;
        buffer.resize(int(info.size_filename) + 1);
        CbzEntryPosition entry;
        if (unzGetCurrentFileInfo64(zip, &info, buffer.data(), uLong(buffer.size()), nullptr, 0,
                                    nullptr, 0) != UNZ_OK
            || unzGetFilePos64(zip, &entry.position) != UNZ_OK)
            continue;
        entry.size = info.uncompressed_size;
        const QByteArray name = buffer.left(int(info.size_filename));
        if (!index.contains(name))
            index.insert(name, entry);
    }
    return index;
}

// The current entry whole, as readEntry reads it.
QByteArray readCurrentEntry(unzFile zip, quint64 maxSize)
{
    unz_file_info64 info{};
    if (unzGetCurrentFileInfo64(zip, &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK
        || info.uncompressed_size == 0 || info.uncompressed_size > maxSize
        || info.uncompressed_size > CbzParser::MaxPageBytes || unzOpenCurrentFile(zip) != UNZ_OK)
        return QByteArray();
    QByteArray bytes(int(info.uncompressed_size), Qt::Uninitialized);
    int done = 0;
    while (done < bytes.size()) {
        const int read = unzReadCurrentFile(zip, bytes.data() + done, unsigned(bytes.size() - done));
        if (read <= 0)
            break;
        done += read;
    }
    // Closing after the whole entry was read checks its CRC.
    if (unzCloseCurrentFile(zip) != UNZ_OK || done != bytes.size())
        return QByteArray();
    return bytes;
}

// Entries are reached by their scanned positions: locating each by name scans
// the directory from its start, which a book of unreadable pages makes quadratic.
QImage chooseCover(unzFile zip, const QVector<CbzPageEntry> &pages, int frontCoverIndex)
{
    const auto decode = [&](const CbzPageEntry &page) {
        if (page.leftOut)
            return QImage();
        unz64_file_pos position = page.firstOfName.position;
        if (unzGoToFilePos64(zip, &position) != UNZ_OK)
            return QImage();
        return decodeComicCover(readCurrentEntry(zip, CbzParser::MaxPageBytes));
    };
    if (frontCoverIndex >= 0) {
        for (const CbzPageEntry &page : pages) {
            if (page.ordinal == frontCoverIndex) {
                const QImage cover = decode(page);
                if (!cover.isNull())
                    return cover;
                break;
            }
        }
    }
    // The front cover, already tried above, is not decoded a second time.
    for (const CbzPageEntry &page : pages) {
        if (frontCoverIndex >= 0 && page.ordinal == frontCoverIndex)
            continue;
        const QImage cover = decode(page);
        if (!cover.isNull())
            return cover;
    }
    return QImage();
}

// The natural size from the image header, inflating at most the first
// SizeProbeBytes of the entry; (-1, -1) when unknown.
QSize probeSize(unzFile zip, CbzEntryPosition entry)
{
    if (entry.size < 1 || entry.size > CbzParser::MaxPageBytes
        || unzGoToFilePos64(zip, &entry.position) != UNZ_OK || unzOpenCurrentFile(zip) != UNZ_OK)
        return QSize(-1, -1);
    const QSize size = PageImageLoader::imageSizeFromHead(
        [zip](char *data, int max) { return unzReadCurrentFile(zip, data, unsigned(max)); },
        int(qMin<quint64>(entry.size, CbzParser::SizeProbeBytes)), ProbeBlockBytes);
    unzCloseCurrentFile(zip);
    return size;
}

} // namespace

CbzParser::CbzParser()
    : formatLabel(QStringLiteral("CBZ"))
{
}

IFormatParser *CbzParser::create()
{
    return new CbzParser;
}

QByteArray CbzParser::imageFormatKey(const QByteArray &rawName, const QString &displayName)
{
    QByteArray key = QFileInfo(displayName).suffix().toLatin1().toLower();
    if (key.isEmpty()) {
        QByteArray path = rawName;
        path.replace('\\', '/');
        const int dot = path.lastIndexOf('.');
        if (dot >= 0)
            key = path.mid(dot + 1).toLower();
    }
    if (key == "jpg" || key == "jpe")
        key = "jpeg";
    return key;
}

bool CbzParser::isImageEntry(const QByteArray &rawName, const QString &displayName)
{
    QByteArray path = rawName;
    path.replace('\\', '/');
    const QList<QByteArray> parts = path.split('/');
    if (parts.isEmpty())
        return false;
    if (parts.first().toLower() == "__macosx" || parts.last().startsWith('.'))
        return false;
    return readableImageFormats().contains(imageFormatKey(rawName, displayName));
}

void CbzParser::naturalSort(QVector<CbzPageEntry> &entries)
{
    NaturalOrder().sort(
        entries, [](const CbzPageEntry &entry) { return entry.displayName; },
        [](const CbzPageEntry &entry) { return entry.rawName; });
}

QByteArray CbzParser::readEntry(unzFile zip, const QByteArray &rawName, qint64 maxSize)
{
    if (rawName.isEmpty() || !zip || maxSize < 1 || unzLocateFile(zip, rawName.constData(), 1) != UNZ_OK)
        return QByteArray();
    return readCurrentEntry(zip, quint64(maxSize));
}

bool CbzParser::copyBookFile(const QString &source, const QString &target)
{
    if (QFileInfo(source).absoluteFilePath() == QFileInfo(target).absoluteFilePath())
        return true;
    QFile in(source);
    QSaveFile out(target);
    out.setDirectWriteFallback(true);
    if (!in.open(QIODevice::ReadOnly) || !out.open(QIODevice::WriteOnly))
        return false;
    QByteArray block(CopyBlockBytes, Qt::Uninitialized);
    for (;;) {
        const qint64 read = in.read(block.data(), block.size());
        if (read < 0)
            return false;
        if (read == 0)
            return out.commit();
        if (out.write(block.constData(), read) != read)
            return false;
    }
}

ParseResult CbzParser::parseBookInfo(const QString &filePath)
{
    const QFileInfo file(filePath);
    if (!file.exists() || !file.isFile())
        return failure("无法打开 CBZ 文件");

    scannedSize = file.size();
    scannedModified = file.lastModified();
    Scan scan;
    Zip zip(filePath);
    if (!zip.get() || !scanEntries(zip.get(), scan))
        return failure("无法打开 CBZ 文件");
    naturalSort(scan.pages);
    if (scan.pages.isEmpty())
        return failure("CBZ 中没有支持的图片");

    ComicInfo info;
    if (!scan.comicInfoName.isEmpty())
        info = parseComicInfo(readEntry(zip.get(), scan.comicInfoName, qint64(MaxComicInfoBytes)));
    const QImage cover = chooseCover(zip.get(), scan.pages, info.frontCoverIndex);
    if (cover.isNull())
        return failure("CBZ 中没有可解码的图片");

    if (!m_stage.begin(bookIdForPath(filePath)))
        return failure("无法创建 CBZ 数据目录");

    NovelInfo *novel = newComicNovel(filePath, formatLabel, info);

    const QString coverPath = m_stage.dataDir() + QStringLiteral("cover.png");
    if (cover.save(m_stage.staged(coverPath), "PNG", ComicCoverPngQuality))
        novel->setCoverPath(coverPath);

    pages.swap(scan.pages);

    return ParseResult::ofNovel(novel);
}

ParseResult CbzParser::parseChapters(const QString &filePath, NovelInfo *novel)
{
    if (!novel || pages.isEmpty())
        return failure("CBZ 书籍信息为空");
    zipPath = QDir(novel->dataDir()).absoluteFilePath(QStringLiteral("book.cbz"));
    ArchiveImageLoader::releaseArchive(zipPath);
    const QFileInfo source(filePath);
    positionsHold = source.size() == scannedSize && source.lastModified() == scannedModified;
    // The copy the library reads stays until this import commits; importing
    // that copy itself stages a copy of it too.
    m_stagedCopy = m_stage.staged(zipPath);
    if (!copyBookFile(filePath, m_stagedCopy)) {
        QFile::remove(m_stagedCopy);
        m_stagedCopy.clear();
        zipPath.clear();
        return failure("无法保存 CBZ 文件副本");
    }
    // A handle opened on the old copy meanwhile would read stale entries.
    const QString copy = zipPath;
    m_stage.setAfterSwap([copy] { ArchiveImageLoader::releaseArchive(copy); });

    return ParseResult::ofChapters({newWholeBookChapter(*novel, QStringLiteral("_cbz_0"), zipPath, pages.size())});
}

bool CbzParser::parseUnified(const QVector<ChapterInfo *> &chapters, const QString &novelId,
                             UnifiedParagraphDao *paragraphDao, UnifiedChunkDao *chunkDao)
{
    if (!paragraphDao || !chunkDao || chapters.size() != 1 || !chapters.first() || zipPath.isEmpty()
        || pages.isEmpty())
        return false;
    ChapterInfo *chapter = chapters.first();

    // Sizes come from the staged copy, byte for byte the archive the ids name.
    // The scan's positions serve unless the file changed after the scan.
    Zip zip(m_stagedCopy);
    const QHash<QByteArray, CbzEntryPosition> index = zip.get() && !positionsHold
                                                          ? indexEntries(zip.get())
                                                          : QHash<QByteArray, CbzEntryPosition>();
    const QString prefix = QStringLiteral("zipraw://") + zipPath + QStringLiteral("::");
    QVector<Paragraph> paragraphs;
    paragraphs.reserve(pages.size());
    for (const CbzPageEntry &page : qAsConst(pages)) {
        CbzEntryPosition entry = page.firstOfName;
        bool known = zip.get() != nullptr;
        if (known && !positionsHold) {
            const auto found = index.constFind(page.rawName);
            known = found != index.constEnd();
            if (known)
                entry = found.value();
        }
        const QSize size = known ? probeSize(zip.get(), entry) : QSize(-1, -1);
        paragraphs.append(page.leftOut ? comicLeftOutPage(page.displayName)
                                       : comicPageParagraph(prefix + QString::fromLatin1(page.rawName.toBase64()), size));
    }

    finishWholeBookPages(paragraphs, chapter);

    // Nested in the import's transaction: kept only if the whole import commits.
    Transaction transaction(DatabaseConnection::database());
    if (!transaction.isActive())
        return false;
    if (!replaceStoredPages(novelId, *chapter, paragraphs, paragraphDao, chunkDao)) {
        transaction.rollback();
        return false;
    }
    return transaction.commit();
}

bool CbzParser::finishImport(bool success)
{
    if (!success)
        m_stage.abandon();
    m_stagedCopy.clear();
    return true;
}
