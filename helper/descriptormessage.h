#pragma once

#include <cstddef>
#include <cstring>
#include <sys/socket.h>

// A socket message of some bytes with room for one descriptor beside
// them, as both sides of the helper's socket send and receive rows' memory.
struct DescriptorMessage {
    DescriptorMessage(const void *data, size_t size) : part{const_cast<void *>(data), size}
    {
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
    }
    DescriptorMessage(const DescriptorMessage &) = delete;
    // descriptor goes with the bytes.
    void attach(int descriptor)
    {
        cmsghdr *header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(sizeof(int));
        memcpy(CMSG_DATA(header), &descriptor, sizeof(int));
    }
    DescriptorMessage &operator=(const DescriptorMessage &) = delete;

    iovec part;
    msghdr message{};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
};
