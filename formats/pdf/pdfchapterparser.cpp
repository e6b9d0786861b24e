#include "pdfchapterparser.h"

#include "chapterinfo.h"
#include "chapterrecord.h"
#include "imageutil.h"
#include "keys.h"
#include "logmanager.h"
#include "paths.h"
#include "pdfbook.h"
#include "pdffiles.h"
#include "pdfpageloader.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QSettings>

#include <algorithm>
#include <cmath>

#include <unistd.h>

PdfChapterParser::PdfChapterParser(QObject *parent) : ChapterParser(parent) {}

namespace {

ChapterListResult failure(const QString &message, QString *errorText)
{
    if (errorText)
        *errorText = message;
    return ChapterListResult();
}

QVector<PdfTocEntry> pageRanges(int pageCount)
{
    QVector<PdfTocEntry> entries;
    for (int start = 0; start < pageCount; start += PdfChapterParser::RangePages) {
        PdfTocEntry entry;
        entry.startPage = start;
        entry.endPage = qMin(start + PdfChapterParser::RangePages, pageCount);
        entry.title = QStringLiteral("第%1-%2页").arg(start + 1).arg(entry.endPage);
        entries.append(entry);
    }
    return entries;
}

// In-kernel copy where the file system allows it (a book may be hundreds of
// megabytes); QFile's block copy otherwise.
bool copyFile(const QString &from, const QString &to)
{
    QFile in(from);
    QFile out(to);
    if (in.open(QIODevice::ReadOnly) && out.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        qint64 left = in.size();
        while (left > 0) {
            const ssize_t copied = ::copy_file_range(in.handle(), nullptr, out.handle(), nullptr, size_t(left), 0);
            if (copied <= 0)
                break;
            left -= copied;
        }
        if (left == 0)
            return true;
    }
    out.close();
    QFile::remove(to);
    return QFile::copy(from, to);
}

// Copies the book to its fixed name in the data folder and answers the path
// to read it from. When the copy fails a first import reads the imported file
// where it is; a book that has a copy in the library already must not lose
// it to a file outside: empty then, and the import fails.
QString copyBook(const QString &filePath, const QString &dataDir, const QString &novelId)
{
    const QString target = dataDir + QLatin1Char('/') + QLatin1String(PdfFiles::BookCopyFile);
    if (QFileInfo(target).absoluteFilePath() == QFileInfo(filePath).absoluteFilePath())
        return target;
    const bool hadCopy = QFileInfo::exists(Paths::bookDataDir(novelId) + QLatin1String(PdfFiles::BookCopyFile));
    if (QFile::exists(target))
        QFile::remove(target);
    if (copyFile(filePath, target)) {
        PdfPageLoader::keepVerdict(filePath, target);
        QLOG_INFO().noquote() << "[PdfChapterParser] PDF 已复制到:" << target;
        return target;
    }
    if (hadCopy) {
        qWarning().noquote() << "[PdfChapterParser] PDF 复制失败，书库中的副本保持不变:" << filePath;
        return QString();
    }
    qWarning().noquote() << "[PdfChapterParser] PDF 复制失败，回退到原始路径:" << filePath;
    return filePath;
}

}

ChapterListResult PdfChapterParser::parseChapters(const QString &filePath, const QString &dataDir,
                                                  const QString &novelId, QString *errorText)
{
    m_pagePoints.clear();
    PdfBook book = m_facts ? PdfBook(filePath, *m_facts) : PdfBook(filePath);
    m_facts = nullptr;
    switch (book.pageCount() > 0 ? PdfBook::Status::Read : book.open()) {
    case PdfBook::Status::Read:
        break;
    case PdfBook::Status::OverBudget:
        return failure(QStringLiteral("PDF 文件过于复杂，超出处理预算，无法导入"), errorText);
    case PdfBook::Status::Unreadable: {
        PdfVerdict verdict;
        if (PdfPageLoader::heldVerdict(filePath, &verdict) && !verdict.cause.isEmpty())
            return failure(QStringLiteral("PDF 文件引用了它以外的文件（可能是恶意文件），为安全起见无法导入"), errorText);
        return failure(QStringLiteral("无法打开 PDF 文件"), errorText);
    }
    }
    const int pageCount = book.pageCount();
    if (pageCount <= 0)
        return failure(QStringLiteral("PDF 没有页面"), errorText);
    if (pageCount > MaxPages)
        return failure(QStringLiteral("PDF 页数过多"), errorText);

    QVector<PdfTocEntry> entries = extractTocFromOutline(book.facts());
    if (entries.isEmpty()) {
        QLOG_DEBUG().noquote() << "[PdfChapterParser] 内嵌大纲为空，尝试扫描目录页...";
        // A page that reads like contents but is none (a price list) leaves
        // the pages after it to be tried.
        for (int contentsPage = -1, lastContentsPage = -1;;) {
            entries = detectTocInText(book, &contentsPage, contentsPage + 1, &lastContentsPage);
            if (entries.isEmpty() || alignPrintedPages(book, contentsPage, lastContentsPage, &entries))
                break;
            entries.clear();
        }
    }
    if (entries.isEmpty()) {
        QLOG_DEBUG().noquote() << "[PdfChapterParser] 未检测到目录，每" << RangePages
                               << "页划分为一个章节（共" << pageCount << "页）";
        entries = pageRanges(pageCount);
    } else {
        for (PdfTocEntry &entry : entries)
            entry.startPage = qBound(0, entry.startPage, pageCount - 1);
        entries = mergeSharedPages(entries);
        // Front matter before the first entry stays readable.
        if (entries.first().startPage > 0) {
            PdfTocEntry lead;
            lead.title = PdfFiles::bookTitle(book.facts().title, filePath);
            entries.prepend(lead);
        }
        for (int i = 0; i + 1 < entries.size(); ++i)
            entries[i].endPage = entries.at(i + 1).startPage;
        entries.last().endPage = pageCount;
    }
    for (PdfTocEntry &entry : entries) {
        if (entry.startPage < 0)
            entry.startPage = 0;
        if (entry.startPage >= pageCount)
            entry.startPage = pageCount - 1;
        if (entry.endPage <= entry.startPage)
            entry.endPage = entry.startPage + 1;
        if (entry.endPage > pageCount)
            entry.endPage = pageCount;
    }

    m_pagePoints = book.facts().pagePoints;
    const int dpi = boundedRenderDpi(m_pagePoints, configuredRenderDpi(m_pagePoints));
    QLOG_INFO().noquote() << "[PdfChapterParser] 目录解析完成，共" << entries.size() << "个章节"
                          << "渲染DPI:" << dpi << "(惰性渲染，不预生成图片)";
    for (int i = 0; i < entries.size(); ++i)
        QLOG_DEBUG().noquote() << "[PdfChapterParser]  [" << i << "]" << entries.at(i).title << "页"
                               << entries.at(i).startPage + 1 << "-" << entries.at(i).endPage;

    const QString sourcePath = copyBook(filePath, dataDir, novelId);
    if (sourcePath.isEmpty())
        return failure(QStringLiteral("无法复制 PDF 文件"), errorText);
    const QString imagesDir = QDir(dataDir).absoluteFilePath(QStringLiteral("images"));
    QDir().mkpath(imagesDir);

    ChapterListResult result;
    const QString now = currentTimeString();
    for (int i = 0; i < entries.size(); ++i) {
        const PdfTocEntry &entry = entries.at(i);
        ChapterInfo *chapter = newChapterRecord(novelId + QLatin1Char('_') + QString::number(i), novelId,
                                                i, entry.title, imagesDir, now);
        chapter->setWordCount(entry.endPage - entry.startPage);
        chapter->setStartOffset(0);
        chapter->setEndOffset(0);
        chapter->setProperty("pdfStartPage", entry.startPage);
        chapter->setProperty("pdfEndPage", entry.endPage - 1);
        chapter->setProperty("pdfRenderDpi", dpi);
        chapter->setProperty("pdfSourcePath", sourcePath);
        if (i > 0) {
            ChapterInfo *previous = result.chapters.last();
            chapter->setPrevChapter(previous->id());
            previous->setNextChapter(chapter->id());
        }
        result.chapters.append(chapter);
    }
    if (errorText)
        errorText->clear();
    return result;
}

QVector<PdfTocEntry> PdfChapterParser::mergeSharedPages(const QVector<PdfTocEntry> &entries)
{
    QVector<PdfTocEntry> merged;
    QSet<QString> titles;
    for (const PdfTocEntry &entry : entries) {
        if (merged.isEmpty() || merged.last().startPage != entry.startPage) {
            merged.append(entry);
            titles = {entry.title};
            continue;
        }
        QString &title = merged.last().title;
        if (title.size() >= MaxTitleLength || titles.contains(entry.title))
            continue;
        titles.insert(entry.title);
        title += QStringLiteral(" / ") + entry.title;
        if (title.size() > MaxTitleLength) {
            const int keep = MaxTitleLength - (title.at(MaxTitleLength - 2).isHighSurrogate() ? 2 : 1);
            title = title.left(keep) + QChar(0x2026);
        }
    }
    return merged;
}

bool PdfChapterParser::writeChapterFiles(const QVector<ChapterInfo *> &, const QString &)
{
    return true;
}

int PdfChapterParser::fitDpiToScreen(const QVector<QSizeF> &pagePoints)
{
    if (pagePoints.isEmpty())
        return 200;
    return PdfFiles::screenFitDpi(pagePoints.first().width(), 150, 300, 200);
}

int PdfChapterParser::dpiForQuality(int quality, int fitDpi)
{
    switch (quality) {
    case 0:
        return 2 * fitDpi <= 218 ? 72 : (2 * fitDpi) / 3;
    case 2:
        return 4 * fitDpi <= 2400 ? (4 * fitDpi) / 3 : 800;
    case 3:
        return qMin(2 * fitDpi, 1200);
    default:
        return fitDpi;
    }
}

int PdfChapterParser::configuredRenderDpi(const QVector<QSizeF> &pagePoints)
{
    const QSettings settings(Paths::settingsFile(), QSettings::NativeFormat);
    const int quality = qBound(0, settings.value(QStringLiteral("READ_SETTING/PDF_DPI"), 1).toInt(), 3);
    return dpiForQuality(quality, fitDpiToScreen(pagePoints));
}

int PdfChapterParser::boundedRenderDpi(const QVector<QSizeF> &pagePoints, int dpi)
{
    QSizeF largest;
    for (const QSizeF &points : pagePoints) {
        if (points.width() > 0 && points.height() > 0
            && points.width() * points.height() > largest.width() * largest.height())
            largest = points;
    }
    if (largest.isEmpty())
        return dpi;
    // The rounded raster of the largest page, as the content step records it.
    const auto pixels = [&](int d) {
        return double(qRound(largest.width() / 72.0 * d)) * qRound(largest.height() / 72.0 * d);
    };
    const double budget = double(ImageUtil::kMaxDecodePixels);
    if (pixels(dpi) <= budget)
        return dpi;
    int bounded = qMin(dpi, int(std::floor(72.0 * std::sqrt(budget / (largest.width() * largest.height())))));
    while (bounded > 1 && pixels(bounded) > budget)
        --bounded;
    return qMax(1, bounded);
}

QVector<PdfTocEntry> PdfChapterParser::extractTocFromOutline(const PdfAnswers::Book &book)
{
    QVector<PdfTocEntry> entries;
    entries.reserve(book.outline.size());
    for (const PdfAnswers::OutlineEntry &entry : book.outline)
        entries.append(PdfTocEntry{entry.title, entry.page, 0});
    if (entries.isEmpty()) {
        QLOG_DEBUG().noquote() << "[PdfChapterParser] doc->outline() 为空，无内嵌大纲";
        return entries;
    }
    std::stable_sort(entries.begin(), entries.end(),
                     [](const PdfTocEntry &a, const PdfTocEntry &b) { return a.startPage < b.startPage; });
    QLOG_INFO().noquote() << "[PdfChapterParser] outline() 提取到" << entries.size() << "条";
    return entries;
}

QVector<PdfTocEntry> PdfChapterParser::extractTocFromOutline(const QString &filePath)
{
    PdfBook book(filePath);
    return book.open() == PdfBook::Status::Read ? extractTocFromOutline(book.facts()) : QVector<PdfTocEntry>();
}
