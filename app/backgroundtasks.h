#pragma once

#include <QThreadPool>

#include <atomic>
#include <functional>

// Runs the core's import, removal and reset tasks one at a time, in the order
// they were asked for, on one worker thread. The owner stops it before it
// frees anything a task uses: stop() raises the flag that tasks test before
// each stage and before emitting, then waits for them.
class BackgroundTasks
{
public:
    BackgroundTasks();
    ~BackgroundTasks();

    void post(std::function<void()> task);
    bool stopping() const { return m_stopping.load(); }
    void stop();
    // Waits until every posted task has finished (for tests and shut-down).
    bool waitForDone(int msecs = -1);

private:
    QThreadPool m_pool;
    std::atomic<bool> m_stopping{false};
};
