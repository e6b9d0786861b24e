#include "channel.h"

#include "descriptormessage.h"

#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace Channel {

bool readAll(void *data, size_t size)
{
    char *at = static_cast<char *>(data);
    while (size > 0) {
        const ssize_t done = read(0, at, size);
        if (done <= 0)
            return false;
        at += done;
        size -= size_t(done);
    }
    return true;
}

bool readWith(void *data, size_t size, int *descriptor)
{
    *descriptor = -1;
    DescriptorMessage received(data, size);
    msghdr &message = received.message;
    const ssize_t done = recvmsg(0, &message, MSG_CMSG_CLOEXEC);
    if (done <= 0)
        return false;
    for (cmsghdr *header = CMSG_FIRSTHDR(&message); header; header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS
            || header->cmsg_len != CMSG_LEN(sizeof(int)))
            continue;
        int fd = -1;
        memcpy(&fd, CMSG_DATA(header), sizeof(int));
        if (*descriptor < 0)
            *descriptor = fd;
        else
            close(fd);
    }
    return readAll(static_cast<char *>(data) + done, size - size_t(done));
}

bool writeAll(const void *data, size_t size)
{
    const char *at = static_cast<const char *>(data);
    while (size > 0) {
        const ssize_t done = send(0, at, size, MSG_NOSIGNAL);
        if (done <= 0)
            return false;
        at += done;
        size -= size_t(done);
    }
    return true;
}

bool writeWith(const void *data, size_t size, int descriptor)
{
    DescriptorMessage sent(data, size);
    sent.attach(descriptor);
    msghdr &message = sent.message;
    const ssize_t done = sendmsg(0, &message, MSG_NOSIGNAL);
    return done > 0 && writeAll(static_cast<const char *>(data) + done, size - size_t(done));
}

}
