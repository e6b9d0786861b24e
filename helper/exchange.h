#pragma once

#include "helperprocess.h"

#include <QDeadlineTimer>

#include <cstddef>

// One request's exchange with a helper over its socket, against the
// request's wall-clock deadline and memory budget (which sanitized helpers
// cannot set themselves), watching for a helper that was stopped.
class Exchange
{
public:
    enum class Failure {
        None,
        // Over the request's wall-clock time while it ran, or its memory.
        Budget,
        // Stopped from outside for longer than a request waits for it.
        Stopped,
        // The socket closed or failed: the helper ended, or is ending.
        Closed,
    };

    explicit Exchange(const HelperProcess::Helper &helper);

    bool send(const void *data, size_t size);
    // The same, with descriptor going along with the first byte.
    bool sendWith(const void *data, size_t size, int descriptor);
    // descriptor, when given, takes one that came with the first byte
    // (-1 when none did); the caller closes it.
    bool receive(void *data, size_t size, int *descriptor = nullptr);
    Failure failure() const { return m_failure; }

private:
    bool move(void *data, size_t size, short event, int *descriptor);
    ssize_t receiveWith(void *data, size_t size, int *descriptor);
    // False, with the failure set, when the helper must not be waited for.
    bool watch();

    HelperProcess::Helper m_helper;
    QDeadlineTimer m_deadline;
    QDeadlineTimer m_stoppedSince;
    Failure m_failure = Failure::None;
};
