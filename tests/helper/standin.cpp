// A stand-in for the decoding helper that answers a request for pixels as
// its bytes tell it: "good", or one way of answering out of turn (sizes are
// answered plainly, 200x100). "once:" before a
// command does it only when the file named by QUILLORA_STANDIN_MARK does
// not exist yet (then creates it), and answers "good" afterwards. A request
// answered in bytes (a PDF book's) is answered as QUILLORA_STANDIN_PAYLOAD
// says: "good" (a three-page book), "crash", or one way of breaking its bytes.

#include "channel.h"
#include "decodewire.h"
#include "pdfanswers.h"

#include <QByteArray>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

using namespace DecodeWire;

namespace {

void writeAll(const void *data, size_t size)
{
    if (!Channel::writeAll(data, size))
        _exit(1);
}

void sendWith(const Answer &answer, int descriptor)
{
    if (!Channel::writeWith(&answer, sizeof answer, descriptor))
        _exit(1);
}

int memory(qint64 bytes, bool seal)
{
    const int file = memfd_create("standin", MFD_ALLOW_SEALING);
    const QByteArray rows(int(bytes), '\x7f');
    if (file < 0 || write(file, rows.constData(), size_t(rows.size())) != rows.size())
        _exit(1);
    if (seal)
        fcntl(file, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW);
    return file;
}

bool firstTime()
{
    const char *mark = getenv("QUILLORA_STANDIN_MARK");
    if (!mark)
        return true;
    const int file = open(mark, O_CREAT | O_EXCL | O_WRONLY, 0600);
    if (file < 0)
        return false;
    close(file);
    return true;
}

void servePayload(const QByteArray &command)
{
    PdfAnswers::Book book;
    book.pages = 3;
    book.title = QStringLiteral("Stand-in");
    book.pagePoints = {QSizeF(595, 842), QSizeF(595, 842), QSizeF(595, 842)};
    book.outline = {{QStringLiteral("One"), 0}, {QStringLiteral("Two"), 2}};
    QByteArray payload = PdfAnswers::write(book);
    if (command == "crash")
        raise(SIGSEGV);
    if (command == "garbage")
        payload = QByteArray(payload.size(), '\xa5');
    else if (command == "cut short")
        payload.chop(4);
    else if (command == "trailing")
        payload += "more";
    else if (command == "count past the bytes")
        // The outline's count, after the tag, pages, information and sizes: 99,999.
        payload.replace(4 + 4 + (4 + 8) + 4 + 4 + 4 + 3 * 16, 4, QByteArray("\x00\x01\x86\x9f", 4));
    Answer answer;
    answer.outcome = Outcome::Done;
    answer.pages = book.pages;
    answer.payload = command == "too long" ? kMaxPayloadBytes + 1 : payload.size();
    writeAll(&answer, sizeof answer);
    if (command == "too long")
        return;
    writeAll(payload.constData(), size_t(command == "truncated" ? payload.size() / 2 : payload.size()));
    if (command == "truncated")
        _exit(0);
}

void serve(const Request &request, QByteArray command)
{
    if (withPayload(request.kind)) {
        servePayload(qgetenv("QUILLORA_STANDIN_PAYLOAD"));
        return;
    }
    if (command.startsWith("once:"))
        command = firstTime() ? command.mid(5) : QByteArray("good");
    // The picture is always 200x100; its answer as the policy sizes it.
    const QSize natural(200, 100);
    const QSize size = answerSize(natural, request.policy);
    Answer answer;
    answer.outcome = Outcome::Done;
    answer.naturalWidth = natural.width();
    answer.naturalHeight = natural.height();
    putName(answer.format, "png");
    answer.width = size.width();
    answer.height = size.height();
    answer.imageFormat = QImage::Format_RGB32;
    answer.bytesPerLine = size.width() * 4;
    // Sizes are answered plainly: the commands are for pixels.
    if (request.policy.fit == Fit::SizeOnly) {
        answer.width = answer.height = answer.imageFormat = answer.bytesPerLine = 0;
        writeAll(&answer, sizeof answer);
        return;
    }
    if (command == "kill")
        raise(SIGKILL);
    if (command == "crash")
        raise(SIGSEGV);
    if (command == "indexed") {
        answer.imageFormat = QImage::Format_Indexed8;
        answer.bytesPerLine = (size.width() + 3) / 4 * 4;
    } else if (command == "tall") {
        answer.width = 3;
        answer.height = 5000;
        answer.bytesPerLine = 12;
    } else if (command == "stride") {
        answer.bytesPerLine += 4;
    } else if (command == "natural") {
        answer.naturalWidth = 100000;
        answer.naturalHeight = 100000;
    }
    const qint64 bytes = qint64(answer.bytesPerLine) * answer.height;
    if (command == "unsealed" || command == "short-memory" || command == "shared") {
        answer.shared = 1;
        sendWith(answer, memory(command == "short-memory" ? bytes / 2 : bytes, command != "unsealed"));
        return;
    }
    if (command == "payload")
        answer.payload = 16;
    writeAll(&answer, sizeof answer);
    const QByteArray rows(int(command == "short-rows" ? bytes / 2 : bytes), '\x7f');
    writeAll(rows.constData(), size_t(rows.size()));
    if (command == "payload")
        writeAll(rows.constData(), 16);
    if (command == "short-rows")
        _exit(0);
}

}

int main()
{
    signal(SIGPIPE, SIG_IGN);
    Request request;
    while (Channel::readAll(&request, sizeof request)) {
        QByteArray bytes(request.bytes, '\0');
        if (!Channel::readAll(bytes.data(), size_t(bytes.size())))
            return 0;
        serve(request, bytes);
    }
    return 0;
}
