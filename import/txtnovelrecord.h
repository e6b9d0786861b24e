#pragma once

#include <QString>

class NovelInfo;

// The part of a plain-text book's record that does not depend on its text:
// id (MD5 of the path), data folder, file type, source, size, status, word
// count and times. The caller owns the record and fills in the rest.
NovelInfo *newTxtNovelRecord(const QString &filePath);
