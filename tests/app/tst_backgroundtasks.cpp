#include "backgroundtasks.h"

#include <QMutex>
#include <QSemaphore>
#include <QThread>
#include <QtTest>

#include <atomic>

class TestBackgroundTasks : public QObject
{
    Q_OBJECT

private slots:
    void runsOneAtATimeInOrder()
    {
        BackgroundTasks tasks;
        QMutex mutex;
        QVector<int> order;
        std::atomic<int> running{0};
        std::atomic<int> maxRunning{0};
        for (int i = 0; i < 20; ++i) {
            tasks.post([&, i] {
                const int now = ++running;
                int seen = maxRunning.load();
                while (now > seen && !maxRunning.compare_exchange_weak(seen, now)) {}
                QThread::usleep(500);
                {
                    QMutexLocker lock(&mutex);
                    order.append(i);
                }
                --running;
            });
        }
        QVERIFY(tasks.waitForDone(10000));
        QCOMPARE(maxRunning.load(), 1);
        QVector<int> expected;
        for (int i = 0; i < 20; ++i)
            expected.append(i);
        QCOMPARE(order, expected);
    }

    void stopWaitsForTheRunningTaskAndDropsTheQueue()
    {
        BackgroundTasks tasks;
        QSemaphore started;
        std::atomic<bool> finished{false};
        std::atomic<int> laterRuns{0};
        tasks.post([&] {
            started.release();
            // A stage boundary: the task sees the stop flag and ends early.
            while (!tasks.stopping())
                QThread::msleep(1);
            QThread::msleep(20);
            finished = true;
        });
        tasks.post([&] { ++laterRuns; });
        QVERIFY(started.tryAcquire(1, 5000));
        tasks.stop();
        QVERIFY(finished.load());
        QCOMPARE(laterRuns.load(), 0);
        tasks.post([&] { ++laterRuns; });
        QVERIFY(tasks.waitForDone(1000));
        QCOMPARE(laterRuns.load(), 0);
    }
};

QTEST_GUILESS_MAIN(TestBackgroundTasks)
#include "tst_backgroundtasks.moc"
