#include "unifiedparagraphdao.h"
#include "databaseconnection.h"
#include "contentrows.h"
#include "transaction.h"

#include <QDebug>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QVariant>

namespace {

const int ImageKind = Paragraph::Image;

bool runRemoval(const char *sql, const QString &novelId, const QString *chapterId,
                const char *failure, const char *done, const QString &logId)
{
    QSqlQuery query(DatabaseConnection::database());
    query.prepare(QString::fromLatin1(sql));
    query.bindValue(QStringLiteral(":novel_id"), novelId);
    if (chapterId)
        query.bindValue(QStringLiteral(":chapter_id"), *chapterId);
    if (!query.exec()) {
        qWarning() << failure << query.lastError().text();
        return false;
    }
    qInfo() << done << logId << " 的段落数据";
    return true;
}

}

UnifiedParagraphDao::UnifiedParagraphDao(QObject *parent)
    : QObject(parent)
{
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
    return runRemoval("DELETE FROM unified_paragraph WHERE novel_id = :novel_id", novelId,
                      nullptr, "[UnifiedParagraphDao] 按小说删除失败:",
                      "[UnifiedParagraphDao] 已删除 novelId=", novelId);
}

bool UnifiedParagraphDao::removeByChapter(const QString &novelId, const QString &chapterId)
{
    return runRemoval("DELETE FROM unified_paragraph WHERE novel_id = :novel_id "
                      "AND chapter_id = :chapter_id",
                      novelId, &chapterId, "[UnifiedParagraphDao] 按章节删除失败:",
                      "[UnifiedParagraphDao] 已删除 chapterId=", chapterId);
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
    query.prepare(QStringLiteral(
        "SELECT id, kind, first_glyph_index, start_progress_index, progress_weight, heading_lv, "
        "alignment, text_indent, margin_left, margin_right, space_bf, space_af, line_height, "
        "preformatted, image_id, image_width, image_height, horizontal_center, vertical_center, "
        "footnote_id, bg_color, document_bg_color, table_id, table_row, table_column, "
        "table_column_count, table_header FROM unified_paragraph "
        "WHERE novel_id = :novel_id AND chapter_id = :chapter_id ORDER BY para_index"));
    query.bindValue(QStringLiteral(":novel_id"), novelId);
    query.bindValue(QStringLiteral(":chapter_id"), chapterId);
    if (!query.exec()) {
        qWarning() << "[UnifiedParagraphDao] 查询段落失败:" << query.lastError().text();
        return result;
    }

    // Columns are looked up by name once, then read by position per row.
    const QSqlRecord rec = query.record();
    const int cId = rec.indexOf(QStringLiteral("id"));
    const int cKind = rec.indexOf(QStringLiteral("kind"));
    const int cFirstGlyph = rec.indexOf(QStringLiteral("first_glyph_index"));
    const int cStartProgress = rec.indexOf(QStringLiteral("start_progress_index"));
    const int cWeight = rec.indexOf(QStringLiteral("progress_weight"));
    const int cHeading = rec.indexOf(QStringLiteral("heading_lv"));
    const int cAlignment = rec.indexOf(QStringLiteral("alignment"));
    const int cTextIndent = rec.indexOf(QStringLiteral("text_indent"));
    const int cMarginLeft = rec.indexOf(QStringLiteral("margin_left"));
    const int cMarginRight = rec.indexOf(QStringLiteral("margin_right"));
    const int cSpaceBefore = rec.indexOf(QStringLiteral("space_bf"));
    const int cSpaceAfter = rec.indexOf(QStringLiteral("space_af"));
    const int cLineHeight = rec.indexOf(QStringLiteral("line_height"));
    const int cPreformatted = rec.indexOf(QStringLiteral("preformatted"));
    const int cImageId = rec.indexOf(QStringLiteral("image_id"));
    const int cImageWidth = rec.indexOf(QStringLiteral("image_width"));
    const int cImageHeight = rec.indexOf(QStringLiteral("image_height"));
    const int cHCenter = rec.indexOf(QStringLiteral("horizontal_center"));
    const int cVCenter = rec.indexOf(QStringLiteral("vertical_center"));
    const int cFootnote = rec.indexOf(QStringLiteral("footnote_id"));
    const int cBgColor = rec.indexOf(QStringLiteral("bg_color"));
    const int cDocBgColor = rec.indexOf(QStringLiteral("document_bg_color"));
    const int cTableId = rec.indexOf(QStringLiteral("table_id"));
    const int cTableRow = rec.indexOf(QStringLiteral("table_row"));
    const int cTableColumn = rec.indexOf(QStringLiteral("table_column"));
    const int cTableColumnCount = rec.indexOf(QStringLiteral("table_column_count"));
    const int cTableHeader = rec.indexOf(QStringLiteral("table_header"));

    // NULL reads back as a null string, which compares equal to an empty one.
    while (query.next()) {
        Paragraph p;
        p.kind = query.value(cKind).toInt();
        p.firstGlyphIndex = query.value(cFirstGlyph).toInt();
        p.startProgressIndex = query.value(cStartProgress).toLongLong();
        p.progressWeight = query.value(cWeight).toLongLong();
        p.headingLevel = query.value(cHeading).toInt();
        p.alignment = query.value(cAlignment).toInt();
        p.textIndent = query.value(cTextIndent).toFloat();
        p.marginLeft = query.value(cMarginLeft).toFloat();
        p.marginRight = query.value(cMarginRight).toFloat();
        p.spaceBefore = query.value(cSpaceBefore).toFloat();
        p.spaceAfter = query.value(cSpaceAfter).toFloat();
        p.lineHeight = query.value(cLineHeight).toFloat();
        p.preformatted = query.value(cPreformatted).toBool();
        p.imageId = query.value(cImageId).toString();
        p.imageWidth = query.value(cImageWidth).toInt();
        p.imageHeight = query.value(cImageHeight).toInt();
        p.hCenter = query.value(cHCenter).toBool();
        p.vCenter = query.value(cVCenter).toBool();
        p.footnoteId = query.value(cFootnote).toString();
        p.bgColor = query.value(cBgColor).toString();
        p.documentBgColor = query.value(cDocBgColor).toString();
        p.tableId = query.value(cTableId).toInt();
        p.tableRow = query.value(cTableRow).toInt();
        p.tableColumn = query.value(cTableColumn).toInt();
        p.tableColumnCount = query.value(cTableColumnCount).toInt();
        p.tableHeader = query.value(cTableHeader).toBool();
        result.append(p);
        if (ids)
            ids->append(query.value(cId).toString());
    }
    return result;
}

UnifiedContentStats UnifiedParagraphDao::queryContentStats(const QString &novelId) const
{
    UnifiedContentStats stats;
    if (novelId.isEmpty())
        return stats;
    const QSqlDatabase db = DatabaseConnection::database();
    {
        QSqlQuery query(db);
        query.setForwardOnly(true);
        query.prepare(QStringLiteral("SELECT image_width, image_height FROM unified_paragraph "
                                     "WHERE novel_id = :novel_id AND kind = :image_kind "
                                     "AND image_id <> ''"));
        query.bindValue(QStringLiteral(":novel_id"), novelId);
        query.bindValue(QStringLiteral(":image_kind"), ImageKind);
        if (query.exec()) {
            while (query.next()) {
                const int width = query.value(0).toInt();
                const int height = query.value(1).toInt();
                if (width > 0 && height > 0)
                    stats.imageSizes.append(QSize(width, height));
                else
                    ++stats.unsizedImageCount;
            }
        } else {
            qWarning() << "[UnifiedParagraphDao] 查询图片统计失败:" << query.lastError().text();
        }
    }
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

QVector<QString> UnifiedParagraphDao::insertParagraphsLocked(const QString &novelId,
                                                             const QString &chapterId,
                                                             const QVector<Paragraph> &paragraphs)
{
    if (novelId.isEmpty() || chapterId.isEmpty() || paragraphs.isEmpty())
        return {};
    const QSqlDatabase db = DatabaseConnection::database();

    bool prepared = false;
    QSqlQuery removal = Transaction::cachedQuery(
        db, QStringLiteral("DELETE FROM unified_paragraph WHERE novel_id = :nid AND chapter_id = :cid"),
        &prepared);
    if (prepared) {
        removal.bindValue(QStringLiteral(":nid"), novelId);
        removal.bindValue(QStringLiteral(":cid"), chapterId);
        removal.exec();   // its outcome does not matter: the inserts decide
    }

    const QString now = contentTimeString();
    QVector<QString> ids;
    ids.reserve(paragraphs.size());
    for (int i = 0; i < paragraphs.size(); ++i)
        ids.append(newContentRowId());

    QSqlQuery insert = Transaction::cachedQuery(
        db, QStringLiteral(
            "INSERT INTO unified_paragraph (id,novel_id,chapter_id,para_index,kind, "
            "first_glyph_index,start_progress_index,progress_weight,heading_lv, "
            "alignment,text_indent,margin_left,margin_right, "
            "space_bf,space_af,line_height,preformatted, "
            "image_id,image_width,image_height,horizontal_center, "
            "vertical_center,footnote_id,bg_color,document_bg_color,table_id,table_row, "
            "table_column,table_column_count,table_header,create_time,update_time) "
            "VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)"),
        &prepared);
    if (!prepared) {
        qWarning() << "[UnifiedParagraphDao] 插入段落失败:" << insert.lastError().text();
        return {};
    }
    for (int i = 0; i < paragraphs.size(); ++i) {
        const Paragraph &p = paragraphs.at(i);
        insert.bindValue(0, ids.at(i));
        insert.bindValue(1, novelId);
        insert.bindValue(2, chapterId);
        insert.bindValue(3, i);
        insert.bindValue(4, p.kind);
        insert.bindValue(5, p.firstGlyphIndex);
        insert.bindValue(6, p.startProgressIndex);
        insert.bindValue(7, p.progressWeight);
        insert.bindValue(8, p.headingLevel);
        insert.bindValue(9, p.alignment);
        insert.bindValue(10, double(p.textIndent));
        insert.bindValue(11, double(p.marginLeft));
        insert.bindValue(12, double(p.marginRight));
        insert.bindValue(13, double(p.spaceBefore));
        insert.bindValue(14, double(p.spaceAfter));
        insert.bindValue(15, double(p.lineHeight));
        insert.bindValue(16, int(p.preformatted));
        insert.bindValue(17, p.imageId);
        insert.bindValue(18, p.imageWidth);
        insert.bindValue(19, p.imageHeight);
        insert.bindValue(20, int(p.hCenter));
        insert.bindValue(21, int(p.vCenter));
        insert.bindValue(22, p.footnoteId);
        insert.bindValue(23, p.bgColor);
        insert.bindValue(24, p.documentBgColor);
        insert.bindValue(25, p.tableId);
        insert.bindValue(26, p.tableRow);
        insert.bindValue(27, p.tableColumn);
        insert.bindValue(28, p.tableColumnCount);
        insert.bindValue(29, int(p.tableHeader));
        insert.bindValue(30, now);
        insert.bindValue(31, now);
        if (!insert.exec()) {
            qWarning() << "[UnifiedParagraphDao] 插入段落失败:" << insert.lastError().text();
            return {};
        }
    }
    return ids;
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
