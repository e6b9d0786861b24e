#include "databaseconnection.h"
#include "testenvironment.h"
#include "transaction.h"
#include "unifiedchunkdao.h"
#include "unifiedparagraphdao.h"

#include <QElapsedTimer>
#include <QSqlQuery>
#include <QtTest>

#include <ctime>

namespace {

// CPU time of this thread: the machine that runs the benchmarks is often
// busy, and wall time then says more about the neighbours than about us.
qint64 threadCpuMs()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return qint64(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

QVector<Paragraph> makeChapter(int chapter, int paragraphs, int chunksPerParagraph)
{
    QVector<Paragraph> out;
    out.reserve(paragraphs);
    qint64 progress = 0;
    for (int i = 0; i < paragraphs; ++i) {
        Paragraph p;
        p.firstGlyphIndex = int(progress);
        p.startProgressIndex = progress;
        for (int c = 0; c < chunksPerParagraph; ++c) {
            TextChunk chunk;
            chunk.text = QStringLiteral("第%1章第%2段，文字块%3：天色已晚，风雨欲来。").arg(chapter).arg(i).arg(c);
            chunk.bold = c == 1;
            progress += chunk.text.size();
            p.chunks.append(chunk);
        }
        p.progressWeight = progress - p.startProgressIndex;
        out.append(p);
    }
    return out;
}

int rowCount(const QString &table)
{
    QSqlQuery query(DatabaseConnection::database());
    query.exec(QStringLiteral("SELECT COUNT(*) FROM ") + table);
    return query.next() ? query.value(0).toInt() : -1;
}

}

class BenchUnifiedContent : public QObject
{
    Q_OBJECT

private:
    TestEnvironment m_env;
    UnifiedParagraphDao m_paragraphs;
    UnifiedChunkDao m_chunks;

    qint64 m_commitMs = 0;

    bool storeBook(const QString &novelId, const QVector<QVector<Paragraph>> &chapters)
    {
        Transaction transaction(DatabaseConnection::database());
        if (!m_chunks.removeByNovelId(novelId) || !m_paragraphs.removeByNovelId(novelId))
            return false;
        for (int c = 0; c < chapters.size(); ++c) {
            const QVector<Paragraph> &paragraphs = chapters[c];
            const QVector<QString> ids = m_paragraphs.insertParagraphsLocked(
                novelId, QStringLiteral("chapter-%1").arg(c), paragraphs);
            if (ids.size() != paragraphs.size())
                return false;
            for (int i = 0; i < ids.size(); ++i) {
                if (!m_chunks.insertChunks(ids[i], paragraphs[i].chunks))
                    return false;
            }
        }
        QElapsedTimer commitTimer;
        commitTimer.start();
        const bool committed = transaction.commit();
        m_commitMs = commitTimer.elapsed();
        return committed;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_env.openDatabase());
        QSqlQuery query(DatabaseConnection::database());
        QVERIFY(query.exec(QStringLiteral("PRAGMA journal_mode")) && query.next());
        QCOMPARE(query.value(0).toString(), QStringLiteral("wal"));
    }

    // 1,000 chapters x 100 paragraphs x 3 chunks in one transaction.
    void storeBook()
    {
        QVector<QVector<Paragraph>> chapters;
        for (int c = 0; c < 1000; ++c)
            chapters.append(makeChapter(c, 100, 3));
        const qint64 rows = 1000 * 100 * (1 + 3);
        // QtTest runs this function twice (a warm-up run first). Each run
        // stores into a file that has just held the same book, so both find
        // the same free pages, and the removal of the old copy is not timed.
        {
            Transaction cleanup(DatabaseConnection::database());
            QVERIFY(m_chunks.removeByNovelId(QStringLiteral("big")));
            QVERIFY(m_paragraphs.removeByNovelId(QStringLiteral("big")));
            QVERIFY(cleanup.commit());
        }

        qint64 elapsedMs = 0;
        qint64 cpuMs = 0;
        QBENCHMARK_ONCE {
            QElapsedTimer timer;
            timer.start();
            const qint64 cpuStart = threadCpuMs();
            QVERIFY(storeBook(QStringLiteral("big"), chapters));
            cpuMs = threadCpuMs() - cpuStart;
            elapsedMs = timer.elapsed();
        }
        QCOMPARE(rowCount(QStringLiteral("unified_paragraph")), 100000);
        QCOMPARE(rowCount(QStringLiteral("unified_chunk")), 300000);
        qInfo("stored %lld rows in %lld ms (%lld ms CPU, commit %lld ms): %.0f rows/s, "
              "%.0f rows/s of CPU",
              rows, elapsedMs, cpuMs, m_commitMs, rows * 1000.0 / qMax<qint64>(elapsedMs, 1),
              rows * 1000.0 / qMax<qint64>(cpuMs, 1));
    }

    // One chapter of 5,000 paragraphs with 3 chunks each, loaded as the
    // reading view does: paragraphs, then all chunks, then attached.
    void loadChapter()
    {
        QVERIFY(storeBook(QStringLiteral("load"), {makeChapter(0, 5000, 3)}));
        QBENCHMARK {
            QVector<QString> ids;
            QVector<Paragraph> paragraphs = m_paragraphs.loadParagraphs(
                QStringLiteral("load"), QStringLiteral("chapter-0"), &ids);
            const QHash<QString, QVector<TextChunk>> chunks =
                m_chunks.loadChunks(QStringLiteral("load"), QStringLiteral("chapter-0"));
            for (int i = 0; i < paragraphs.size(); ++i)
                paragraphs[i].chunks = chunks.value(ids[i]);
            QCOMPARE(paragraphs.size(), 5000);
        }
    }
};

QTEST_GUILESS_MAIN(BenchUnifiedContent)
#include "bench_unifiedcontent.moc"
