#pragma once

#include <QString>

class NovelInfo;

// A new record for a book read from a local file: id, file type, source (type
// 0, the file's path), data folder, file size (capped to 32 bits: readers of
// the record keep it in an int), not yet loaded (status and load status 0),
// stamped `now`. Title, author, cover and the rest are the caller's; the
// caller owns the record.
NovelInfo *newBookRecord(const QString &id, const QString &fileType, const QString &sourcePath,
                         const QString &dataDir, const QString &now);
