#include "backgroundtasks.h"

BackgroundTasks::BackgroundTasks()
{
    m_pool.setMaxThreadCount(1);
}

BackgroundTasks::~BackgroundTasks()
{
    stop();
}

void BackgroundTasks::post(std::function<void()> task)
{
    if (stopping())
        return;
    m_pool.start(std::move(task));
}

void BackgroundTasks::stop()
{
    m_stopping.store(true);
    m_pool.clear();
    m_pool.waitForDone();
}

bool BackgroundTasks::waitForDone(int msecs)
{
    return m_pool.waitForDone(msecs);
}
