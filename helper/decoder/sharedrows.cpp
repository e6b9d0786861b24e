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

void SharedRows::release()
{
    if (m_rows)
        munmap(m_rows, m_bytes);
    if (m_file >= 0)
        close(m_file);
    m_rows = nullptr;
    m_file = -1;
    m_bytes = 0;
}

QImage SharedRows::image(const QSize &size, QImage::Format format)
{
    release();
    const qint64 line = DecodeWire::rowBytes(size.width(), format);
    const qint64 bytes = line * size.height();
    if (size.isEmpty() || !DecodeWire::answerFormat(format) || bytes > std::numeric_limits<int>::max())
        return QImage();
    m_file = memfd_create("quillora-rows", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (m_file < 0 || ftruncate(m_file, off_t(bytes)) != 0
        || fcntl(m_file, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0) {
        release();
        return QImage();
    }
    // Populated at once: one call instead of a fault for every page.
    void *at = mmap(nullptr, size_t(bytes), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, m_file, 0);
    if (at == MAP_FAILED) {
        release();
        return QImage();
    }
    m_rows = static_cast<uchar *>(at);
    m_bytes = size_t(bytes);
    return QImage(m_rows, size.width(), size.height(), int(line), format);
}

bool SharedRows::holds(const QImage &image) const
{
    return m_rows && image.constBits() == m_rows && size_t(image.sizeInBytes()) == m_bytes;
}
