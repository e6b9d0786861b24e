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

// Chapters of styled, unstyled, empty and image paragraphs.
QVector<QVector<Paragraph>> sampleBook()
{
    QVector<QVector<Paragraph>> book(3);
    for (int c = 0; c < book.size(); ++c) {
        for (int i = 0; i < 40 * (c + 1); ++i) {
            Paragraph p;
            if (i % 13 == 5) {
                p.kind = Paragraph::Image;
                p.imageId = QStringLiteral("img%1").arg(i);
            }
            for (int k = 0; k < i % 4 && p.kind != Paragraph::Image; ++k) {
                TextChunk chunk;
                chunk.text = QStringLiteral("第%1章 %2 \U0001F600 run %3").arg(c).arg(i).arg(k);
                chunk.bold = k == 1;
                chunk.color = k == 2 ? QStringLiteral("#600") : QString();
                p.chunks.append(chunk);
            }
            book[c].append(p);
        }
    }
    return book;
}

// Every stored column but those that differ between two stores of one book,
// in the order the rows were inserted; a chunk names its paragraph by index.
QStringList rows(const QString &novelId)
{
    QStringList out;
    QSqlQuery query(DatabaseConnection::database());
    query.exec(QStringLiteral("SELECT c.*, p.chapter_id, p.para_index FROM unified_chunk c "
                              "JOIN unified_paragraph p ON p.id = c.para_id "
                              "WHERE p.novel_id = '%1' ORDER BY c.rowid").arg(novelId));
    while (query.next()) {
        QStringList values;
        for (int i = 0; i < query.record().count(); ++i) {
            const QString name = query.record().fieldName(i);
            if (name != QLatin1String("id") && name != QLatin1String("para_id") && !name.endsWith("_time"))
                values << query.value(i).toString();
        }
        out << values.join(QLatin1Char('|'));
    }
    query.exec(QStringLiteral("SELECT * FROM unified_paragraph WHERE novel_id = '%1' ORDER BY rowid")
                   .arg(novelId));
    while (query.next()) {
        QStringList values;
        for (int i = 2; i < query.record().count(); ++i) {
            if (!query.record().fieldName(i).endsWith("_time"))
                values << query.value(i).toString();
        }
        out << values.join(QLatin1Char('|'));
    }
    return out;
}

}

class TestChapterContentStore : public QObject
{
    Q_OBJECT

private slots:
    // The store gives the rows and chapter counts that storing chapter by
    // chapter through the data access objects gives, with ascending ids.
    void storesWhatChapterByChapterStores()
    {
        TestEnvironment env;
        QVERIFY(env.openDatabase());
        UnifiedParagraphDao paragraphDao;
        UnifiedChunkDao chunkDao;
        QVector<QVector<Paragraph>> book = sampleBook();
        QVector<ChapterInfo *> chapters;
        for (int c = 0; c < book.size(); ++c) {
            chapters.append(new ChapterInfo(this));
            chapters[c]->setId(QStringLiteral("ch%1").arg(c));
        }

        QVector<QVector<Paragraph>> reference = book;
        {
            Transaction transaction(DatabaseConnection::database());
            for (int c = 0; c < reference.size(); ++c) {
                finalizeParagraphs(reference[c]);
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

        QCOMPARE(rows(QStringLiteral("book")), rows(QStringLiteral("ref")));
        for (int c = 0; c < chapters.size(); ++c) {
            const ParagraphTotals totals = finalizeParagraphs(reference[c]);
            int words = 0;
            for (const Paragraph &p : reference[c])
                words += p.plainText().size();
            QCOMPARE(chapters[c]->wordCount(), words);
            QCOMPARE(chapters[c]->glyphCount(), totals.totalGlyphs);
            QCOMPARE(chapters[c]->progressTotal(), totals.totalProgress);
        }

        const QRegularExpression uuid(QStringLiteral(
            "^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$"));
        for (const QString &sql : {QStringLiteral("SELECT id FROM unified_paragraph WHERE novel_id = 'book' "
                                                  "ORDER BY rowid"),
                                   QStringLiteral("SELECT c.id FROM unified_chunk c JOIN unified_paragraph p "
                                                  "ON p.id = c.para_id WHERE p.novel_id = 'book' "
                                                  "ORDER BY c.rowid")}) {
            QSqlQuery query(DatabaseConnection::database());
            QVERIFY(query.exec(sql));
            QString previous;
            int count = 0;
            while (query.next()) {
                const QString id = query.value(0).toString();
                QVERIFY2(uuid.match(id).hasMatch(), qPrintable(id));
                QVERIFY2(previous < id, qPrintable(previous + QLatin1Char(' ') + id));
                previous = id;
                ++count;
            }
            QVERIFY(count > 100);
        }
    }
};

QTEST_GUILESS_MAIN(TestChapterContentStore)
#include "tst_chaptercontentstore.moc"
