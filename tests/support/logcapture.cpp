#include "logcapture.h"

LogCapture *LogCapture::s_active = nullptr;

LogCapture::LogCapture()
{
    s_active = this;
    m_previous = qInstallMessageHandler(&LogCapture::handler);
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(m_previous);
    s_active = nullptr;
}

QStringList LogCapture::lines(QtMsgType type) const
{
    QMutexLocker lock(&m_mutex);
    QStringList out;
    for (const auto &entry : m_entries)
        if (entry.first == type)
            out << entry.second;
    return out;
}

void LogCapture::handler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (s_active) {
        QMutexLocker lock(&s_active->m_mutex);
        s_active->m_entries.append({type, message});
    }
}

int LogCapture::count() const
{
    QMutexLocker lock(&m_mutex);
    return m_entries.size();
}
