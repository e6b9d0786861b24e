#pragma once

#include <csignal>
#include <sys/resource.h>

// While it lives no file of this process grows past `room` bytes: a write
// beyond fails (EFBIG) as it fails on a full disk (ENOSPC), for SQLite and
// file copies alike, without the right to mount a full file system.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t room = 0)
    {
        std::signal(SIGXFSZ, SIG_IGN);   // a failed write, not the end of the process
        if (::getrlimit(RLIMIT_FSIZE, &m_saved) != 0)
            return;
        rlimit limit = m_saved;
        limit.rlim_cur = room;
        m_set = ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    ~FileSizeLimit()
    {
        if (m_set)
            ::setrlimit(RLIMIT_FSIZE, &m_saved);
    }
    FileSizeLimit(const FileSizeLimit &) = delete;
    FileSizeLimit &operator=(const FileSizeLimit &) = delete;
    bool isSet() const { return m_set; }

private:
    rlimit m_saved{};
    bool m_set = false;
};
