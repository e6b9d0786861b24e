#pragma once

#include <QByteArray>

#include <sys/types.h>

// What the helper that decodes a book's bytes holds and may reach. A
// hostile book may take the helper over; then it must find no file of the
// user's open, no folder to read beyond what its libraries and fonts need,
// nothing to write and no network, and it must not outlive the program.
namespace Confinement {

// The helper's name, beside the program.
constexpr char kHelperName[] = "harbour-quillora-decode";

// ---- In the program ----

// The helper beside the program, or the one useHelperForTests named; empty
// when there is none.
QByteArray helperPath();
// Tests and benchmarks, which run from other folders, name theirs through
// DecodeService::setHelperPath, which comes here.
void useHelperForTests(const QByteArray &path);

// Starts the helper with socket as its descriptor 0, standard output and
// error as the program's standard error, and no other descriptor. The
// helper is told the program's pid so that it dies with it. -1 when it
// cannot be started, said once in the log for the whole session.
pid_t spawn(int socket);

// ---- In the helper ----

// First thing in main: dies with the program (even when stopped), and
// closes every descriptor inherited but 0 (the socket) and standard error.
// Ends the process when the program is gone already.
void holdNothing(int argc, char **argv);

enum class Restriction {
    // The kernel has no Landlock (or it is disabled): the helper runs as before.
    Unavailable,
    Applied,
    Failed,
};

// Once the helper's libraries, plugins and fonts are loaded, before the
// first request: no new privileges, and through Landlock read-only access
// beneath the folders of libraries, plugins, fonts and their caches and
// poppler's data, nothing written, no TCP, no signals or abstract sockets
// out of the helper, as far as the kernel's ABI knows these.
Restriction restrict();
// The Landlock ABI the kernel offers; 0 without it.
int landlockAbi();

}
