#include "pdfpageloader.h"

#include "decodeservice.h"
#include "imageutil.h"
#include "paths.h"

#include <poppler-qt5.h>

#include <GlobalParams.h>
#include <PDFDoc.h>
#include <Page.h>
#include <XRef.h>
#include <goo/GooString.h>

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QElapsedTimer>
#include <QHash>
#include <QFile>
#include <QStringList>
#include <QThread>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <set>

#include <sys/stat.h>

namespace {

// Poppler reports damaged files on its own error channel; the loaders log
// their failures themselves, so those messages are dropped.
void dropPopplerMessage(const QString &, const QVariant &) {}
void dropCoreMessage(ErrorCategory, Goffset, const char *) {}

// Poppler has one error callback for the process, set by whichever document,
// Qt or core, first takes poppler's global parameters: poppler-qt5's forwards
// to its debug function, dropped here before any document opens.
void silenceMessages()
{
    static std::once_flag silenced;
    std::call_once(silenced, [] { Poppler::setDebugErrorFunction(dropPopplerMessage, QVariant()); });
}


// What the check of a file found: why poppler must not read it (empty when
// it may), and the pages it must not draw.
struct Verdict
{
    QString cause;
    // Each draws an image past the pixel bound.
    QVector<int> refusedPages;
};

// Poppler opens a file named by the PDF when it looks up a Type 0 font's
// predefined CMap (/Encoding), a CMap's parent (/UseCMap, "usecmap" inside a
// CMap or ToUnicode stream) in its data folder of the font's collection
// (/Registry, /Ordering): it joins the name to the folder unchecked.
// Every object is looked at, whoever uses it, so no place a font can hide
// escapes; a check that would cost more than its bound refuses the file.
// Poppler reads a document through its table as written until a fetch fails
// (a reference past the table, a damaged entry), then through the table it
// rebuilds from the file: both are walked whole, whatever a reader fetches
// first. Objects are read in the order they lie, those of one object stream
// together, so that each stream is parsed once.
class DocumentCheck
{
public:
    explicit DocumentCheck(const QString &path) : m_path(path) {}

    // False when poppler cannot open the file.
    bool run(Verdict *verdict)
    {
        Open written = open();
        if (!written.document->isOk())
            return false;
        m_xref = written.document->getXRef();
        const bool xrefStream = m_xref->isXRefStream();
        bool rebuilt = *written.rebuilt;
        visit(m_xref->getTrailerDict()->copy());
        const std::vector<int> order = readingOrder(m_xref);
        Open reopened;
        for (size_t k = 0; m_cause.isEmpty() && k < order.size(); ++k) {
            const Open &current = reopened.document ? reopened : written;
            const bool before = *current.rebuilt;
            fetchAndVisit(order.at(k));
            if (*current.rebuilt == before)
                continue;
            // The rest of the table as written is read from a fresh copy,
            // which costs a read of the table.
            rebuilt = true;
            if (!spend(m_xref->getNumObjects()))
                break;
            reopened = open();
            m_xref = reopened.document->getXRef();
        }
        Open rebuiltTable;
        if (m_cause.isEmpty() && (rebuilt || m_badReference) && !xrefStream) {
            rebuiltTable = open();
            m_xref = rebuiltTable.document->getXRef();
            if (!*rebuiltTable.rebuilt)
                m_xref->fetch(m_xref->getNumObjects(), 0);   // past the table: poppler rebuilds it
            visit(m_xref->getTrailerDict()->copy());
            const std::vector<int> rebuiltOrder = readingOrder(m_xref);
            for (size_t k = 0; m_cause.isEmpty() && k < rebuiltOrder.size(); ++k)
                fetchAndVisit(rebuiltOrder.at(k));
        }
        verdict->cause = m_cause;
        verdict->refusedPages.clear();
        if (m_cause.isEmpty() && m_oversized) {
            const std::set<int> pages = oversizedPages(written.document.get());
            if (rebuiltTable.document) {
                const std::set<int> more = oversizedPages(rebuiltTable.document.get());
                verdict->refusedPages = QVector<int>(more.cbegin(), more.cend());
            }
            verdict->refusedPages += QVector<int>(pages.cbegin(), pages.cend());
            std::sort(verdict->refusedPages.begin(), verdict->refusedPages.end());
            verdict->refusedPages.erase(std::unique(verdict->refusedPages.begin(), verdict->refusedPages.end()),
                                        verdict->refusedPages.end());
        }
        return true;
    }

    // The names poppler joins to a folder: [A-Za-z0-9._-]+ without "..".
    static bool plain(const std::string &name)
    {
        return !name.empty() && name.find("..") == std::string::npos
            && std::all_of(name.begin(), name.end(), [](char c) {
                   return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
                       || c == '.' || c == '_' || c == '-';
               });
    }

private:
    // An ordinary book costs a few hundred steps a page, so this allows some
    // 100,000 pages; CMap and ToUnicode streams are kilobytes, a full CJK
    // one about a megabyte. Past either bound the walk stops and refuses.
    static constexpr qint64 MaxWork = 20000000;
    static constexpr qint64 MaxStreamBytes = 64 << 20;
    // Where a JPEG 2000 image declares its size.
    static constexpr int JpxHeaderBytes = 64 << 10;

    struct Open
    {
        std::unique_ptr<PDFDoc> document;
        std::shared_ptr<bool> rebuilt;
    };

    Open open() const
    {
        Open opened;
        opened.rebuilt = std::make_shared<bool>(false);
        opened.document = std::make_unique<PDFDoc>(std::make_unique<GooString>(QFile::encodeName(m_path).toStdString()),
                                                   std::nullopt, std::nullopt, nullptr,
                                                   [rebuilt = opened.rebuilt] { *rebuilt = true; });
        return opened;
    }

    // Plain objects by number, then each object stream's objects in its order.
    static std::vector<int> readingOrder(XRef *xref)
    {
        std::vector<std::pair<std::pair<qint64, qint64>, int>> keyed;
        for (int num = 0; num < xref->getNumObjects(); ++num) {
            const XRefEntry *entry = xref->getEntry(num, false);
            if (entry->type == xrefEntryUncompressed)
                keyed.push_back({{-1, num}, num});
            else if (entry->type == xrefEntryCompressed)
                keyed.push_back({{qint64(entry->offset), entry->gen}, num});
        }
        std::sort(keyed.begin(), keyed.end());
        std::vector<int> order;
        order.reserve(keyed.size());
        for (const auto &key : keyed)
            order.push_back(key.second);
        return order;
    }

    void fetchAndVisit(int num)
    {
        if (!spend(1))
            return;
        const XRefEntry *entry = m_xref->getEntry(num, false);
        if (entry->type != xrefEntryFree)
            visit(m_xref->fetch(num, entry->type == xrefEntryCompressed ? 0 : entry->gen));
    }

    bool spend(qint64 work)
    {
        m_work += work;
        if (m_work > MaxWork && m_cause.isEmpty())
            m_cause = QStringLiteral("对象过多，无法检查");
        return m_cause.isEmpty();
    }

    void refuse(const char *key, const std::string &name)
    {
        m_cause = QStringLiteral("/%1 %2").arg(QLatin1String(key),
                                               QString::fromLatin1(name.data(), int(name.size())));
    }

    // A reference poppler cannot resolve through the table makes it rebuild.
    bool resolvable(const Ref &ref) const
    {
        const XRefEntry *entry =
            ref.num >= 0 && ref.num < m_xref->getNumObjects() ? m_xref->getEntry(ref.num, false) : nullptr;
        return entry && entry->type != xrefEntryFree
            && (entry->type != xrefEntryUncompressed || entry->gen == ref.gen);
    }

    void visit(const Object &object)
    {
        if (!spend(1))
            return;
        if (object.isRef()) {
            m_badReference = m_badReference || !resolvable(object.getRef());
        } else if (object.isArray()) {
            for (int i = 0; m_cause.isEmpty() && i < object.arrayGetLength(); ++i)
                visit(object.arrayGetNF(i));
        } else if (object.isDict() || object.isStream()) {
            const Dict *dict = object.isDict() ? object.getDict() : object.streamGetDict();
            for (int i = 0; m_cause.isEmpty() && i < dict->getLength(); ++i) {
                checkEntry(dict->getKey(i), dict->getValNF(i));
                visit(dict->getValNF(i));
            }
            m_oversized = m_oversized || (object.isStream() && oversizedImage(object));
        }
    }

    void checkEntry(const char *key, const Object &stored)
    {
        const bool collection = !strcmp(key, "Registry") || !strcmp(key, "Ordering");
        if (!collection && strcmp(key, "Encoding") && strcmp(key, "UseCMap") && strcmp(key, "ToUnicode"))
            return;
        const Object value = stored.fetch(m_xref);
        if (collection) {
            if (value.isString() && !value.getString()->toStr().empty() && !plain(value.getString()->toStr()))
                refuse(key, value.getString()->toStr());
        } else if (value.isName()) {
            if (!plain(value.getName()))
                refuse(key, value.getName());
        } else if (value.isStream() && stored.isRef() && m_scanned.insert(stored.getRef()).second) {
            checkCMapStream(key, value.getStream());
        }
    }

    // "/Parent usecmap" inside a CMap: every "usecmap" must follow a plain name.
    void checkCMapStream(const char *key, Stream *stream)
    {
        std::string text;
        stream->reset();
        unsigned char buffer[4096];
        for (int got; m_cause.isEmpty() && (got = stream->doGetChars(sizeof buffer, buffer)) > 0;) {
            text.append(reinterpret_cast<const char *>(buffer), size_t(got));
            m_bytes += got;
            if (m_bytes > MaxStreamBytes)
                m_cause = QStringLiteral("CMap 数据过大，无法检查");
        }
        stream->close();
        const auto space = [](char c) {
            return c == ' ' || c == '\n' || c == '\r' || c == '\t' || c == '\f' || c == '\0';
        };
        for (size_t at = text.find("usecmap"); m_cause.isEmpty() && at != std::string::npos;
             at = text.find("usecmap", at + 1)) {
            size_t end = at;
            while (end > 0 && space(text[end - 1]))
                --end;
            size_t begin = end;
            while (begin > 0 && !space(text[begin - 1]))
                --begin;
            if (begin == end || text[begin] != '/' || !plain(text.substr(begin + 1, end - begin - 1)))
                refuse(key, text.substr(begin, at + 7 - begin));
        }
    }

    // An image whose dictionary, or JPEG 2000 data, declares more pixels
    // than any picture is decoded with.
    bool oversizedImage(const Object &object)
    {
        Dict *dict = object.streamGetDict();
        if (!dict->lookup("Subtype").isName("Image"))
            return false;
        const auto side = [dict](const char *key) { return qMax(0.0, dict->lookup(key).getNumWithDefaultValue(0)); };
        double pixels = side("Width") * side("Height");
        Stream *stream = object.getStream();
        if (stream->getKind() == strJPX && stream->getNextStream()) {
            std::string head;
            Stream *data = stream->getNextStream();
            data->reset();
            unsigned char buffer[4096];
            for (int got; head.size() < size_t(JpxHeaderBytes) && (got = data->doGetChars(sizeof buffer, buffer)) > 0;)
                head.append(reinterpret_cast<const char *>(buffer), size_t(got));
            data->close();
            pixels = qMax(pixels, jpxPixels(head));
        }
        return pixels > double(ImageUtil::kMaxDecodePixels);
    }

    // The largest size a JPEG 2000 header declares: a JP2 "ihdr" box
    // (height, width), a codestream's SIZ marker (end less offset, each way).
    static double jpxPixels(const std::string &head)
    {
        const auto word = [&head](size_t at) {
            return at + 4 <= head.size() ? double(quint32(quint8(head[at])) << 24 | quint32(quint8(head[at + 1])) << 16
                                                  | quint32(quint8(head[at + 2])) << 8 | quint8(head[at + 3]))
                                         : 0.0;
        };
        double pixels = 0;
        for (size_t at = head.find("ihdr"); at != std::string::npos; at = head.find("ihdr", at + 1))
            pixels = qMax(pixels, word(at + 4) * word(at + 8));
        for (size_t at = head.find("\xff\x51"); at != std::string::npos; at = head.find("\xff\x51", at + 1))
            pixels = qMax(pixels, qMax(0.0, word(at + 6) - word(at + 14)) * qMax(0.0, word(at + 10) - word(at + 18)));
        return pixels;
    }

    // The pages (0-based) whose resources or annotations reach an oversized
    // image; past the bound on this walk, every page not yet looked at.
    std::set<int> oversizedPages(PDFDoc *document)
    {
        std::set<int> pages;
        m_xref = document->getXRef();
        qint64 work = 0;
        const int count = document->getNumPages();
        for (int i = 0; i < count; ++i) {
            Page *page = work <= MaxWork ? document->getPage(i + 1) : nullptr;
            if (!page) {
                if (work > MaxWork)
                    pages.insert(i);
                continue;
            }
            std::set<Ref> seen;
            bool found = false;
            reach(*page->getResourceDictObject(), &seen, &found, &work);
            reach(page->getAnnotsObject(m_xref), &seen, &found, &work);
            if (found || work > MaxWork)
                pages.insert(i);
        }
        return pages;
    }

    // Everything an object leads to, but for other pages and the page tree.
    void reach(const Object &object, std::set<Ref> *seen, bool *found, qint64 *work)
    {
        if (*found || ++*work > MaxWork)
            return;
        if (object.isRef()) {
            if (!seen->insert(object.getRef()).second)
                return;
            const Object target = m_xref->fetch(object.getRef());
            if (target.isDict() && (target.dictIs("Page") || target.dictIs("Pages") || target.dictIs("Catalog")))
                return;
            reach(target, seen, found, work);
        } else if (object.isArray()) {
            for (int i = 0; i < object.arrayGetLength(); ++i)
                reach(object.arrayGetNF(i), seen, found, work);
        } else if (object.isDict() || object.isStream()) {
            if (object.isStream() && oversizedImage(object)) {
                *found = true;
                return;
            }
            const Dict *dict = object.isDict() ? object.getDict() : object.streamGetDict();
            for (int i = 0; i < dict->getLength(); ++i) {
                if (strcmp(dict->getKey(i), "Parent"))
                    reach(dict->getValNF(i), seen, found, work);
            }
        }
    }

    QString m_path;
    XRef *m_xref = nullptr;
    QString m_cause;
    qint64 m_work = 0;
    qint64 m_bytes = 0;
    bool m_badReference = false;
    bool m_oversized = false;
    std::set<Ref> m_scanned;
};

QString rectText(const QRect &rect)
{
    return QStringLiteral("%1,%2 %3x%4").arg(rect.x()).arg(rect.y()).arg(rect.width()).arg(rect.height());
}

QString sizeText(const QSize &size)
{
    return QStringLiteral("%1x%2").arg(size.width()).arg(size.height());
}

} // namespace

namespace {

// The file's bytes as they are now: a verdict holds while nothing has written
// or replaced them. Moving the file keeps them.
QByteArray contentIdentity(const struct stat &info)
{
    QByteArray identity;
    for (const qint64 part : {qint64(info.st_dev), qint64(info.st_ino), qint64(info.st_size),
                              qint64(info.st_mtim.tv_sec), qint64(info.st_mtim.tv_nsec)})
        identity += QByteArray::number(part) + ' ';
    return identity;
}

// The file under its name, as it is now.
QByteArray fileIdentity(const QString &path)
{
    struct stat info;
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return QByteArray();
    return QFile::encodeName(path) + '\0' + contentIdentity(info) + QByteArray::number(qint64(info.st_ctim.tv_sec))
           + ' ' + QByteArray::number(qint64(info.st_ctim.tv_nsec));
}

// Verdicts on recently checked files: an import opens its book several
// times, the uncached page loads once a page, and each file is walked once.
class Verdicts
{
public:
    bool find(const QByteArray &identity, Verdict *verdict)
    {
        const std::lock_guard<std::mutex> locked(m_lock);
        const auto found = m_known.constFind(identity);
        if (identity.isEmpty() || found == m_known.constEnd())
            return false;
        *verdict = *found;
        return true;
    }
    void store(const QByteArray &identity, const Verdict &verdict)
    {
        const std::lock_guard<std::mutex> locked(m_lock);
        if (m_known.size() >= 64)
            m_known.clear();
        if (!identity.isEmpty())
            m_known.insert(identity, verdict);
    }

private:
    std::mutex m_lock;
    QHash<QByteArray, Verdict> m_known;
};

Verdicts &verdicts()
{
    static Verdicts known;
    return known;
}

// A book's copy keeps its verdict beside it, so that no later session walks
// it again: "<copy>.check" holds the copy's identity, the cause and the
// refused pages, a line each. Only files inside the library's own folder
// are trusted; a file outside it is checked afresh.
QString verdictFile(const QString &path)
{
    const QString inside = QDir(Paths::dataLocation()).absolutePath() + QLatin1Char('/');
    const QString file = QFileInfo(path).absoluteFilePath();
    return file.startsWith(inside) ? file + QLatin1String(".check") : QString();
}

bool readStoredVerdict(const QString &path, Verdict *verdict)
{
    struct stat info;
    const QString stored = verdictFile(path);
    QFile file(stored);
    if (stored.isEmpty() || ::stat(QFile::encodeName(path).constData(), &info) != 0
        || file.size() > (1 << 20) || !file.open(QIODevice::ReadOnly))
        return false;
    const QList<QByteArray> lines = file.readAll().split('\n');
    if (lines.size() < 3 || lines.at(0) != contentIdentity(info))
        return false;
    verdict->cause = QString::fromUtf8(lines.at(1));
    verdict->refusedPages.clear();
    for (const QByteArray &page : lines.at(2).split(' ')) {
        bool ok = false;
        const int index = page.toInt(&ok);
        if (ok)
            verdict->refusedPages.append(index);
    }
    return true;
}

void writeStoredVerdict(const QString &path, const Verdict &verdict)
{
    struct stat info;
    const QString stored = verdictFile(path);
    if (stored.isEmpty() || ::stat(QFile::encodeName(path).constData(), &info) != 0)
        return;
    QByteArray pages;
    for (const int page : verdict.refusedPages)
        pages += QByteArray::number(page) + ' ';
    Paths::writeFile(stored, contentIdentity(info) + '\n' + verdict.cause.toUtf8() + '\n' + pages.trimmed() + '\n');
}

// The file's verdict, from memory, from beside it, else from a walk of it.
// False when poppler cannot open it.
bool checkFile(const QString &path, Verdict *verdict)
{
    silenceMessages();
    const QByteArray identity = fileIdentity(path);
    if (verdicts().find(identity, verdict))
        return true;
    if (!readStoredVerdict(path, verdict)) {
        // Counted with poppler-qt5's documents: the globals go with the last one.
        const GlobalParamsIniter params(dropCoreMessage);
        if (!DocumentCheck(path).run(verdict))
            return false;
    }
    verdicts().store(identity, *verdict);
    return true;
}

// False, with the cause logged and *unsafe set, for a refused file.
bool passes(const QString &path, const Verdict &verdict, bool *unsafe)
{
    if (unsafe)
        *unsafe = !verdict.cause.isEmpty();
    if (!verdict.cause.isEmpty())
        qWarning().noquote() << "[PdfPageLoader] PDF 以不安全的名称指向文件，拒绝读取:" << path << verdict.cause;
    return verdict.cause.isEmpty();
}


} // namespace

std::unique_ptr<Poppler::Document> PdfPageLoader::openDocument(const QString &path, bool *unsafe,
                                                               QVector<int> *refusedPages)
{
    // Poppler reads nothing of a document the check has not passed.
    Verdict verdict;
    if (unsafe)
        *unsafe = false;
    if (!checkFile(path, &verdict) || !passes(path, verdict, unsafe))
        return nullptr;
    if (refusedPages)
        *refusedPages = verdict.refusedPages;
    std::unique_ptr<Poppler::Document> document(Poppler::Document::load(path));
    if (document) {
        // Poppler draws without antialiasing unless told otherwise.
        document->setRenderHint(Poppler::Document::Antialiasing, true);
        document->setRenderHint(Poppler::Document::TextAntialiasing, true);
    }
    return document;
}

std::shared_ptr<PDFDoc> PdfPageLoader::openCoreDocument(const QString &path, bool *unsafe)
{
    if (unsafe)
        *unsafe = false;
    // Counted with poppler-qt5's documents: the globals go with the last one.
    auto params = std::make_shared<GlobalParamsIniter>(dropCoreMessage);
    Verdict verdict;
    if (!checkFile(path, &verdict) || !passes(path, verdict, unsafe))
        return nullptr;
    auto document = std::make_unique<PDFDoc>(std::make_unique<GooString>(QFile::encodeName(path).toStdString()));
    if (!document->isOk())
        return nullptr;
    return std::shared_ptr<PDFDoc>(document.release(), [params](PDFDoc *open) { delete open; });
}

void PdfPageLoader::keepVerdict(const QString &checkedPath, const QString &copyPath)
{
    Verdict verdict;
    if (!verdicts().find(fileIdentity(checkedPath), &verdict))
        return;
    verdicts().store(fileIdentity(copyPath), verdict);
    writeStoredVerdict(copyPath, verdict);
}

QString pdfPerfThread()
{
    return QString::number(quintptr(QThread::currentThreadId()), 16);
}

PdfPageLoader::PdfPageLoader() = default;
PdfPageLoader::~PdfPageLoader() = default;

namespace {

// The helper's answer for a PDF page, its failures logged; null when there
// is no image. A page over the helper's budget is not tried again this
// session at that size.
QImage pageAnswer(const QString &path, const DecodeWire::PdfPart &pdf, const DecodeService::Result &result)
{
    if (result.openedMs >= 0)
        qDebug().noquote() << "[PdfPerf] documentLoad elapsedMs=" << result.openedMs << "path=" << path
                           << "thread=" << pdfPerfThread();
    switch (result.status) {
    case DecodeService::Status::Done:
        break;
    case DecodeService::Status::Refused:
        qWarning().noquote() << "[PdfPageLoader] 页面超出处理预算，不绘制:" << path << "page=" << pdf.page;
        break;
    case DecodeService::Status::SizeRefused:
        qWarning().noquote() << "[PdfPageLoader] 页面像素超出上限，不绘制:" << path << "page=" << pdf.page;
        break;
    case DecodeService::Status::Unreadable:
    case DecodeService::Status::Unavailable:
        break;
    }
    return result.status == DecodeService::Status::Done ? result.image : QImage();
}

// The helper's answer for a part of the book's page. A book whose verdict
// the program holds (from this session, or beside its copy) is not walked
// again: what it refuses is refused here, and the helper is told so.
DecodeService::Result askHelper(const QString &path, DecodeWire::PdfPart pdf, const DecodeWire::Policy &policy)
{
    Verdict verdict;
    const QByteArray identity = fileIdentity(path);
    if (verdicts().find(identity, &verdict) || readStoredVerdict(path, &verdict)) {
        verdicts().store(identity, verdict);
        DecodeService::Result refused;
        if (!passes(path, verdict, nullptr)) {
            refused.status = DecodeService::Status::Unreadable;
            return refused;
        }
        if (std::binary_search(verdict.refusedPages.cbegin(), verdict.refusedPages.cend(), pdf.page)) {
            refused.status = DecodeService::Status::SizeRefused;
            return refused;
        }
        pdf.checked = 1;
    }
    return DecodeService::drawPdfPage(path, pdf, policy);
}

// Of a page drawn whole at dpi: its pixels at most.
DecodeWire::Policy pagePolicy(DecodeWire::Fit fit)
{
    DecodeWire::Policy policy;
    policy.fit = fit;
    return policy;
}

} // namespace

void PdfPageLoader::releaseDocument(quint64 generation)
{
    // The helper keeps the documents open, each under its book as it is on
    // disk: a book that changed is opened afresh whatever the generation.
    m_generation = generation;
}

QImage PdfPageLoader::renderPage(const QString &source, const QSize &logicalSize,
                                 const QRect &region, float scale)
{
    const PdfPageUrl url = parsePdfUrl(source);
    if (!url.valid || logicalSize.width() < 1 || logicalSize.height() < 1
        || region.right() < region.left() || region.bottom() < region.top() || !(scale > 0))
        return QImage();
    const QRect clip = region & QRect(QPoint(0, 0), logicalSize);
    if (clip.isEmpty())
        return QImage();
    DecodeWire::PdfPart pdf;
    pdf.page = url.page;
    // The whole page measures this many pixels, of which the part is drawn.
    pdf.whole = QSize(qMax(1, qRound(logicalSize.width() * scale)), qMax(1, qRound(logicalSize.height() * scale)));
    const int x = qRound(clip.left() * scale);
    const int y = qRound(clip.top() * scale);
    pdf.part = QRect(x, y, qMax(1, qRound((clip.right() + 1) * scale) - x),
                     qMax(1, qRound((clip.bottom() + 1) * scale) - y));
    qDebug().noquote() << "[PdfPerf] rasterStart path=" << url.path << "page=" << url.page
                       << "scale=" << scale << "region=" << rectText(clip)
                       << "pixels=" << sizeText(pdf.part.size()) << "thread=" << pdfPerfThread();
    QElapsedTimer timer;
    timer.start();
    const QImage image = pageAnswer(url.path, pdf,
                                    askHelper(url.path, pdf, pagePolicy(DecodeWire::Fit::Natural)));
    qDebug().noquote() << "[PdfPerf] rasterEnd page=" << url.page << "elapsedMs=" << timer.elapsed()
                       << "outputPixels=" << sizeText(image.size())
                       << "bytes=" << image.sizeInBytes() << "thread=" << pdfPerfThread();
    return image;
}

PdfPageUrl PdfPageLoader::parsePdfUrl(const QString &source)
{
    PdfPageUrl url;
    if (!source.startsWith(QLatin1String("pdf://")))
        return url;
    const QString rest = source.mid(6);
    // The query never holds a '?', but a file name may.
    const int query = rest.lastIndexOf(QLatin1Char('?'));
    if (query < 0)
        return url;
    url.path = rest.left(query);
    const QStringList parts = rest.mid(query + 1).split(QLatin1Char('&'));
    for (const QString &part : parts) {
        const int eq = part.indexOf(QLatin1Char('='));
        if (eq < 0)
            continue;
        const QStringRef key = part.leftRef(eq);
        if (key == QLatin1String("page"))
            url.page = part.midRef(eq + 1).toInt();
        else if (key == QLatin1String("dpi"))
            url.dpi = part.midRef(eq + 1).toInt();
    }
    url.valid = !url.path.isEmpty() && url.page >= 0 && url.dpi > 0;
    return url;
}

QImage PdfPageLoader::imageForUrl(const QString &source)
{
    const PdfPageUrl url = parsePdfUrl(source);
    return url.valid ? renderFallback(url.path, url.page, url.dpi) : QImage();
}

QImage PdfPageLoader::renderFallback(const QString &path, int pageIndex, int dpi)
{
    QElapsedTimer timer;
    timer.start();
    DecodeWire::PdfPart pdf;
    pdf.page = pageIndex;
    pdf.dpi = dpi;
    pdf.longestSide = MaxFallbackSide;
    const DecodeService::Result result =
        askHelper(path, pdf, pagePolicy(DecodeWire::Fit::Natural));
    QImage raster = pageAnswer(path, pdf, result);
    qDebug().noquote() << "[PdfPerf] fallbackRaster page=" << pageIndex << "dpi=" << dpi
                       << "elapsedMs=" << timer.elapsed() << "outputPixels=" << sizeText(raster.size())
                       << "bytes=" << raster.sizeInBytes() << "thread=" << pdfPerfThread();
    // Over the budget or the pixel bound: said already.
    if (result.status == DecodeService::Status::Refused || result.status == DecodeService::Status::SizeRefused)
        return QImage();
    if (result.pages <= 0) {
        qWarning().noquote() << "[PdfPageLoader] 无法打开 PDF:" << path;
        return QImage();
    }
    if (pageIndex < 0 || pageIndex >= result.pages) {
        qWarning().noquote() << "[PdfPageLoader] 页码越界:" << pageIndex << "/" << result.pages;
        return QImage();
    }
    if (raster.isNull()) {
        qWarning().noquote() << "[PdfPageLoader] 渲染结果为空 page:" << pageIndex;
        return QImage();
    }
    return ImageUtil::cropBorders(raster, 4, 240);
}

QSize PdfPageLoader::pageSize(const QString &path, int pageIndex, int dpi)
{
    DecodeWire::PdfPart pdf;
    pdf.page = pageIndex;
    pdf.dpi = dpi;
    const DecodeService::Result result = askHelper(path, pdf, pagePolicy(DecodeWire::Fit::SizeOnly));
    return result.status == DecodeService::Status::Done ? result.natural : QSize(-1, -1);
}
