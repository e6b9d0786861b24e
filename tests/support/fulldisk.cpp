#include "fulldisk.h"

#include <QFile>

#include <csignal>
#include <sys/mount.h>
#include <sys/resource.h>

namespace {
const char *const FillerName = "/filler";
rlimit s_saved;
}

FullDisk::FullDisk(Kind kind, const QString &dir) : m_kind(kind), m_dir(dir)
{
    if (kind == Tmpfs)
        m_mounted = ::mount("tmpfs", QFile::encodeName(dir).constData(), "tmpfs", 0, "size=24m") == 0;
}

FullDisk::~FullDisk()
{
    release();
    if (m_mounted)
        ::umount2(QFile::encodeName(m_dir).constData(), MNT_DETACH);
}

bool FullDisk::fill(qint64 room)
{
    if (m_kind == FileSizeLimit) {
        // A write past the limit fails with EFBIG instead of ending the process.
        std::signal(SIGXFSZ, SIG_IGN);
        if (!m_limited && ::getrlimit(RLIMIT_FSIZE, &s_saved) != 0)
            return false;
        rlimit none = s_saved;
        none.rlim_cur = rlim_t(room);
        m_limited = ::setrlimit(RLIMIT_FSIZE, &none) == 0;
        return m_limited;
    }
    if (!m_mounted)
        return false;
    QFile filler(m_dir + QLatin1String(FillerName));
    if (!filler.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered))
        return false;
    const QByteArray block(64 * 1024, '\0');
    while (filler.write(block) > 0) {
    }
    // The last few bytes of a page.
    while (filler.write(block.constData(), 1) > 0) {
    }
    return true;
}

void FullDisk::release()
{
    if (m_limited)
        ::setrlimit(RLIMIT_FSIZE, &s_saved);
    m_limited = false;
    if (m_mounted)
        QFile::remove(m_dir + QLatin1String(FillerName));
}
