#pragma once

#include "bookfolderstage.h"
#include "iformatparser.h"
#include "mobibook.h"
#include "mobiindex.h"
#include "mobimarkup.h"
#include "paragraph.h"

#include <QByteArray>
#include <QFile>
#include <QHash>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVector>

// Where a KF8 part's navigation entries and the links into it land.
struct Kf8PartPlan
{
    QMap<qint64, QByteArray> insertions; // ids for target tags that have none
    QStringList chapterAnchors;          // ids where chapters start; empty: the part's start
    QStringList chapterTitles;
};

// The chapter starts of a KF8 book and the target of each of its
// "kindle:pos" links (MobiMarkup::kindlePositionKey to an href; empty: none).
struct Kf8Plan
{
    QVector<Kf8PartPlan> parts;
    QHash<quint64, QString> links;
    bool byNavigation = false; // some navigation entry starts a chapter
};

// PalmDOC, MOBI 6, KF8 (AZW3) and combined books.
//
// The binary layer below is static: it works on a PalmDbBook handed in by
// the caller, so each piece can be used and tested on its own. Operations
// that can fail take an optional error text and leave a message there.
class MobiParser : public IFormatParser
{
public:
    // ---- PalmDB container and record 0 (palmdb.cpp, mobiheader.cpp) ----
    static bool openPalmDb(PalmDbBook &book, const QString &path, QString *error = nullptr);
    static QByteArray readRecord(const PalmDbBook &book, int index, QString *error = nullptr);
    // The same through a file already open on the book, for reading many records.
    static QByteArray readRecord(const PalmDbBook &book, int index, QFile &file, QString *error);
    static void resetBook(PalmDbBook &book);
    static bool parseRecordZero(PalmDbBook &book, const QByteArray &record0,
                                QString *error = nullptr);
    // Writes `section` only on success.
    static bool parseContentSection(const PalmDbBook &book, int startRecord,
                                    const QByteArray &headerRecord, MobiContentSection &section,
                                    QString *error = nullptr);
    // Stops quietly at the first damaged EXTH record, keeping what came before.
    static void parseExth(PalmDbBook &book, const QByteArray &record0, quint32 headerLength);

    static bool isMobi(const PalmDbBook &book) { return book.isMobi; }
    static bool isPalmDoc(const PalmDbBook &book) { return book.isPalmDoc; }
    static quint16 compression(const PalmDbBook &book) { return book.header.compression; }
    static quint16 textRecordCount(const PalmDbBook &book) { return book.header.textRecordCount; }
    static quint32 textLength(const PalmDbBook &book) { return book.header.textLength; }
    static quint32 mobiVersion(const PalmDbBook &book) { return book.header.version; }
    static quint32 firstImageRecord(const PalmDbBook &book) { return book.header.firstImageRecord; }
    static quint32 coverOffset(const PalmDbBook &book) { return book.coverOffset; }
    static quint32 kf8BoundaryRecord(const PalmDbBook &book) { return book.kf8BoundaryRecord; }
    static int recordCount(const PalmDbBook &book) { return book.recordOffsets.size(); }
    static const MobiContentSection &mobiSection(const PalmDbBook &book) { return book.mobiSection; }
    static const MobiContentSection &kf8Section(const PalmDbBook &book) { return book.kf8Section; }
    static const MobiBookMetadata &metadata(const PalmDbBook &book) { return book.metadata; }
    static bool isEncrypted(const PalmDbBook &book);
    static bool hasKf8Section(const PalmDbBook &book);
    static bool isKf8Only(const PalmDbBook &book);

    // ---- Text records, flows and decoding (mobitext.cpp) ----
    static QByteArray extractText(const PalmDbBook &book, const MobiContentSection &section,
                                  QString *error = nullptr);
    static QByteArray extractBookText(const PalmDbBook &book, QString *error = nullptr);
    static QList<QByteArray> extractFlows(const PalmDbBook &book,
                                          const MobiContentSection &section,
                                          QString *error = nullptr);
    // Flows, reassembled parts and navigation of the KF8 section; the outputs
    // are replaced only on success.
    static bool loadKf8Content(const PalmDbBook &book, QList<QByteArray> *parts,
                               QList<QByteArray> *flows, QList<Kf8NavEntry> *navigation,
                               QString *error = nullptr);
    // The whole buffer is decoded; NULs and other C0 controls XML forbids are dropped.
    static QString decodeText(const PalmDbBook &book, const QByteArray &bytes,
                              const MobiContentSection &section);
    static QString decodeBookText(const PalmDbBook &book, const QByteArray &bytes);

    // ---- INDX indexes (mobiindex.cpp) ----
    static bool readIndexGroup(const PalmDbBook &book, const MobiContentSection &section,
                               quint32 relativeIndexRecord, MobiIndexTable *table,
                               QString *error = nullptr);
    // records: the primary INDX record, its leaves, then its CNCX records.
    static bool readIndex(const QList<QByteArray> &records, quint32 textEncoding,
                          MobiIndexTable *table, QString *error = nullptr);

    // ---- KF8 skeleton, fragments and NCX (kf8.cpp) ----
    static bool indexTagValue(const MobiIndexEntry &entry, quint8 tag, quint32 *value);
    static bool indexTagPair(const MobiIndexEntry &entry, quint8 tag, quint32 *first,
                             quint32 *second);
    static bool readSkeletonIndex(const MobiIndexTable &table, QVector<Kf8Skeleton> *skeletons,
                                  QString *error = nullptr);
    static bool readFragmentIndex(const MobiIndexTable &table, QVector<Kf8Fragment> *fragments,
                                  QString *error = nullptr);
    static bool assembleMainFlow(const QByteArray &flow0, const MobiIndexTable &skeletonTable,
                                 const MobiIndexTable &fragmentTable, QList<QByteArray> *parts,
                                 QString *error = nullptr);
    // The part and the byte offset in it of a position given as a fragment
    // number and an offset from that fragment's insertion point.
    static bool kf8Position(const QVector<Kf8Skeleton> &skeletons,
                            const QVector<Kf8Fragment> &fragments, quint32 fragment,
                            quint32 offset, int *partIndex, quint32 *partOffset);
    static bool readNcx(const MobiIndexTable &skeletonTable, const MobiIndexTable &fragmentTable,
                        const MobiIndexTable &ncxTable, QList<Kf8NavEntry> *navigation,
                        QString *error = nullptr);

    // ---- Parser: book information, resources, chapters and markup repair ----
    // (constructor, factories, IFormatParser overrides and their members go here,
    //  implemented in their own files)

    // Book information and resources (mobiparser.cpp, mobiresources.cpp)
    MobiParser();
    ~MobiParser() override;
    MobiParser(const MobiParser &) = delete;
    MobiParser &operator=(const MobiParser &) = delete;
    static IFormatParser *create();
    static IFormatParser *createAzw3();
    static IFormatParser *createKf8();

    ParseResult parseBookInfo(const QString &filePath) override;
    // Images and KF8 fonts of the book, saved once into the data folder.
    bool extractResources(QString *error = nullptr);

    // Chapters and their storage (mobichapters.cpp)
    ParseResult parseChapters(const QString &filePath, NovelInfo *novel) override;
    bool parseUnified(const QVector<ChapterInfo *> &chapters, const QString &novelId,
                      UnifiedParagraphDao *paragraphDao, UnifiedChunkDao *chunkDao) override;
    bool finishImport(bool success) override;
    // Resources, flows and fonts are staged and swapped in after the commit.
    BookFolderStage *folderStage() override { return &stage; }
    // KF8 style sheets and SVG images, flow 0 (the text) skipped.
    bool saveFlows(const QList<QByteArray> &flows, QString *error = nullptr);
    // The @font-face fonts of the saved style sheets, and their manifest.
    bool registerBookFonts(QString *error = nullptr);
    static QVector<MobiTocEntry> buildMobiToc(const QString &html);

    // Markup repair (mobirepair.cpp, passes in mobimarkup.cpp)
    QString rewriteKindleLinks(const QString &text) const;
    static QString insertPageBreaks(const QString &text);
    QString rewriteImageRecindex(const QString &html) const;
    static QString wrapMobiHtml(const QString &text);
    // Gives every navigation target of the part an element id; anchors maps
    // each target offset to its id. False for a target no tag can carry.
    static bool assignNavAnchors(QByteArray &part, const QList<Kf8NavEntry> &navigation,
                                 int partIndex, int textEncoding,
                                 QMap<quint32, QString> &anchors);
    // assignNavAnchors in two steps: the ids without touching the part, then
    // the insertions.
    static bool planNavAnchors(const QByteArray &part, const QList<Kf8NavEntry> &navigation,
                               int partIndex, int textEncoding, QMap<quint32, QString> &anchors,
                               QMap<qint64, QByteArray> &insertions);
    static void insertNavAnchors(QByteArray &part, const QMap<qint64, QByteArray> &insertions);
    // Gives every navigation entry and every "kindle:pos" link target of the
    // book's parts an element id, and says where chapters start (kf8links.cpp).
    static Kf8Plan planKf8Targets(const PalmDbBook &book, const QList<QByteArray> &parts,
                                  const QList<Kf8NavEntry> &navigation);
    static QString formatKf8ParseError(int partIndex, const QString &stage, int partBytes,
                                       int decodedChars, const XhtmlConvertResult &result);

private:
    bool importKf8(const QList<QByteArray> &parts, const QList<QByteArray> &flows,
                   const QList<Kf8NavEntry> &navigation, const QString &bookTitle,
                   QVector<QString> &titles, QList<QVector<Paragraph>> &paragraphs,
                   QString *error);
    bool importMobi6(const QString &bookTitle, QVector<QString> &titles,
                     QList<QVector<Paragraph>> &paragraphs, QString *error);

    QString openedPath;
    QString dataDir;
    PalmDbBook book;
    QMap<int, QString> imageNamesByNumber;
    QMap<int, QString> resourceNamesByIndex;
    QMap<int, QString> flowNamesByIndex;
    QMap<QString, QString> styleSheetTexts;
    QMap<QString, QString> savedFilePaths;
    QMap<QString, QString> mimeTypesByPath;
    QList<QVector<Paragraph>> chapterParagraphs;
    BookFolderStage stage;
    // Where files are written: the stage during an import.
    QString writeDir() const { return stage.isActive() ? stage.stageDir() : dataDir; }
};
