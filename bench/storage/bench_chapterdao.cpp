#include "chapterdao.h"
#include "chapterinfo.h"
#include "logmanager.h"
#include "testenvironment.h"

#include <QtTest>

#include <memory>

// Opening a book loads its whole chapter list on the main thread.
class BenchChapterDao : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TestEnvironment> m_env;
    ChapterDao m_dao;

    void storeBook(const QString &novelId, int chapters)
    {
        std::vector<std::unique_ptr<ChapterInfo>> owned;
        QVector<ChapterInfo *> batch;
        qlonglong progress = 0;
        for (int i = 0; i < chapters; ++i) {
            auto *chapter = new ChapterInfo;
            owned.emplace_back(chapter);
            chapter->setId(QStringLiteral("%1-%2").arg(novelId).arg(i));
            chapter->setNovelId(novelId);
            chapter->setTitle(QStringLiteral("第%1章 风起云涌").arg(i + 1));
            chapter->setChapterIndex(i);
            chapter->setPath(QString());
            chapter->setWordCount(3000);
            chapter->setStartGlyphIndex(i * 3000);
            chapter->setGlyphCount(3000);
            chapter->setStartProgressIndex(progress);
            chapter->setProgressTotal(3000);
            progress += 3000;
            chapter->setStartOffset(i * 9000);
            chapter->setEndOffset(i * 9000 + 8999);
            chapter->setPrevChapter(i ? QStringLiteral("%1-%2").arg(novelId).arg(i - 1) : QString());
            chapter->setNextChapter(i + 1 < chapters ? QStringLiteral("%1-%2").arg(novelId).arg(i + 1) : QString());
            chapter->setLoadStatus(0);
            chapter->setStatus(0);
            chapter->setCreateTime(QStringLiteral("2024-01-02 03:04:05"));
            chapter->setUpdateTime(QStringLiteral("2024-01-02 03:04:05"));
            chapter->setNovelProcess(double(i) / chapters);
            batch.append(chapter);
        }
        QVERIFY(m_dao.batchInsert(batch));
    }

private slots:
    void initTestCase()
    {
        LogManager::setLevel(LogManager::Warning); // the level the program starts with
        m_env.reset(new TestEnvironment);
        QVERIFY(m_env->openDatabase());
        // The book, among a library of other books.
        storeBook(QStringLiteral("book"), 5000);
        for (int i = 0; i < 9; ++i)
            storeBook(QStringLiteral("other%1").arg(i), 1000);
    }

    void cleanupTestCase() { m_env.reset(); }

    void queryByNovelId5000()
    {
        QBENCHMARK {
            QList<ChapterInfo *> chapters = m_dao.queryByNovelId(QStringLiteral("book"));
            if (chapters.size() != 5000)
                QFAIL("wrong chapter count");
            qDeleteAll(chapters);
        }
    }
};

QTEST_GUILESS_MAIN(BenchChapterDao)
#include "bench_chapterdao.moc"
