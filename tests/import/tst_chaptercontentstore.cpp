#include "chaptercontentstore.h"
#include "chapterinfo.h"
#include "databaseconnection.h"
#include "paragraphutils.h"
#include "testenvironment.h"
#include "transaction.h"
#include "unifiedchunkdao.h"
#include "unifiedparagraphdao.h"

#include <QRegularExpression>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QtTest>

namespace {

// The book's rows in insertion order, chunks first with their paragraph's
// chapter and index, without ids, the book's id and times; ids into *ids.
QStringList rows(const QString &novelId, QStringList *ids)
{
    QStringList out;
    QSqlQuery query(DatabaseConnection::database());
    for (const QString &sql : {QStringLiteral("SELECT c.*, p.chapter_id, p.para_index FROM unified_chunk c JOIN "
                                              "unified_paragraph p ON p.id = c.para_id WHERE p.novel_id = ? "
                                              "ORDER BY c.rowid"),
                               QStringLiteral("SELECT * FROM unified_paragraph WHERE novel_id = ? ORDER BY rowid")}) {
        query.prepare(sql);
        query.addBindValue(novelId);
        query.exec();
        while (query.next()) {
            QStringList values;
            for (int i = 0; i < query.record().count(); ++i) {
                const QString name = query.record().fieldName(i);
                if (name == QLatin1String("id"))
                    *ids << query.value(i).toString();
                else if (name != QLatin1String("para_id") && name != QLatin1String("novel_id")
                         && !name.endsWith(QLatin1String("_time")))
                    values << query.value(i).toString();
            }
            out << values.join(QLatin1Char('|'));
        }
    }
    return out;
}

}

class TestChapterContentStore : public QObject
{
    Q_OBJECT

private slots:
    // The rows and counts of storing chapter by chapter through the data
    // access objects, with random ids that ascend in insertion order.
    void storesWhatChapterByChapterStores()
    {
        TestEnvironment env;
        QVERIFY(env.openDatabase());
        UnifiedParagraphDao paragraphDao;
        UnifiedChunkDao chunkDao;
        QVector<QVector<Paragraph>> book(3);
        QVector<ChapterInfo *> chapters;
        for (int c = 0; c < book.size(); ++c) {
            chapters.append(new ChapterInfo(this));
            chapters[c]->setId(QStringLiteral("ch%1").arg(c));
            // The last chapter is longer than a stored piece (8,192 paragraphs).
            for (int i = 0; i < (c == 2 ? 8300 : 40 * (c + 1)); ++i) {
                Paragraph p;
                p.kind = i % 13 == 5 ? int(Paragraph::Image) : 0;
                for (int k = 0; k < i % 4 && p.kind == 0; ++k) {
                    p.chunks.append(TextChunk());
                    p.chunks.last().text = QStringLiteral("第%1章 %2 \U0001F600 run-%3").arg(c).arg(i).arg(k);
                    p.chunks.last().bold = k == 1;
                }
                book[c].append(p);
            }
        }
        QVector<QVector<Paragraph>> reference = book;
        QVector<ParagraphTotals> totals;
        {
            Transaction transaction(DatabaseConnection::database());
            for (int c = 0; c < reference.size(); ++c) {
                totals.append(finalizeParagraphs(reference[c]));
                const QVector<QString> ids =
                    paragraphDao.insertParagraphsLocked(QStringLiteral("ref"), chapters[c]->id(), reference[c]);
                QCOMPARE(ids.size(), reference[c].size());
                for (int i = 0; i < ids.size(); ++i)
                    QVERIFY(chunkDao.insertChunks(ids[i], reference[c][i].chunks));
            }
            QVERIFY(transaction.commit());
        }
        QVERIFY(storeChapterContent(chapters, QStringLiteral("book"), &paragraphDao, &chunkDao,
                                    [&book](int i) -> QVector<Paragraph> & { return book[i]; }));

        QStringList ids;
        QStringList referenceIds;
        QCOMPARE(rows(QStringLiteral("book"), &ids), rows(QStringLiteral("ref"), &referenceIds));
        for (int c = 0; c < chapters.size(); ++c) {
            int words = 0;
            for (const Paragraph &p : reference[c])
                words += p.plainText().size();
            QCOMPARE(chapters[c]->wordCount(), words);
            QCOMPARE(chapters[c]->glyphCount(), totals[c].totalGlyphs);
            QCOMPARE(chapters[c]->progressTotal(), totals[c].totalProgress);
        }
        const QRegularExpression uuid(QStringLiteral(
            "^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$"));
        const int chunkRows = ids.size() - book[0].size() - book[1].size() - book[2].size();
        QVERIFY(chunkRows > 100);
        for (int i = 0; i < ids.size(); ++i) {
            QVERIFY2(uuid.match(ids[i]).hasMatch(), qPrintable(ids[i]));
            // Chunks ascend, then paragraphs.
            if (i != 0 && i != chunkRows)
                QVERIFY2(ids[i - 1] < ids[i], qPrintable(ids[i - 1] + QLatin1Char(' ') + ids[i]));
        }
    }
};

QTEST_GUILESS_MAIN(TestChapterContentStore)
#include "tst_chaptercontentstore.moc"
