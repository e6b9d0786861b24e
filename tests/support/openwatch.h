#pragma once

#include <QFile>
#include <QStringList>

#include <sys/inotify.h>
#include <unistd.h>

// Files opened in one folder by anyone from construction on, seen by inotify.
class OpenWatch
{
public:
    explicit OpenWatch(const QString &folder) : m_fd(inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
    {
        inotify_add_watch(m_fd, QFile::encodeName(folder).constData(), IN_OPEN);
    }
    ~OpenWatch() { ::close(m_fd); }
    QStringList opened() const
    {
        QStringList names;
        alignas(inotify_event) char buffer[4096];
        for (ssize_t got; (got = ::read(m_fd, buffer, sizeof buffer)) > 0;) {
            for (ssize_t at = 0; at < got;) {
                const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
                names << QFile::decodeName(event->len ? event->name : "");
                at += ssize_t(sizeof(inotify_event) + event->len);
            }
        }
        return names;
    }

private:
    int m_fd;
};
