// The program's drawing helper: parses and paints the drawings it is sent
// on the socket at descriptor 0, one at a time, under the budget it sets
// itself before it reads any. A drawing that needs more ends the process
// (SIGPROF past the CPU time, a failed allocation past the memory); the
// program then leaves that drawing out.

#include "boundeddrawing.h"
#include "confinement.h"

#include <QBuffer>
#include <QGuiApplication>
#include <QImageReader>
#include <QScopeGuard>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <type_traits>
#include <unistd.h>

namespace {

// All of size bytes through the socket, by read or write.
template <typename Pointer>
bool transfer(ssize_t (*io)(int, Pointer, size_t), Pointer data, size_t size)
{
    using Byte = std::conditional_t<std::is_const<std::remove_pointer_t<Pointer>>::value, const char, char>;
    Byte *at = static_cast<Byte *>(data);
    while (size > 0) {
        const ssize_t done = io(0, at, size);
        if (done <= 0)
            return false;
        at += done;
        size -= size_t(done);
    }
    return true;
}

bool readAll(void *data, size_t size)
{
    return transfer(&read, data, size);
}

bool writeAll(const void *data, size_t size)
{
    return transfer(&write, data, size);
}

// The target Request, and the descriptor of the shared memory for the rows
// when the program sent one (-1 otherwise).
bool readTarget(BoundedDrawing::Wire::Request *request, int *shared)
{
    *shared = -1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    iovec data{request, sizeof *request};
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t got = recvmsg(0, &message, MSG_CMSG_CLOEXEC);
    if (got <= 0)
        return false;
    const cmsghdr *header = CMSG_FIRSTHDR(&message);
    if (header && header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_RIGHTS
        && header->cmsg_len == CMSG_LEN(sizeof(int)))
        memcpy(shared, CMSG_DATA(header), sizeof(int));
    return readAll(reinterpret_cast<char *>(request) + got, sizeof *request - size_t(got));
}

// The shared memory mapped for rows of that size; null when there is none
// or it is not that size.
uchar *mapShared(int shared, const QSize &drawn, size_t *bytes)
{
    struct stat file{};
    *bytes = size_t(BoundedDrawing::Wire::drawnBytes(drawn));
    if (shared < 0 || drawn.isEmpty() || fstat(shared, &file) != 0 || size_t(file.st_size) != *bytes)
        return nullptr;
    // Populated at once: one call instead of a fault for every page.
    void *at = mmap(nullptr, *bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, shared, 0);
    return at == MAP_FAILED ? nullptr : static_cast<uchar *>(at);
}

void limitMemory()
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // A sanitizer reserves terabytes of address space for its shadow: an
    // address-space limit would stop it at once. The program watches this
    // process's resident size instead.
#else
    const rlimit memory{rlim_t(BoundedDrawing::kMemoryBytes), rlim_t(BoundedDrawing::kMemoryBytes)};
    setrlimit(RLIMIT_AS, &memory);
#endif
}

// Arms the CPU budget of one drawing: SIGPROF, which ends the process, once
// it has used that much more CPU time; RLIMIT_CPU, in whole seconds, backs
// it up with SIGKILL.
void armBudget(bool on)
{
    itimerval timer{};
    if (on) {
        timer.it_value.tv_sec = BoundedDrawing::kCpuMilliseconds / 1000;
        timer.it_value.tv_usec = (BoundedDrawing::kCpuMilliseconds % 1000) * 1000;
        rusage used{};
        getrusage(RUSAGE_SELF, &used);
        const rlim_t seconds = rlim_t(used.ru_utime.tv_sec + used.ru_stime.tv_sec)
            + BoundedDrawing::kCpuMilliseconds / 1000 + 2;
        const rlimit cpu{seconds, seconds};
        setrlimit(RLIMIT_CPU, &cpu);
    }
    setitimer(ITIMER_PROF, &timer, nullptr);
}

// Named, with detection off, so that only the SVG plugin is loaded: else
// Qt tries every image plugin in turn, loading each and what it needs.
void readSvgOnly(QImageReader &reader)
{
    reader.setFormat("svg");
    reader.setAutoDetectImageFormat(false);
}

// One drawing: false when the program has gone.
bool serve()
{
    using namespace BoundedDrawing::Wire;
    Request request;
    if (!readAll(&request, sizeof request) || request.bytes <= 0 || request.bytes > 64 * 1024 * 1024)
        return false;
    QByteArray bytes(request.bytes, Qt::Uninitialized);
    if (!readAll(bytes.data(), size_t(bytes.size())))
        return false;
    armBudget(true);
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    readSvgOnly(reader);
    const bool svg = reader.canRead();
    const QSize natural = svg ? reader.size() : QSize(-1, -1);
    const Size size{natural.width(), natural.height()};
    int shared = -1;
    const bool asked = writeAll(&size, sizeof size) && readTarget(&request, &shared);
    const auto closeShared = qScopeGuard([shared] {
        if (shared >= 0)
            close(shared);
    });
    if (!asked)
        return false;
    if (request.width == 0 || !svg || !natural.isValid()) {
        armBudget(false);
        return true;
    }
    if (request.width > 0 && request.height > 0)
        reader.setScaledSize(QSize(request.width, request.height));
    const QRect clip(request.clipX, request.clipY, request.clipWidth, request.clipHeight);
    if (!clip.isEmpty())
        reader.setScaledClipRect(clip);
    // Qt's reader draws straight into an image of the size it draws at.
    const QSize drawn = drawnSize(request, natural);
    size_t length = 0;
    uchar *rows = mapShared(shared, drawn, &length);
    QImage image = rows ? QImage(rows, drawn.width(), drawn.height(), int(drawnLineBytes(drawn)), kDrawnFormat) : QImage();
    if (!reader.read(&image))
        image = QImage();
    Image header{image.width(), image.height(), int(image.format()), image.bytesPerLine()};
    if (rows) {
        header.shared = !image.isNull() && image.size() == drawn && image.format() == kDrawnFormat
            && size_t(image.sizeInBytes()) == length;
        if (header.shared && image.constBits() != rows)
            memcpy(rows, image.constBits(), length);
        // Nothing of the mapping may be sent after it is gone.
        if (!header.shared && image.constBits() == rows)
            header = Image();
        if (header.shared || image.constBits() == rows)
            image = QImage();
        munmap(rows, length);
    }
    const bool sent = writeAll(&header, sizeof header)
        && (header.shared || writeAll(image.constBits(), size_t(image.sizeInBytes())));
    armBudget(false);
    return sent;
}

}

int main(int argc, char **argv)
{
    Confinement::holdNothing(argc, argv);
    // Text in drawings needs fonts, which need a platform; no window is shown.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    signal(SIGPIPE, SIG_IGN);
    limitMemory();
    // The SVG plugin and the fonts, made ready while the program lays out
    // the page that waits for the first drawing.
    QByteArray warm("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"4\" height=\"4\"><text y=\"4\">a</text></svg>");
    QBuffer buffer(&warm);
    QImageReader reader(&buffer);
    readSvgOnly(reader);
    reader.read();
    Confinement::restrict();
    while (serve()) {
    }
    return 0;
}
