#pragma once

#include <QImage>
#include <QSize>

#include <cstddef>

// Memory an answer's rows are written into and that the program then maps:
// no copy through the socket. Sealed at its size before the program sees
// it, so that it cannot shrink under the program's mapping.
class SharedRows
{
public:
    SharedRows() = default;
    ~SharedRows();
    SharedRows(const SharedRows &) = delete;
    SharedRows &operator=(const SharedRows &) = delete;

    // An image over new memory of that size and format; null when none
    // could be made.
    QImage image(const QSize &size, QImage::Format format);
    // True when image is the one over this memory, whole.
    bool holds(const QImage &image) const;
    int descriptor() const { return m_file; }

private:
    void release();

    int m_file = -1;
    uchar *m_rows = nullptr;
    size_t m_bytes = 0;
};
