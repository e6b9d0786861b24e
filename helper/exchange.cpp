#include "exchange.h"

#include "decodewire.h"
#include "descriptormessage.h"

#include <QtGlobal>

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// How long a stopped helper is waited for before its request goes to
// another one.
constexpr int kStoppedMilliseconds = 1000;

}

Exchange::Exchange(const HelperProcess::Helper &helper)
    : m_helper(helper), m_deadline(DecodeWire::kWallMilliseconds), m_stoppedSince(QDeadlineTimer::Forever)
{
}

bool Exchange::send(const void *data, size_t size)
{
    return move(const_cast<void *>(data), size, POLLOUT, nullptr);
}

bool Exchange::sendWith(const void *data, size_t size, int descriptor)
{
    DescriptorMessage sent(data, size);
    sent.attach(descriptor);
    msghdr &message = sent.message;
    // A fresh socket holds a whole header: the first part goes at once or fails.
    ssize_t done = -1;
    do {
        done = sendmsg(m_helper.socket, &message, MSG_NOSIGNAL);
    } while (done < 0 && errno == EINTR);
    if (done <= 0) {
        m_failure = Failure::Closed;
        return false;
    }
    return send(static_cast<const char *>(data) + done, size - size_t(done));
}

bool Exchange::receive(void *data, size_t size, int *descriptor)
{
    if (descriptor)
        *descriptor = -1;
    return move(data, size, POLLIN, descriptor);
}

bool Exchange::watch()
{
    HelperProcess::State now;
    if (m_deadline.hasExpired()) {
        m_failure = HelperProcess::state(m_helper.pid, &now) && now.stopped ? Failure::Stopped : Failure::Budget;
        return false;
    }
    if (!HelperProcess::state(m_helper.pid, &now))
        return true;
    if (now.residentBytes > DecodeWire::kResidentBytes) {
        m_failure = Failure::Budget;
        return false;
    }
    if (!now.stopped) {
        m_stoppedSince = QDeadlineTimer(QDeadlineTimer::Forever);
    } else if (m_stoppedSince.isForever()) {
        m_stoppedSince = QDeadlineTimer(kStoppedMilliseconds);
    } else if (m_stoppedSince.hasExpired()) {
        m_failure = Failure::Stopped;
        return false;
    }
    return true;
}

bool Exchange::move(void *data, size_t size, short event, int *descriptor)
{
    char *at = static_cast<char *>(data);
    while (m_failure == Failure::None && size > 0) {
        pollfd wait{m_helper.socket, event, 0};
        const int ready = poll(&wait, 1, int(qBound<qint64>(0, m_deadline.remainingTime(), 50)));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready == 0) {
            watch();
            continue;
        }
        ssize_t done = -1;
        if (ready > 0) {
            done = event == POLLIN ? receiveWith(at, size, descriptor)
                                   : ::send(m_helper.socket, at, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        }
        if (done < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (done <= 0) {
            m_failure = Failure::Closed;
            break;
        }
        // Only the first part read may bring a descriptor.
        descriptor = nullptr;
        at += done;
        size -= size_t(done);
    }
    return m_failure == Failure::None;
}

ssize_t Exchange::receiveWith(void *data, size_t size, int *descriptor)
{
    if (!descriptor)
        return recv(m_helper.socket, data, size, MSG_DONTWAIT);
    DescriptorMessage received(data, size);
    msghdr &message = received.message;
    const ssize_t done = recvmsg(m_helper.socket, &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    if (done <= 0)
        return done;
    for (cmsghdr *header = CMSG_FIRSTHDR(&message); header; header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_RIGHTS
            && header->cmsg_len == CMSG_LEN(sizeof(int))) {
            int received = -1;
            memcpy(&received, CMSG_DATA(header), sizeof(int));
            if (*descriptor < 0)
                *descriptor = received;
            else
                close(received);
        }
    }
    return done;
}
