#pragma once

#include <QString>

class NovelInfo;

// The part of a new book's record every importer fills alike: id and data
// folder from the path, file type, source, size, status 0 and now as both
// times. The caller owns the record and fills in the rest.
NovelInfo *newBookRecord(const QString &filePath, const QString &fileType);
