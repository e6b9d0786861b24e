#pragma once

#include <QString>

// Generated Chinese plain-text books for the reading tests and benchmarks.
namespace ChineseBook {

// Writes a UTF-8 book of `chapters` chapters ("第N章 ..." headings), each
// about `charsPerChapter` characters of varied prose; returns its path.
QString write(const QString &dir, int chapters, int charsPerChapter);

}
