#pragma once

#include <QImage>
#include <QSize>

// Qt 5.15 splits most conversions and every smooth scaling of a large image
// over its global thread pool, and the pool thread handing back the last
// part can clear bit 63 of a word on the caller's stack after the caller has
// gone on. These two do the same work on the calling thread. Stateless.
namespace ImageScale {

QImage converted(const QImage &image, QImage::Format format);
// Exactly size: halved by 2x2 averages while twice as large, then filtered
// bilinearly. Opaque images come back RGB32, others ARGB32 premultiplied.
QImage smoothScaled(const QImage &image, const QSize &size);

}
