#include "pdfanswers.h"

#include <QDataStream>
#include <QIODevice>

#include <cmath>
#include <limits>

namespace PdfAnswers {

namespace {

// Tells a book's answer from a page's.
constexpr quint32 kBookTag = 0x51504231;   // "QPB1"
constexpr quint32 kPageTag = 0x51505431;   // "QPT1"
// Coordinates past this are no page's.
constexpr double kMaxCoordinate = 1e9;
// Bytes a string takes at least, and UTF-8 bytes per character at most.
constexpr int kStringBytes = 4;
constexpr int kUtf8PerChar = 3;

class Writer
{
public:
    Writer() : m_stream(&m_bytes, QIODevice::WriteOnly) { m_stream.setVersion(QDataStream::Qt_5_15); }
    void number(qint32 value) { m_stream << value; }
    void tag(quint32 value) { m_stream << value; }
    void real(double value) { m_stream << value; }
    void text(const QString &text)
    {
        const QByteArray utf8 = text.toUtf8();
        m_stream << qint32(utf8.size());
        m_stream.writeRawData(utf8.constData(), utf8.size());
    }
    int size() const { return m_bytes.size(); }
    const QByteArray &bytes() const { return m_bytes; }

private:
    QByteArray m_bytes;
    QDataStream m_stream;
};

// A list of items, as many as fit in room bytes (each of size(item) bytes):
// its count, then the items.
template <typename Item, typename Size, typename Put>
void writeList(Writer &out, const QVector<Item> &items, int maxItems, qint64 room, Size size, Put put)
{
    int count = 0;
    qint64 bytes = 0;
    for (const Item &item : items) {
        const qint64 need = size(item);
        if (count >= maxItems || bytes + need > room)
            break;
        bytes += need;
        ++count;
    }
    out.number(count);
    for (int i = 0; i < count; ++i)
        put(out, items.at(i));
}

class Reader
{
public:
    explicit Reader(const QByteArray &bytes) : m_size(bytes.size()), m_stream(bytes)
    {
        m_stream.setVersion(QDataStream::Qt_5_15);
    }
    bool tag(quint32 expected)
    {
        quint32 value = 0;
        m_stream >> value;
        return ok() && value == expected;
    }
    bool number(qint32 *value, qint32 low, qint32 high)
    {
        m_stream >> *value;
        return ok() && *value >= low && *value <= high;
    }
    bool real(double *value, double low)
    {
        m_stream >> *value;
        return ok() && std::isfinite(*value) && *value >= low && *value <= kMaxCoordinate;
    }
    bool text(QString *text, int maxChars)
    {
        qint32 length = 0;
        if (!number(&length, 0, maxChars * kUtf8PerChar) || length > remaining())
            return false;
        QByteArray utf8(length, Qt::Uninitialized);
        if (m_stream.readRawData(utf8.data(), length) != length)
            return false;
        *text = QString::fromUtf8(utf8);
        return text->size() <= maxChars;
    }
    // A count of items of at least leastBytes each, which the bytes left hold.
    bool count(qint32 *count, int maxItems, int leastBytes)
    {
        return number(count, 0, maxItems) && qint64(*count) * leastBytes <= remaining();
    }
    bool atEnd() { return ok() && m_stream.atEnd(); }

private:
    bool ok() const { return m_stream.status() == QDataStream::Ok; }
    qint64 remaining() const { return m_size - m_stream.device()->pos(); }

    qint64 m_size;
    QDataStream m_stream;
};

} // namespace

QString bounded(const QString &text, int maxChars)
{
    if (text.size() <= maxChars)
        return text;
    // Never half a surrogate pair.
    return text.left(text.at(maxChars - 1).isHighSurrogate() ? maxChars - 1 : maxChars);
}

QByteArray write(const Book &book)
{
    Writer out;
    out.tag(kBookTag);
    out.number(book.pages);
    for (const QString *field : {&book.title, &book.author, &book.subject})
        out.text(bounded(*field, kMaxInfoChars));
    const QVector<QSizeF> points = book.pages <= kMaxPages ? book.pagePoints : QVector<QSizeF>();
    writeList(out, points.mid(0, book.pages), kMaxPages, kMaxBytes, [](const QSizeF &) { return 16; },
              [](Writer &one, const QSizeF &size) {
                  one.real(size.width() >= 0 && size.width() <= kMaxCoordinate ? size.width() : 0);
                  one.real(size.height() >= 0 && size.height() <= kMaxCoordinate ? size.height() : 0);
              });
    // The check's verdict, before the outline, which takes what room is left.
    out.number(book.checked ? 1 : 0);
    out.text(bounded(book.refusal, kMaxInfoChars));
    writeList(out, book.refusedPages, kMaxPages, kMaxBytes, [](qint32) { return 4; },
              [](Writer &one, qint32 page) { one.number(page); });
    writeList(
        out, book.outline, kMaxOutlineEntries, kMaxBytes - out.size() - 4,
        [](const OutlineEntry &e) { return kStringBytes + bounded(e.title, kMaxTitleChars).toUtf8().size() + 4; },
        [](Writer &one, const OutlineEntry &e) {
            one.text(bounded(e.title, kMaxTitleChars));
            one.number(e.page);
        });
    return out.bytes();
}

QByteArray write(const PageText &page)
{
    Writer out;
    out.tag(kPageTag);
    out.text(bounded(page.text, kMaxPageTextChars));
    writeList(
        out, page.words, kMaxPageWords, kMaxBytes - out.size() - 4,
        [](const Word &word) { return 4 * 8 + kStringBytes + bounded(word.text, kMaxWordChars).toUtf8().size() + 4; },
        [](Writer &one, const Word &word) {
            const QRectF box = word.box.normalized();
            for (const double value : {box.x(), box.y(), box.width(), box.height()})
                one.real(std::isfinite(value) && std::abs(value) <= kMaxCoordinate ? value : 0);
            one.text(bounded(word.text, kMaxWordChars));
            one.number((word.lineEnd ? 1 : 0) | (word.spaceAfter ? 2 : 0));
        });
    return out.bytes();
}

bool read(const QByteArray &bytes, Book *book)
{
    if (bytes.size() > kMaxBytes)
        return false;
    Reader in(bytes);
    Book got;
    qint32 count = 0;
    if (!in.tag(kBookTag) || !in.number(&got.pages, 0, std::numeric_limits<qint32>::max())
        || !in.text(&got.title, kMaxInfoChars) || !in.text(&got.author, kMaxInfoChars)
        || !in.text(&got.subject, kMaxInfoChars) || !in.count(&count, qMin(got.pages, kMaxPages), 16)
        || count != (got.pages <= kMaxPages ? got.pages : 0))
        return false;
    got.pagePoints.reserve(count);
    for (int i = 0; i < count; ++i) {
        double width = 0, height = 0;
        if (!in.real(&width, 0) || !in.real(&height, 0))
            return false;
        got.pagePoints.append(QSizeF(width, height));
    }
    qint32 checked = 0;
    if (!in.number(&checked, 0, 1) || !in.text(&got.refusal, kMaxInfoChars) || !in.count(&count, kMaxPages, 4))
        return false;
    got.checked = checked == 1;
    got.refusedPages.reserve(count);
    for (int i = 0; i < count; ++i) {
        // Pages of the book, each once, ascending.
        qint32 page = 0;
        if (!in.number(&page, got.refusedPages.isEmpty() ? 0 : got.refusedPages.last() + 1,
                       qMax(0, got.pages - 1)))
            return false;
        got.refusedPages.append(page);
    }
    if ((!got.checked && (!got.refusal.isEmpty() || count > 0)) || (got.pages == 0 && count > 0))
        return false;
    if (!in.count(&count, kMaxOutlineEntries, kStringBytes + 4))
        return false;
    got.outline.reserve(count);
    for (int i = 0; i < count; ++i) {
        OutlineEntry entry;
        if (!in.text(&entry.title, kMaxTitleChars) || !in.number(&entry.page, 0, std::numeric_limits<qint32>::max()))
            return false;
        got.outline.append(entry);
    }
    if (!in.atEnd())
        return false;
    *book = got;
    return true;
}

bool read(const QByteArray &bytes, PageText *page)
{
    if (bytes.size() > kMaxBytes)
        return false;
    Reader in(bytes);
    PageText got;
    qint32 count = 0;
    if (!in.tag(kPageTag) || !in.text(&got.text, kMaxPageTextChars)
        || !in.count(&count, kMaxPageWords, 4 * 8 + kStringBytes + 4))
        return false;
    got.words.reserve(count);
    for (int i = 0; i < count; ++i) {
        double x = 0, y = 0, width = 0, height = 0;
        qint32 flags = 0;
        Word word;
        if (!in.real(&x, -kMaxCoordinate) || !in.real(&y, -kMaxCoordinate) || !in.real(&width, 0)
            || !in.real(&height, 0) || !in.text(&word.text, kMaxWordChars) || !in.number(&flags, 0, 3))
            return false;
        word.box = QRectF(x, y, width, height);
        word.lineEnd = flags & 1;
        word.spaceAfter = flags & 2;
        got.words.append(word);
    }
    if (!in.atEnd())
        return false;
    *page = got;
    return true;
}

}
