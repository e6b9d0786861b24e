#include "boundeddrawing.h"

#include "confinement.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QVector>
#include <QtDebug>

#include <atomic>
#include <limits>
#include <mutex>
#include <utility>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace BoundedDrawing {

namespace {

struct Helper {
    pid_t pid = -1;
    int socket = -1;
};

// Helpers running, idle or busy.
std::atomic<int> running{0};

Helper spawn()
{
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        return Helper();
    Helper helper;
    helper.pid = Confinement::spawn(ends[1]);
    close(ends[1]);
    if (helper.pid < 0) {
        close(ends[0]);
        return Helper();
    }
    helper.socket = ends[0];
    ++running;
    return helper;
}

void end(Helper &helper)
{
    close(helper.socket);
    kill(helper.pid, SIGKILL);
    while (waitpid(helper.pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    --running;
    helper = Helper();
}

// Idle helpers, kept for the next drawing; all of them end with the program.
class Idle
{
public:
    ~Idle()
    {
        for (Helper &helper : m_helpers)
            end(helper);
    }
    Helper take()
    {
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            if (!m_helpers.isEmpty())
                return m_helpers.takeLast();
        }
        return spawn();
    }
    void give(Helper helper)
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        // More are never busy at once than the threads that decode pictures.
        if (m_helpers.size() < 4)
            m_helpers.append(helper);
        else
            end(helper);
    }

private:
    std::mutex m_mutex;
    QVector<Helper> m_helpers;
};

Idle &idle()
{
    static Idle helpers;
    return helpers;
}

// Drawings that went over the budget, so that turning back to their page
// does not spend it again.
class Refused
{
public:
    bool contains(const QByteArray &key)
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        return m_keys.contains(key);
    }
    void insert(const QByteArray &key)
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (m_keys.size() >= 256)
            m_keys.clear();
        m_keys.insert(key);
    }

private:
    std::mutex m_mutex;
    QSet<QByteArray> m_keys;
};

Refused &refused()
{
    static Refused keys;
    return keys;
}

qint64 residentBytes(pid_t pid)
{
    QFile statm(QStringLiteral("/proc/%1/statm").arg(pid));
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields.at(1).toLongLong() * sysconf(_SC_PAGESIZE) : 0;
}

// Memory the helper draws the rows into and the program then maps: no copy
// through the socket and no second fresh buffer, whose every page costs a
// fault. Sealed at its size before the helper sees it, so that the helper
// cannot shrink it under the program's mapping.
class SharedRows
{
public:
    explicit SharedRows(const QSize &drawn) : m_drawn(drawn)
    {
        const qint64 bytes = Wire::drawnBytes(drawn);
        if (drawn.isEmpty() || bytes > std::numeric_limits<int>::max())
            return;
        m_bytes = size_t(bytes);
        m_file = memfd_create("quillora-drawing", MFD_CLOEXEC | MFD_ALLOW_SEALING);
        if (m_file >= 0
            && (ftruncate(m_file, off_t(m_bytes)) != 0
                || fcntl(m_file, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0)) {
            close(m_file);
            m_file = -1;
        }
    }
    ~SharedRows()
    {
        if (m_file >= 0)
            close(m_file);
    }
    SharedRows(const SharedRows &) = delete;
    SharedRows &operator=(const SharedRows &) = delete;

    int descriptor() const { return m_file; }
    // The rows the header says were drawn here; null when they do not match.
    QImage image(const Wire::Image &header) const
    {
        if (m_file < 0 || header.width != m_drawn.width() || header.height != m_drawn.height()
            || header.format != Wire::kDrawnFormat || size_t(header.bytesPerLine) * size_t(header.height) != m_bytes)
            return QImage();
        void *rows = mmap(nullptr, m_bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, m_file, 0);
        if (rows == MAP_FAILED)
            return QImage();
        const auto unmap = [](void *mapping) {
            const auto *at = static_cast<std::pair<void *, size_t> *>(mapping);
            munmap(at->first, at->second);
            delete at;
        };
        return QImage(static_cast<uchar *>(rows), header.width, header.height, header.bytesPerLine,
                      Wire::kDrawnFormat, unmap, new std::pair<void *, size_t>(rows, m_bytes));
    }

private:
    QSize m_drawn;
    size_t m_bytes = 0;
    int m_file = -1;
};

// One drawing's exchange with a helper, against the wall-clock deadline and
// the memory budget (which sanitized helpers cannot set themselves).
class Exchange
{
public:
    Exchange(Helper helper, const QByteArray &key) : m_helper(helper), m_key(key), m_deadline(kWallMilliseconds) {}
    ~Exchange()
    {
        if (m_helper.pid < 0)
            return;
        if (m_ok) {
            idle().give(m_helper);
        } else {
            qWarning().noquote() << "[BoundedDrawing] 拒绝 SVG 图片: 超出绘制预算";
            refused().insert(m_key);
            end(m_helper);
        }
    }
    // The helper is out of step: it is ended, not kept.
    void abandon() { m_ok = false; }
    bool send(const void *data, size_t size, int descriptor = -1)
    {
        return move(const_cast<void *>(data), size, POLLOUT, descriptor);
    }
    bool receive(void *data, size_t size) { return move(data, size, POLLIN); }

private:
    // descriptor, when not -1, goes with the first byte sent.
    bool move(void *data, size_t size, short event, int descriptor = -1)
    {
        char *at = static_cast<char *>(data);
        while (m_ok && size > 0) {
            pollfd wait{m_helper.socket, event, 0};
            const int ready = poll(&wait, 1, int(qMin<qint64>(m_deadline.remainingTime(), 50)));
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready == 0) {
                m_ok = !m_deadline.hasExpired() && residentBytes(m_helper.pid) <= kMemoryBytes;
                continue;
            }
            const ssize_t done = event == POLLIN ? recv(m_helper.socket, at, size, MSG_DONTWAIT)
                                                 : sendWith(at, size, descriptor);
            if (done > 0)
                descriptor = -1;
            if (done < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
            m_ok = ready > 0 && done > 0;
            at += qMax<ssize_t>(done, 0);
            size -= size_t(qMax<ssize_t>(done, 0));
        }
        return m_ok;
    }

    ssize_t sendWith(void *data, size_t size, int descriptor)
    {
        iovec part{data, size};
        msghdr message{};
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
        if (descriptor >= 0) {
            message.msg_control = control;
            message.msg_controllen = sizeof control;
            cmsghdr *header = CMSG_FIRSTHDR(&message);
            header->cmsg_level = SOL_SOCKET;
            header->cmsg_type = SCM_RIGHTS;
            header->cmsg_len = CMSG_LEN(sizeof(int));
            memcpy(CMSG_DATA(header), &descriptor, sizeof(int));
        }
        return sendmsg(m_helper.socket, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    }

    Helper m_helper;
    const QByteArray m_key;
    QDeadlineTimer m_deadline;
    bool m_ok = true;
};

} // namespace

QImage draw(const QByteArray &drawing, const Choose &choose, QSize *natural)
{
    if (natural)
        *natural = QSize(-1, -1);
    const QByteArray key = QCryptographicHash::hash(drawing, QCryptographicHash::Md5);
    if (drawing.isEmpty() || refused().contains(key))
        return QImage();
    const Helper helper = idle().take();
    if (helper.pid < 0)
        return QImage();
    Exchange exchange(helper, key);
    Wire::Request request;
    request.bytes = drawing.size();
    Wire::Size size;
    if (!exchange.send(&request, sizeof request) || !exchange.send(drawing.constData(), size_t(drawing.size()))
        || !exchange.receive(&size, sizeof size))
        return QImage();
    const QSize found(size.width, size.height);
    const Target target = found.isValid() ? choose(found) : Target{QSize(), QRect(), false};
    request = Wire::Request();
    request.width = target.draw ? target.size.width() : 0;
    request.height = target.size.height();
    request.clipX = target.clip.x();
    request.clipY = target.clip.y();
    request.clipWidth = target.clip.width();
    request.clipHeight = target.clip.height();
    const bool drawn = target.draw && found.isValid();
    const SharedRows rows(drawn ? Wire::drawnSize(request, found) : QSize());
    if (!exchange.send(&request, sizeof request, rows.descriptor()))
        return QImage();
    if (natural)
        *natural = found;
    if (!drawn)
        return QImage();
    Wire::Image header;
    if (!exchange.receive(&header, sizeof header) || header.width <= 0 || header.height <= 0)
        return QImage();
    if (header.shared) {
        const QImage image = rows.image(header);
        if (image.isNull())
            exchange.abandon();
        return image;
    }
    const bool known = header.format > QImage::Format_Invalid && header.format < QImage::NImageFormats;
    QImage image(header.width, header.height, known ? QImage::Format(header.format) : QImage::Format_Invalid);
    if (image.isNull() || image.bytesPerLine() != header.bytesPerLine) {
        exchange.abandon();
        return QImage();
    }
    return exchange.receive(image.bits(), size_t(image.sizeInBytes())) ? image : QImage();
}

void prepare()
{
    if (running == 0) {
        const Helper helper = spawn();
        if (helper.pid >= 0)
            idle().give(helper);
    }
}

}
