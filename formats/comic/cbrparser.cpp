#include "cbrparser.h"

#include "archiveimageloader.h"
#include "chapterinfo.h"
#include "comicinfo.h"
#include "comicpages.h"
#include "databaseconnection.h"
#include "keys.h"
#include "logmanager.h"
#include "novelinfo.h"
#include "paragraph.h"
#include "parserregistry.h"
#include "paths.h"
#include "transaction.h"
#include "unifiedchunkdao.h"
#include "unifiedparagraphdao.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QLockFile>
#include <QSet>
#include <QSqlQuery>
#include <QThreadPool>
#include <QUuid>

namespace {

const ParserRegistration cbrRegistration("cbr", &CbrParser::createCbr);
const ParserRegistration cb7Registration("cb7", &CbrParser::createCb7);
const ParserRegistration cbtRegistration("cbt", &CbrParser::createCbt);

QString translated(const char *text)
{
    return QCoreApplication::translate("CbrParser", text);
}

bool removePath(const QString &path)
{
    // A link is removed itself, never what it points to.
    const QFileInfo info(path);
    if (info.isDir() && !info.isSymLink())
        return QDir(path).removeRecursively();
    return QFile::remove(path);
}

}

IFormatParser *CbrParser::createCbr()
{
    return new CbrParser;
}

IFormatParser *CbrParser::createCb7()
{
    return new CbrParser;
}

IFormatParser *CbrParser::createCbt()
{
    return new CbrParser;
}

CbrParser::~CbrParser()
{
    if (settleAfterCommit) {
        // The caller's transaction has ended by now (or is about to be rolled
        // back): the stored rows tell whether this import's images are in use.
        settleAfterCommit = false;
        const int used = Transaction::depth(DatabaseConnection::database()) == 0 ? storedRowsUseImages() : -1;
        if (used == 1) {
            deletePendingAndMarker();
        } else if (used == 0) {
            importKept = false;
            removeTemporaryPaths();
        } else {
            // Unknown: files and marker stay for the start-up sweep.
            rollbackFailed = true;
        }
    }
    if (!rollbackFailed)
        finishImport(false);
    importLock.reset();
    // Only when empty: the marker of an unsettled import keeps it for the sweep.
    if (!importKept && !createdDataDir.isEmpty())
        QDir().rmdir(createdDataDir);
}

ParseResult CbrParser::parseBookInfo(const QString &filePath)
{
    removeTemporaryPaths();

    const QFileInfo file(filePath);
    archivePath = file.absoluteFilePath();
    formatLabel = file.suffix().toUpper();
    importKept = false;
    comicInfoXml.clear();
    entries.clear();

    bookId = bookIdForPath(filePath);
    const QString dataDir = Paths::bookDataDir(bookId);
    createdDataDir = QFileInfo::exists(dataDir) ? QString() : dataDir;
    if (!QDir().mkpath(dataDir))
        return ParseResult::failed(translated("无法创建 %1 数据目录").arg(formatLabel));

    importLock.reset(new QLockFile(dataDir + QLatin1String(LockFileName)));
    // Never stale while its owner lives, however long the import takes.
    importLock->setStaleLockTime(0);
    if (!importLock->tryLock(0)) {
        importLock.reset();
        return ParseResult::failed(translated("%1 正在导入").arg(formatLabel));
    }

    markerPath = dataDir + QLatin1String(MarkerFileName);
    QFile marker(markerPath);
    if (!marker.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        markerPath.clear();
        return ParseResult::failed(translated("无法创建 %1 导入标记").arg(formatLabel));
    }
    marker.close();

    imagesDir = dataDir + QStringLiteral("images-")
                + QUuid::createUuid().toString(QUuid::WithoutBraces);
    if (!QDir().mkpath(imagesDir)) {
        imagesDir.clear();
        return ParseResult::failed(translated("无法创建 %1 图片目录").arg(formatLabel));
    }

    // The cover is decoded and encoded while the rest of the archive is
    // extracted: on the page ComicInfo.xml names, when it comes first,
    // otherwise on the first page kept. Used only if it is the page chosen
    // below once the order is known.
    const QString coverPath = imagesDir + QStringLiteral("/cover.png");
    std::unique_ptr<ComicCoverJob> coverJob;
    bool frontCoverKnown = false;
    int frontCover = -1;
    const auto pageKept = [&](const CbrImageEntry &entry) {
        if (coverJob)
            return;
        if (!frontCoverKnown && !comicInfoXml.isEmpty()) {
            frontCoverKnown = true;
            frontCover = parseComicInfo(comicInfoXml).frontCoverIndex;
        }
        if (frontCover < 0 || entry.ordinal == frontCover)
            coverJob.reset(new ComicCoverJob(entry.filePath, coverPath));
    };

    QString error;
    const bool scanned = scanArchive(formatLabel, filePath, imagesDir, comicInfoXml, entries, error, pageKept);
    // Nothing may still be writing into the folder should it go below.
    const ComicCoverOutcome speculated = coverJob ? coverJob->outcome() : ComicCoverOutcome::NotDecoded;
    if (!scanned) {
        removeTemporaryPaths();
        return ParseResult::failed(error);
    }
    if (entries.isEmpty()) {
        removeTemporaryPaths();
        return ParseResult::failed(translated("%1 中没有支持的图片").arg(formatLabel));
    }

    const ComicInfo info = parseComicInfo(comicInfoXml);
    const auto saveCover = [&](const CbrImageEntry &entry) {
        if (coverJob && coverJob->pagePath() == entry.filePath)
            return speculated;
        return saveComicCover(entry.filePath, coverPath);
    };
    ComicCoverOutcome cover = ComicCoverOutcome::NotDecoded;
    if (info.frontCoverIndex >= 0) {
        for (const CbrImageEntry &entry : qAsConst(entries)) {
            if (entry.ordinal == info.frontCoverIndex) {
                cover = saveCover(entry);
                break;
            }
        }
    }
    for (int i = 0; cover == ComicCoverOutcome::NotDecoded && i < entries.size(); ++i)
        cover = saveCover(entries.at(i));
    if (cover == ComicCoverOutcome::NotDecoded) {
        removeTemporaryPaths();
        return ParseResult::failed(translated("%1 中没有可解码的图片").arg(formatLabel));
    }
    if (cover == ComicCoverOutcome::NotSaved) {
        removeTemporaryPaths();
        return ParseResult::failed(translated("无法保存 %1 封面").arg(formatLabel));
    }

    NovelInfo *novel = newComicNovel(filePath, formatLabel, info);
    novel->setCoverPath(coverPath);
    return ParseResult::ofNovel(novel);
}

ParseResult CbrParser::parseChapters(const QString &filePath, NovelInfo *novel)
{
    Q_UNUSED(filePath);
    if (!novel || entries.isEmpty())
        return ParseResult::failed(translated("%1 书籍信息为空").arg(formatLabel));
    if (imagesDir.isEmpty() || !QFileInfo(imagesDir).isDir())
        return ParseResult::failed(translated("%1 图片目录不存在").arg(formatLabel));
    return ParseResult::ofChapters(
        {newWholeBookChapter(*novel, QStringLiteral("_archive_0"), imagesDir, entries.size())});
}

bool CbrParser::parseUnified(const QVector<ChapterInfo *> &chapters, const QString &novelId,
                             UnifiedParagraphDao *paragraphDao, UnifiedChunkDao *chunkDao)
{
    if (!paragraphDao || !chunkDao || chapters.size() != 1 || !chapters.first() || imagesDir.isEmpty()
        || entries.isEmpty())
        return false;
    ChapterInfo *chapter = chapters.first();
    QLOG_DEBUG() << "[CbrParser] parseUnified start images=" << imagesDir << "entries=" << entries.size();

    QVector<Paragraph> paragraphs;
    paragraphs.reserve(entries.size());
    for (const CbrImageEntry &entry : qAsConst(entries))
        paragraphs.append(comicPageParagraph(entry.filePath, QSize(entry.width, entry.height)));
    const qint64 progressTotal = finishWholeBookPages(paragraphs, chapter);

    QSqlDatabase db = DatabaseConnection::database();
    std::unique_ptr<Transaction> own;
    if (!transactionOpen) {
        own.reset(new Transaction(db));
        if (!own->isActive())
            return false;
    }

    // Earlier image folders and legacy archive copies of this book, deleted
    // once the new rows are committed. Read before the old rows go.
    const QString dataDir = QFileInfo(imagesDir).absolutePath();
    const QString prefix = dataDir + QLatin1Char('/');
    QSqlQuery query(db);
    query.prepare(QStringLiteral(
        "SELECT DISTINCT image_id FROM unified_paragraph WHERE novel_id = :novel_id AND image_id <> ''"));
    query.bindValue(QStringLiteral(":novel_id"), novelId);
    if (!query.exec())
        return false;
    QSet<QString> examined;
    while (query.next()) {
        const QString id = query.value(0).toString();
        QString candidate;
        if (id.startsWith(QLatin1String("archive://"))) {
            candidate = ArchiveImageLoader::parseArchiveUrl(id).containerPath;
            if (candidate.isEmpty())
                continue;
        } else {
            candidate = QFileInfo(id).absolutePath();
        }
        candidate = QDir::cleanPath(QFileInfo(candidate).absoluteFilePath());
        // Only a direct child of the book's own data folder is ever deleted.
        if (!candidate.startsWith(prefix) || candidate.indexOf(QLatin1Char('/'), prefix.size()) >= 0
            || examined.contains(candidate))
            continue;
        examined.insert(candidate);
        const QFileInfo info(candidate);
        const QString name = info.fileName();
        const bool qualifies = info.isDir() ? name.startsWith(QLatin1String("images"))
                                            : info.isFile()
                                                  && (name == QLatin1String("book.cbr") || name == QLatin1String("book.cb7")
                                                      || name == QLatin1String("book.cbt"));
        if (qualifies && candidate != archivePath && candidate != imagesDir && !pendingDeletes.contains(candidate))
            pendingDeletes.append(candidate);
    }
    query.finish();

    if (!replaceStoredPages(novelId, *chapter, paragraphs, paragraphDao, chunkDao))
        return false;
    if (own && !own->commit())
        return false;
    QLOG_DEBUG() << "[CbrParser] parseUnified done novelId=" << novelId << "paragraphs=" << paragraphs.size()
                 << "progressTotal=" << progressTotal;
    return true;
}

bool CbrParser::beginImport()
{
    if (transactionOpen)
        return true;
    transaction.reset(new Transaction(DatabaseConnection::database()));
    transactionOpen = transaction->isActive();
    if (!transactionOpen)
        transaction.reset();
    return transactionOpen;
}

bool CbrParser::finishImport(bool success)
{
    if (success) {
        if (transactionOpen) {
            transactionOpen = false;
            const bool committed = transaction->commit();
            transaction.reset();
            if (!committed) {
                // Our level is rolled back unless the rows still point at
                // the new images; then nothing may be deleted.
                if (storedRowsUseImages() != 0)
                    rollbackFailed = true;
                else
                    removeTemporaryPaths();
                return false;
            }
        }
        importKept = true;
        if (Transaction::depth(DatabaseConnection::database()) > 0)
            settleAfterCommit = true;   // not durable until the caller commits
        else
            deletePendingAndMarker();
        return true;
    }

    if (transactionOpen) {
        transactionOpen = false;
        const bool rolledBack = transaction->rollback();
        transaction.reset();
        if (!rolledBack) {
            rollbackFailed = true;
            return false;
        }
    }
    if (!settleAfterCommit)
        removeTemporaryPaths();
    return true;
}

void CbrParser::deletePendingAndMarker()
{
    // A superseded folder of a thousand pages takes longer to delete than
    // the main thread may stall: it is renamed aside at once (a name the
    // sweep removes should the program stop) and deleted on the pool.
    bool allGone = true;
    QStringList doomed;
    for (const QString &path : qAsConst(pendingDeletes)) {
        const QFileInfo info(path);
        if (!info.exists()) {
            continue;
        } else if (info.isDir() && !info.isSymLink()) {
            const QString aside = info.absolutePath() + QStringLiteral("/images-")
                                  + QUuid::createUuid().toString(QUuid::WithoutBraces) + QStringLiteral(".old");
            if (QDir().rename(path, aside))
                doomed.append(aside);
            else
                allGone = false;
        } else if (!removePath(path)) {
            allGone = false;
        }
    }
    // Anything that would not go keeps the marker: the sweep tries again.
    if (allGone && !markerPath.isEmpty())
        QFile::remove(markerPath);
    markerPath.clear();
    pendingDeletes.clear();
    if (!doomed.isEmpty()) {
        QThreadPool::globalInstance()->start([doomed] {
            for (const QString &path : doomed)
                QDir(path).removeRecursively();
        });
    }
}

int CbrParser::storedRowsUseImages() const
{
    if (entries.isEmpty() || bookId.isEmpty())
        return 0;
    QSqlQuery query(DatabaseConnection::database());
    query.prepare(QStringLiteral(
        "SELECT COUNT(*) FROM unified_paragraph WHERE novel_id = :novel_id AND image_id = :image_id"));
    query.bindValue(QStringLiteral(":novel_id"), bookId);
    query.bindValue(QStringLiteral(":image_id"), entries.first().filePath);
    if (!query.exec() || !query.next())
        return -1;
    return query.value(0).toInt() > 0 ? 1 : 0;
}

void CbrParser::removeTemporaryPaths()
{
    bool removed = true;
    if (!imagesDir.isEmpty() && !importKept)
        removed = QDir(imagesDir).removeRecursively();
    if (removed && !markerPath.isEmpty())
        QFile::remove(markerPath);
    imagesDir.clear();
    markerPath.clear();
    pendingDeletes.clear();
    importKept = false;
}
