#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>
#include <QVector>

#include <functional>

// Images and archives made at test time.

struct FixtureEntry
{
    QByteArray name;
    QByteArray data;
    bool directory = false; // archives only
};

// The image encoded by Qt's writer for format ("PNG", "JPEG", ...).
QByteArray encodedImage(const QImage &image, const char *format, int quality = -1);
// Shapes and a gradient: enough detail that a wrong scale or offset shows.
QImage scene(int width, int height);
// Mean difference per colour channel and pixel, 0 to 255.
double meanDifference(const QImage &a, const QImage &b);
// What make returns, made on a thread of Qt's global pool: there Qt keeps its
// own conversions and smooth scaling on that one thread.
QImage madeOnPoolThread(const std::function<QImage()> &make);
// A valid all-black RGB PNG of width x height; a few hundred kilobytes however large.
QByteArray pngBomb(int width, int height);
// Peak resident memory of this process so far, in KiB.
qint64 peakMemoryKiB();
// Starts the peak count again from the present resident memory.
void resetPeakMemory();
// Descriptors of this process open on files below folder.
int openFilesBelow(const QString &folder);

// A ZIP file written with minizip; names are stored as given.
bool writeZip(const QString &path, const QVector<FixtureEntry> &entries, int level = 6);
// An archive written with libarchive; kind is "7z", "tar" (pax), "ustar" or "tar.gz".
bool writeArchive(const QString &path, const QString &kind, const QVector<FixtureEntry> &entries);
