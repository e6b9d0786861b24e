#pragma once

#include <QFile>
#include <QString>
#include <QStringList>

#include <sys/inotify.h>
#include <unistd.h>

// Files opened in one folder, by anyone, from construction on (inotify).
// Header-only: used by tests of several libraries.
class OpenWatch
{
public:
    explicit OpenWatch(const QString &folder) : m_fd(inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
    {
        if (m_fd >= 0)
            inotify_add_watch(m_fd, QFile::encodeName(folder).constData(), IN_OPEN);
    }
    ~OpenWatch()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    OpenWatch(const OpenWatch &) = delete;
    OpenWatch &operator=(const OpenWatch &) = delete;

    bool valid() const { return m_fd >= 0; }

    // Names opened since the last call ("" for the folder itself).
    QStringList opened()
    {
        QStringList names;
        alignas(inotify_event) char buffer[4096];
        ssize_t got;
        while ((got = ::read(m_fd, buffer, sizeof buffer)) > 0) {
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
