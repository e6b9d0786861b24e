#include "sharedrows.h"

#include "decodewire.h"

#include <fcntl.h>
#include <limits>
#include <sys/mman.h>
#include <unistd.h>

SharedRows::~SharedRows()
{
    release();
}

namespace {

// Memory is taken in steps of this, so that pages of one book, which differ
// by a few rows, share it.
constexpr size_t kStep = 1024 * 1024;
// Kept between requests at most: a screen's page at twice its density.
constexpr size_t kKept = 32 * 1024 * 1024;

}

void SharedRows::release()
{
    if (m_rows)
        munmap(m_rows, m_capacity);
    if (m_file >= 0)
        close(m_file);
    m_rows = nullptr;
    m_file = -1;
    m_capacity = 0;
    m_used = 0;
}

void SharedRows::trim()
{
    if (m_capacity > kKept)
        release();
}

QImage SharedRows::image(const QSize &size, QImage::Format format)
{
    const qint64 line = DecodeWire::rowBytes(size.width(), format);
    const qint64 bytes = line * size.height();
    if (size.isEmpty() || !DecodeWire::answerFormat(format) || bytes > std::numeric_limits<int>::max())
        return QImage();
    if (m_rows && size_t(bytes) <= m_capacity) {
        m_used = size_t(bytes);
        return QImage(m_rows, size.width(), size.height(), int(line), format);
    }
    release();
    const size_t capacity = (size_t(bytes) + kStep - 1) / kStep * kStep;
    m_file = memfd_create("quillora-rows", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (m_file < 0 || ftruncate(m_file, off_t(capacity)) != 0
        || fcntl(m_file, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0) {
        release();
        return QImage();
    }
    // Populated at once: one call instead of a fault for every page.
    void *at = mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, m_file, 0);
    if (at == MAP_FAILED) {
        release();
        return QImage();
    }
    m_rows = static_cast<uchar *>(at);
    m_capacity = capacity;
    m_used = size_t(bytes);
    return QImage(m_rows, size.width(), size.height(), int(line), format);
}

bool SharedRows::holds(const QImage &image) const
{
    return m_rows && image.constBits() == m_rows && size_t(image.sizeInBytes()) == m_used;
}
