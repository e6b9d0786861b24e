#include "txtbaseparser.h"

#include "chapterinfo.h"
#include "databaseconnection.h"
#include "fallbackchapterparser.h"
#include "fallbacknovelparser.h"
#include "logmanager.h"
#include "novelinfo.h"
#include "paragraphutils.h"
#include "parserregistry.h"
#include "textdetect.h"
#include "transaction.h"
#include "unifiedchunkdao.h"
#include "unifiedparagraphdao.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace {

QString translated(const char *text)
{
    return QCoreApplication::translate("TxtBaseParser", text);
}

ParseResult failure(const char *message)
{
    return ParseResult::failed(translated(message));
}

IFormatParser *createTxtBaseParser()
{
    return new TxtBaseParser;
}

const ParserRegistration registration("txt", &createTxtBaseParser);

// The chapter's stored text: its inclusive offset range, trimmed; empty when
// the range lies outside the text.
QString chapterBody(const QString &text, const ChapterInfo &chapter)
{
    const int start = chapter.startOffset();
    const int end = std::min(chapter.endOffset(), text.size() - 1);
    if (start < 0 || start > end)
        return QString();
    return text.mid(start, end - start + 1).trimmed();
}

// Whether chapterBody would be non-empty, without copying the text.
bool hasBody(const QString &text, const ChapterInfo &chapter)
{
    const int start = chapter.startOffset();
    const int end = std::min(chapter.endOffset(), text.size() - 1);
    if (start < 0)
        return false;
    const QChar *p = text.constData();
    return std::any_of(p + start, p + std::max(start, end + 1), [](QChar c) { return !c.isSpace(); });
}

}

TxtBaseParser::TxtBaseParser()
    : TxtBaseParser(new FallbackNovelParser, new FallbackChapterParser)
{
}

TxtBaseParser::TxtBaseParser(NovelParser *novelParser, ChapterParser *chapterParser)
    : m_novelParser(novelParser)
    , m_chapterParser(chapterParser)
{
}

TxtBaseParser::~TxtBaseParser()
{
    delete m_novelParser;
    delete m_chapterParser;
}

bool TxtBaseParser::isChapterTitle(const QString &line)
{
    Q_UNUSED(line);
    return false;
}

ParseResult TxtBaseParser::parseBookInfo(const QString &filePath)
{
    const QFileInfo info(filePath);
    if (!info.exists() || !info.isFile())
        return failure("文件不存在");
    const qint64 size = info.size();
    if (size == 0)
        return failure("文件为空");

    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly))
        return failure("无法打开文件");
    const QByteArray head = file.read(qMin<qint64>(size, 4000));
    file.close();

    const QString decoded = TextDetect::decodeText(head);
    if (decoded.isEmpty())
        return failure("编码转换失败");
    const QString language = TextDetect::detectLanguage(decoded.left(1000));

    NovelInfo *novel = m_novelParser->parseNovel(filePath);
    if (!novel)
        return failure("解析小说信息失败");
    novel->setLanguage(language);

    return ParseResult::ofNovel(novel);
}

ParseResult TxtBaseParser::parseChapters(const QString &filePath, NovelInfo *novel)
{
    if (!novel)
        return failure("novelInfo 为空");

    QString error;
    ChapterListResult list =
        m_chapterParser->parseChapters(filePath, novel->dataDir(), novel->id(), &error);
    text = list.text;
    if (list.chapters.isEmpty())
        return ParseResult::failed(error.isEmpty() ? translated("未解析到章节") : error);

    // Headings alone are no book: nothing would be stored to read.
    if (std::none_of(list.chapters.cbegin(), list.chapters.cend(), [this](const ChapterInfo *chapter) {
            return chapter && hasBody(text, *chapter);
        })) {
        qDeleteAll(list.chapters);
        return failure("文件为空");
    }

    for (ChapterInfo *chapter : qAsConst(list.chapters)) {
        if (!chapter)
            continue;
        const int start = chapter->startOffset();
        const int end = chapter->endOffset();
        chapter->setWordCount(start < 0 || start >= end ? 0 : end - start);
    }
    normalizeChapters(list.chapters);

    qInfo().noquote() << "[TxtBaseParser] 章节解析完成，共" << list.chapters.size() << "章";
    return ParseResult::ofChapters(list.chapters);
}

void TxtBaseParser::normalizeChapters(QVector<ChapterInfo *> &chapters)
{
    if (chapters.size() < 2)
        return;

    // Null entries cannot be compared or linked; they are kept out of the pass.
    QVector<ChapterInfo *> merged;
    QVector<ChapterInfo *> dropped;
    merged.reserve(chapters.size());
    for (ChapterInfo *cur : qAsConst(chapters)) {
        if (!cur)
            continue;
        if (merged.isEmpty()) {
            merged.append(cur);
            continue;
        }
        ChapterInfo *last = merged.last();
        if (last->title() == cur->title()) {
            if (last->wordCount() <= 10) {
                cur->setPrevChapter(last->prevChapter());
                merged.removeLast();
                if (!merged.isEmpty())
                    merged.last()->setNextChapter(cur->id());
                merged.append(cur);
                dropped.append(last);
                continue;
            }
            if (cur->wordCount() <= 10) {
                dropped.append(cur);
                continue;
            }
        }
        cur->setPrevChapter(last->id());
        last->setNextChapter(cur->id());
        merged.append(cur);
    }
    qDeleteAll(dropped);
    chapters = merged;

    qint64 total = 0;
    for (const ChapterInfo *chapter : qAsConst(chapters))
        total += std::max(chapter->wordCount(), 0);
    qint64 before = 0;
    for (int i = 0; i < chapters.size(); ++i) {
        ChapterInfo *chapter = chapters.at(i);
        chapter->setChapterIndex(i);
        chapter->setNovelProcess(
            total == 0 ? 0.0 : qRound64(double(before) / double(total) * 1000000.0) / 1000000.0);
        before += std::max(chapter->wordCount(), 0);
    }
}

bool TxtBaseParser::parseUnified(const QVector<ChapterInfo *> &chapters, const QString &novelId,
                                 UnifiedParagraphDao *paragraphDao, UnifiedChunkDao *chunkDao)
{
    if (text.isEmpty() || !paragraphDao || !chunkDao || chapters.isEmpty())
        return false;

    // Nested as a savepoint when the import already holds a transaction.
    Transaction transaction(DatabaseConnection::database());
    if (!transaction.isActive()) {
        qWarning().noquote() << "[TxtBaseParser] 开启事务失败:" << transaction.lastError();
        return false;
    }
    if (!chunkDao->removeByNovelId(novelId) || !paragraphDao->removeByNovelId(novelId)) {
        transaction.rollback();
        return false;
    }

    int stored = 0;
    for (ChapterInfo *chapter : chapters) {
        if (!chapter)
            continue;
        // Offsets are inclusive: a chapter of one character starts where it ends.
        QString body = chapterBody(text, *chapter);
        if (body.isEmpty())
            continue;
        // Counted and stored text holds no half of a surrogate pair.
        TextDetect::replaceLoneSurrogates(body);

        Paragraph paragraph;
        paragraph.kind = Paragraph::PlainTextBlock;
        TextChunk chunk;
        chunk.text = body;
        paragraph.chunks.append(chunk);
        QVector<Paragraph> paragraphs{paragraph};
        const ParagraphTotals totals = finalizeParagraphs(paragraphs);
        chapter->setGlyphCount(totals.totalGlyphs);
        chapter->setProgressTotal(totals.totalProgress);
        chapter->setWordCount(body.size());

        const QVector<QString> ids =
            paragraphDao->insertParagraphsLocked(novelId, chapter->id(), paragraphs);
        if (ids.isEmpty()) {
            qWarning().noquote() << "[TxtBaseParser] 入库段落失败:" << chapter->id();
            transaction.rollback();
            return false;
        }
        if (!chunkDao->insertChunks(ids.first(), paragraphs.first().chunks)) {
            qWarning().noquote() << "[TxtBaseParser] 入库chunk失败:" << chapter->id();
            transaction.rollback();
            return false;
        }
        ++stored;
    }

    if (!transaction.commit()) {
        qWarning().noquote() << "[TxtBaseParser] 提交事务失败:" << transaction.lastError();
        return false;
    }
    qInfo().noquote() << "[TxtBaseParser] 内容入库完成，章节数:" << stored;
    return true;
}
