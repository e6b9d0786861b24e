#include "unifiedparagraphdao.h"
#include "databaseconnection.h"
#include "contentrows.h"
#include "transaction.h"

#include <QDebug>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace {

const int ImageKind = Paragraph::Image;

// Kept prepared for the whole of an enclosing transaction, found by address.
const char RemovalSql[] = "DELETE FROM unified_paragraph WHERE novel_id = ? AND chapter_id = ?";
const char InsertSql[] =
    "INSERT INTO unified_paragraph (id,novel_id,chapter_id,para_index,kind, "
    "first_glyph_index,start_progress_index,progress_weight,heading_lv, "
    "alignment,text_indent,margin_left,margin_right, "
    "space_bf,space_af,line_height,preformatted, "
    "image_id,image_width,image_height,horizontal_center, "
    "vertical_center,footnote_id,bg_color,document_bg_color,table_id,table_row, "
    "table_column,table_column_count,table_header,create_time,update_time) "
    "VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)";


// The image paragraphs' sizes (those with a source) and the sum of every
// image paragraph's progress weight; false when the query failed.
bool readImageStats(const QString &novelId, UnifiedContentStats &stats, qint64 &weights)
{
    QSqlQuery query(DatabaseConnection::database());
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT image_id <> '', image_width, image_height, progress_weight "
                                 "FROM unified_paragraph WHERE novel_id = :novel_id "
                                 "AND kind = :image_kind"));
    query.bindValue(QStringLiteral(":novel_id"), novelId);
    query.bindValue(QStringLiteral(":image_kind"), ImageKind);
    if (!query.exec()) {
        qWarning() << "[UnifiedParagraphDao] 查询图片统计失败:" << query.lastError().text();
        return false;
    }
    weights = 0;
    while (query.next()) {
        weights += query.value(3).toLongLong();
        if (!query.value(0).toBool())
            continue;
        const int width = query.value(1).toInt();
        const int height = query.value(2).toInt();
        if (width > 0 && height > 0)
            stats.imageSizes.append(QSize(width, height));
        else
            ++stats.unsizedImageCount;
    }
    return true;
}

}

UnifiedParagraphDao::UnifiedParagraphDao(QObject *parent)
    : QObject(parent)
{
}

const char *UnifiedParagraphDao::insertStatement()
{
    return InsertSql;
}

bool UnifiedParagraphDao::countByChapter(const QString &novelId, const QString &chapterId) const
{
    QSqlQuery query(DatabaseConnection::database());
    query.prepare(QStringLiteral("SELECT COUNT(*) FROM unified_paragraph "
                                 "WHERE novel_id = :novel_id AND chapter_id = :chapter_id"));
    query.bindValue(QStringLiteral(":novel_id"), novelId);
    query.bindValue(QStringLiteral(":chapter_id"), chapterId);
    if (!query.exec() || !query.next())
        return false;
    return query.value(0).toLongLong() > 0;
}

bool UnifiedParagraphDao::removeByNovelId(const QString &novelId)
{
    return runContentRemoval(
        QStringLiteral("DELETE FROM unified_paragraph WHERE novel_id = :novel_id"), novelId, nullptr,
        "[UnifiedParagraphDao] 按小说删除失败:", "[UnifiedParagraphDao] 已删除 novelId=", novelId,
        " 的段落数据");
}

bool UnifiedParagraphDao::removeByChapter(const QString &novelId, const QString &chapterId)
{
    return runContentRemoval(QStringLiteral("DELETE FROM unified_paragraph WHERE novel_id = :novel_id "
                                            "AND chapter_id = :chapter_id"),
                             novelId, &chapterId, "[UnifiedParagraphDao] 按章节删除失败:",
                             "[UnifiedParagraphDao] 已删除 chapterId=", chapterId, " 的段落数据");
}

QVector<Paragraph> UnifiedParagraphDao::loadParagraphs(const QString &novelId,
                                                       const QString &chapterId,
                                                       QVector<QString> *ids) const
{
    QVector<Paragraph> result;
    if (novelId.isEmpty() || chapterId.isEmpty()) {
        qWarning() << "[UnifiedParagraphDao] loadParagraphs 失败：参数为空";
        return result;
    }
    QSqlQuery query(DatabaseConnection::database());
    query.setForwardOnly(true);
    if (!query.prepare(QStringLiteral(
        "SELECT id, kind, first_glyph_index, start_progress_index, progress_weight, heading_lv, "
        "alignment, text_indent, margin_left, margin_right, space_bf, space_af, line_height, "
        "preformatted, image_id, image_width, image_height, horizontal_center, vertical_center, "
        "footnote_id, bg_color, document_bg_color, table_id, table_row, table_column, "
        "table_column_count, table_header FROM unified_paragraph "
        "WHERE novel_id = :novel_id AND chapter_id = :chapter_id ORDER BY para_index"))) {
        qWarning() << "[UnifiedParagraphDao] 查询段落失败:" << query.lastError().text();
        return result;
    }
    ContentStatement statement(query);
    if (!statement.isValid()) {
        qWarning() << "[UnifiedParagraphDao] 查询段落失败:" << query.lastError().text();
        return result;
    }
    // Named placeholders are numbered in order of appearance.
    statement.bindText(0, novelId);
    statement.bindText(1, chapterId);

    // Columns by their position in the SELECT list above. NULL reads back as
    // a null string, which compares equal to an empty one.
    while (statement.next()) {
        Paragraph p;
        p.kind = statement.columnInt(1);
        p.firstGlyphIndex = statement.columnInt(2);
        p.startProgressIndex = statement.columnInt64(3);
        p.progressWeight = statement.columnInt64(4);
        p.headingLevel = statement.columnInt(5);
        p.alignment = statement.columnInt(6);
        p.textIndent = float(statement.columnDouble(7));
        p.marginLeft = float(statement.columnDouble(8));
        p.marginRight = float(statement.columnDouble(9));
        p.spaceBefore = float(statement.columnDouble(10));
        p.spaceAfter = float(statement.columnDouble(11));
        p.lineHeight = float(statement.columnDouble(12));
        p.preformatted = statement.columnBool(13);
        p.imageId = statement.columnText(14);
        p.imageWidth = statement.columnInt(15);
        p.imageHeight = statement.columnInt(16);
        p.hCenter = statement.columnBool(17);
        p.vCenter = statement.columnBool(18);
        p.footnoteId = statement.columnText(19);
        p.bgColor = statement.columnText(20);
        p.documentBgColor = statement.columnText(21);
        p.tableId = statement.columnInt(22);
        p.tableRow = statement.columnInt(23);
        p.tableColumn = statement.columnInt(24);
        p.tableColumnCount = statement.columnInt(25);
        p.tableHeader = statement.columnBool(26);
        result.append(p);
        if (ids)
            ids->append(statement.columnText(0));
    }
    if (statement.failed()) {
        qWarning() << "[UnifiedParagraphDao] 查询段落失败:" << statement.errorText();
        if (ids)
            ids->resize(ids->size() - result.size());
        result.clear();
    }
    return result;
}

UnifiedContentStats UnifiedParagraphDao::queryContentStats(const QString &novelId) const
{
    UnifiedContentStats stats;
    if (novelId.isEmpty())
        return stats;
    const QSqlDatabase db = DatabaseConnection::database();
    qint64 weights = 0;
    readImageStats(novelId, stats, weights);
    {
        QSqlQuery query(db);
        query.setForwardOnly(true);
        query.prepare(QStringLiteral(
            "SELECT COALESCE(SUM(LENGTH(c.text)), 0) FROM unified_chunk c "
            "INNER JOIN unified_paragraph p ON c.para_id = p.id "
            "WHERE p.novel_id = :novel_id AND p.kind <> :image_kind"));
        query.bindValue(QStringLiteral(":novel_id"), novelId);
        query.bindValue(QStringLiteral(":image_kind"), ImageKind);
        if (query.exec() && query.next())
            stats.textLength = query.value(0).toLongLong();
        else
            qWarning() << "[UnifiedParagraphDao] 查询正文统计失败:" << query.lastError().text();
    }
    return stats;
}

UnifiedContentStats UnifiedParagraphDao::queryContentStatsFromTotals(const QString &novelId) const
{
    if (novelId.isEmpty())
        return UnifiedContentStats();
    const QSqlDatabase db = DatabaseConnection::database();
    qint64 total = 0;
    {
        QSqlQuery query(db);
        query.setForwardOnly(true);
        query.prepare(QStringLiteral("SELECT total_progress FROM novel_info WHERE id = :id"));
        query.bindValue(QStringLiteral(":id"), novelId);
        if (query.exec() && query.next())
            total = query.value(0).toLongLong();
    }
    if (total <= 0)
        return queryContentStats(novelId);

    UnifiedContentStats stats;
    qint64 imageWeights = 0;
    if (!readImageStats(novelId, stats, imageWeights))
        return queryContentStats(novelId);
    stats.textLength = qMax<qint64>(total - imageWeights, 0);
    return stats;
}

QVector<QString> UnifiedParagraphDao::insertParagraphsLocked(const QString &novelId,
                                                             const QString &chapterId,
                                                             const QVector<Paragraph> &paragraphs,
                                                             AscendingRowIds *rowIds)
{
    QByteArray idBytes;
    if (!insertParagraphRowsLocked(novelId, chapterId, paragraphs.constData(), paragraphs.size(), 0,
                                   rowIds, &idBytes))
        return {};
    QVector<QString> ids;
    ids.reserve(paragraphs.size());
    for (int i = 0; i < paragraphs.size(); ++i)
        ids.append(QString::fromLatin1(idBytes.constData() + i * ContentRowIdLength, ContentRowIdLength));
    return ids;
}

bool UnifiedParagraphDao::insertParagraphRowsLocked(const QString &novelId,
                                                    const QString &chapterId,
                                                    const Paragraph *paragraphs, int count,
                                                    int firstIndex, AscendingRowIds *rowIds,
                                                    QByteArray *ids)
{
    if (novelId.isEmpty() || chapterId.isEmpty() || !paragraphs || count <= 0 || firstIndex < 0
        || !ids)
        return false;
    const QSqlDatabase db = DatabaseConnection::database();

    bool prepared = false;
    // A chapter whose old rows stayed would hold them twice. Run once per
    // chapter of a book's store: bound on the statement itself.
    if (firstIndex == 0) {
        QSqlQuery removal = Transaction::cachedQuery(db, RemovalSql, &prepared);
        ContentStatement statement(removal);
        if (!prepared || !statement.isValid()) {
            qWarning() << "[UnifiedParagraphDao] 插入段落失败:" << removal.lastError().text();
            return false;
        }
        statement.bindText(0, novelId);
        statement.bindText(1, chapterId);
        if (!statement.execute()) {
            qWarning() << "[UnifiedParagraphDao] 插入段落失败:" << statement.errorText();
            return false;
        }
    }

    const QByteArray now = contentTimeUtf8();
    const QByteArray novelUtf8 = novelId.toUtf8();
    const QByteArray chapterUtf8 = chapterId.toUtf8();
    const int IdLength = ContentRowIdLength;
    QByteArray &idBytes = *ids;
    idBytes.resize(count * IdLength);
    for (int i = 0; i < count; ++i) {
        char *id = idBytes.data() + i * IdLength;
        if (rowIds)
            rowIds->next(id);
        else
            newContentRowId(id);
    }

    QSqlQuery insert = Transaction::cachedQuery(db, InsertSql, &prepared);
    ContentStatement statement(insert);
    if (!prepared || !statement.isValid()) {
        qWarning() << "[UnifiedParagraphDao] 插入段落失败:" << insert.lastError().text();
        return false;
    }
    // A reset keeps the bindings: what is the same for every paragraph of the
    // chapter is bound once.
    statement.bindUtf8(1, novelUtf8);
    statement.bindUtf8(2, chapterUtf8);
    statement.bindUtf8(30, now);
    statement.bindUtf8(31, now);
    for (int i = 0; i < count; ++i) {
        const Paragraph &p = paragraphs[i];
        statement.bindAscii(0, idBytes.constData() + i * IdLength, IdLength);
        statement.bindInt(3, firstIndex + i);
        statement.bindInt(4, p.kind);
        statement.bindInt(5, p.firstGlyphIndex);
        statement.bindInt64(6, p.startProgressIndex);
        statement.bindInt64(7, p.progressWeight);
        statement.bindInt(8, p.headingLevel);
        statement.bindInt(9, p.alignment);
        statement.bindDouble(10, double(p.textIndent));
        statement.bindDouble(11, double(p.marginLeft));
        statement.bindDouble(12, double(p.marginRight));
        statement.bindDouble(13, double(p.spaceBefore));
        statement.bindDouble(14, double(p.spaceAfter));
        statement.bindDouble(15, double(p.lineHeight));
        statement.bindInt(16, int(p.preformatted));
        statement.bindText(17, p.imageId);
        statement.bindInt(18, p.imageWidth);
        statement.bindInt(19, p.imageHeight);
        statement.bindInt(20, int(p.hCenter));
        statement.bindInt(21, int(p.vCenter));
        statement.bindText(22, p.footnoteId);
        statement.bindText(23, p.bgColor);
        statement.bindText(24, p.documentBgColor);
        statement.bindInt(25, p.tableId);
        statement.bindInt(26, p.tableRow);
        statement.bindInt(27, p.tableColumn);
        statement.bindInt(28, p.tableColumnCount);
        statement.bindInt(29, int(p.tableHeader));
        if (!statement.execute()) {
            qWarning() << "[UnifiedParagraphDao] 插入段落失败:" << statement.errorText();
            return false;
        }
    }
    return true;
}

QVector<QString> UnifiedParagraphDao::insertParagraphs(const QString &novelId,
                                                       const QString &chapterId,
                                                       const QVector<Paragraph> &paragraphs)
{
    if (novelId.isEmpty() || chapterId.isEmpty()) {
        qWarning() << "[UnifiedParagraphDao] insertParagraphs 失败：novelId 或 chapterId 为空";
        return {};
    }
    Transaction transaction(DatabaseConnection::database());
    if (!transaction.isActive())
        return {};
    const QVector<QString> ids = insertParagraphsLocked(novelId, chapterId, paragraphs);
    if (ids.isEmpty() && !paragraphs.isEmpty()) {
        transaction.rollback();
        return {};
    }
    // Ids of rows that were not committed must never reach the caller.
    if (!transaction.commit())
        return {};
    return ids;
}
