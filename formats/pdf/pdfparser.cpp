#include "pdfparser.h"

#include "chapterinfo.h"
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
#include <QVariant>

namespace {

const ParserRegistration registration("pdf", &PdfParser::create);

QString translated(const char *text)
{
    return QCoreApplication::translate("PdfParser", text);
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
    if (!m_stage.begin(bookIdForPath(filePath)))
        return ParseResult::failed(translated("无法准备书籍目录"));
    m_novelParser->setCoverDir(m_stage.stageDir());
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
    m_chapterParser->setFacts(m_novelParser->facts());
    const ChapterListResult list =
        m_chapterParser->parseChapters(filePath, m_stage.stageDir(), novel->id(), &error);
    const QString cover = m_novelParser->takeCover();
    if (!cover.isEmpty())
        novel->setCoverPath(m_stage.final(cover));
    // Written into the stage, named where they will be once swapped in.
    for (ChapterInfo *chapter : list.chapters) {
        const QString source = chapter->property("pdfSourcePath").toString();
        chapter->setPath(m_stage.final(chapter->path()));
        chapter->setProperty("pdfSourcePath", m_stage.final(source));
        chapter->setProperty("pdfReadPath", source);
    }
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
    if (!success)
        m_stage.abandon();
    return true;
}
