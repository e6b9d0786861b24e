// The program's decoding helper: reads the pictures and drawings it is sent
// on the socket at descriptor 0, one request at a time, each under a budget
// of its own that it arms before it reads the request's bytes. A request
// that needs more ends the process (SIGPROF past its CPU time, a failed
// allocation past the memory); the program then leaves that picture out.

#include "channel.h"
#include "confinement.h"
#include "handlers.h"
#include "imagescale.h"
#include "pdfdocuments.h"

#include <QGuiApplication>
#include <QRunnable>
#include <QThreadPool>

#include <condition_variable>
#include <csignal>
#include <memory>
#include <mutex>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <unistd.h>

using namespace DecodeWire;

namespace {

void limitProcess()
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // A sanitizer reserves terabytes of address space for its shadow: an
    // address-space limit would stop it at once. The program watches this
    // process's resident size instead.
#else
    const rlimit memory{rlim_t(kMemoryBytes), rlim_t(kMemoryBytes)};
    setrlimit(RLIMIT_AS, &memory);
#endif
    // The whole life's CPU, which no later call can raise: the program
    // replaces a helper before a request could reach it. Each request's
    // own budget is its timer's.
    const rlimit cpu{rlim_t(kLifetimeCpuSeconds), rlim_t(kLifetimeCpuSeconds + 1)};
    setrlimit(RLIMIT_CPU, &cpu);
}

// Arms one request's CPU budget, counted from now: SIGPROF, which ends the
// process, once it has used that much more CPU time.
void armBudget(bool on)
{
    itimerval timer{};
    if (on) {
        timer.it_value.tv_sec = kCpuMilliseconds / 1000;
        timer.it_value.tv_usec = (kCpuMilliseconds % 1000) * 1000;
    }
    setitimer(ITIMER_PROF, &timer, nullptr);
}

Handler handlerFor(Kind kind)
{
    switch (kind) {
    case Kind::Drawing:
        return &drawDrawing;
    case Kind::Picture:
        return &readPicture;
    case Kind::PdfPage:
        return &drawPdfPage;
    case Kind::PdfBook:
    case Kind::PdfCheck:
        return &readPdfBook;
    case Kind::PdfText:
    case Kind::PdfWords:
        return &readPdfText;
    }
    return nullptr;
}

// The reply as an Answer, its rows in the shared memory when they are
// large, else on the socket.
bool answer(const Request &request, Reply reply, SharedRows &rows)
{
    Answer header;
    putName(header.format, reply.format);
    header.naturalWidth = reply.natural.width();
    header.naturalHeight = reply.natural.height();
    header.pages = reply.pages;
    header.openedMs = reply.openedMs;
    // Bytes only for a kind answered in them, within what the program reads.
    if (!withPayload(request.kind) || reply.payload.size() > kMaxPayloadBytes)
        reply.payload.clear();
    if (withPayload(request.kind) && reply.payload.isEmpty() && reply.outcome == Outcome::Done)
        reply.outcome = Outcome::Unreadable;
    header.payload = reply.payload.size();
    const bool asked = request.policy.fit != Fit::SizeOnly;
    if (asked && reply.outcome == Outcome::Done && !reply.image.isNull() && !answerFormat(reply.image.format()))
        reply.image = ImageScale::converted(reply.image, reply.image.hasAlphaChannel()
                                                             ? QImage::Format_ARGB32_Premultiplied
                                                             : QImage::Format_RGB32);
    if (asked && reply.outcome == Outcome::Done && reply.image.isNull())
        reply.outcome = Outcome::Unreadable;
    header.outcome = reply.outcome;
    if (!asked || reply.outcome != Outcome::Done)
        return Channel::writeAll(&header, sizeof header)
            && Channel::writeAll(reply.payload.constData(), size_t(reply.payload.size()));
    QImage &image = reply.image;
    header.width = image.width();
    header.height = image.height();
    header.imageFormat = int(image.format());
    header.bytesPerLine = int(rowBytes(image.width(), image.format()));
    const qint64 bytes = qint64(header.bytesPerLine) * header.height;
    if (!rows.holds(image) && bytes >= kSharedFromBytes) {
        QImage shared = rows.image(image.size(), image.format());
        if (!shared.isNull()) {
            for (int y = 0; y < image.height(); ++y)
                memcpy(shared.scanLine(y), image.constScanLine(y), size_t(header.bytesPerLine));
            image = shared;
        }
    }
    if (rows.holds(image)) {
        header.shared = 1;
        return Channel::writeWith(&header, sizeof header, rows.descriptor());
    }
    if (!Channel::writeAll(&header, sizeof header))
        return false;
    for (int y = 0; y < image.height(); ++y) {
        if (!Channel::writeAll(image.constScanLine(y), size_t(header.bytesPerLine)))
            return false;
    }
    return true;
}

// The GUI application, which only drawings need (their text needs fonts,
// fonts a platform): most of a start's CPU time, so a helper that reads
// only pictures never makes it. The main thread makes it when asked.
enum class Gui { None, Wanted, Made, Served };
std::mutex guiMutex;
std::condition_variable guiChanged;
Gui gui = Gui::None;

void setGui(Gui stage)
{
    {
        const std::lock_guard<std::mutex> lock(guiMutex);
        gui = stage;
    }
    guiChanged.notify_all();
}

void needGui()
{
    std::unique_lock<std::mutex> lock(guiMutex);
    if (gui == Gui::Made)
        return;
    gui = Gui::Wanted;
    guiChanged.notify_all();
    guiChanged.wait(lock, [] { return gui == Gui::Made; });
}

// Makes the application when the serve loop asks, until the loop ends.
std::unique_ptr<QGuiApplication> madeWhenWanted(int &argc, char **argv)
{
    std::unique_lock<std::mutex> lock(guiMutex);
    guiChanged.wait(lock, [] { return gui == Gui::Wanted || gui == Gui::Served; });
    if (gui == Gui::Served)
        return nullptr;
    lock.unlock();
    std::unique_ptr<QGuiApplication> app(new QGuiApplication(argc, argv));
    setGui(Gui::Made);
    return app;
}

// One request: false when the program has gone or is out of step.
bool serve()
{
    Request request;
    int descriptor = -1;
    const bool read = Channel::readWith(&request, sizeof request, &descriptor);
    // Only a PDF request comes with a file, and with no bytes.
    const bool pdf = withBook(request.kind);
    if (pdf)
        PdfDocuments::offer(request.pdf.book, descriptor);
    else if (descriptor >= 0)
        close(descriptor);
    if (!read || request.bytes < (pdf ? 0 : 1) || request.bytes > kMaxRequestBytes)
        return false;
    const Handler handler = handlerFor(request.kind);
    if (!handler)
        return false;
    QByteArray bytes(request.bytes, Qt::Uninitialized);
    if (!Channel::readAll(bytes.data(), size_t(bytes.size())))
        return false;
    if (request.kind == Kind::Drawing)
        needGui();
    armBudget(true);
    // One memory for the answers of this helper's life.
    static SharedRows rows;
    const bool sent = answer(request, handler(request, bytes, rows), rows);
    rows.trim();
    armBudget(false);
    return sent;
}

}

int main(int argc, char **argv)
{
    Confinement::holdNothing(argc, argv);
    // No window is shown: the minimal platform with fonts loads least.
    qputenv("QT_QPA_PLATFORM", "minimal:enable_fonts");
    signal(SIGPIPE, SIG_IGN);
    // One heap for every thread: each further arena reserves 64 MiB of the
    // address space the budget allows.
    mallopt(M_ARENA_MAX, 1);
    limitProcess();
    Confinement::restrict();
    // Requests are served on the only thread of Qt's pool, where Qt's own
    // image work stays on the calling thread: no thread is started under
    // the memory limit, none waited for.
    QThreadPool::globalInstance()->setMaxThreadCount(1);
    QThreadPool::globalInstance()->start(QRunnable::create([] {
        while (serve()) {
        }
        setGui(Gui::Served);
    }));
    const std::unique_ptr<QGuiApplication> app = madeWhenWanted(argc, argv);
    QThreadPool::globalInstance()->waitForDone();
    return 0;
}
