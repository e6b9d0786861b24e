#include "decodeservice.h"

#include "exchange.h"
#include "helperprocess.h"

#include <QCryptographicHash>
#include <QFile>
#include <QImageReader>
#include <QSet>
#include <QtDebug>

#include <limits>
#include <mutex>
#include <utility>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace DecodeService {

namespace {

using namespace DecodeWire;

// Requests that went over their budget, by bytes and size policy, so that
// turning back to their page does not spend it again; the same bytes at
// another size are tried.
class Refused
{
public:
    bool contains(const QByteArray &key)
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        return m_keys.contains(key);
    }
    // Most sessions refuse nothing: then no request's bytes need hashing.
    bool empty()
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        return m_keys.isEmpty();
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

QByteArray requestKey(const Request &request, const QByteArray &bytes)
{
    QCryptographicHash hash(QCryptographicHash::Md5);
    const Policy &p = request.policy;
    const qint64 fields[] = {qint64(request.kind), qint64(p.fit), p.maxPixels, p.box.width(), p.box.height(),
                             p.enlarge, p.stripWidth, p.drawn.width(), p.drawn.height(), p.visible.x(),
                             p.visible.y(), p.visible.width(), p.visible.height()};
    hash.addData(reinterpret_cast<const char *>(fields), sizeof fields);
    hash.addData(request.format, sizeof request.format);
    const PdfPart &pdf = request.pdf;
    const qint64 page[] = {pdf.page, pdf.whole.width(), pdf.whole.height(), pdf.part.x(), pdf.part.y(),
                           pdf.part.width(), pdf.part.height(), pdf.dpi, pdf.longestSide, qint64(pdf.book), pdf.checked};
    hash.addData(reinterpret_cast<const char *>(page), sizeof page);
    hash.addData(bytes);
    return hash.result();
}

// An image of the answer's size and format: reuse when it is one and no
// other image shares it, else a new one.
QImage answerImage(const Answer &answer, QImage &reuse)
{
    const QImage::Format format = QImage::Format(answer.imageFormat);
    QImage image;
    if (reuse.width() == answer.width && reuse.height() == answer.height && reuse.format() == format
        && reuse.bytesPerLine() == answer.bytesPerLine && reuse.isDetached())
        image = std::move(reuse);
    if (image.isNull())
        image = QImage(answer.width, answer.height, format);
    if (image.bytesPerLine() != answer.bytesPerLine)
        return QImage();
    return image;
}

// The rows copied from the start of the helper's memory, which it keeps
// for its next answers (so no image of ours may stand on it), mapped once
// for as long as the helper keeps it. Null when the memory is not a sealed
// file that holds them.
QImage readRows(int descriptor, const Answer &answer, QImage &reuse,
                std::shared_ptr<const HelperProcess::RowsMapping> &mapping)
{
    struct stat file {};
    const qint64 bytes = qint64(answer.bytesPerLine) * answer.height;
    const int seals = fcntl(descriptor, F_GET_SEALS);
    if (fstat(descriptor, &file) != 0 || !S_ISREG(file.st_mode) || file.st_size < bytes || seals < 0
        || !(seals & F_SEAL_SHRINK))
        return QImage();
    // Sealed against shrinking: every byte mapped stays there.
    if (!mapping || mapping->device != file.st_dev || mapping->inode != file.st_ino
        || qint64(mapping->length) < bytes) {
        mapping.reset();
        void *at = mmap(nullptr, size_t(file.st_size), PROT_READ, MAP_SHARED | MAP_POPULATE, descriptor, 0);
        if (at == MAP_FAILED)
            return QImage();
        mapping = std::make_shared<const HelperProcess::RowsMapping>(static_cast<const uchar *>(at),
                                                                     size_t(file.st_size), file.st_dev,
                                                                     file.st_ino);
    }
    QImage image = answerImage(answer, reuse);
    if (!image.isNull())
        memcpy(image.bits(), mapping->rows, size_t(bytes));
    return image;
}

// The helper's pixels, when its header is exactly what the request allows.
bool acceptable(const Request &request, const Answer &answer, const QSize &natural)
{
    if (answer.pages < 0 || (!withBook(request.kind) && (answer.pages != 0 || answer.openedMs != -1)))
        return false;
    // Bytes come only of a kind answered in them, once done, and never with pixels.
    if (answer.payload < 0 || answer.payload > kMaxPayloadBytes
        || (answer.payload > 0 && (!withPayload(request.kind) || answer.outcome != Outcome::Done)))
        return false;
    if (withPayload(request.kind))
        return answer.width == 0 && answer.height == 0 && !answer.shared
            && (answer.outcome != Outcome::Done || answer.payload > 0);
    if (answer.outcome != Outcome::Done)
        return answer.width == 0 && answer.height == 0 && !answer.shared;
    const bool pixels = answer.width != 0 || answer.height != 0 || answer.shared;
    if (request.policy.fit == Fit::SizeOnly)
        return !pixels;
    const QSize size(answer.width, answer.height);
    const QImage::Format format = QImage::Format(answer.imageFormat);
    if (request.kind == Kind::PdfPage) {
        // Poppler's rounding may leave a pixel less than the bound, never more.
        const PdfPart &pdf = request.pdf;
        const QSize bound = pdfAnswerBound(pdf, natural);
        return pixels && withinBudget(bound, request.policy.maxPixels) && size.width() > 0 && size.height() > 0
            && size.width() <= bound.width() && size.height() <= bound.height()
            && (pdf.whole.isEmpty() || natural == pdf.whole) && answerFormat(format)
            && answer.bytesPerLine == rowBytes(answer.width, format);
    }
    // A raster's reader allocates its natural size; a drawing is drawn at the size asked.
    const QSize counted = request.kind == Kind::Drawing ? target(natural, request.policy) : natural;
    return pixels && natural.width() > 0 && natural.height() > 0 && withinBudget(counted, request.policy.maxPixels)
        && size == answerSize(natural, request.policy) && !size.isEmpty()
        && (request.kind == Kind::Drawing ? format == kDrawnFormat : answerFormat(format))
        && answer.bytesPerLine == rowBytes(answer.width, format)
        && qint64(answer.bytesPerLine) * answer.height <= std::numeric_limits<int>::max();
}

enum class Turn {
    // The result stands.
    Answered,
    // The helper failed for a cause of its own: another may do it.
    Again,
};

// One request on one helper; the helper is kept for the next when all was
// in order, else ended.
Turn ask(HelperProcess::Helper helper, const Request &request, const QByteArray &bytes, QImage &reuse,
         Result *result, int file = -1)
{
    Exchange exchange(helper);
    Answer answer;
    int descriptor = -1;
    const bool sent = file >= 0 ? exchange.sendWith(&request, sizeof request, file)
                                : exchange.send(&request, sizeof request);
    bool ok = sent && exchange.send(bytes.constData(), size_t(bytes.size()))
        && exchange.receive(&answer, sizeof answer, &descriptor);
    const QSize natural(answer.naturalWidth, answer.naturalHeight);
    bool inOrder = ok && acceptable(request, answer, natural) && (descriptor >= 0) == bool(answer.shared);
    QByteArray payload;
    if (inOrder && answer.payload > 0) {
        payload = QByteArray(answer.payload, Qt::Uninitialized);
        ok = exchange.receive(payload.data(), size_t(payload.size()));
    }
    QImage image;
    if (inOrder && answer.outcome == Outcome::Done && request.policy.fit != Fit::SizeOnly) {
        if (answer.shared) {
            image = readRows(descriptor, answer, reuse, helper.rows);
        } else {
            image = answerImage(answer, reuse);
            ok = !image.isNull() && exchange.receive(image.bits(), size_t(image.sizeInBytes()));
            if (!ok)
                image = QImage();
        }
        inOrder = !image.isNull();
    }
    if (descriptor >= 0)
        close(descriptor);
    if (ok && inOrder) {
        if (withBook(request.kind))
            helper.book = request.pdf.book;
        HelperProcess::give(helper);
        result->pages = answer.pages;
        result->openedMs = answer.openedMs;
        result->natural = natural;
        result->format = takeName(answer.format);
        result->image = image;
        result->payload = payload;
        result->status = answer.outcome == Outcome::Done ? Status::Done
            : answer.outcome == Outcome::SizeRefused      ? Status::SizeRefused
                                                          : Status::Unreadable;
        return Turn::Answered;
    }
    const Exchange::Failure failure = exchange.failure();
    bool again = failure == Exchange::Failure::Stopped;
    if (failure == Exchange::Failure::Closed)
        again = HelperProcess::killedFromOutside(helper);
    else
        HelperProcess::end(helper);
    if (again) {
        qWarning().noquote() << "[DecodeService] 解码进程意外结束，换一个重试";
        return Turn::Again;
    }
    result->status = Status::Refused;
    if (ok)
        qWarning().noquote() << "[DecodeService] 解码进程的回答不合规，已结束它";
    else
        qWarning().noquote() << "[DecodeService] 拒绝图片: 超出解码预算或令解码进程崩溃";
    return Turn::Answered;
}


// The request on a helper (the one holding its book when it has one),
// again on a fresh one when the first failed for a cause of its own.
Result run(Request &request, const QByteArray &bytes, QImage &reuse, int file)
{
    Result result;
    if (!refused().empty() && refused().contains(requestKey(request, bytes))) {
        result.status = Status::Refused;
        return result;
    }
    for (int attempt = 0; attempt < 2; ++attempt) {
        const HelperProcess::Helper helper = attempt == 0 ? HelperProcess::take(request.pdf.book)
                                                          : HelperProcess::start();
        if (!helper.valid())
            break;
        if (ask(helper, request, bytes, reuse, &result, file) == Turn::Answered) {
            if (result.status == Status::Refused)
                refused().insert(requestKey(request, bytes));
            return result;
        }
    }
    result = Result();
    result.status = Status::Unavailable;
    return result;
}

// A request with no stray bytes of this process in its padding.
Request blankRequest(Kind kind, const Policy &policy)
{
    Request request;
    memset(static_cast<void *>(&request), 0, sizeof request);
    request.kind = kind;
    request.policy = policy;
    request.pdf = PdfPart();
    return request;
}

// The book as it is now, never 0: its document may be kept open under it.
quint64 bookIdentity(const struct stat &file)
{
    const qint64 parts[] = {qint64(file.st_dev), qint64(file.st_ino), qint64(file.st_size),
                            qint64(file.st_mtim.tv_sec), qint64(file.st_mtim.tv_nsec),
                            qint64(file.st_ctim.tv_sec), qint64(file.st_ctim.tv_nsec)};
    const QByteArray hash = QCryptographicHash::hash(
        QByteArray::fromRawData(reinterpret_cast<const char *>(parts), sizeof parts), QCryptographicHash::Md5);
    quint64 identity = 0;
    memcpy(&identity, hash.constData(), sizeof identity);
    return identity ? identity : 1;
}

// A request about the book at path, sent with its open file; Unreadable
// when it is no plain file.
Result runOnBook(const QString &path, Request &request)
{
    Result result;
    result.status = Status::Unreadable;
    // Not blocking on a FIFO put in the book's place; only a plain file is sent.
    const int file = open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    struct stat info {};
    if (file < 0 || fstat(file, &info) != 0 || !S_ISREG(info.st_mode) || request.pdf.page < 0) {
        if (file >= 0)
            close(file);
        return result;
    }
    request.pdf.book = bookIdentity(info);
    QImage none;
    result = run(request, QByteArray(), none, file);
    close(file);
    return result;
}

} // namespace

Result drawPdfPage(const QString &path, const PdfPart &pdf, const Policy &policy)
{
    Request request = blankRequest(Kind::PdfPage, policy);
    request.pdf = pdf;
    return runOnBook(path, request);
}

Result readPdf(Kind kind, const QString &path, const PdfPart &pdf)
{
    if (!withPayload(kind)) {
        Result result;
        result.status = Status::Unreadable;
        return result;
    }
    Policy policy;
    policy.fit = Fit::SizeOnly;
    Request request = blankRequest(kind, policy);
    request.pdf.page = kind == Kind::PdfBook ? 0 : pdf.page;
    request.pdf.checked = pdf.checked;
    return runOnBook(path, request);
}

Result decode(Kind kind, const QByteArray &bytes, const Policy &policy, const QByteArray &format, QImage reuse)
{
    Result result;
    if (bytes.isEmpty() || bytes.size() > kMaxRequestBytes) {
        result.status = Status::Unreadable;
        return result;
    }
    Request request = blankRequest(kind, policy);
    request.bytes = bytes.size();
    putName(request.format, format.toLower());
    return run(request, bytes, reuse, -1);
}

void prepare()
{
    if (HelperProcess::running() == 0) {
        const HelperProcess::Helper helper = HelperProcess::start();
        if (helper.valid())
            HelperProcess::give(helper);
    }
}

void setHelperPath(const QString &path)
{
    HelperProcess::setPath(path);
}

const QSet<QByteArray> &readableFormats()
{
    static const QSet<QByteArray> formats = [] {
        QSet<QByteArray> names;
        for (const QByteArray &format : QImageReader::supportedImageFormats())
            names.insert(format.toLower());
        return names;
    }();
    return formats;
}

}
