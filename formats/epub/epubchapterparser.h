#pragma once

#include "chapterparser.h"

#include <QHash>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVector>

class EpubArchive;
class QXmlStreamReader;

// One table-of-contents entry, in document order (parents before children).
struct EpubTocEntry
{
    QString label;
    QString path;        // archive path of the target document
    QString anchor;      // fragment id, empty for the document's start
    QString parentTitle; // enclosing labels joined with " - "
};

// A point of the chapter walk: a table-of-contents entry that hits the spine,
// or a spine document that no entry points into.
struct EpubSpineMark
{
    int spineIndex = -1;
    QString title;
    QString anchor;
    bool fromToc = false;
};

// The chapter list of an EPUB: one chapter per spine document, split at the
// table of contents' anchors. No chapter file is written; the content step
// converts each chapter's range of the spine.
class EpubChapterParser : public ChapterParser
{
    Q_OBJECT
public:
    explicit EpubChapterParser(QObject *parent = nullptr);

    // error is filled only when a file of the data folder cannot be written.
    ChapterListResult parseChapters(const QString &filePath, const QString &dataDir,
                                    const QString &novelId, QString *error) override;
    bool writeChapterFiles(const QVector<ChapterInfo *> &chapters, const QString &filePath) override;

    // Bounds of the table-of-contents readers.
    static constexpr int MaxTocDepth = 32;
    static constexpr int MaxTocEntries = 100000;
    static constexpr int MaxTitleLength = 500;

private:
    struct ManifestItem
    {
        QString href;
        QString mediaType;
        QString properties;
        QString fallback;   // id of the item to read when this one is not a document
    };
    struct Package
    {
        QString version;
        QStringList spine;
        QString ncxPath;
        QString navPath;
        QString title;      // the first dc:title, white space collapsed
    };
    // Spine lookups: full path and bare file name to the first index.
    struct SpineIndex
    {
        QHash<QString, int> byPath;
        QHash<QString, int> byFileName;
    };
    // The list under construction.
    struct Build
    {
        QStringList spine;
        QString novelId;
        QString dataDir;
        QString now;
        QVector<ChapterInfo *> chapters;
    };

    bool readOpf(EpubArchive &zip, const QString &opfPath, Package *package);
    int spineIndexOf(const QString &path, const SpineIndex &index);
    void addChapter(Build &build, int startIndex, int endIndex, QString title,
                    const QString &anchor, const QString &endAnchor);
    // The copy's path, or the book's own path when copying fails.
    QString copyBook(const QString &filePath, const QString &dataDir);
    // Titles of the spine documents at these indexes, read in one pass.
    // A title that is empty, holds the book's or is shared by several
    // documents gives way to the document's first h1-h3.
    QHash<int, QString> readDocumentTitles(EpubArchive &zip, const QStringList &spine,
                                           const QVector<int> &indexes,
                                           const QString &bookTitle = QString());

    // Table of contents.
    void readToc(EpubArchive &zip, const QString &version, const QString &ncxPath,
                 const QString &navPath, QVector<EpubTocEntry> &entries);
    void parseNcx(const QString &ncxText, const QString &ncxPath, QVector<EpubTocEntry> &entries);
    void parseNavMap(QXmlStreamReader &reader, QVector<EpubTocEntry> &entries,
                     const QString &parentTitle);
    void parseNavPoint(QXmlStreamReader &reader, QVector<EpubTocEntry> &entries,
                       const QString &parentTitle, int depth);
    void parseNav(EpubArchive &zip, const QString &navPath, QVector<EpubTocEntry> &entries);
    // False when the text is not well-formed; entries then stay as they were.
    bool parseNavText(const QString &text, const QString &navPath,
                      QVector<EpubTocEntry> &entries);
    void parseNavList(QXmlStreamReader &reader, const QString &navPath,
                      QVector<EpubTocEntry> &entries);
};

// Cut to the title limit without splitting a surrogate pair.
QString capEpubTitle(const QString &title);
// parent + " - " + label, or label alone under an empty parent; capped.
QString joinEpubTitle(const QString &parent, const QString &label);
