// A whole import of a large Chinese plain-text book (GB18030, about 20 MB):
// registry, decoding, chapter split, content, book and chapter rows.
#include "applicationcore.h"
#include "benchlibrary.h"
#include "databaseconnection.h"
#include "imagefixtures.h"
#include "testenvironment.h"

#include <QElapsedTimer>
#include <QFile>
#include <QSqlQuery>
#include <QTextCodec>
#include <QtTest>

#include <cstdio>
#include <memory>

namespace {

qint64 currentRssKb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

}

class BenchImport : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TestEnvironment> env;
    QString bookPath;

private slots:
    void initTestCase()
    {
        env = openBenchLibrary();
        QVERIFY(env);

        const QStringList sentences{
            QStringLiteral("他走进了那座古老的城堡，四周一片寂静，只有风声在长廊里回荡。"),
            QStringLiteral("月光透过破碎的窗户洒在石板地上，映出斑驳的影子。"),
            QStringLiteral("“你终于来了。”一个低沉的声音从黑暗中传来。"),
            QStringLiteral("她握紧了手中的长剑，心跳得越来越快，却没有后退一步。"),
            QStringLiteral("远处的山谷里传来钟声，仿佛在诉说一段被遗忘的往事。")};
        QString text;
        text.reserve(10 * 1024 * 1024 + 4096);
        int chapter = 0;
        int line = 0;
        while (text.size() < 10 * 1024 * 1024) {
            if (line % 60 == 0) {
                ++chapter;
                text += QStringLiteral("第%1章 风起\n").arg(chapter);
            }
            text += QStringLiteral("　　") + sentences.at(line % sentences.size())
                    + sentences.at((line * 7 + 3) % sentences.size()) + QLatin1Char('\n');
            ++line;
        }
        bookPath = env->root() + QStringLiteral("/大书.txt");
        QFile file(bookPath);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QTextCodec::codecForName("GB18030")->fromUnicode(text));
        std::printf("book: %lld bytes, %d characters, %d chapters\n", file.size(), text.size(), chapter);
    }

    void importLargeChineseBook()
    {
        ApplicationCore core;
        int finished = 0;
        QString outcome;
        connect(&core, &ApplicationCore::novelImportSucceeded, this,
                [&](const QString &m) { outcome = m; ++finished; }, Qt::QueuedConnection);
        connect(&core, &ApplicationCore::novelImportFailed, this,
                [&](const QString &m) { outcome = m; ++finished; }, Qt::QueuedConnection);

        const qint64 before = currentRssKb();
        resetPeakMemory();
        QElapsedTimer timer;
        QBENCHMARK_ONCE {
            timer.start();
            core.importNovel(bookPath);
            QVERIFY(QTest::qWaitFor([&] { return finished > 0; }, 120000));
        }
        const qint64 elapsed = timer.elapsed();
        QCOMPARE(outcome, QStringLiteral("解析完成"));
        const qint64 peak = peakMemoryKiB();
        std::printf("import: %lld ms; resident before %lld kB, peak during import %lld kB\n",
              elapsed, before, peak);

        QSqlQuery query(DatabaseConnection::database());
        query.exec(QStringLiteral("SELECT COUNT(*) FROM chapter_info"));
        query.next();
        std::printf("chapters stored: %d\n", query.value(0).toInt());
    }

    void cleanupTestCase()
    {
        TestEnvironment::closeDatabase();
        env.reset();
    }
};

QTEST_MAIN(BenchImport)
#include "bench_import.moc"
