#pragma once

#include <QByteArray>
#include <QSet>
#include <QString>

class ChapterInfo;
class NovelInfo;

// What the comic importers share about pages: which suffixes name an image
// and which formats the installed image reader decodes (both lower case,
// built once per process), and the one chapter that holds every page.

// "avif", "bmp", "gif", "heic", "heif", "jpeg", "jxl", "png", "tif", "tiff", "webp".
const QSet<QByteArray> &comicImageSuffixes();
// QImageReader::supportedImageFormats(), lower-cased.
const QSet<QByteArray> &readableImageFormats();

// A new chapter "<book id><idSuffix>" titled like the book, at index 0, whose
// path is pagesPath and whose word count is the page count; the caller owns it.
ChapterInfo *newWholeBookChapter(const NovelInfo &novel, const QString &idSuffix, const QString &pagesPath,
                                 int pageCount);
