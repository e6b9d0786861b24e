#pragma once

#include "bookfolderstage.h"
#include "iformatparser.h"

#include <QByteArray>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>
#include <memory>

class Transaction;
struct archive;

// One kept page image of a comic archive, extracted to its own file.
struct CbrImageEntry
{
    QByteArray name;    // normalised path inside the archive, UTF-8
    QString filePath;   // absolute path of the extracted file
    int width = -1;     // from the size probe; negative when unknown
    int height = -1;
    int ordinal = 0;    // image candidate number in archive order, also in the file name
    bool leftOut = false;   // too large for what the archive holds: no file
};

// Comic books in RAR (.cbr), 7z (.cb7) and tar (.cbt) archives. The container
// is recognised from the content; the suffix only names the format in
// messages and in the book's file type. Every page is extracted once, at
// import, into a fresh "images-<uuid>" folder, staged (BookFolderStage) and
// swapped in after the import's commit.
class CbrParser : public IFormatParser
{
public:
    ~CbrParser() override;
    CbrParser(const CbrParser &) = delete;
    CbrParser &operator=(const CbrParser &) = delete;

    static IFormatParser *createCbr();
    static IFormatParser *createCb7();
    static IFormatParser *createCbt();

    ParseResult parseBookInfo(const QString &filePath) override;
    ParseResult parseChapters(const QString &filePath, NovelInfo *novel) override;
    bool parseUnified(const QVector<ChapterInfo *> &chapters, const QString &novelId,
                      UnifiedParagraphDao *paragraphDao, UnifiedChunkDao *chunkDao) override;
    bool hasImportTransaction() override { return true; }
    bool beginImport() override;
    bool finishImport(bool success) override;
    BookFolderStage *folderStage() override { return &m_stage; }

    // Removes "images-*" and "images.backup" folders that no stored book
    // references and the markers earlier versions left, by the rule
    // settling deletes by (StartupDeleteRule). Once, at start-up, on the
    // main thread; never fails. The rule may be the one settling used, so
    // that a start reads the stored ids once.
    static void cleanupOrphanedArchiveData();
    static void cleanupOrphanedArchiveData(StartupDeleteRule &rule);

    // One pass over the archive: bounds its entries, captures ComicInfo.xml,
    // extracts the page images into imagesDir and sorts them naturally.
    // pageKept sees each kept page as soon as it is extracted (archive order).
    static bool scanArchive(const QString &formatLabel, const QString &filePath,
                            const QString &imagesDir, QByteArray &comicInfoXml,
                            QVector<CbrImageEntry> &entries, QString &error,
                            const std::function<void(const CbrImageEntry &)> &pageKept = {});
    // Writes the current entry's data to targetPath while probing its pixel
    // size; (-1, -1) when unknown or when writing failed (*written false).
    // Each block is written only once justified(bytes then written) allows.
    static QSize extractEntry(struct archive *reader, qint64 declaredSize,
                              const QString &targetPath, bool *written,
                              const std::function<bool(qint64)> &justified);
    // Lower-case suffix of the entry's file name; "jpg" and "jpe" give "jpeg".
    static QByteArray imageFormatKey(const QByteArray &name);

private:
    CbrParser() = default;

    // The folder's final name and where it is written meanwhile.
    QString imagesDir;
    QString stagedImagesDir;
    QString archivePath;
    BookFolderStage m_stage;
    bool transactionOpen = false;
    QString formatLabel = QStringLiteral("CBR");
    QString bookId;
    QByteArray comicInfoXml;
    QVector<CbrImageEntry> entries;
    std::unique_ptr<Transaction> transaction;
};
