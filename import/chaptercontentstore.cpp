#include "chaptercontentstore.h"

#include "chapterinfo.h"
#include "databaseconnection.h"
#include "paragraphutils.h"
#include "transaction.h"
#include "unifiedchunkdao.h"
#include "unifiedparagraphdao.h"

#include <limits>

bool storeChapterContent(const QVector<ChapterInfo *> &chapters, const QString &novelId,
                         UnifiedParagraphDao *paragraphDao, UnifiedChunkDao *chunkDao,
                         const std::function<QVector<Paragraph> &(int)> &paragraphsOf)
{
    if (!paragraphDao || !chunkDao)
        return false;
    Transaction transaction(DatabaseConnection::database());
    if (!transaction.isActive())
        return false;
    if (!chunkDao->removeByNovelId(novelId) || !paragraphDao->removeByNovelId(novelId)) {
        transaction.rollback();
        return false;
    }
    for (int i = 0; i < chapters.size(); ++i) {
        ChapterInfo *chapter = chapters.at(i);
        QVector<Paragraph> &paragraphs = paragraphsOf(i);
        if (!chapter || paragraphs.isEmpty()) {
            transaction.rollback();
            return false;
        }
        const ParagraphTotals totals = finalizeParagraphs(paragraphs);
        qint64 words = 0;
        for (const Paragraph &p : qAsConst(paragraphs))
            words += p.plainText().size();
        chapter->setWordCount(int(qMin<qint64>(words, std::numeric_limits<int>::max())));
        chapter->setGlyphCount(totals.totalGlyphs);
        chapter->setProgressTotal(totals.totalProgress);
        const QVector<QString> ids =
            paragraphDao->insertParagraphsLocked(novelId, chapter->id(), paragraphs);
        if (ids.size() != paragraphs.size()) {
            transaction.rollback();
            return false;
        }
        for (int j = 0; j < ids.size(); ++j) {
            const QVector<TextChunk> &chunks = paragraphs.at(j).chunks;
            if (!chunks.isEmpty() && !chunkDao->insertChunks(ids.at(j), chunks)) {
                transaction.rollback();
                return false;
            }
        }
    }
    if (!transaction.commit()) {
        transaction.rollback();
        return false;
    }
    return true;
}
