#include "logcapture.h"

std::mutex LogCapture::s_mutex;
LogCapture *LogCapture::s_active = nullptr;

LogCapture::LogCapture()
{
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        s_active = this;
    }
    m_previous = qInstallMessageHandler(&LogCapture::handler);
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(m_previous);
    std::lock_guard<std::mutex> lock(s_mutex);
    s_active = nullptr;
}

QStringList LogCapture::lines(QtMsgType type) const
{
    std::lock_guard<std::mutex> lock(s_mutex);
    QStringList out;
    for (const auto &entry : m_entries)
        if (entry.first == type)
            out << entry.second;
    return out;
}

void LogCapture::handler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    std::lock_guard<std::mutex> lock(s_mutex);
    if (s_active)
        s_active->m_entries.append({type, message});
}

int LogCapture::count() const
{
    std::lock_guard<std::mutex> lock(s_mutex);
    return m_entries.size();
}
