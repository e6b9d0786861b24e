#include "helperprocess.h"

#include "confinement.h"
#include "decodewire.h"

#include <QFile>
#include <QThread>
#include <QVector>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <sys/mman.h>
#include <unistd.h>

namespace HelperProcess {

namespace {

std::atomic<int> count{0};

// Helpers kept at most, idle or busy: every start costs a Qt start-up, and
// more would only take turns on the same cores. A request waits for one of
// them to be free (as long as a request may take at most).
constexpr int kMostHelpers = 2;

// Idle helpers, kept for the next request; all of them end with the program.
class Idle
{
public:
    ~Idle()
    {
        for (Helper &helper : m_helpers)
            end(helper);
    }
    // False when none is idle and another may be started.
    bool take(Helper *helper, quint64 book)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(DecodeWire::kWallMilliseconds);
        while (m_helpers.isEmpty() && count >= kMostHelpers) {
            if (m_free.wait_until(lock, until) == std::cv_status::timeout)
                break;
        }
        if (m_helpers.isEmpty())
            return false;
        int chosen = m_helpers.size() - 1;
        for (int i = 0; book != 0 && i < m_helpers.size(); ++i) {
            if (m_helpers.at(i).book == book)
                chosen = i;
        }
        *helper = m_helpers.takeAt(chosen);
        return true;
    }
    // One has ended: a waiting request may start another.
    void ended()
    {
        { const std::lock_guard<std::mutex> lock(m_mutex); }
        m_free.notify_one();
    }
    void clear()
    {
        QVector<Helper> helpers;
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            helpers.swap(m_helpers);
        }
        for (Helper &helper : helpers)
            end(helper);
    }
    // False when enough are idle already.
    bool give(const Helper &helper)
    {
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            if (m_helpers.size() >= kMostHelpers)
                return false;
            m_helpers.append(helper);
        }
        m_free.notify_one();
        return true;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_free;
    QVector<Helper> m_helpers;
};

Idle &idle()
{
    static Idle helpers;
    return helpers;
}

} // namespace

void setPath(const QString &path)
{
    Confinement::useHelperForTests(QFile::encodeName(path));
    // The next request goes to the helper named.
    idle().clear();
}

RowsMapping::RowsMapping(const uchar *rows, size_t length, dev_t device, ino_t inode)
    : rows(rows), length(length), device(device), inode(inode)
{
}

RowsMapping::~RowsMapping()
{
    munmap(const_cast<uchar *>(rows), length);
}

Helper start()
{
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        return Helper();
    Helper helper;
    helper.pid = Confinement::spawn(ends[1]);
    close(ends[1]);
    if (!helper.valid()) {
        close(ends[0]);
        return Helper();
    }
    helper.socket = ends[0];
    ++count;
    return helper;
}

void end(Helper &helper)
{
    if (!helper.valid())
        return;
    close(helper.socket);
    kill(helper.pid, SIGKILL);
    while (waitpid(helper.pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    --count;
    helper = Helper();
    idle().ended();
}

Helper take(quint64 book)
{
    Helper helper;
    return idle().take(&helper, book) ? helper : start();
}

void give(Helper helper)
{
    State now;
    // Its hard CPU limit is its life's: past this a whole request might not
    // fit under it, and the limit would end a request that kept its budget.
    const qint64 last = qint64(DecodeWire::kLifetimeCpuSeconds) * 1000 - 2 * DecodeWire::kCpuMilliseconds;
    if (!state(helper.pid, &now) || now.cpuMilliseconds > last || !idle().give(helper))
        end(helper);
}

int running()
{
    return count;
}

bool state(pid_t pid, State *state)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray line = stat.read(1024);
    // The name in parentheses may hold spaces: fields count from its end.
    const int close = line.lastIndexOf(')');
    if (close < 0)
        return false;
    const QList<QByteArray> fields = line.mid(close + 2).split(' ');
    // state is field 3; utime, stime 14 and 15; rss 24 (in pages).
    if (fields.size() < 22)
        return false;
    static const qint64 tick = sysconf(_SC_CLK_TCK);
    static const qint64 page = sysconf(_SC_PAGESIZE);
    // "t", stopped by a tracer, is a helper being traced, not one stopped.
    state->stopped = fields.at(0) == "T";
    state->cpuMilliseconds = (fields.at(11).toLongLong() + fields.at(12).toLongLong()) * 1000 / tick;
    state->residentBytes = fields.at(21).toLongLong() * page;
    return true;
}

bool killedFromOutside(Helper &helper)
{
    int status = 0;
    pid_t done = 0;
    // It closed its socket: it is ending, or means to stay and be no use.
    for (int i = 0; i < 40; ++i) {
        done = waitpid(helper.pid, &status, WNOHANG);
        if (done != 0 && !(done < 0 && errno == EINTR))
            break;
        QThread::msleep(5);
    }
    if (done != helper.pid) {
        end(helper);
        return false;
    }
    close(helper.socket);
    --count;
    helper = Helper();
    idle().ended();
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

}
