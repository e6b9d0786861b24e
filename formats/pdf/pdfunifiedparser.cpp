#include "pdfunifiedparser.h"

#include "chapterinfo.h"
#include "databaseconnection.h"
#include "logmanager.h"
#include "paragraphutils.h"
#include "pdfbook.h"
#include "transaction.h"
#include "unifiedchunkdao.h"
#include "unifiedparagraphdao.h"

#include <QHash>
#include <QSize>

namespace {

struct PageRange
{
    int start = 0;
    int end = -1;   // inclusive
};

PageRange rangeOf(const ChapterInfo *chapter)
{
    return PageRange{chapter->property("pdfStartPage").toInt(), chapter->property("pdfEndPage").toInt()};
}

QSize pixels(const QSizeF &points, int dpi)
{
    return QSize(qRound(points.width() / 72.0 * dpi), qRound(points.height() / 72.0 * dpi));
}

// Pixel size of every page the chapters name, each page read once; from the
// sizes given when there are any, else from the helper's reading of the file.
QHash<int, QSize> pageSizes(const QVector<ChapterInfo *> &chapters, const QString &path, int dpi,
                            const QVector<QSizeF> &given)
{
    QHash<int, QSize> sizes;
    QVector<QSizeF> known = given;
    if (known.isEmpty()) {
        PdfBook book(path);
        if (book.open() != PdfBook::Status::Read)
            return sizes;
        known = book.facts().pagePoints;
    }
    const int pageCount = known.size();
    for (const ChapterInfo *chapter : chapters) {
        if (!chapter)
            continue;
        const PageRange range = rangeOf(chapter);
        if (range.end < range.start || range.start >= pageCount)
            continue;
        for (int page = qMax(0, range.start); page < pageCount && page <= range.end; ++page) {
            if (!sizes.contains(page) && !known.at(page).isEmpty())
                sizes.insert(page, pixels(known.at(page), dpi));
        }
    }
    return sizes;
}

Paragraph pageParagraph(const QString &path, int page, int dpi, const QSize &size)
{
    Paragraph p;
    p.kind = Paragraph::Image;
    p.progressWeight = PdfUnifiedParser::PageProgressWeight;
    p.imageId = QStringLiteral("pdf://%1?page=%2&dpi=%3").arg(path).arg(page).arg(dpi);
    p.imageWidth = size.width();
    p.imageHeight = size.height();
    p.hCenter = true;
    p.vCenter = true;
    return p;
}

}

bool PdfUnifiedParser::parseAndStore(const QVector<ChapterInfo *> &chapters, const QString &novelId,
                                     UnifiedParagraphDao *paragraphDao, UnifiedChunkDao *chunkDao,
                                     const QVector<QSizeF> &pagePoints)
{
    if (!paragraphDao || !chunkDao) {
        qWarning().noquote() << "[PdfUnifiedParser] parseAndStore 失败：dao 为空";
        return false;
    }
    if (chapters.isEmpty()) {
        qWarning().noquote() << "[PdfUnifiedParser] parseAndStore 跳过：chapters 为空";
        return false;
    }
    if (!chapters.first())
        return false;
    const QString path = chapters.first()->property("pdfSourcePath").toString();
    const int dpi = chapters.first()->property("pdfRenderDpi").toInt();
    if (path.isEmpty() || dpi <= 0) {
        qWarning().noquote() << "[PdfUnifiedParser] 缺少必要信息:" << "pdfPath=" << path << "renderDpi=" << dpi;
        return false;
    }
    QLOG_INFO().noquote() << "[PdfUnifiedParser] 惰性模式 — PDF:" << path << "DPI:" << dpi;
    // A staged copy is read; the ids name the copy's final place.
    const QString readPath = chapters.first()->property("pdfReadPath").toString();
    const QHash<int, QSize> sizes = pageSizes(chapters, readPath.isEmpty() ? path : readPath, dpi, pagePoints);
    QLOG_INFO().noquote() << "[PdfUnifiedParser] 页面尺寸预计算完成:" << sizes.size() << "页";

    Transaction transaction(DatabaseConnection::database());
    if (!transaction.isActive()) {
        qWarning().noquote() << "[PdfUnifiedParser] 开启事务失败:" << transaction.lastError();
        return false;
    }
    if (!chunkDao->removeByNovelId(novelId) || !paragraphDao->removeByNovelId(novelId))
        return false;   // the transaction rolls back its part when it goes

    qint64 total = 0;
    for (ChapterInfo *chapter : chapters) {
        if (!chapter)
            continue;
        const PageRange range = rangeOf(chapter);
        if (range.start < 0 || range.start > range.end)
            continue;
        QVector<Paragraph> paragraphs;
        paragraphs.reserve(range.end - range.start + 1);
        for (int page = range.start; page <= range.end; ++page)
            paragraphs.append(pageParagraph(path, page, dpi, sizes.value(page, QSize(0, 0))));
        const ParagraphTotals stats = finalizeParagraphs(paragraphs);
        chapter->setWordCount(paragraphs.size());
        chapter->setGlyphCount(stats.totalGlyphs);
        chapter->setProgressTotal(stats.totalProgress);
        if (paragraphDao->insertParagraphsLocked(novelId, chapter->id(), paragraphs).isEmpty()) {
            qWarning().noquote() << "[PdfUnifiedParser] 存储失败:" << chapter->title();
            return false;
        }
        total += paragraphs.size();
    }
    if (!transaction.commit()) {
        qWarning().noquote() << "[PdfUnifiedParser] 提交事务失败:" << transaction.lastError();
        return false;
    }
    QLOG_INFO().noquote() << "[PdfUnifiedParser] 完成:" << chapters.size() << "章," << total
                          << "个 IMAGE 段落（pdf:// 惰性渲染）";
    return total > 0;
}
