#pragma once

#include <QByteArray>
#include <QString>

class NovelInfo;

// The metadata of a comic archive's "ComicInfo.xml". Values stay as written;
// only the front-cover page number is converted.
struct ComicInfo
{
    QString title;
    QString series;
    QString number;
    QString writer;
    QString penciller;
    QString summary;
    QString genre;
    QString languageIso;
    QString publisher;
    QString year;
    QString month;
    QString day;
    // Archive ordinal of the page marked FrontCover; -1 when none is.
    int frontCoverIndex = -1;
};

// Reads the document; a malformed, empty or otherwise unreadable document
// gives the empty record. Never fails.
ComicInfo parseComicInfo(const QByteArray &xml);

// Sets title, author, description, category, tags, language, publisher and
// publishDate of the book. fileNameTitle is used when the record names
// neither title nor series (the archive's file name without its suffix).
void applyComicInfo(const ComicInfo &info, const QString &fileNameTitle, NovelInfo *novel);

// The book-field values, for callers that need them one by one.
QString comicInfoTitle(const ComicInfo &info, const QString &fileNameTitle);
QString comicInfoPublishDate(const ComicInfo &info);
