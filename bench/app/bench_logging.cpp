// Cost of a debug message that the level drops, on a hot path.
#include "logmanager.h"

#include <QtTest>

class BenchLogging : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        qInstallMessageHandler(&LogManager::messageHandler);
        LogManager::setLevel(LogManager::Warning);
    }

    void droppedGuardedDebug()
    {
        int i = 0;
        QBENCHMARK {
            QLOG_DEBUG() << "[Bench] glyph" << i << "of" << QStringLiteral("chapter");
            ++i;
        }
    }

    void droppedPlainDebug()
    {
        int i = 0;
        QBENCHMARK {
            qDebug() << "[Bench] glyph" << i << "of" << QStringLiteral("chapter");
            ++i;
        }
    }
};

QTEST_GUILESS_MAIN(BenchLogging)
#include "bench_logging.moc"
