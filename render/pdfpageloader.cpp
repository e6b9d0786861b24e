#include "pdfpageloader.h"

#include "imageutil.h"

#include <poppler-qt5.h>

#include <GlobalParams.h>
#include <PDFDoc.h>
#include <XRef.h>
#include <goo/GooString.h>

#include <QDebug>
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

int roundHalfUp(double value)
{
    return int(std::floor(value + 0.5));
}

// Poppler opens a file named by the PDF when it looks up a Type 0 font's
// predefined CMap (/Encoding), a CMap's parent (/UseCMap, "usecmap" inside a
// CMap or ToUnicode stream) in its data folder of the font's collection
// (/Registry, /Ordering): it joins the name to the folder unchecked.
// Every object is looked at, whoever uses it, so no place a font can hide
// escapes; a check that would cost more than its bound refuses the file.
class NameCheck
{
public:
    NameCheck(XRef *xref, const bool &rebuilt) : m_xref(xref), m_rebuilt(rebuilt) {}

    // Why poppler must not read the document; empty when it may.
    QString run()
    {
        // A damaged cross-reference is rebuilt once, by poppler, when a
        // fetch fails; what it finds then is walked again.
        for (int pass = 0; pass < 2; ++pass) {
            const bool rebuiltBefore = m_rebuilt;
            visit(m_xref->getTrailerDict()->copy());
            for (int num = 0; m_cause.isEmpty() && num < m_xref->getNumObjects(); ++num) {
                const XRefEntry *entry = m_xref->getEntry(num, false);
                if (spend(1) && entry->type != xrefEntryFree)
                    visit(m_xref->fetch(num, entry->type == xrefEntryCompressed ? 0 : entry->gen));
            }
            if (!m_cause.isEmpty() || m_rebuilt == rebuiltBefore)
                break;
        }
        return m_cause;
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

    void visit(const Object &object)
    {
        if (!spend(1))
            return;
        if (object.isRef()) {
            // A reference outside the table makes poppler rebuild it.
            const Ref ref = object.getRef();
            const XRefEntry *entry =
                ref.num >= 0 && ref.num < m_xref->getNumObjects() ? m_xref->getEntry(ref.num, false) : nullptr;
            if (!entry || entry->type == xrefEntryFree
                || (entry->type == xrefEntryUncompressed && entry->gen != ref.gen))
                m_xref->fetch(ref);
        } else if (object.isArray()) {
            for (int i = 0; m_cause.isEmpty() && i < object.arrayGetLength(); ++i)
                visit(object.arrayGetNF(i));
        } else if (object.isDict() || object.isStream()) {
            const Dict *dict = object.isDict() ? object.getDict() : object.streamGetDict();
            for (int i = 0; m_cause.isEmpty() && i < dict->getLength(); ++i) {
                checkEntry(dict->getKey(i), dict->getValNF(i));
                visit(dict->getValNF(i));
            }
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

    XRef *m_xref;
    const bool &m_rebuilt;
    QString m_cause;
    qint64 m_work = 0;
    qint64 m_bytes = 0;
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

// The file as it is now: a verdict holds while nothing has written or replaced it.
QByteArray fileIdentity(const QString &path)
{
    struct stat info;
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return QByteArray();
    QByteArray identity = QFile::encodeName(path);
    for (const qint64 part : {qint64(info.st_dev), qint64(info.st_ino), qint64(info.st_size),
                              qint64(info.st_mtim.tv_sec), qint64(info.st_mtim.tv_nsec),
                              qint64(info.st_ctim.tv_sec), qint64(info.st_ctim.tv_nsec)})
        identity += '\0' + QByteArray::number(part);
    return identity;
}

// Verdicts on recently checked files (cause, empty when safe): an import
// opens its book several times, the uncached page loads once a page, and
// each file is walked once.
class Verdicts
{
public:
    bool find(const QByteArray &identity, QString *cause)
    {
        const std::lock_guard<std::mutex> locked(m_lock);
        const auto found = m_known.constFind(identity);
        if (identity.isEmpty() || found == m_known.constEnd())
            return false;
        *cause = *found;
        return true;
    }
    void store(const QByteArray &identity, const QString &cause)
    {
        const std::lock_guard<std::mutex> locked(m_lock);
        if (m_known.size() >= 64)
            m_known.clear();
        if (!identity.isEmpty())
            m_known.insert(identity, cause);
    }

private:
    std::mutex m_lock;
    QHash<QByteArray, QString> m_known;
};

Verdicts &verdicts()
{
    static Verdicts known;
    return known;
}

// Null, with the cause logged and *unsafe set, for a refused file.
bool passes(const QString &path, const QString &cause, bool *unsafe)
{
    if (unsafe)
        *unsafe = !cause.isEmpty();
    if (!cause.isEmpty())
        qWarning().noquote() << "[PdfPageLoader] PDF 以不安全的名称指向文件，拒绝读取:" << path << cause;
    return cause.isEmpty();
}

} // namespace

std::unique_ptr<Poppler::Document> PdfPageLoader::openDocument(const QString &path, bool *unsafe)
{
    // Poppler reads nothing of a document the check has not passed.
    QString cause;
    if (verdicts().find(fileIdentity(path), &cause) ? !passes(path, cause, unsafe) : !openCoreDocument(path, unsafe))
        return nullptr;
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
    silenceMessages();
    if (unsafe)
        *unsafe = false;
    const QByteArray identity = fileIdentity(path);
    // Counted with poppler-qt5's documents: the globals go with the last one.
    auto params = std::make_shared<GlobalParamsIniter>(dropCoreMessage);
    auto rebuilt = std::make_shared<bool>(false);
    auto document = std::make_unique<PDFDoc>(std::make_unique<GooString>(QFile::encodeName(path).toStdString()),
                                             std::nullopt, std::nullopt, nullptr, [rebuilt] { *rebuilt = true; });
    if (!document->isOk())
        return nullptr;
    QString cause;
    if (!verdicts().find(identity, &cause)) {
        cause = NameCheck(document->getXRef(), *rebuilt).run();
        verdicts().store(identity, cause);
    }
    if (!passes(path, cause, unsafe))
        return nullptr;
    return std::shared_ptr<PDFDoc>(document.release(), [params](PDFDoc *open) { delete open; });
}

QString pdfPerfThread()
{
    return QString::number(quintptr(QThread::currentThreadId()), 16);
}

PdfPageLoader::PdfPageLoader() = default;
PdfPageLoader::~PdfPageLoader() = default;

Poppler::Document *PdfPageLoader::loadDocument(const QString &path)
{
    if ((m_document || m_unsafe) && path == m_path)
        return m_document.get();
    m_document.reset();
    QElapsedTimer timer;
    timer.start();
    std::unique_ptr<Poppler::Document> document = openDocument(path, &m_unsafe);
    qDebug().noquote() << "[PdfPerf] documentLoad elapsedMs=" << timer.elapsed() << "path=" << path
                       << "thread=" << pdfPerfThread();
    m_path = path;
    if (document && !document->isLocked()) {
        m_document = std::move(document);
        return m_document.get();
    }
    // A refused file stays refused until the next generation: no page re-checks it.
    if (!m_unsafe)
        m_path.clear();
    return nullptr;
}

void PdfPageLoader::releaseDocument(quint64 generation)
{
    if (generation == m_generation)
        return;
    m_document.reset();
    m_unsafe = false;
    m_path.clear();
    m_generation = generation;
}

QImage PdfPageLoader::renderPage(const QString &source, const QSize &logicalSize,
                                 const QRect &region, float scale)
{
    const PdfPageUrl url = parsePdfUrl(source);
    if (!url.valid || logicalSize.width() < 1 || logicalSize.height() < 1
        || region.right() < region.left() || region.bottom() < region.top() || !(scale > 0))
        return QImage();
    Poppler::Document *document = loadDocument(url.path);
    if (!document)
        return QImage();
    QElapsedTimer timer;
    timer.start();
    const std::unique_ptr<Poppler::Page> page(document->page(url.page));
    if (!page)
        return QImage();
    const QSizeF points = page->pageSizeF();
    qDebug().noquote() << "[PdfPerf] pagePrepare page=" << url.page
                       << "elapsedUs=" << timer.nsecsElapsed() / 1000 << "thread=" << pdfPerfThread();
    if (!(points.width() > 0 && points.height() > 0))
        return QImage();

    const int fullWidth = qRound(logicalSize.width() * scale);
    const int fullHeight = qRound(logicalSize.height() * scale);
    const QRect clip = region & QRect(QPoint(0, 0), logicalSize);
    if (clip.isEmpty())
        return QImage();
    const int x = qRound(clip.left() * scale);
    const int y = qRound(clip.top() * scale);
    const int w = qMax(1, qRound((clip.right() + 1) * scale) - x);
    const int h = qMax(1, qRound((clip.bottom() + 1) * scale) - y);
    // The resolution at which the whole page measures fullWidth x fullHeight.
    const double xres = qMax(fullWidth, 1) * 72.0 / points.width();
    const double yres = qMax(fullHeight, 1) * 72.0 / points.height();

    qDebug().noquote() << "[PdfPerf] rasterStart path=" << url.path << "page=" << url.page
                       << "scale=" << scale << "region=" << rectText(clip)
                       << "pixels=" << QStringLiteral("%1x%2").arg(w).arg(h)
                       << "thread=" << pdfPerfThread();
    timer.restart();
    QImage image = page->renderToImage(xres, yres, x, y, w, h, Poppler::Page::Rotate0);
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
    const std::unique_ptr<Poppler::Document> document = openDocument(path);
    qDebug().noquote() << "[PdfPerf] fallbackDocumentLoad elapsedMs=" << timer.elapsed()
                       << "path=" << path << "thread=" << pdfPerfThread();
    if (!document || document->isLocked()) {
        qWarning().noquote() << "[PdfPageLoader] 无法打开 PDF:" << path;
        return QImage();
    }
    const int pageCount = document->numPages();
    if (pageIndex < 0 || pageIndex >= pageCount) {
        qWarning().noquote() << "[PdfPageLoader] 页码越界:" << pageIndex << "/" << pageCount;
        return QImage();
    }
    const std::unique_ptr<Poppler::Page> page(document->page(pageIndex));
    if (!page) {
        qWarning().noquote() << "[PdfPageLoader] 无法获取页面:" << pageIndex;
        return QImage();
    }

    // A huge page (a poster, a 200-inch sheet) at the stored dpi would need
    // gigabytes; the image is shown at screen size anyway.
    const QSizeF points = page->pageSizeF();
    const double longer = qMax(points.width(), points.height());
    double resolution = dpi;
    if (longer > 0 && longer * dpi / 72.0 > MaxFallbackSide)
        resolution = MaxFallbackSide * 72.0 / longer * (1.0 - 1e-6);

    timer.restart();
    QImage raster = page->renderToImage(resolution, resolution, -1, -1, -1, -1,
                                        Poppler::Page::Rotate0);
    qDebug().noquote() << "[PdfPerf] fallbackRaster page=" << pageIndex << "dpi=" << resolution
                       << "elapsedMs=" << timer.elapsed() << "outputPixels=" << sizeText(raster.size())
                       << "bytes=" << raster.sizeInBytes() << "thread=" << pdfPerfThread();
    if (raster.isNull()) {
        qWarning().noquote() << "[PdfPageLoader] 渲染结果为空 page:" << pageIndex;
        return QImage();
    }
    if (raster.width() > MaxFallbackSide || raster.height() > MaxFallbackSide)
        raster = ImageUtil::smoothScaled(
            raster, raster.size().scaled(MaxFallbackSide, MaxFallbackSide, Qt::KeepAspectRatio));
    return ImageUtil::cropBorders(raster, 4, 240);
}

QSize PdfPageLoader::pageSize(const QString &path, int pageIndex, int dpi)
{
    const std::unique_ptr<Poppler::Document> document = openDocument(path);
    if (!document || document->isLocked())
        return QSize(-1, -1);
    const std::unique_ptr<Poppler::Page> page(document->page(pageIndex));
    if (!page)
        return QSize(-1, -1);
    const QSizeF points = page->pageSizeF();
    if (!(points.width() > 0 && points.height() > 0))
        return QSize(-1, -1);
    return QSize(roundHalfUp(points.width() / 72.0 * dpi), roundHalfUp(points.height() / 72.0 * dpi));
}
