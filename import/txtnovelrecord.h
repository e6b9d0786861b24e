#pragma once

#include <QString>

class NovelInfo;

// The part of a plain-text book's record that does not depend on its text:
// newBookRecord's fields and a word count of 0. The caller owns the record
// and fills in the rest.
NovelInfo *newTxtNovelRecord(const QString &filePath);
