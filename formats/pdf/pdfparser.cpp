#include "pdfparser.h"

#include "novelinfo.h"
#include "keys.h"
#include "parserregistry.h"
#include "paths.h"
#include "pdfchapterparser.h"
#include "pdffiles.h"
#include "pdfnovelparser.h"
#include "pdfunifiedparser.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

namespace {

const ParserRegistration registration("pdf", &PdfParser::create);

QString translated(const char *text)
{
    return QCoreApplication::translate("PdfParser", text);
}

// The files of a data folder an import rewrites; an earlier import's are
// kept aside until this one has ended.
const char *const ReplacedFiles[] = {PdfFiles::CoverFile, PdfFiles::BookCopyFile};

QString keptAside(const QString &path)
{
    return path + QStringLiteral(".previous");
}

}

PdfParser::PdfParser()
    : m_novelParser(new PdfNovelParser)
    , m_chapterParser(new PdfChapterParser)
{
}

PdfParser::~PdfParser()
{
    delete m_chapterParser;
    delete m_novelParser;
}

IFormatParser *PdfParser::create()
{
    return new PdfParser;
}

ParseResult PdfParser::parseBookInfo(const QString &filePath)
{
    m_dataDir = Paths::bookDataDir(bookIdForPath(filePath));
    m_createdDataDir = !QFileInfo::exists(m_dataDir);
    if (!m_createdDataDir) {
        for (const char *name : ReplacedFiles) {
            const QString path = m_dataDir + QLatin1String(name);
            QFile::remove(keptAside(path));
            if (QFile::exists(path))
                QFile::rename(path, keptAside(path));
        }
    }
    m_novelParser->setDeferredCover(true);
    NovelInfo *novel = m_novelParser->parseNovel(filePath);
    if (!novel)
        return ParseResult::failed(translated("解析 PDF 元信息失败"));
    return ParseResult::ofNovel(novel);
}

ParseResult PdfParser::parseChapters(const QString &filePath, NovelInfo *novel)
{
    if (!novel)
        return ParseResult::failed(translated("novelInfo 为空"));
    QString error;
    const ChapterListResult list =
        m_chapterParser->parseChapters(filePath, novel->dataDir(), novel->id(), &error);
    const QString cover = m_novelParser->takeCover();
    if (!cover.isEmpty())
        novel->setCoverPath(cover);
    if (list.chapters.isEmpty())
        return ParseResult::failed(error.isEmpty() ? translated("未解析到章节") : error);
    return ParseResult::ofChapters(list.chapters);
}

bool PdfParser::parseUnified(const QVector<ChapterInfo *> &chapters, const QString &novelId,
                             UnifiedParagraphDao *paragraphDao, UnifiedChunkDao *chunkDao)
{
    return PdfUnifiedParser::parseAndStore(chapters, novelId, paragraphDao, chunkDao,
                                           m_chapterParser->pagePoints());
}

bool PdfParser::finishImport(bool success)
{
    // Nothing may still be writing into the folder.
    m_novelParser->takeCover();
    if (m_dataDir.isEmpty())
        return true;
    // A folder this import made goes; an older one gets its files back.
    if (!success && m_createdDataDir) {
        Paths::removeBookDataDir(m_dataDir);
    } else if (!m_createdDataDir) {
        for (const char *name : ReplacedFiles) {
            const QString path = m_dataDir + QLatin1String(name);
            if (success) {
                QFile::remove(keptAside(path));
            } else if (QFile::exists(keptAside(path)) || QFile::exists(path)) {
                QFile::remove(path);
                QFile::rename(keptAside(path), path);
            }
        }
    }
    m_dataDir.clear();
    return true;
}
