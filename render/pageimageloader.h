#pragma once

#include <QByteArray>
#include <QImage>
#include <QRect>
#include <QSize>
#include <QString>

#include <functional>

// Turns an image source string into pixels or a natural size. Sources:
// "pdf://path?page=N&dpi=D", "zip://zipPath::entry", "zipraw://zipPath::base64",
// "archive://archivePath::base64", anything else a file path (prefixes are
// case-sensitive). Re-entrant free functions; the only state is a small
// memo of drawings' natural sizes. Drawings pass the SVG guard first.
namespace PageImageLoader {

// Decoded images fit this box (scaled up or down, aspect kept).
constexpr int kMaxDecodedSide = 2048;

// Null image on every failure. The pixels go into reuse when it has the
// decoded size and format, saving a fresh buffer.
QImage loadImage(const QString &source, QImage reuse = QImage());
// Decodes at the size the page draws it: the whole picture scaled to drawn
// (aspect as given), of which only the part visible (in drawn pixels; empty:
// all of it) is kept, so the pixels never outgrow the page they are drawn on.
// Null on failure, or when drawn or visible is empty after clipping.
QImage loadDrawn(const QString &source, const QSize &drawn, const QRect &visible = QRect(),
                 QImage reuse = QImage());
QImage decodeDrawn(const QByteArray &bytes, const QSize &drawn, const QRect &visible = QRect(),
                   QImage reuse = QImage());
// The picture's name in its book, for the reader: its path inside the
// archive, a page of a PDF ("book.pdf#page=3"), or a file's own name; never
// the library's copy or folder.
QString pictureName(const QString &source);
// Natural pixel size without keeping the pixels; (-1, -1) on failure.
QSize imageSize(const QString &source);
// Decodes at the size that fits the box; null when the bytes are not an
// image or declare more pixels than the decode budget allows.
QImage decodeScaled(const QByteArray &bytes, QImage reuse = QImage());
// Size from the header only; (-1, -1) when it cannot be read.
QSize imageSizeFromBytes(const QByteArray &bytes);
// Size from the head of an image that read(buffer, max) yields block by
// block (bytes read; 0 or less at the end or on error), without taking more
// than limit bytes in all, or than the SVG guard takes of a drawing, which
// is read whole; (-1, -1) when they do not tell it.
QSize imageSizeFromHead(const std::function<int(char *, int)> &read, int limit, int block);

}
