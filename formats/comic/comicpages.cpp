#include "comicpages.h"

#include "bookrecord.h"
#include "chapterinfo.h"
#include "chapterrecord.h"
#include "comicinfo.h"
#include "decodeservice.h"
#include "keys.h"
#include "novelinfo.h"
#include "paragraph.h"
#include "paragraphutils.h"
#include "imagedecode.h"
#include "unifiedchunkdao.h"
#include "unifiedparagraphdao.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QRunnable>
#include <QThreadPool>

const QSet<QByteArray> &comicImageSuffixes()
{
    static const QSet<QByteArray> suffixes{"avif", "bmp", "gif", "heic", "heif", "jpeg",
                                           "jxl", "png", "tif", "tiff", "webp"};
    return suffixes;
}

const QSet<QByteArray> &readableImageFormats()
{
    return DecodeService::readableFormats();
}

NovelInfo *newComicNovel(const QString &filePath, const QString &fileType, const ComicInfo &info)
{
    const QFileInfo file(filePath);
    NovelInfo *novel = newBookRecord(filePath, fileType);
    applyComicInfo(info, file.completeBaseName(), novel);
    novel->setFileSize(qMin<qint64>(file.size(), 2147483647));
    novel->setLoadStatus(0);
    return novel;
}

ChapterInfo *newWholeBookChapter(const NovelInfo &novel, const QString &idSuffix, const QString &pagesPath,
                                 int pageCount)
{
    ChapterInfo *chapter =
        newChapterRecord(novel.id() + idSuffix, novel.id(), 0, novel.title(), pagesPath, currentTimeString());
    chapter->setWordCount(pageCount);
    chapter->setStartOffset(0);
    chapter->setEndOffset(0);
    return chapter;
}

namespace {

ImageDecode::Options comicCoverOptions()
{
    ImageDecode::Options options;
    options.fit = ImageDecode::Fit::Box;
    options.box = QSize(ComicCoverSide, ComicCoverSide);
    options.enlarge = false;
    options.maxPixels = MaxComicCoverPixels;
    return options;
}

}

QImage decodeComicCover(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return QImage();
    return ImageDecode::decode(bytes, comicCoverOptions()).image;
}

ComicCoverOutcome saveComicCover(const QString &pagePath, const QString &coverPath)
{
    // The page's content decides its reader, never its name.
    QFile file(pagePath);
    if (!file.open(QIODevice::ReadOnly))
        return ComicCoverOutcome::NotDecoded;
    const ImageDecode::Result decoded = ImageDecode::decode(file, comicCoverOptions());
    const QImage &cover = decoded.image;
    if (cover.isNull())
        return decoded.unavailable ? ComicCoverOutcome::Unavailable : ComicCoverOutcome::NotDecoded;
    return cover.save(coverPath, "PNG", ComicCoverPngQuality) ? ComicCoverOutcome::Saved
                                                               : ComicCoverOutcome::NotSaved;
}

class ComicCoverJob::Task : public QRunnable
{
public:
    Task(const QString &pagePath, const QString &coverPath) : m_pagePath(pagePath), m_coverPath(coverPath)
    {
        setAutoDelete(false);
    }
    void run() override { m_promise.set_value(saveComicCover(m_pagePath, m_coverPath)); }

    std::promise<ComicCoverOutcome> m_promise;

private:
    QString m_pagePath;
    QString m_coverPath;
};

ComicCoverJob::ComicCoverJob(const QString &pagePath, const QString &coverPath)
    : m_pagePath(pagePath), m_task(new Task(pagePath, coverPath))
{
    m_result = m_task->m_promise.get_future().share();
    QThreadPool::globalInstance()->start(m_task);
}

ComicCoverJob::~ComicCoverJob()
{
    outcome();
    delete m_task;
}

ComicCoverOutcome ComicCoverJob::outcome()
{
    // A pool busy with imports might never get to it while we wait.
    if (QThreadPool::globalInstance()->tryTake(m_task))
        m_task->run();
    return m_result.get();
}

qint64 finishWholeBookPages(QVector<Paragraph> &paragraphs, ChapterInfo *chapter)
{
    const ParagraphTotals totals = finalizeParagraphs(paragraphs);
    chapter->setWordCount(paragraphs.size());
    chapter->setGlyphCount(totals.totalGlyphs);
    chapter->setProgressTotal(totals.totalProgress);
    return totals.totalProgress;
}

bool replaceStoredPages(const QString &novelId, const ChapterInfo &chapter, const QVector<Paragraph> &paragraphs,
                        UnifiedParagraphDao *paragraphDao, UnifiedChunkDao *chunkDao)
{
    if (!chunkDao->removeByNovelId(novelId) || !paragraphDao->removeByNovelId(novelId))
        return false;
    const QVector<QString> ids = paragraphDao->insertParagraphsLocked(novelId, chapter.id(), paragraphs);
    // Only the lines of pages left out have chunks.
    return ids.size() == paragraphs.size() && chunkDao->insertParagraphChunks(ids, paragraphs);
}

Paragraph comicPageParagraph(const QString &imageId, QSize size)
{
    Paragraph paragraph;
    paragraph.kind = Paragraph::Image;
    paragraph.imageId = imageId;
    if (size.width() >= 0 && size.height() >= 0) {
        paragraph.imageWidth = size.width();
        paragraph.imageHeight = size.height();
    }
    paragraph.hCenter = true;
    paragraph.vCenter = true;
    paragraph.progressWeight = 1200;
    return paragraph;
}

bool comicUnpackJustified(qint64 unpackedBytes, qint64 storedBytes)
{
    return unpackedBytes <= ComicUnpackFloorBytes + ComicUnpackRatio * qMax<qint64>(storedBytes, 0);
}

Paragraph comicLeftOutPage(const QString &name)
{
    Paragraph paragraph;
    paragraph.alignment = 1;
    paragraph.hCenter = true;
    paragraph.vCenter = true;
    TextChunk chunk;
    chunk.text = QCoreApplication::translate("ComicPages", "此页过大，未导入：%1").arg(name);
    paragraph.chunks.append(chunk);
    return paragraph;
}
