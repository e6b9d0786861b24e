#include "unifiedchunkdao.h"
#include "databaseconnection.h"
#include "contentrows.h"
#include "transaction.h"

#include <QDebug>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QVariant>

namespace {

bool runRemoval(const QString &sql, const QString &novelId, const QString *chapterId,
                const char *failure, const char *done, const QString &logId)
{
    QSqlQuery query(DatabaseConnection::database());
    query.prepare(sql);
    query.bindValue(QStringLiteral(":novel_id"), novelId);
    if (chapterId)
        query.bindValue(QStringLiteral(":chapter_id"), *chapterId);
    if (!query.exec()) {
        qWarning() << failure << query.lastError().text();
        return false;
    }
    qInfo() << done << logId << " 的chunk数据";
    return true;
}

}

UnifiedChunkDao::UnifiedChunkDao(QObject *parent)
    : QObject(parent)
{
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
    return runRemoval(QStringLiteral("DELETE FROM unified_chunk WHERE para_id IN "
                                     "(SELECT id FROM unified_paragraph WHERE novel_id = :novel_id)"),
                      novelId, nullptr, "[UnifiedChunkDao] 按小说删除失败:",
                      "[UnifiedChunkDao] 已删除 novelId=", novelId);
}

bool UnifiedChunkDao::removeByChapter(const QString &novelId, const QString &chapterId)
{
    return runRemoval(QStringLiteral("DELETE FROM unified_chunk WHERE para_id IN "
                                     "(SELECT id FROM unified_paragraph WHERE novel_id = :novel_id "
                                     "AND chapter_id = :chapter_id)"),
                      novelId, &chapterId, "[UnifiedChunkDao] 按章节删除失败:",
                      "[UnifiedChunkDao] 已删除 chapterId=", chapterId);
}

bool UnifiedChunkDao::insertChunks(const QString &paraId, const QVector<TextChunk> &chunks)
{
    if (paraId.isEmpty()) {
        qWarning() << "[UnifiedChunkDao] insertChunks 失败：paraId 为空";
        return false;
    }
    if (chunks.isEmpty())
        return true;

    const QString now = contentTimeString();
    bool prepared = false;
    // Kept prepared for the whole of an enclosing transaction: an import calls
    // this once per paragraph.
    QSqlQuery insert = Transaction::cachedQuery(
        DatabaseConnection::database(),
        QStringLiteral("INSERT INTO unified_chunk (id,para_id,chunk_index,text,bold,italic,underline, "
                       "strikethrough,font_delta,font_scale,font_family,color, "
                       "highlight_color,vert_align,anchor_href,font_weight,create_time,update_time) "
                       "VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)"),
        &prepared);
    if (!prepared) {
        qWarning() << "[UnifiedChunkDao] 插入chunk失败:" << insert.lastError().text();
        return false;
    }
    const QString emptyText = QStringLiteral("");
    for (int i = 0; i < chunks.size(); ++i) {
        const TextChunk &c = chunks.at(i);
        insert.bindValue(0, newContentRowId());
        insert.bindValue(1, paraId);
        insert.bindValue(2, i);
        // text is NOT NULL: a run an importer never assigned is an empty run,
        // not a reason to fail the whole book.
        insert.bindValue(3, c.text.isNull() ? emptyText : c.text);
        insert.bindValue(4, int(c.bold));
        insert.bindValue(5, int(c.italic));
        insert.bindValue(6, int(c.underline));
        insert.bindValue(7, int(c.strikethrough));
        insert.bindValue(8, c.fontDelta);
        insert.bindValue(9, double(c.fontScale));
        insert.bindValue(10, c.fontFamily);
        insert.bindValue(11, c.color);
        insert.bindValue(12, c.highlightColor);
        insert.bindValue(13, c.vertAlign);
        insert.bindValue(14, c.anchorHref);
        insert.bindValue(15, c.fontWeight);
        insert.bindValue(16, now);
        insert.bindValue(17, now);
        if (!insert.exec()) {
            qWarning() << "[UnifiedChunkDao] 插入chunk失败:" << insert.lastError().text();
            return false;
        }
    }
    return true;
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
    query.prepare(QStringLiteral(
        "SELECT c.para_id, c.text, c.bold, c.italic, c.underline, c.strikethrough, c.font_delta, "
        "c.font_scale, c.font_family, c.color, c.highlight_color, c.vert_align, c.anchor_href, "
        "c.font_weight FROM unified_chunk c INNER JOIN unified_paragraph p ON c.para_id = p.id "
        "WHERE p.novel_id = :novel_id AND p.chapter_id = :chapter_id "
        "ORDER BY p.para_index, c.chunk_index"));
    query.bindValue(QStringLiteral(":novel_id"), novelId);
    query.bindValue(QStringLiteral(":chapter_id"), chapterId);
    if (!query.exec()) {
        qWarning() << "[UnifiedChunkDao] 查询文字块失败:" << query.lastError().text();
        return result;
    }
    const QSqlRecord rec = query.record();
    const int cParaId = rec.indexOf(QStringLiteral("para_id"));
    const int cText = rec.indexOf(QStringLiteral("text"));
    const int cBold = rec.indexOf(QStringLiteral("bold"));
    const int cItalic = rec.indexOf(QStringLiteral("italic"));
    const int cUnderline = rec.indexOf(QStringLiteral("underline"));
    const int cStrike = rec.indexOf(QStringLiteral("strikethrough"));
    const int cFontDelta = rec.indexOf(QStringLiteral("font_delta"));
    const int cFontScale = rec.indexOf(QStringLiteral("font_scale"));
    const int cFontFamily = rec.indexOf(QStringLiteral("font_family"));
    const int cColor = rec.indexOf(QStringLiteral("color"));
    const int cHighlight = rec.indexOf(QStringLiteral("highlight_color"));
    const int cVertAlign = rec.indexOf(QStringLiteral("vert_align"));
    const int cAnchor = rec.indexOf(QStringLiteral("anchor_href"));
    const int cFontWeight = rec.indexOf(QStringLiteral("font_weight"));

    // Rows come grouped by paragraph (para_index is unique in a chapter), each
    // group in chunk_index order. Ordering by para_index rather than by the
    // random para_id lets SQLite follow the chapter index instead of sorting
    // every row of the chapter.
    QString currentId;
    QVector<TextChunk> *current = nullptr;
    while (query.next()) {
        const QString paraId = query.value(cParaId).toString();
        if (!current || paraId != currentId) {
            currentId = paraId;
            current = &result[paraId];
        }
        TextChunk c;
        c.text = query.value(cText).toString();
        c.bold = query.value(cBold).toBool();
        c.italic = query.value(cItalic).toBool();
        c.underline = query.value(cUnderline).toBool();
        c.strikethrough = query.value(cStrike).toBool();
        c.fontDelta = query.value(cFontDelta).toInt();
        c.fontScale = query.value(cFontScale).toFloat();
        c.fontFamily = query.value(cFontFamily).toString();
        c.color = query.value(cColor).toString();
        c.highlightColor = query.value(cHighlight).toString();
        c.vertAlign = query.value(cVertAlign).toInt();
        c.anchorHref = query.value(cAnchor).toString();
        c.fontWeight = query.value(cFontWeight).toInt();
        current->append(c);
    }
    return result;
}
