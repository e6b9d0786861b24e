#pragma once

#include <QString>

// Why a book file cannot be imported, in words a reader can act on, told
// from the file itself: whether it is there, empty, of the format its name
// says (its first bytes decide), whole, locked. Reads at most a few hundred
// KiB of the file; never runs a format's parser.
namespace BookFileCheck {

// What the bytes of a file are, as far as its first bytes and its end tell.
enum class Content {
    Unknown,
    Text,
    Zip,        // a ZIP that is neither of the two below
    Epub,
    ComicZip,   // a ZIP of pictures
    Pdf,
    Mobi,       // PalmDB: MOBI, KF8 or PalmDOC
    Fb2,
    Rar,
    SevenZip,
    Tar,
    Image,
};

// The content of the file's bytes (Unknown when it cannot be read).
Content sniff(const QString &path);

// For a format it knows: the reader's message for a file that is missing,
// empty, not of the format its suffix names, a cut-off archive, or without
// any text; empty when the file shows nothing against being read by its
// format's parser.
QString refusal(const QString &path);

// After the parser refused the file: the cause the bytes show (a locked or
// cut-off PDF), else the parser's own message.
QString explainFailure(const QString &path, const QString &parserMessage);

}
