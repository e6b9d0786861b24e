#pragma once

#include <QString>

// Why a book file cannot be imported, in words a reader can act on, told
// from the file itself: whether it is there, empty, of the format its name
// says (its first bytes decide), whole, locked. Reads the file's first and
// last KiB and a ZIP's directory of names (at most 8 MiB); never runs a
// format's parser.
namespace BookFileCheck {

// For a format it knows: the reader's message for a file that is missing,
// empty, not of the format its suffix names, a cut-off archive, or without
// any text; empty when the file shows nothing against being read by its
// format's parser.
QString refusal(const QString &path);

// After the parser refused the file: the cause the bytes show (a locked or
// cut-off PDF), else a missing decoding helper, else the parser's own message.
QString explainFailure(const QString &path, const QString &parserMessage);

// The one wording of every refusal whose cause is the file's own damage;
// label names the format ("CBR").
QString damaged(const QString &label);

}
