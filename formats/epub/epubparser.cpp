#include "epubparser.h"

#include "archiveimageloader.h"
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
    const QString dataDir = Paths::bookDataDir(bookIdForPath(filePath));
    if (!QFileInfo::exists(dataDir))
        m_createdDataDir = dataDir;
    // The book is in the library: its files stay until this import commits.
    else if (!m_previousFiles.keep(dataDir))
        return ParseResult::failed(translated("无法保留书籍原有文件"));
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
        m_chapterParser->parseChapters(filePath, novel->dataDir(), novel->id(), &error);
    if (list.chapters.isEmpty())
        return ParseResult::failed(error.isEmpty() ? translated("未解析到章节") : error);
    m_chapterParser->writeChapterFiles(list.chapters, filePath);
    return ParseResult::ofChapters(list.chapters);
}

bool EpubParser::parseUnified(const QVector<ChapterInfo *> &chapters, const QString &novelId,
                              UnifiedParagraphDao *paragraphDao, UnifiedChunkDao *chunkDao)
{
    return EpubUnifiedParser::parseAndStore(chapters, novelId, paragraphDao, chunkDao, 2);
}

bool EpubParser::finishImport(bool success)
{
    if (success) {
        m_previousFiles.discard();
    } else {
        Paths::removeBookDataDir(m_createdDataDir);
        // A handle on the failed import's copy would be read for the old book.
        const QString kept = m_previousFiles.dataDir();
        if (!kept.isEmpty())
            ArchiveImageLoader::releaseArchive(kept + QLatin1Char('/') + QLatin1String(EpubFiles::BookCopyFile));
        m_previousFiles.restore();
    }
    m_createdDataDir.clear();
    return true;
}
