#pragma once

#include "comicinfo.h"
#include "comicpages.h"
#include "bookfolderstage.h"
#include "iformatparser.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QVector>

#include <unzip.h>

// Where an entry stands in the central directory, and its uncompressed size.
struct CbzEntryPosition
{
    unz64_file_pos position{};
    quint64 size = 0;
};

// One page candidate of the archive scan.
struct CbzPageEntry
{
    QByteArray rawName;   // exactly as stored in the central directory
    QString displayName;  // decoded for sorting and suffix checks
    int ordinal = -1;     // number among the entries with a known image suffix
    bool leftOut = false; // too large for what the entry holds: not read
    // The first entry of this name, which a look-up by name finds.
    CbzEntryPosition firstOfName;
};

// Comic books in ZIP archives. The archive is copied whole into the book's
// data folder as "book.cbz" and every page is an image paragraph naming its
// entry there ("zipraw://<copy>::<base64 name>"); nothing is extracted.
//
// The cover and the copy are staged (BookFolderStage) and swapped in once the
// import's transaction has committed.
class CbzParser : public IFormatParser
{
public:
    static constexpr int MaxNameBytes = 65535;
    static constexpr quint64 MaxPageBytes = quint64(MaxComicPageBytes);
    static constexpr int MaxPages = MaxComicPages;
    static constexpr quint64 MaxTotalPageBytes = quint64(MaxComicUnpackedBytes);
    static constexpr quint64 MaxComicInfoBytes = quint64(::MaxComicInfoBytes);
    // Page sizes come from the image header within this many leading bytes.
    static constexpr int SizeProbeBytes = 262144;

    CbzParser();
    ~CbzParser() override = default;

    static IFormatParser *create();

    ParseResult parseBookInfo(const QString &filePath) override;
    ParseResult parseChapters(const QString &filePath, NovelInfo *novel) override;
    bool parseUnified(const QVector<ChapterInfo *> &chapters, const QString &novelId,
                      UnifiedParagraphDao *paragraphDao, UnifiedChunkDao *chunkDao) override;
    bool finishImport(bool success) override;
    BookFolderStage *folderStage() override { return &m_stage; }

    // The whole uncompressed entry, or empty (missing, empty, above maxSize,
    // short or failing its CRC).
    static QByteArray readEntry(unzFile zip, const QByteArray &rawName, qint64 maxSize);
    // Lower-case format suffix of the entry ("jpg" and "jpe" give "jpeg").
    static QByteArray imageFormatKey(const QByteArray &rawName, const QString &displayName);
    // A page the image reader can read, not hidden and not macOS metadata.
    static bool isImageEntry(const QByteArray &rawName, const QString &displayName);
    // Reading order: natural order of the display names, raw bytes on ties.
    static void naturalSort(QVector<CbzPageEntry> &entries);
    // Byte copy through QSaveFile: the target is replaced only when complete.
    static bool copyBookFile(const QString &source, const QString &target);
    static ComicInfo parseComicInfo(const QByteArray &xml) { return ::parseComicInfo(xml); }

private:
    QString zipPath;
    QString formatLabel;
    QVector<CbzPageEntry> pages;
    // The scanned file as it was: the pages' positions hold for it alone.
    qint64 scannedSize = -1;
    QDateTime scannedModified;
    bool positionsHold = false;

    QString m_stagedCopy;
    BookFolderStage m_stage;
};
