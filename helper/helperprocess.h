#pragma once

#include <QString>
#include <QtGlobal>

#include <memory>
#include <sys/types.h>

// The helper processes: started, watched, kept idle for the next request and
// ended. Re-entrant; no lock is held while a request runs.
namespace HelperProcess {

// The memory a helper answers its rows in, mapped read-only for as long as
// it keeps it: a page's rows are copied out of it, not mapped anew.
struct RowsMapping {
    RowsMapping(const uchar *rows, size_t length, dev_t device, ino_t inode);
    ~RowsMapping();
    RowsMapping(const RowsMapping &) = delete;
    RowsMapping &operator=(const RowsMapping &) = delete;

    const uchar *const rows;
    const size_t length;
    const dev_t device;
    const ino_t inode;
};

struct Helper {
    pid_t pid = -1;
    int socket = -1;
    // The book whose PDF document it opened last (0: none).
    quint64 book = 0;
    std::shared_ptr<const RowsMapping> rows;
    bool valid() const { return pid > 0; }
};

// A new helper; invalid when it could not be started.
Helper start();
// Kills and reaps it.
void end(Helper &helper);

// An idle helper, the one that holds book open when there is one, else a
// new one.
Helper take(quint64 book = 0);
// Back for the next request, unless it has spent so much of its life's CPU
// that a whole request might no longer fit, or enough are idle.
void give(Helper helper);
// Helpers running, idle or busy.
int running();

// What /proc tells of a helper.
struct State {
    bool stopped = false;
    qint64 residentBytes = 0;
    qint64 cpuMilliseconds = 0;
};
bool state(pid_t pid, State *state);

// How a helper that closed its socket ended, reaped; one that has not
// ended is killed. True when it was killed from outside (SIGKILL), not by
// anything the request made it do.
bool killedFromOutside(Helper &helper);

// Idle helpers are ended: the next request starts the one named.
void setPath(const QString &path);

}
