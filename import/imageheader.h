#pragma once

#include <QByteArray>
#include <QSize>

// Our own reading of the natural size from the head of a PNG, JPEG, GIF,
// BMP or WebP picture, as Qt's readers give it: sizes are asked for every
// picture of a book at import and layout, and need no decoder. Stateless.
namespace ImageHeader {

struct Found {
    QSize size{-1, -1};
    // The reader's name for the format ("png", "jpeg", ...); empty when
    // the head is none of these or does not tell the size plainly.
    QByteArray format;
};

Found read(const QByteArray &head);

}
