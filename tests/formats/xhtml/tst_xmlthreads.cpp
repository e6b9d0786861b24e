#include "xmltext.h"

#include <QProcess>
#include <QtTest>

#include <atomic>
#include <thread>
#include <vector>

// libxml2 sets up its global state on first use; that first use must not be
// two conversion threads at once. Only a fresh process shows it, so the test
// runs itself as a child that converts broken documents in parallel straight
// after start, many times over.

namespace {

const char *const ChildFlag = "--repair-in-parallel";

int repairInParallel()
{
    const QStringList documents = {
        QStringLiteral("<html><body><p>One <b>two<p>three & four<br></body>"),
        QStringLiteral("<html><body><div><i>x</div>\x01 stray <p>y</html>"),
        QStringLiteral("<p>a<p>b<table><tr><td>c</table></span>"),
        QStringLiteral("<html><head><title>t</head><body>&bogus; <q:r>z</html>"),
    };
    std::atomic<int> waiting{int(documents.size())};
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (const QString &document : documents) {
        threads.emplace_back([&, document] {
            // Start every thread's first libxml2 call at the same moment.
            --waiting;
            while (waiting.load() > 0) {
            }
            if (repairHtmlToXhtml(document).isEmpty())
                ++failures;
        });
    }
    for (std::thread &t : threads)
        t.join();
    return failures.load();
}

}

class TestXmlThreads : public QObject
{
    Q_OBJECT

private slots:
    void freshProcessesRepairInParallel()
    {
        const int runs = 60;
        for (int run = 0; run < runs; ++run) {
            QProcess child;
            child.start(QCoreApplication::applicationFilePath(), {QString::fromLatin1(ChildFlag)});
            QVERIFY(child.waitForStarted());
            if (!child.waitForFinished(20000)) {
                child.kill();
                child.waitForFinished();
                QFAIL(qPrintable(QStringLiteral("run %1 of %2 hung").arg(run).arg(runs)));
            }
            QCOMPARE(child.exitStatus(), QProcess::NormalExit);
            QCOMPARE(child.exitCode(), 0);
        }
    }
};

int main(int argc, char **argv)
{
    if (argc == 2 && qstrcmp(argv[1], ChildFlag) == 0)
        return repairInParallel();
    QCoreApplication app(argc, argv);
    TestXmlThreads test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_xmlthreads.moc"
