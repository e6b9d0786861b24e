#include "decodeservice.h"

#include "exchange.h"
#include "helperprocess.h"

#include <QCryptographicHash>
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
    hash.addData(bytes);
    return hash.result();
}

// The rows in memory the helper sealed at their size, mapped; null when
// the memory is not exactly that (or may still shrink under the mapping).
QImage mapRows(int descriptor, const Answer &answer)
{
    struct stat file {};
    const qint64 bytes = qint64(answer.bytesPerLine) * answer.height;
    const int seals = fcntl(descriptor, F_GET_SEALS);
    if (fstat(descriptor, &file) != 0 || !S_ISREG(file.st_mode) || file.st_size != bytes || seals < 0
        || !(seals & F_SEAL_SHRINK))
        return QImage();
    void *rows = mmap(nullptr, size_t(bytes), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, descriptor, 0);
    if (rows == MAP_FAILED)
        return QImage();
    const auto unmap = [](void *mapping) {
        const auto *at = static_cast<std::pair<void *, size_t> *>(mapping);
        munmap(at->first, at->second);
        delete at;
    };
    return QImage(static_cast<uchar *>(rows), answer.width, answer.height, answer.bytesPerLine,
                  QImage::Format(answer.imageFormat), unmap, new std::pair<void *, size_t>(rows, size_t(bytes)));
}

// The helper's pixels, when its header is exactly what the request allows.
bool acceptable(const Request &request, const Answer &answer, const QSize &natural)
{
    if (answer.outcome != Outcome::Done)
        return answer.width == 0 && answer.height == 0 && !answer.shared;
    const bool pixels = answer.width != 0 || answer.height != 0 || answer.shared;
    if (request.policy.fit == Fit::SizeOnly)
        return !pixels;
    const QSize size(answer.width, answer.height);
    const QImage::Format format = QImage::Format(answer.imageFormat);
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
         Result *result)
{
    Exchange exchange(helper);
    Answer answer;
    int descriptor = -1;
    bool ok = exchange.send(&request, sizeof request) && exchange.send(bytes.constData(), size_t(bytes.size()))
        && exchange.receive(&answer, sizeof answer, &descriptor);
    const QSize natural(answer.naturalWidth, answer.naturalHeight);
    bool inOrder = ok && acceptable(request, answer, natural) && (descriptor >= 0) == bool(answer.shared);
    QImage image;
    if (inOrder && answer.outcome == Outcome::Done && request.policy.fit != Fit::SizeOnly) {
        if (answer.shared) {
            image = mapRows(descriptor, answer);
        } else {
            const QImage::Format format = QImage::Format(answer.imageFormat);
            if (reuse.width() == answer.width && reuse.height() == answer.height && reuse.format() == format
                && reuse.bytesPerLine() == answer.bytesPerLine && reuse.isDetached())
                image = std::move(reuse);
            if (image.isNull())
                image = QImage(answer.width, answer.height, format);
            ok = !image.isNull() && image.bytesPerLine() == answer.bytesPerLine
                && exchange.receive(image.bits(), size_t(image.sizeInBytes()));
            if (!ok)
                image = QImage();
        }
        inOrder = !image.isNull();
    }
    if (descriptor >= 0)
        close(descriptor);
    if (ok && inOrder) {
        HelperProcess::give(helper);
        result->natural = natural;
        result->format = takeName(answer.format);
        result->image = image;
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

} // namespace

Result decode(Kind kind, const QByteArray &bytes, const Policy &policy, const QByteArray &format, QImage reuse)
{
    Result result;
    if (bytes.isEmpty() || bytes.size() > kMaxRequestBytes) {
        result.status = Status::Unreadable;
        return result;
    }
    Request request;
    // No stray bytes of this process go out in the padding.
    memset(static_cast<void *>(&request), 0, sizeof request);
    request.kind = kind;
    request.bytes = bytes.size();
    request.policy = policy;
    putName(request.format, format.toLower());
    if (!refused().empty() && refused().contains(requestKey(request, bytes))) {
        result.status = Status::Refused;
        return result;
    }
    // A helper that fails for a cause of its own leaves its request to a
    // fresh one, once.
    for (int attempt = 0; attempt < 2; ++attempt) {
        const HelperProcess::Helper helper = attempt == 0 ? HelperProcess::take() : HelperProcess::start();
        if (!helper.valid())
            break;
        if (ask(helper, request, bytes, reuse, &result) == Turn::Answered) {
            if (result.status == Status::Refused)
                refused().insert(requestKey(request, bytes));
            return result;
        }
    }
    result = Result();
    result.status = Status::Unavailable;
    return result;
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
