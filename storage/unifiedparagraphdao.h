#pragma once

#include "paragraph.h"

#include <QObject>
#include <QSize>
#include <QString>
#include <QVector>

class AscendingRowIds;

// What the reading view needs to guess whether a book is mostly pictures.
struct UnifiedContentStats
{
    QVector<QSize> imageSizes;   // image paragraphs of known size, in row order
    int unsizedImageCount = 0;   // image paragraphs of unknown size
    qint64 textLength = 0;       // characters of every non-image paragraph
};

// The unified_paragraph table. Rows are never updated in place: a chapter is
// replaced by deleting its rows and inserting new ones with new ids.
class UnifiedParagraphDao : public QObject
{
    Q_OBJECT
public:
    explicit UnifiedParagraphDao(QObject *parent = nullptr);

    // The statement one paragraph row is stored by (benchmarks write the same rows).
    static const char *insertStatement();

    bool countByChapter(const QString &novelId, const QString &chapterId) const;
    bool removeByNovelId(const QString &novelId);
    bool removeByChapter(const QString &novelId, const QString &chapterId);

    // The chapter's paragraphs in para_index order, without chunks. When ids
    // is given, each row's id is appended to it in the same order.
    QVector<Paragraph> loadParagraphs(const QString &novelId, const QString &chapterId,
                                      QVector<QString> *ids = nullptr) const;

    UnifiedContentStats queryContentStats(const QString &novelId) const;
    // The same figures without reading the book's text: its length is the
    // book's progress total (which counts every text character once) less
    // the image paragraphs' weights. Books without a total are counted.
    UnifiedContentStats queryContentStatsFromTotals(const QString &novelId) const;

    // Replaces the chapter's paragraph rows (not their chunks) inside the
    // caller's transaction. Returns the new row ids in paragraph order; empty
    // on refusal or failure. The ids are drawn from rowIds when given.
    QVector<QString> insertParagraphsLocked(const QString &novelId, const QString &chapterId,
                                            const QVector<Paragraph> &paragraphs,
                                            AscendingRowIds *rowIds = nullptr);
    // The same for paragraphs[0, count), stored as rows firstIndex onwards
    // of the chapter: a long chapter is stored a piece at a time, and only
    // the first piece (firstIndex 0) removes the chapter's earlier rows. The
    // ids are handed back as ContentRowIdLength ASCII bytes each, one after
    // another (a string per row is most of the memory of a chapter of a
    // million short paragraphs). False on refusal or failure.
    bool insertParagraphRowsLocked(const QString &novelId, const QString &chapterId,
                                   const Paragraph *paragraphs, int count, int firstIndex,
                                   AscendingRowIds *rowIds, QByteArray *ids);
    // The same inside a transaction of its own (nested when the caller holds
    // one). Empty unless the rows were committed.
    QVector<QString> insertParagraphs(const QString &novelId, const QString &chapterId,
                                      const QVector<Paragraph> &paragraphs);
};
