#include "unifiedchunkdao.h"
#include "databaseconnection.h"
#include "contentrows.h"
#include "transaction.h"

#include <QDebug>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <cstring>

namespace {

// Kept prepared for the whole of an enclosing transaction, found by address.
const char InsertSql[] =
    "INSERT INTO unified_chunk (id,para_id,chunk_index,text,bold,italic,underline, "
    "strikethrough,font_delta,font_scale,font_family,color, "
    "highlight_color,vert_align,anchor_href,font_weight,create_time,update_time) "
    "VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)";

}

UnifiedChunkDao::UnifiedChunkDao(QObject *parent)
    : QObject(parent)
{
}

const char *UnifiedChunkDao::insertStatement()
{
    return InsertSql;
}

bool UnifiedChunkDao::removeByParaId(const QString &paraId)
{
    QSqlQuery query(DatabaseConnection::database());
    query.prepare(QStringLiteral("DELETE FROM unified_chunk WHERE para_id = :para_id"));
    query.bindValue(QStringLiteral(":para_id"), paraId);
    if (!query.exec()) {
        qWarning() << "[UnifiedChunkDao] 按段落删除失败:" << query.lastError().text();
        return false;
    }
    return true;
}

bool UnifiedChunkDao::removeByNovelId(const QString &novelId)
{
    return runContentRemoval(QStringLiteral("DELETE FROM unified_chunk WHERE para_id IN "
                                            "(SELECT id FROM unified_paragraph WHERE novel_id = :novel_id)"),
                             novelId, nullptr, "[UnifiedChunkDao] 按小说删除失败:",
                             "[UnifiedChunkDao] 已删除 novelId=", novelId, " 的chunk数据");
}

bool UnifiedChunkDao::removeByChapter(const QString &novelId, const QString &chapterId)
{
    return runContentRemoval(QStringLiteral("DELETE FROM unified_chunk WHERE para_id IN "
                                            "(SELECT id FROM unified_paragraph WHERE novel_id = :novel_id "
                                            "AND chapter_id = :chapter_id)"),
                             novelId, &chapterId, "[UnifiedChunkDao] 按章节删除失败:",
                             "[UnifiedChunkDao] 已删除 chapterId=", chapterId, " 的chunk数据");
}

namespace {

// The chunks of count paragraphs, chunksOf(p), on one statement; bindId(
// statement, p) binds paragraph p's row id.
template<typename BindId, typename ChunksOf>
bool insertAll(int count, BindId bindId, ChunksOf chunksOf, AscendingRowIds *rowIds)
{
    bool prepared = false;
    // Kept prepared for the whole of an enclosing transaction: an import calls
    // this once per chapter or paragraph.
    QSqlQuery insert = Transaction::cachedQuery(DatabaseConnection::database(), InsertSql, &prepared);
    ContentStatement statement(insert);
    if (!prepared || !statement.isValid()) {
        qWarning() << "[UnifiedChunkDao] 插入chunk失败:" << insert.lastError().text();
        return false;
    }
    // A reset keeps the bindings: what is the same for every chunk of the
    // paragraph, or of all of them, is bound once.
    const QByteArray now = contentTimeUtf8();
    statement.bindUtf8(16, now);
    statement.bindUtf8(17, now);
    const QString emptyText = QStringLiteral("");
    char id[36];
    for (int p = 0; p < count; ++p) {
        const QVector<TextChunk> &chunks = chunksOf(p);
        if (chunks.isEmpty())
            continue;
        bindId(statement, p);
        for (int i = 0; i < chunks.size(); ++i) {
            const TextChunk &c = chunks.at(i);
            if (rowIds)
                rowIds->next(id);
            else
                newContentRowId(id);
            statement.bindAscii(0, id, int(sizeof id));
            statement.bindInt(2, i);
            // text is NOT NULL: a run an importer never assigned is an empty
            // run, not a reason to fail the whole book.
            statement.bindText(3, c.text.isNull() ? emptyText : c.text);
            statement.bindInt(4, int(c.bold));
            statement.bindInt(5, int(c.italic));
            statement.bindInt(6, int(c.underline));
            statement.bindInt(7, int(c.strikethrough));
            statement.bindInt(8, c.fontDelta);
            statement.bindDouble(9, double(c.fontScale));
            statement.bindText(10, c.fontFamily);
            statement.bindText(11, c.color);
            statement.bindText(12, c.highlightColor);
            statement.bindInt(13, c.vertAlign);
            statement.bindText(14, c.anchorHref);
            statement.bindInt(15, c.fontWeight);
            if (!statement.execute()) {
                qWarning() << "[UnifiedChunkDao] 插入chunk失败:" << statement.errorText();
                return false;
            }
        }
    }
    return true;
}

}

bool UnifiedChunkDao::insertChunks(const QString &paraId, const QVector<TextChunk> &chunks,
                                   AscendingRowIds *rowIds)
{
    if (paraId.isEmpty()) {
        qWarning() << "[UnifiedChunkDao] insertChunks 失败：paraId 为空";
        return false;
    }
    if (chunks.isEmpty())
        return true;
    return insertAll(
        1, [&paraId](ContentStatement &statement, int) { statement.bindText(1, paraId); },
        [&chunks](int) -> const QVector<TextChunk> & { return chunks; }, rowIds);
}

bool UnifiedChunkDao::insertParagraphChunks(const QVector<QString> &paraIds,
                                            const QVector<Paragraph> &paragraphs,
                                            AscendingRowIds *rowIds)
{
    if (paraIds.size() != paragraphs.size() || paraIds.contains(QString())) {
        qWarning() << "[UnifiedChunkDao] insertChunks 失败：paraId 为空";
        return false;
    }
    return insertAll(
        paraIds.size(),
        [&paraIds](ContentStatement &statement, int p) { statement.bindText(1, paraIds.at(p)); },
        [&paragraphs](int i) -> const QVector<TextChunk> & { return paragraphs.at(i).chunks; },
        rowIds);
}

bool UnifiedChunkDao::insertParagraphChunks(const QByteArray &paraIds, const Paragraph *paragraphs,
                                            int count, AscendingRowIds *rowIds)
{
    if (count < 0 || paraIds.size() != count * ContentRowIdLength) {
        qWarning() << "[UnifiedChunkDao] insertChunks 失败：paraId 为空";
        return false;
    }
    const char *ids = paraIds.constData();
    return insertAll(
        count,
        [ids](ContentStatement &statement, int p) {
            statement.bindAscii(1, ids + p * ContentRowIdLength, ContentRowIdLength);
        },
        [paragraphs](int i) -> const QVector<TextChunk> & { return paragraphs[i].chunks; },
        rowIds);
}

QHash<QString, QVector<TextChunk>> UnifiedChunkDao::loadChunks(const QString &novelId,
                                                              const QString &chapterId) const
{
    QHash<QString, QVector<TextChunk>> result;
    if (novelId.isEmpty() || chapterId.isEmpty()) {
        qWarning() << "[UnifiedChunkDao] loadChunks 失败：参数为空";
        return result;
    }
    QSqlQuery query(DatabaseConnection::database());
    query.setForwardOnly(true);
    if (!query.prepare(QStringLiteral(
        "SELECT c.para_id, c.text, c.bold, c.italic, c.underline, c.strikethrough, c.font_delta, "
        "c.font_scale, c.font_family, c.color, c.highlight_color, c.vert_align, c.anchor_href, "
        "c.font_weight FROM unified_chunk c INNER JOIN unified_paragraph p ON c.para_id = p.id "
        "WHERE p.novel_id = :novel_id AND p.chapter_id = :chapter_id "
        "ORDER BY p.para_index, p.rowid, c.chunk_index"))) {
        qWarning() << "[UnifiedChunkDao] 查询文字块失败:" << query.lastError().text();
        return result;
    }
    ContentStatement statement(query);
    if (!statement.isValid()) {
        qWarning() << "[UnifiedChunkDao] 查询文字块失败:" << query.lastError().text();
        return result;
    }
    statement.bindText(0, novelId);
    statement.bindText(1, chapterId);

    // Rows come grouped by paragraph (para_index is unique in a chapter), each
    // group in chunk_index order. Ordering by para_index rather than by the
    // random para_id lets SQLite follow the chapter index instead of sorting
    // every row of the chapter; the rowid (the order of the chapter index
    // within one para_index) makes each paragraph a single row, so its chunks
    // come straight from the chunk index without a sort per paragraph.
    // Columns by their position in the SELECT list.
    QByteArray currentId;
    QVector<TextChunk> *current = nullptr;
    while (statement.next()) {
        int idLength = 0;
        const char *paraId = statement.columnUtf8(0, &idLength);
        if (!current || currentId.size() != idLength
            || std::memcmp(currentId.constData(), paraId, size_t(idLength)) != 0) {
            currentId = QByteArray(paraId, idLength);
            current = &result[statement.columnText(0)];
        }
        TextChunk c;
        c.text = statement.columnText(1);
        c.bold = statement.columnBool(2);
        c.italic = statement.columnBool(3);
        c.underline = statement.columnBool(4);
        c.strikethrough = statement.columnBool(5);
        c.fontDelta = statement.columnInt(6);
        c.fontScale = float(statement.columnDouble(7));
        c.fontFamily = statement.columnText(8);
        c.color = statement.columnText(9);
        c.highlightColor = statement.columnText(10);
        c.vertAlign = statement.columnInt(11);
        c.anchorHref = statement.columnText(12);
        c.fontWeight = statement.columnInt(13);
        current->append(c);
    }
    if (statement.failed()) {
        qWarning() << "[UnifiedChunkDao] 查询文字块失败:" << statement.errorText();
        result.clear();
    }
    return result;
}
