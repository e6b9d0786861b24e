#include "epubunifiedparser.h"

#include "chaptercontentstore.h"
#include "chapterinfo.h"
#include "contentrows.h"
#include "databaseconnection.h"
#include "epubarchive.h"
#include "epubfonts.h"
#include "epubitemconversion.h"
#include "logmanager.h"
#include "pageimageloader.h"
#include "paragraphutils.h"
#include "transaction.h"
#include "unifiedchunkdao.h"
#include "unifiedparagraphdao.h"
#include "xmltext.h"
#include "zipfile.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QTextStream>
#include <QThread>
#include <QThreadPool>
#include <QXmlStreamReader>
#include <QtConcurrent>

#include <unzip.h>

#include <atomic>
#include <cmath>
#include <memory>
#include <numeric>

namespace {

constexpr qint64 MaxDocumentBytes = 20 * 1024 * 1024;
// All XHTML and CSS one book may bring into memory for conversion.
constexpr qint64 MaxContentBytes = qint64(512) * 1024 * 1024;
constexpr qint64 MaxFontBytes = 50 * 1024 * 1024;
constexpr int ImageProbeLimit = 256 * 1024;
constexpr int ImageProbeBlock = 16 * 1024;
// Spine documents converted and stored together; peak memory follows this,
// so it is one per conversion thread.
constexpr int BatchItemsPerThread = 1;
// What one book may store, whatever its archive's size.
constexpr qint64 MaxBookParagraphs = 2000000;
// Converted paragraphs kept from the counting pass for the store: a book
// of up to about this many is converted once, a larger one partly twice.
constexpr qint64 KeptParagraphs = 100000;

struct ZipEntry
{
    unz64_file_pos position{};
    quint64 size = 0;
};

// The book copy, closed on every way out.
class ZipHandle
{
public:
    explicit ZipHandle(const QString &path) : m_zip(openZipFile(path.toUtf8().constData())) {}
    ~ZipHandle() { close(); }
    ZipHandle(const ZipHandle &) = delete;
    ZipHandle &operator=(const ZipHandle &) = delete;
    unzFile get() const { return m_zip; }
    void close()
    {
        if (m_zip)
            unzClose(m_zip);
        m_zip = nullptr;
    }

private:
    unzFile m_zip;
};

// The global pool's maximum goes to the ideal count however the run ends.
class PoolLimit
{
public:
    explicit PoolLimit(int threads) { QThreadPool::globalInstance()->setMaxThreadCount(qMax(1, threads)); }
    ~PoolLimit() { QThreadPool::globalInstance()->setMaxThreadCount(QThread::idealThreadCount()); }
};

struct Book
{
    QString dataDir;
    QString copyPath;
    QString opfPath;
    QStringList spine;
    QHash<QString, ZipEntry> entries;       // exact entry name
    QMap<QString, QString> archiveIndex;
    QMap<QString, QString> manifest;
    QSet<QString> styleSheets;
    QString uniqueId;
};

QString elapsed(QElapsedTimer &timer)
{
    const QString text = QString::number(timer.elapsed()) + QStringLiteral("ms");
    timer.restart();
    return text;
}

bool readMeta(Book &book)
{
    QFile file(book.dataDir + QStringLiteral(".epub_meta"));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;
    QTextStream stream(&file);
    stream.setCodec("UTF-8");
    book.copyPath = stream.readLine().trimmed();
    book.opfPath = stream.readLine().trimmed();
    while (!stream.atEnd()) {
        const QString line = stream.readLine().trimmed();
        if (!line.isEmpty())
            book.spine.append(line);
    }
    return true;
}

void indexArchive(unzFile zip, Book &book)
{
    QStringList names;
    QHash<QString, int> fileNameCounts;
    for (int rc = unzGoToFirstFile(zip); rc == UNZ_OK; rc = unzGoToNextFile(zip)) {
        unz_file_info64 info;
        char name[4096];
        if (unzGetCurrentFileInfo64(zip, &info, name, sizeof(name), nullptr, 0, nullptr, 0) != UNZ_OK)
            continue;
        const QString entry = QString::fromUtf8(
            name, int(qMin<uLong>(info.size_filename, sizeof(name) - 1)));
        ZipEntry located;
        if (unzGetFilePos64(zip, &located.position) != UNZ_OK || book.entries.contains(entry))
            continue;
        located.size = info.uncompressed_size;
        book.entries.insert(entry, located);
        names.append(entry);
        ++fileNameCounts[entry.section(QLatin1Char('/'), -1).toLower()];
    }
    // Exact names first, so a lower-case key never hides a real entry.
    for (const QString &entry : qAsConst(names))
        book.archiveIndex.insert(entry, entry);
    for (const QString &entry : qAsConst(names)) {
        const QString lower = entry.toLower();
        if (!book.archiveIndex.contains(lower))
            book.archiveIndex.insert(lower, entry);
    }
    for (const QString &entry : qAsConst(names)) {
        const QString fileName = entry.section(QLatin1Char('/'), -1).toLower();
        if (fileNameCounts.value(fileName) == 1 && !book.archiveIndex.contains(fileName))
            book.archiveIndex.insert(fileName, entry);
    }
}

QByteArray readEntryAt(unzFile zip, const ZipEntry &entry, qint64 maxBytes,
                       ZipEntryStatus *status = nullptr)
{
    unz64_file_pos position = entry.position;
    if (unzGoToFilePos64(zip, &position) != UNZ_OK) {
        if (status)
            *status = ZipEntryStatus::Damaged;
        return QByteArray();
    }
    return readCurrentZipEntry(zip, maxBytes, status);
}

bool readPackage(unzFile zip, Book &book)
{
    const QString text = EpubUnifiedParser::readZipText(zip, book.opfPath);
    if (text.isEmpty())
        return false;
    QString uniqueIdRef;
    QMap<QString, QString> identifiers;
    QXmlStreamReader xml(text);
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        const QStringRef name = xml.name();
        if (name == QLatin1String("item")) {
            const QString href = xml.attributes().value(QLatin1String("href")).toString();
            const QString type =
                xml.attributes().value(QLatin1String("media-type")).toString().trimmed().toLower();
            const QString entry = EpubUnifiedParser::lookupResource(href, book.archiveIndex, book.opfPath, book.opfPath);
            if (entry.isEmpty())
                continue;
            book.manifest.insert(entry, type);
            if (type == QLatin1String("text/css"))
                book.styleSheets.insert(entry);
        } else if (name == QLatin1String("package")) {
            uniqueIdRef = xml.attributes().value(QLatin1String("unique-identifier")).toString();
        } else if (name == QLatin1String("identifier")) {
            const QString id = xml.attributes().value(QLatin1String("id")).toString();
            const QString value = xml.readElementText(QXmlStreamReader::SkipChildElements).trimmed();
            if (!id.isEmpty())
                identifiers.insert(id, value);
        }
    }
    if (xml.hasError())
        return false;
    book.uniqueId = identifiers.value(uniqueIdRef);
    return true;
}

// The archive entry of a spine path; another letter case is accepted when the
// exact name is missing.
QString spineEntry(const Book &book, const QString &path)
{
    if (book.entries.contains(path))
        return path;
    return book.archiveIndex.value(path.toLower());
}

QString inlineStyles(const QString &xhtml)
{
    static const QRegularExpression styleBlock(
        QStringLiteral("<style\\b[^>]*>(.*?)</style\\s*>"),
        QRegularExpression::CaseInsensitiveOption | QRegularExpression::DotMatchesEverythingOption);
    QString styles;
    QRegularExpressionMatchIterator it = styleBlock.globalMatch(xhtml);
    while (it.hasNext())
        styles += it.next().captured(1) + QLatin1Char('\n');
    return styles;
}

// Natural size from the first bytes of the image, read in small blocks.
QSize probeImage(unzFile zip, const ZipEntry &entry)
{
    if (entry.size == 0)
        return QSize(-1, -1);
    unz64_file_pos position = entry.position;
    if (unzGoToFilePos64(zip, &position) != UNZ_OK || unzOpenCurrentFile(zip) != UNZ_OK)
        return QSize(-1, -1);
    const QSize size = PageImageLoader::imageSizeFromHead(
        [zip](char *data, int max) { return unzReadCurrentFile(zip, data, unsigned(max)); },
        int(qMin<quint64>(entry.size, ImageProbeLimit)), ImageProbeBlock);
    unzCloseCurrentFile(zip);
    return size;
}

void applyImageSize(Paragraph &paragraph, const QSize &natural)
{
    const int w = natural.width();
    const int h = natural.height();
    paragraph.progressWeight = estimateImageHeight(paragraph.imageWidth, paragraph.imageHeight, w, h);
    if ((paragraph.imageWidth > 0 && paragraph.imageHeight > 0) || w < 0 || h < 0)
        return;
    if (paragraph.imageWidth > 0 && w > 0)
        paragraph.imageHeight = int(std::lround(double(h) * paragraph.imageWidth / w));
    else if (paragraph.imageHeight > 0 && h > 0)
        paragraph.imageWidth = int(std::lround(double(w) * paragraph.imageHeight / h));
    else if (paragraph.imageWidth <= 0 && paragraph.imageHeight <= 0) {
        paragraph.imageWidth = w;
        paragraph.imageHeight = h;
    }
}

// Where a chapter's range lies in the spine.
struct ChapterPlan
{
    int start = -1;
    int end = -1;
    QString anchor;
    QString endAnchor;
    bool valid = false;
};

ChapterPlan planOf(const ChapterInfo *chapter, int spineLength)
{
    ChapterPlan plan;
    if (!chapter)
        return plan;
    plan.start = chapter->property("epubStartIdx").toInt();
    plan.end = chapter->property("epubEndIdx").toInt();
    plan.anchor = chapter->property("epubAnchor").toString();
    plan.endAnchor = chapter->property("epubEndAnchor").toString();
    plan.valid = chapter->property("epubStartIdx").isValid() && plan.start >= 0
        && plan.start <= plan.end && plan.end < spineLength;
    return plan;
}

// Paragraphs [from, to) of a converted item with their tables numbered from 0,
// as a conversion of that range alone would number them.
QVector<Paragraph> slice(const QVector<Paragraph> &paragraphs, int from, int to)
{
    QVector<Paragraph> part = paragraphs.mid(from, qMax(0, to - from));
    int first = -1;
    for (const Paragraph &p : qAsConst(part)) {
        if (p.kind == Paragraph::TableCell && p.tableId >= 0)
            first = first < 0 ? p.tableId : qMin(first, p.tableId);
    }
    if (first > 0) {
        for (Paragraph &p : part) {
            if (p.kind == Paragraph::TableCell && p.tableId >= 0)
                p.tableId -= first;
        }
    }
    return part;
}

class ContentStore
{
public:
    ContentStore(const QVector<ChapterInfo *> &chapters, const QString &novelId,
                 UnifiedParagraphDao *paragraphDao, UnifiedChunkDao *chunkDao)
        : m_chapters(chapters), m_novelId(novelId), m_paragraphDao(paragraphDao), m_chunkDao(chunkDao)
    {
    }

    bool run(int threadCount);

private:
    bool readContent(unzFile zip);
    void registerFonts(unzFile zip);
    bool convertAndStore(unzFile zip, int threadCount, int *storedParagraphs);
    bool countParagraphs(unzFile zip, int batchItems, QMap<int, EpubItemConversion> *kept);
    QVector<EpubItemConversion> convertItems(unzFile zip, const QVector<int> &items,
                                             std::atomic<qint64> *paragraphs);
    bool assemble(int index, const QMap<int, EpubItemConversion> &items, EpubChapterParseResult *result);
    void chapterFailed(int index, const QString &error) const;
    bool store(ChapterInfo *chapter, EpubChapterParseResult &result);

    const QVector<ChapterInfo *> &m_chapters;
    QString m_novelId;
    UnifiedParagraphDao *m_paragraphDao;
    UnifiedChunkDao *m_chunkDao;
    Book m_book;
    QVector<ChapterPlan> m_plans;
    QHash<int, QStringList> m_itemAnchors;    // spine index to the anchors cut there
    QSet<QString> m_readable;                 // spine entries with content
    QHash<QString, ZipEntryStatus> m_unreadable;    // damaged or undecodable spine entries
    QMap<QString, QString> m_inlineStyles;    // entry name to its <style> texts
    QMap<QString, QString> m_css;
    EpubConversionContext m_context;
    QHash<QString, QSize> m_imageSizes;
    QHash<int, int> m_consumed;               // spine index to the paragraphs chapters took
    // Drawn once the book's rows are counted, handed out in storing order.
    std::unique_ptr<AscendingRowIds> m_paragraphIds;
    std::unique_ptr<AscendingRowIds> m_chunkIds;
    QString m_firstError;
};

bool ContentStore::run(int threadCount)
{
    QElapsedTimer total;
    total.start();
    QElapsedTimer stage;
    stage.start();

    // A staged import reads its files from the stage; what it stores names
    // the book's data folder.
    const QString stagedDir = m_chapters.first()->property("epubReadDir").toString();
    m_book.dataDir = stagedDir.isEmpty() ? QFileInfo(m_chapters.first()->path()).path() + QLatin1Char('/')
                                         : stagedDir;
    if (!readMeta(m_book))
        return false;
    const QString stagedCopy = m_chapters.first()->property("epubReadCopy").toString();
    QLOG_INFO().noquote() << "[EpubUnifiedParser] 章节数:" << m_chapters.size()
                          << "spine文件数:" << m_book.spine.size();
    ZipHandle zip(stagedCopy.isEmpty() ? m_book.copyPath : stagedCopy);
    if (!zip.get())
        return false;
    QLOG_INFO().noquote() << "[EpubUnifiedParser] [1/6] 打开ZIP:" << elapsed(stage);

    indexArchive(zip.get(), m_book);
    if (!readPackage(zip.get(), m_book)) {
        qWarning().noquote() << "[EpubUnifiedParser] OPF 无法读取:" << m_book.opfPath;
        return false;
    }
    const QMap<QString, EpubObfuscation> obfuscation = EpubFonts::readEncryption(
        EpubUnifiedParser::readZipText(zip.get(), QStringLiteral("META-INF/encryption.xml")),
        m_book.uniqueId);
    QLOG_INFO().noquote() << "[EpubUnifiedParser] [2/6] ZIP索引(" << m_book.archiveIndex.size()
                          << "条目):" << elapsed(stage);

    m_plans.reserve(m_chapters.size());
    for (const ChapterInfo *chapter : m_chapters) {
        const ChapterPlan plan = planOf(chapter, m_book.spine.size());
        m_plans.append(plan);
        if (!plan.valid)
            continue;
        if (!plan.anchor.isEmpty())
            m_itemAnchors[plan.start].append(plan.anchor);
        if (!plan.endAnchor.isEmpty())
            m_itemAnchors[plan.end].append(plan.endAnchor);
    }
    if (!readContent(zip.get()))
        return false;
    QLOG_INFO().noquote() << "[EpubUnifiedParser] [3/6] 内容读入(" << m_readable.size() << " XHTML,"
                          << m_css.size() << " CSS):" << elapsed(stage);

    EpubFonts::Book fonts;
    fonts.bookId = m_novelId;
    fonts.opfPath = m_book.opfPath;
    fonts.styleTexts = m_css;
    for (auto it = m_inlineStyles.constBegin(); it != m_inlineStyles.constEnd(); ++it)
        fonts.styleTexts.insert(it.key(), it.value());
    m_inlineStyles.clear();
    fonts.obfuscation = obfuscation;
    fonts.lookup = [this](const QString &href, const QString &stylePath) {
        return EpubUnifiedParser::lookupResource(href, m_book.archiveIndex, stylePath, m_book.opfPath);
    };
    unzFile handle = zip.get();
    fonts.read = [handle](const QString &entry) {
        return EpubUnifiedParser::readZipEntry(handle, entry, MaxFontBytes);
    };
    EpubFonts::writeManifest(m_book.dataDir, m_book.copyPath, EpubFonts::registerFonts(fonts));
    m_context.imageIdPrefix = QStringLiteral("zip://") + m_book.copyPath + QStringLiteral("::");
    QLOG_INFO().noquote() << "[EpubUnifiedParser] [4/6] 资源索引就绪(" << m_book.manifest.size()
                          << " manifest项):" << elapsed(stage);

    m_context.styleSheets = CssStyleSheet::parseAll(m_css);
    m_context.archiveIndex = m_book.archiveIndex;
    m_context.manifest = m_book.manifest;
    m_context.opfPath = m_book.opfPath;

    // Nested inside the import's own transaction: nothing is kept unless the
    // whole import commits.
    Transaction transaction(DatabaseConnection::database());
    if (!transaction.isActive()) {
        qWarning().noquote() << "[EpubUnifiedParser] 开启事务失败:" << transaction.lastError();
        return false;
    }
    if (!m_chunkDao->removeByNovelId(m_novelId) || !m_paragraphDao->removeByNovelId(m_novelId)) {
        transaction.rollback();
        return false;
    }
    QLOG_INFO().noquote() << "[EpubUnifiedParser] [5/6] 并行处理" << m_chapters.size() << "章...";
    int storedParagraphs = 0;
    if (!convertAndStore(zip.get(), threadCount, &storedParagraphs)) {
        transaction.rollback();
        return false;
    }
    zip.close();
    QLOG_INFO().noquote() << "[EpubUnifiedParser] [5/6] SAX解析完成:" << elapsed(stage);
    if (storedParagraphs == 0) {
        qWarning().noquote() << "[EpubUnifiedParser] XHTML解析失败:" << m_firstError;
        transaction.rollback();
        return false;
    }
    if (!transaction.commit()) {
        qWarning().noquote() << "[EpubUnifiedParser] 提交事务失败:" << transaction.lastError();
        return false;
    }
    QLOG_INFO().noquote() << "[EpubUnifiedParser] [6/6] DB入库(" << storedParagraphs << "段落):"
                          << elapsed(stage);
    QLOG_INFO().noquote() << "[EpubUnifiedParser] 总计:" << total.elapsed() << "ms";
    return true;
}

bool ContentStore::readContent(unzFile zip)
{
    QSet<QString> needed;
    QSet<int> items;
    for (const ChapterPlan &plan : qAsConst(m_plans)) {
        for (int i = plan.start; plan.valid && i <= plan.end; ++i) {
            const QString entry = spineEntry(m_book, m_book.spine.at(i));
            if (!entry.isEmpty()) {
                needed.insert(entry);
                items.insert(i);
            }
        }
    }
    // Refused from the sizes the archive declares, before anything is inflated.
    // A document the spine lists again is converted again, so counted again.
    qint64 declared = 0;
    const auto count = [&](const QString &entry) {
        const quint64 size = m_book.entries.value(entry).size;
        if (size <= quint64(MaxDocumentBytes))
            declared += qint64(size);
    };
    for (int i : qAsConst(items))
        count(spineEntry(m_book, m_book.spine.at(i)));
    for (const QString &entry : qAsConst(m_book.styleSheets))
        count(entry);
    if (declared > MaxContentBytes) {
        qWarning().noquote() << "[EpubUnifiedParser] 正文与样式超过上限 (字节):" << declared;
        return false;
    }
    // Documents are read again when converted; here only their own style
    // elements are kept, so memory never holds the whole book's text.
    for (const QString &entry : qAsConst(needed)) {
        ZipEntryStatus status = ZipEntryStatus::Damaged;
        const QByteArray bytes = readEntryAt(zip, m_book.entries.value(entry), MaxDocumentBytes, &status);
        if (bytes.isEmpty()) {
            if (status == ZipEntryStatus::Damaged || status == ZipEntryStatus::Unsupported) {
                m_unreadable.insert(entry, status);
                qWarning().noquote() << "[EpubUnifiedParser]"
                                     << (status == ZipEntryStatus::Damaged ? "ZIP 条目已损坏:"
                                                                           : "ZIP 条目压缩方式不受支持:")
                                     << entry;
            }
            continue;
        }
        m_readable.insert(entry);
        if (bytes.contains("style") || bytes.contains('\0')) {
            const QString styles = inlineStyles(decodeXmlBytes(bytes));
            if (!styles.isEmpty())
                m_inlineStyles.insert(entry, styles);
        }
    }
    for (const QString &entry : qAsConst(m_book.styleSheets)) {
        const QByteArray bytes = readEntryAt(zip, m_book.entries.value(entry), MaxDocumentBytes);
        if (!bytes.isEmpty())
            m_css.insert(entry, QString::fromUtf8(bytes));
    }
    return true;
}

// The spine documents items[k], read here one archive entry at a time and
// converted on the pool. Each adds its paragraph count to paragraphs; once
// that passes the book's bound, the documents not yet started are skipped.
QVector<EpubItemConversion> ContentStore::convertItems(unzFile zip, const QVector<int> &items,
                                                       std::atomic<qint64> *paragraphs)
{
    QVector<QByteArray> texts;
    texts.reserve(items.size());
    for (int i : items) {
        const QString entry = spineEntry(m_book, m_book.spine.at(i));
        texts.append(m_readable.contains(entry)
                         ? readEntryAt(zip, m_book.entries.value(entry), MaxDocumentBytes)
                         : QByteArray());
    }
    QVector<int> positions(items.size());
    std::iota(positions.begin(), positions.end(), 0);
    return QtConcurrent::blockingMapped(
        positions, std::function<EpubItemConversion(const int &)>([&](const int &k) {
            const int i = items.at(k);
            const QString path = m_book.spine.at(i);
            EpubItemConversion result;
            if (paragraphs->load() > MaxBookParagraphs)
                return result;
            if (texts.at(k).isEmpty()) {
                const auto why = m_unreadable.constFind(spineEntry(m_book, path));
                result.error = why == m_unreadable.cend()
                    ? QStringLiteral("无法读取 spine 文件: %1").arg(path)
                    : why.value() == ZipEntryStatus::Damaged
                    ? QStringLiteral("spine 文件已损坏: %1").arg(path)
                    : QStringLiteral("spine 文件的压缩方式不受支持: %1").arg(path);
                return result;
            }
            result = convertEpubItem(decodeXmlBytes(texts.at(k)), m_context,
                                     spineEntry(m_book, path), m_itemAnchors.value(i));
            *paragraphs += result.paragraphs.size();
            return result;
        }));
}

// Every document the chapters use is converted once before anything is
// stored, so a book over the bounds is refused without storing most of it.
// The first documents' results are kept for the store.
bool ContentStore::countParagraphs(unzFile zip, int batchItems, QMap<int, EpubItemConversion> *kept)
{
    QVector<int> items;
    // Spine index to the first chapter that uses it, which a failure names.
    QHash<int, int> firstUser;
    for (int c = 0; c < m_plans.size(); ++c) {
        const ChapterPlan &plan = m_plans.at(c);
        if (!m_chapters.at(c) || !plan.valid) {
            chapterFailed(c, m_chapters.at(c) ? QStringLiteral("章节 spine 范围无效") : QStringLiteral("章节信息为空"));
            return false;
        }
        for (int i = plan.start; i <= plan.end; ++i) {
            items.append(i);
            if (!firstUser.contains(i))
                firstUser.insert(i, c);
        }
    }
    std::sort(items.begin(), items.end());
    items.erase(std::unique(items.begin(), items.end()), items.end());
    std::atomic<qint64> paragraphs{0};
    qint64 chunks = 0;
    qint64 keptParagraphs = 0;
    for (int from = 0; from < items.size(); from += batchItems) {
        const QVector<int> batch = items.mid(from, batchItems);
        const QVector<EpubItemConversion> results = convertItems(zip, batch, &paragraphs);
        for (int k = 0; k < batch.size(); ++k) {
            if (results.at(k).tooLarge) {
                qWarning().noquote() << "[EpubUnifiedParser] 内容超过上限，导入中止:"
                                     << results.at(k).error;
                return false;
            }
        }
        if (paragraphs.load() > MaxBookParagraphs) {
            qWarning().noquote() << "[EpubUnifiedParser] 全书段落超过上限，导入中止:" << paragraphs.load();
            return false;
        }
        // A chapter short of one of its documents fails the book.
        for (int k = 0; k < batch.size(); ++k) {
            if (!results.at(k).ok) {
                chapterFailed(firstUser.value(batch.at(k)), results.at(k).error);
                return false;
            }
        }
        for (const EpubItemConversion &result : results) {
            for (const Paragraph &p : result.paragraphs)
                chunks += p.chunks.size();
        }
        for (int k = 0; k < batch.size() && keptParagraphs < KeptParagraphs; ++k) {
            keptParagraphs += results.at(k).paragraphs.size();
            kept->insert(batch.at(k), results.at(k));
        }
    }
    m_paragraphIds.reset(new AscendingRowIds(paragraphs.load()));
    m_chunkIds.reset(new AscendingRowIds(chunks));
    return true;
}

bool ContentStore::convertAndStore(unzFile zip, int threadCount, int *storedParagraphs)
{
    PoolLimit limit(threadCount);
    const int batchItems = qMax(1, threadCount) * BatchItemsPerThread;
    // In spine order, so what the stored chapters no longer need is cut
    // from the front.
    QMap<int, EpubItemConversion> converted;
    if (!countParagraphs(zip, batchItems, &converted))
        return false;
    int next = 0;
    while (next < m_chapters.size()) {
        // The next chapters, up to a batch of spine documents.
        QSet<int> items;
        int end = next;
        for (; end < m_chapters.size(); ++end) {
            const ChapterPlan &plan = m_plans.at(end);
            if (!plan.valid)
                continue;
            if (end > next && items.size() + (plan.end - plan.start) >= batchItems)
                break;
            for (int i = plan.start; i <= plan.end; ++i)
                items.insert(i);
        }
        QVector<int> pending;
        for (int i : qAsConst(items)) {
            if (!converted.contains(i))
                pending.append(i);
        }
        std::sort(pending.begin(), pending.end());
        // Counted already: these are converted again.
        std::atomic<qint64> uncounted{0};
        const QVector<EpubItemConversion> results =
            pending.isEmpty() ? QVector<EpubItemConversion>() : convertItems(zip, pending, &uncounted);
        for (int k = 0; k < pending.size(); ++k) {
            if (results.at(k).tooLarge) {
                qWarning().noquote() << "[EpubUnifiedParser] 内容超过上限，导入中止:"
                                     << results.at(k).error;
                return false;
            }
            converted.insert(pending.at(k), results.at(k));
        }

        QVector<EpubChapterParseResult> batch(end - next);
        for (int c = next; c < end; ++c) {
            if (!assemble(c, converted, &batch[c - next]))
                return false;
        }

        // Natural sizes of the batch's images, each probed once per book.
        for (EpubChapterParseResult &result : batch) {
            for (Paragraph &p : result.paragraphs) {
                if (p.kind != Paragraph::Image || p.imageId.isEmpty())
                    continue;
                if (p.imageId.startsWith(m_context.imageIdPrefix) && !m_imageSizes.contains(p.imageId)) {
                    const QString entry = p.imageId.mid(m_context.imageIdPrefix.size());
                    const auto it = m_book.entries.constFind(entry);
                    m_imageSizes.insert(p.imageId, it == m_book.entries.constEnd()
                                                       ? QSize(-1, -1)
                                                       : probeImage(zip, it.value()));
                }
                applyImageSize(p, m_imageSizes.value(p.imageId, QSize(-1, -1)));
            }
        }
        for (int c = next; c < end; ++c) {
            EpubChapterParseResult &result = batch[c - next];
            *storedParagraphs += result.paragraphs.size();
            if (!store(m_chapters.at(c), result))
                return false;
            // Stored: its memory goes back before the next batch.
            result = EpubChapterParseResult();
        }

        // A document the next chapter still needs stays converted.
        const int keepFrom = end < m_chapters.size() && m_plans.at(end).valid ? m_plans.at(end).start
                                                                               : m_book.spine.size();
        while (!converted.isEmpty() && converted.firstKey() < keepFrom)
            converted.erase(converted.begin());
        next = end;
    }
    int known = 0;
    for (const QSize &size : qAsConst(m_imageSizes))
        known += size.width() >= 0 ? 1 : 0;
    QLOG_INFO().noquote() << "[EpubUnifiedParser] 已选图片尺寸:" << known << "/" << m_imageSizes.size();
    return true;
}

void ContentStore::chapterFailed(int index, const QString &error) const
{
    const ChapterInfo *chapter = m_chapters.value(index);
    qWarning().noquote() << "[EpubUnifiedParser] XHTML解析失败:" << (chapter ? chapter->title() : QString())
                         << error;
}

// False when the chapter cannot be made whole: the book is refused. A chapter
// whose documents hold no text is not a failure; it is stored empty.
bool ContentStore::assemble(int index, const QMap<int, EpubItemConversion> &items,
                            EpubChapterParseResult *out)
{
    EpubChapterParseResult &result = *out;
    // Null chapters and bad ranges were refused when the paragraphs were counted.
    const ChapterInfo *chapter = m_chapters.at(index);
    const ChapterPlan &plan = m_plans.at(index);
    int tableOffset = 0;
    for (int i = plan.start; i <= plan.end; ++i) {
        const EpubItemConversion item = items.value(i);
        if (!item.ok) {
            chapterFailed(index, item.error);
            return false;
        }
        int from = 0;
        int to = item.paragraphs.size();
        if (i == plan.start && !plan.anchor.isEmpty()) {
            from = item.anchorStarts.value(plan.anchor, -1);
            if (from < 0) {
                qWarning().noquote() << "[EpubUnifiedParser] 未找到起始锚点，从文件开头读取:"
                                     << m_book.spine.at(i) << plan.anchor;
                from = 0;
            }
        }
        if (i == plan.end && !plan.endAnchor.isEmpty()) {
            to = item.anchorStarts.value(plan.endAnchor, -1);
            if (to < 0) {
                qWarning().noquote() << "[EpubUnifiedParser] 未找到结束锚点，读到文件末尾:"
                                     << m_book.spine.at(i) << plan.endAnchor;
                to = item.paragraphs.size();
            }
        }
        // Never again what an earlier chapter took from this document.
        from = qMax(from, m_consumed.value(i, 0));
        to = qMax(to, from);
        m_consumed.insert(i, to);
        QVector<Paragraph> part = slice(item.paragraphs, from, to);
        int tables = 0;
        for (Paragraph &p : part) {
            if (p.kind != Paragraph::TableCell || p.tableId < 0)
                continue;
            tables = qMax(tables, p.tableId + 1);
            p.tableId += tableOffset;
        }
        tableOffset += tables;
        result.paragraphs += part;
    }
    result.success = !result.paragraphs.isEmpty();
    if (!result.success) {
        result.error = QStringLiteral("章节正文为空");
        if (m_firstError.isEmpty())
            m_firstError = chapter->title() + QLatin1Char(' ') + result.error;
    }
    return true;
}

bool ContentStore::store(ChapterInfo *chapter, EpubChapterParseResult &result)
{
    if (!chapter)
        return true;
    finalizeChapter(chapter, result.paragraphs);
    if (result.paragraphs.isEmpty())
        return true;
    QByteArray ids;
    const Paragraph *paragraphs = result.paragraphs.constData();
    const int count = result.paragraphs.size();
    return m_paragraphDao->insertParagraphRowsLocked(m_novelId, chapter->id(), paragraphs, count, 0,
                                                     m_paragraphIds.get(), &ids)
        && m_chunkDao->insertParagraphChunks(ids, paragraphs, count, m_chunkIds.get());
}

}

bool EpubUnifiedParser::parseAndStore(const QVector<ChapterInfo *> &chapters, const QString &novelId,
                                      UnifiedParagraphDao *paragraphDao, UnifiedChunkDao *chunkDao,
                                      int threadCount)
{
    if (chapters.isEmpty() || !chapters.first() || !paragraphDao || !chunkDao)
        return false;
    ContentStore store(chapters, novelId, paragraphDao, chunkDao);
    return store.run(threadCount);
}
