#include "pdfpageloader.h"

#include "decodeservice.h"
#include "imageutil.h"
#include "paths.h"


#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QElapsedTimer>
#include <QHash>
#include <QFile>
#include <QStringList>
#include <QThread>

#include <algorithm>
#include <mutex>

#include <sys/stat.h>

namespace {

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
    bool find(const QByteArray &identity, PdfVerdict *verdict)
    {
        const std::lock_guard<std::mutex> locked(m_lock);
        const auto found = m_known.constFind(identity);
        if (identity.isEmpty() || found == m_known.constEnd())
            return false;
        *verdict = *found;
        return true;
    }
    void store(const QByteArray &identity, const PdfVerdict &verdict)
    {
        const std::lock_guard<std::mutex> locked(m_lock);
        if (m_known.size() >= 64)
            m_known.clear();
        if (!identity.isEmpty())
            m_known.insert(identity, verdict);
    }

private:
    std::mutex m_lock;
    QHash<QByteArray, PdfVerdict> m_known;
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

bool readStoredVerdict(const QString &path, PdfVerdict *verdict)
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

void writeStoredVerdict(const QString &path, const PdfVerdict &verdict)
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

} // namespace

bool PdfPageLoader::heldVerdict(const QString &path, PdfVerdict *verdict)
{
    const QByteArray identity = fileIdentity(path);
    if (verdicts().find(identity, verdict))
        return true;
    if (!readStoredVerdict(path, verdict))
        return false;
    verdicts().store(identity, *verdict);
    return true;
}

void PdfPageLoader::noteVerdict(const QString &path, const PdfVerdict &verdict)
{
    verdicts().store(fileIdentity(path), verdict);
    writeStoredVerdict(path, verdict);
}

bool PdfPageLoader::refusesBook(const QString &path, const PdfVerdict &verdict)
{
    if (!verdict.cause.isEmpty())
        qWarning().noquote() << "[PdfPageLoader] PDF 以不安全的名称指向文件，拒绝读取:" << path << verdict.cause;
    return !verdict.cause.isEmpty();
}

void PdfPageLoader::keepVerdict(const QString &checkedPath, const QString &copyPath)
{
    PdfVerdict verdict;
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

// Of a page drawn whole at dpi: its pixels at most.
DecodeWire::Policy pagePolicy(DecodeWire::Fit fit)
{
    DecodeWire::Policy policy;
    policy.fit = fit;
    return policy;
}

} // namespace

DecodeService::Result PdfPageLoader::draw(const QString &path, DecodeWire::PdfPart pdf,
                                          const DecodeWire::Policy &policy)
{
    PdfVerdict verdict;
    if (heldVerdict(path, &verdict)) {
        DecodeService::Result refused;
        if (refusesBook(path, verdict)) {
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
                                    draw(url.path, pdf, pagePolicy(DecodeWire::Fit::Natural)));
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
        draw(path, pdf, pagePolicy(DecodeWire::Fit::Natural));
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
    const DecodeService::Result result = draw(path, pdf, pagePolicy(DecodeWire::Fit::SizeOnly));
    return result.status == DecodeService::Status::Done ? result.natural : QSize(-1, -1);
}
