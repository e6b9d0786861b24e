#include "epubparser.h"

#include "archiveimageloader.h"
#include "chapterinfo.h"
#include "epubchapterparser.h"
#include "epubfiles.h"
#include "epubnovelparser.h"
#include "epubunifiedparser.h"
#include "keys.h"
#include "logmanager.h"
#include "novelinfo.h"
#include "parserregistry.h"
#include "paths.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

namespace {

const ParserRegistration registration("epub", &EpubParser::create);

QString translated(const char *text)
{
    return QCoreApplication::translate("EpubParser", text);
}

}

EpubParser::EpubParser()
    : m_novelParser(new EpubNovelParser)
    , m_chapterParser(new EpubChapterParser)
{
}

EpubParser::~EpubParser()
{
    delete m_novelParser;
    delete m_chapterParser;
}

IFormatParser *EpubParser::create()
{
    return new EpubParser;
}

ParseResult EpubParser::parseBookInfo(const QString &filePath)
{
    // The book's files stay as they are until this import commits.
    if (!m_stage.begin(bookIdForPath(filePath)))
        return ParseResult::failed(translated("无法保留书籍原有文件"));
    m_novelParser->setWriteDir(m_stage.stageDir());
    NovelInfo *novel = m_novelParser->parseNovel(filePath);
    if (!novel)
        return ParseResult::failed(translated("解析 EPUB 元信息失败"));
    return ParseResult::ofNovel(novel);
}

ParseResult EpubParser::parseChapters(const QString &filePath, NovelInfo *novel)
{
    if (!novel)
        return ParseResult::failed(translated("novelInfo 为空"));
    QString error;
    const ChapterListResult list =
        m_chapterParser->parseChapters(filePath, m_stage.stageDir(), novel->id(), &error);
    if (list.chapters.isEmpty())
        return ParseResult::failed(error.isEmpty() ? translated("未解析到章节") : error);
    if (!nameFinalPaths(list.chapters)) {
        qDeleteAll(list.chapters);
        return ParseResult::failed(translated("保存书籍文件失败"));
    }
    m_chapterParser->writeChapterFiles(list.chapters, filePath);
    return ParseResult::ofChapters(list.chapters);
}

bool EpubParser::parseUnified(const QVector<ChapterInfo *> &chapters, const QString &novelId,
                              UnifiedParagraphDao *paragraphDao, UnifiedChunkDao *chunkDao)
{
    return EpubUnifiedParser::parseAndStore(chapters, novelId, paragraphDao, chunkDao, 2);
}

bool EpubParser::nameFinalPaths(const QVector<ChapterInfo *> &chapters)
{
    // The book copy's path in the meta file is what the reader opens later.
    const QString metaPath = m_stage.stageDir() + QLatin1String(EpubFiles::MetaFile);
    QFile meta(metaPath);
    if (!meta.open(QIODevice::ReadOnly))
        return false;
    QByteArray bytes = meta.readAll();
    meta.close();
    const int end = bytes.indexOf('\n');
    if (end < 0)
        return false;
    const QString copy = QString::fromUtf8(bytes.left(end));
    const QString finalCopy = m_stage.final(copy);
    bytes.replace(0, end, finalCopy.toUtf8());
    if (!Paths::writeFile(metaPath, bytes))
        return false;
    for (ChapterInfo *chapter : chapters) {
        chapter->setPath(m_stage.final(chapter->path()));
        chapter->setProperty("epubReadDir", m_stage.stageDir());
        chapter->setProperty("epubReadCopy", copy);
    }
    // A handle on the old copy would be read for the new book.
    m_stage.setAfterSwap([finalCopy] { ArchiveImageLoader::releaseArchive(finalCopy); });
    return true;
}

bool EpubParser::finishImport(bool success)
{
    if (!success)
        m_stage.abandon();
    return true;
}
