#pragma once

#include <QImage>
#include <QSize>

#include <cstddef>

// Memory an answer's rows are written into and that the program then reads
// at once: no copy through the socket. Sealed at its size before the
// program sees it, so that it cannot shrink under a reader. It is kept for
// the helper's next answers: fresh memory would be zeroed and faulted in for
// every page again, which costs more than drawing the page.
class SharedRows
{
public:
    SharedRows() = default;
    ~SharedRows();
    SharedRows(const SharedRows &) = delete;
    SharedRows &operator=(const SharedRows &) = delete;

    // An image over this memory (grown when it is too small) of that size
    // and format, its start; null when none could be made. Whatever an
    // earlier image left there remains until it is drawn over.
    QImage image(const QSize &size, QImage::Format format);
    // True when image is the last one over this memory, whole.
    bool holds(const QImage &image) const;
    int descriptor() const { return m_file; }
    // Between requests: memory grown far past a page's size for one huge
    // picture goes back.
    void trim();

private:
    void release();

    int m_file = -1;
    uchar *m_rows = nullptr;
    size_t m_capacity = 0;
    size_t m_used = 0;
};
