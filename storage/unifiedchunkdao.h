#pragma once

#include "paragraph.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>
#include <QVector>

class AscendingRowIds;

// The unified_chunk table: the styled runs of each stored paragraph.
class UnifiedChunkDao : public QObject
{
    Q_OBJECT
public:
    explicit UnifiedChunkDao(QObject *parent = nullptr);

    // The statement one chunk row is stored by (benchmarks write the same rows).
    static const char *insertStatement();

    bool removeByParaId(const QString &paraId);
    // Chunks are found through their paragraph rows: remove them before the
    // paragraphs.
    bool removeByNovelId(const QString &novelId);
    bool removeByChapter(const QString &novelId, const QString &chapterId);

    // Inserts one paragraph's chunks in order inside the caller's transaction,
    // with ids drawn from rowIds when given.
    bool insertChunks(const QString &paraId, const QVector<TextChunk> &chunks,
                      AscendingRowIds *rowIds = nullptr);
    // The same for each paragraph of a chapter, paraIds[i] being the row id of
    // paragraphs[i]; on failure, the rows of earlier paragraphs stay.
    bool insertParagraphChunks(const QVector<QString> &paraIds, const QVector<Paragraph> &paragraphs,
                               AscendingRowIds *rowIds = nullptr);
    // The same for paragraphs[0, count) with their ids as
    // insertParagraphRowsLocked hands them back.
    bool insertParagraphChunks(const QByteArray &paraIds, const Paragraph *paragraphs, int count,
                               AscendingRowIds *rowIds = nullptr);

    // Paragraph row id -> its chunks in chunk_index order; paragraphs without
    // chunks have no entry.
    QHash<QString, QVector<TextChunk>> loadChunks(const QString &novelId,
                                                  const QString &chapterId) const;
};
