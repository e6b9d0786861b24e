#pragma once

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <QString>

// Turns an image source string (a file path, or an entry of a PDF, ZIP or
// other archive) into pixels or a natural size. Stateless free functions.
namespace PageImageLoader {
QImage loadImage(const QString &source);
// Natural pixel size without keeping the pixels; (-1, -1) on failure.
QSize imageSize(const QString &source);
QImage decodeScaled(const QByteArray &bytes);
QSize imageSizeFromBytes(const QByteArray &bytes);
}
