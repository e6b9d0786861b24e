#pragma once

#include <QString>

class ChapterInfo;

// A new chapter `id` of book `novelId` at `index`, titled `title`, read from
// `path`, not yet loaded (status and load status 0) and stamped `now`.
// Offsets, word counts, links and format properties are the caller's; the
// caller owns the record.
ChapterInfo *newChapterRecord(const QString &id, const QString &novelId, int index,
                              const QString &title, const QString &path, const QString &now);
