#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

// Poppler opens a file named by the PDF when it looks up a Type 0 font's
// predefined CMap (/Encoding) or a CMap's parent (/UseCMap, "usecmap") in
// its data folder of the font's collection (/Registry, /Ordering): it joins
// the name to the folder unchecked. A book is walked once before poppler
// reads it: every object of the table as written and of the table poppler
// would rebuild, in work linear in the file.
namespace PdfCheck {

struct Verdict
{
    // Why poppler must not read the book; empty when it may.
    QString cause;
    // The pages (0-based, sorted) that draw an image past the pixel bound.
    QVector<int> refusedPages;
};

// The book's verdict, from its bytes, or from its file (a descriptor the
// caller keeps) when bytes is empty. False when poppler cannot open it.
// Poppler's global parameters must be held.
bool run(const QByteArray &bytes, int descriptor, Verdict *verdict);

}
