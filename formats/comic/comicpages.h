#pragma once

#include <QByteArray>
#include <QSet>
#include <QSize>
#include <QString>
#include <QVector>

#include <future>

class ChapterInfo;
class NovelInfo;
class QImage;
class UnifiedChunkDao;
class UnifiedParagraphDao;
struct ComicInfo;
struct Paragraph;

// What the comic importers share about pages: their bounds, which suffixes
// name an image and which formats the installed image reader decodes (both
// lower case, built once per process), the cover, each page's paragraph and
// the one chapter that holds every page.

// Bounds every comic importer applies to an archive and its pages.
constexpr int MaxComicPages = 20000;
constexpr qint64 MaxComicPageBytes = 52428800;
constexpr qint64 MaxComicInfoBytes = 2097152;
constexpr qint64 MaxComicUnpackedBytes = 21474836480LL;
constexpr qint64 MaxComicCoverPixels = 100000000;
constexpr int ComicCoverSide = 1600;

// Unpacked bytes are justified by the stored bytes they come from: a floor,
// then a small multiple. Pictures are compressed already, so a real comic
// unpacks to about its own size; a sparse entry, or a size declared far
// beyond what the entry holds, gets no further than this.
constexpr qint64 ComicUnpackFloorBytes = 16777216;
constexpr qint64 ComicUnpackRatio = 4;
bool comicUnpackJustified(qint64 unpackedBytes, qint64 storedBytes);

// "avif", "bmp", "gif", "heic", "heif", "jpeg", "jxl", "png", "tif", "tiff", "webp".
const QSet<QByteArray> &comicImageSuffixes();
// QImageReader::supportedImageFormats(), lower-cased.
const QSet<QByteArray> &readableImageFormats();

// newBookRecord for the comic book file at filePath, the size kept to 32
// bits, load status 0 and the book fields from info; the caller owns it.
NovelInfo *newComicNovel(const QString &filePath, const QString &fileType, const ComicInfo &info);

// A new chapter "<book id><idSuffix>" titled like the book, at index 0, whose
// path is pagesPath and whose word count is the page count; the caller owns it.
ChapterInfo *newWholeBookChapter(const NovelInfo &novel, const QString &idSuffix, const QString &pagesPath,
                                 int pageCount);

// Image bytes scaled to fit the cover box, a drawing through the SVG guard;
// null when empty, refused, or of a size unknown or above the pixel budget.
QImage decodeComicCover(const QByteArray &bytes);

// PNG quality for covers: zlib level 1 in Qt's PNG writer. At the default
// level a noisy 1000 x 1500 page takes longer to encode than a whole archive
// takes to extract.
constexpr int ComicCoverPngQuality = 85;

// Unavailable: no decoding helper could read it now.
enum class ComicCoverOutcome { NotDecoded, Saved, NotSaved, Unavailable };

// Decodes the page image at pagePath as the cover and saves it as PNG at
// coverPath.
ComicCoverOutcome saveComicCover(const QString &pagePath, const QString &coverPath);

// saveComicCover on a pool thread, started at once so that it overlaps the
// rest of the archive pass. Waited for by outcome() and on destruction; run
// on the waiting thread instead when the pool has not started it yet.
class ComicCoverJob
{
public:
    ComicCoverJob(const QString &pagePath, const QString &coverPath);
    ~ComicCoverJob();
    ComicCoverJob(const ComicCoverJob &) = delete;
    ComicCoverJob &operator=(const ComicCoverJob &) = delete;

    const QString &pagePath() const { return m_pagePath; }
    ComicCoverOutcome outcome();

private:
    class Task;
    QString m_pagePath;
    std::shared_future<ComicCoverOutcome> m_result;
    Task *m_task;
};

// Finishes the pages' paragraphs and gives the whole-book chapter their
// count, glyphs and progress total; returns the progress total.
qint64 finishWholeBookPages(QVector<Paragraph> &paragraphs, ChapterInfo *chapter);

// The pages replace the book's stored paragraphs and chunks, inside the
// caller's transaction; false when a step fails.
bool replaceStoredPages(const QString &novelId, const ChapterInfo &chapter, const QVector<Paragraph> &paragraphs,
                        UnifiedParagraphDao *paragraphDao, UnifiedChunkDao *chunkDao);

// One page: an image paragraph centred both ways, of the given size when known.
Paragraph comicPageParagraph(const QString &imageId, QSize size);

// In place of a page left out for its size: a line that says so and names it.
Paragraph comicLeftOutPage(const QString &name);
