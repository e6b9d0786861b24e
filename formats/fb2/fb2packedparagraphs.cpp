#include "fb2packedparagraphs.h"

#include <cstring>

namespace {

// A block is closed past this size, so no growth copies a whole chapter.
const int BlockBytes = 64 * 1024;

// Every field, in one list for writing and reading.
#define FIELD(name) io(item.name, defaults.name)

template <class Io, class P>
void paragraphFields(Io &io, P &item)
{
    static const Paragraph defaults;
    FIELD(kind); FIELD(headingLevel); FIELD(firstGlyphIndex); FIELD(startProgressIndex);
    FIELD(progressWeight); FIELD(alignment); FIELD(textIndent); FIELD(marginLeft);
    FIELD(marginRight); FIELD(spaceBefore); FIELD(spaceAfter); FIELD(lineHeight);
    FIELD(bgColor); FIELD(documentBgColor); FIELD(preformatted); FIELD(tableId);
    FIELD(tableRow); FIELD(tableColumn); FIELD(tableColumnCount); FIELD(tableHeader);
    FIELD(footnoteId); FIELD(imageId); FIELD(imageWidth); FIELD(imageHeight); FIELD(hCenter);
    FIELD(vCenter);
}

template <class Io, class C>
void chunkFields(Io &io, C &item)
{
    static const TextChunk defaults;
    FIELD(text); FIELD(bold); FIELD(italic); FIELD(underline); FIELD(strikethrough);
    FIELD(fontDelta); FIELD(fontScale); FIELD(fontFamily); FIELD(color); FIELD(highlightColor);
    FIELD(fontWeight); FIELD(vertAlign); FIELD(anchorHref);
}

#undef FIELD

template <class V>
bool differs(const V &a, const V &b) { return !(a == b); }
bool differs(float a, float b) { return std::memcmp(&a, &b, sizeof a) != 0; }
// A null text and an empty one are bound differently.
bool differs(const QString &a, const QString &b)
{
    return a.isNull() != b.isNull() || a != b;
}

class Writer
{
public:
    explicit Writer(QByteArray &out) : m_out(out) {}

    void paragraph(const Paragraph &p)
    {
        write(p, paragraphFields<Writer, const Paragraph>);
        varint(quint64(p.chunks.size()));
        for (const TextChunk &chunk : p.chunks)
            write(chunk, chunkFields<Writer, const TextChunk>);
    }

    template <class V>
    void operator()(const V &value, const V &defaultValue)
    {
        if (m_counting) {
            if (differs(value, defaultValue))
                m_mask |= quint32(1) << m_bit;
        } else if (m_mask & (quint32(1) << m_bit)) {
            put(value);
        }
        ++m_bit;
    }

private:
    // Fields unlike the default's, after a mask of which they are.
    template <class T, class F>
    void write(const T &item, F fields)
    {
        m_mask = 0;
        m_bit = 0;
        m_counting = true;
        fields(*this, item);
        varint(m_mask);
        m_bit = 0;
        m_counting = false;
        fields(*this, item);
    }

    void varint(quint64 value)
    {
        while (value >= 0x80) {
            m_out.append(char(value | 0x80));
            value >>= 7;
        }
        m_out.append(char(value));
    }
    void put(qint64 v) { varint((quint64(v) << 1) ^ quint64(v >> 63)); }
    void put(int v) { put(qint64(v)); }
    void put(bool v) { m_out.append(char(v)); }
    void put(float v) { m_out.append(reinterpret_cast<const char *>(&v), sizeof v); }
    void put(const QString &v)
    {
        varint(v.isNull() ? 0 : quint64(v.size()) + 1);
        m_out.append(reinterpret_cast<const char *>(v.constData()), v.size() * 2);
    }

    QByteArray &m_out;
    quint32 m_mask = 0;
    int m_bit = 0;
    bool m_counting = false;
};

class Reader
{
public:
    Reader(const QByteArray &in, int offset) : m_data(in.constData()), m_pos(offset) {}

    int position() const { return m_pos; }

    Paragraph paragraph()
    {
        Paragraph p;
        read(p, paragraphFields<Reader, Paragraph>);
        const int chunks = int(varint());
        p.chunks.resize(chunks);
        for (TextChunk &chunk : p.chunks)
            read(chunk, chunkFields<Reader, TextChunk>);
        return p;
    }

    template <class V>
    void operator()(V &value, const V &)
    {
        if (m_mask & (quint32(1) << m_bit))
            get(value);
        ++m_bit;
    }

private:
    template <class T, class F>
    void read(T &item, F fields)
    {
        m_mask = quint32(varint());
        m_bit = 0;
        fields(*this, item);
    }

    quint64 varint()
    {
        quint64 value = 0;
        for (int shift = 0;; shift += 7) {
            const quint8 byte = quint8(m_data[m_pos++]);
            value |= quint64(byte & 0x7f) << shift;
            if (!(byte & 0x80))
                return value;
        }
    }
    void get(qint64 &v)
    {
        const quint64 u = varint();
        v = qint64(u >> 1) ^ -qint64(u & 1);
    }
    void get(int &v)
    {
        qint64 wide = 0;
        get(wide);
        v = int(wide);
    }
    void get(bool &v) { v = m_data[m_pos++] != 0; }
    void get(float &v)
    {
        std::memcpy(&v, m_data + m_pos, sizeof v);
        m_pos += int(sizeof v);
    }
    void get(QString &v)
    {
        const quint64 stored = varint();
        if (stored == 0)
            return;
        const int size = int(stored - 1);
        v.resize(size);
        std::memcpy(v.data(), m_data + m_pos, size_t(size) * 2);
        m_pos += size * 2;
    }

    const char *m_data;
    int m_pos;
    quint32 m_mask = 0;
    int m_bit = 0;
};

QByteArray encoded(const QVector<Paragraph> &paragraphs)
{
    QByteArray block;
    Writer writer(block);
    for (const Paragraph &p : paragraphs)
        writer.paragraph(p);
    return block;
}

}

void Fb2PackedParagraphs::append(const QVector<Paragraph> &paragraphs)
{
    for (const Paragraph &p : paragraphs) {
        if (m_blocks.isEmpty() || m_blocks.last().size() >= BlockBytes) {
            m_blocks.append(QByteArray());
            // A chapter's first block grows with what it holds: a book of
            // many small chapters must not hold a whole block for each.
            if (m_blocks.size() > 1)
                m_blocks.last().reserve(BlockBytes + 1024);
        }
        Writer(m_blocks.last()).paragraph(p);
        m_chunks += p.chunks.size();
    }
    m_size += paragraphs.size();
}

void Fb2PackedParagraphs::prepend(const QVector<Paragraph> &paragraphs)
{
    if (paragraphs.isEmpty())
        return;
    if (!m_blocks.isEmpty() && m_readOffset > 0) {
        m_blocks.first().remove(0, m_readOffset);
        m_readOffset = 0;
    }
    m_blocks.prepend(encoded(paragraphs));
    for (const Paragraph &p : paragraphs)
        m_chunks += p.chunks.size();
    m_size += paragraphs.size();
}

QVector<Paragraph> Fb2PackedParagraphs::takeFront(int count)
{
    QVector<Paragraph> out;
    out.reserve(qMin(count, m_size));
    while (out.size() < count && m_size > 0) {
        const QByteArray &block = m_blocks.first();
        Reader reader(block, m_readOffset);
        while (out.size() < count && reader.position() < block.size()) {
            out.append(reader.paragraph());
            m_chunks -= out.last().chunks.size();
            --m_size;
        }
        m_readOffset = reader.position();
        if (m_readOffset >= block.size()) {
            m_blocks.removeFirst();
            m_readOffset = 0;
        }
    }
    return out;
}
