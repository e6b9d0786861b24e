#include "cbrparser.h"

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
#include <QUuid>

namespace {

const ParserRegistration cbrRegistration("cbr", &CbrParser::createCbr);
const ParserRegistration cb7Registration("cb7", &CbrParser::createCb7);
const ParserRegistration cbtRegistration("cbt", &CbrParser::createCbt);

QString translated(const char *text)
{
    return QCoreApplication::translate("CbrParser", text);
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
    // An unfinished import's level rolls back; the stage drops its files.
    if (transactionOpen)
        transaction->rollback();
}

ParseResult CbrParser::parseBookInfo(const QString &filePath)
{
    m_stage.abandon();
    const QFileInfo file(filePath);
    archivePath = file.absoluteFilePath();
    formatLabel = file.suffix().toUpper();
    comicInfoXml.clear();
    entries.clear();

    bookId = bookIdForPath(filePath);
    const QString dataDir = Paths::bookDataDir(bookId);
    if (!m_stage.begin(bookId)) {
        return ParseResult::failed(m_stage.heldElsewhere() ? translated("%1 正在导入").arg(formatLabel)
                                                              : translated("无法创建 %1 数据目录").arg(formatLabel));
    }

    imagesDir = dataDir + QLatin1String(BookFolderStage::ArchivePagesPrefix)
                + QUuid::createUuid().toString(QUuid::WithoutBraces);
    stagedImagesDir = m_stage.staged(imagesDir);
    if (!QDir().mkpath(stagedImagesDir)) {
        m_stage.abandon();
        return ParseResult::failed(translated("无法创建 %1 图片目录").arg(formatLabel));
    }

    // The cover is decoded and encoded while the rest of the archive is
    // extracted: on the page ComicInfo.xml names, when it comes first,
    // otherwise on the first page kept. Used only if it is the page chosen
    // below once the order is known.
    const QString coverPath = stagedImagesDir + QStringLiteral("/cover.png");
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
    const bool scanned = scanArchive(formatLabel, filePath, stagedImagesDir, comicInfoXml, entries, error, pageKept);
    // Nothing may still be writing into the folder should it go below.
    const ComicCoverOutcome speculated = coverJob ? coverJob->outcome() : ComicCoverOutcome::NotDecoded;
    if (!scanned) {
        m_stage.abandon();
        return ParseResult::failed(error);
    }
    if (entries.isEmpty()) {
        m_stage.abandon();
        return ParseResult::failed(translated("%1 中没有支持的图片").arg(formatLabel));
    }

    const ComicInfo info = parseComicInfo(comicInfoXml);
    const auto saveCover = [&](const CbrImageEntry &entry) {
        if (entry.leftOut)
            return ComicCoverOutcome::NotDecoded;
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
        m_stage.abandon();
        return ParseResult::failed(translated("%1 中没有可解码的图片").arg(formatLabel));
    }
    if (cover == ComicCoverOutcome::Unavailable) {
        m_stage.abandon();
        return ParseResult::failed(translated("%1 封面暂时无法解码").arg(formatLabel));
    }
    if (cover == ComicCoverOutcome::NotSaved) {
        m_stage.abandon();
        return ParseResult::failed(translated("无法保存 %1 封面").arg(formatLabel));
    }

    NovelInfo *novel = newComicNovel(filePath, formatLabel, info);
    novel->setCoverPath(m_stage.final(coverPath));
    return ParseResult::ofNovel(novel);
}

ParseResult CbrParser::parseChapters(const QString &filePath, NovelInfo *novel)
{
    Q_UNUSED(filePath);
    if (!novel || entries.isEmpty())
        return ParseResult::failed(translated("%1 书籍信息为空").arg(formatLabel));
    if (imagesDir.isEmpty() || !QFileInfo(stagedImagesDir).isDir())
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
        paragraphs.append(entry.leftOut ? comicLeftOutPage(QString::fromUtf8(entry.name))
                                        : comicPageParagraph(m_stage.final(entry.filePath),
                                                             QSize(entry.width, entry.height)));
    const qint64 progressTotal = finishWholeBookPages(paragraphs, chapter);

    QSqlDatabase db = DatabaseConnection::database();
    std::unique_ptr<Transaction> own;
    if (!transactionOpen) {
        own.reset(new Transaction(db));
        if (!own->isActive())
            return false;
    }

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
    bool ok = true;
    if (transactionOpen) {
        transactionOpen = false;
        ok = success ? transaction->commit() : transaction->rollback();
        transaction.reset();
    }
    // The stage swaps in once the caller's transaction has committed.
    if (!success || !ok)
        m_stage.abandon();
    return ok;
}
