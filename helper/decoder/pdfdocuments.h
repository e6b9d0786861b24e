#pragma once

#include "decodewire.h"
#include "pdfcheck.h"

#include <QtGlobal>

namespace Poppler {
class Document;
}
class PDFDoc;

// The PDF documents this helper keeps open across requests, each under the
// book it was sent as (DecodeWire::PdfPart::book): a book's pages are read
// from one parse of it, whichever request comes. The helper never opens a
// book by its name; the program sends its file as a descriptor with every
// request, kept only while its document is.
namespace PdfDocuments {

// The book's file for the request being served: taken (closed when its
// document is open already or when another request comes first).
void offer(quint64 book, int descriptor);

// The book's document (pdf.book), opened from the file offered for it when
// it is not open already; *openedMs, when given, is how long that took (-1
// when it was open). Unless pdf.checked says the program holds the book's
// verdict, the book is checked first, and a book the check refuses is not
// opened. Null when poppler cannot read it, it needs a password or it was
// refused. Valid until the next call.
Poppler::Document *document(const DecodeWire::PdfPart &pdf, int *openedMs = nullptr);

// The verdict of this helper's check of the book, when it checked it (null
// when the program held it, or the book is not open).
const PdfCheck::Verdict *verdict(quint64 book);

// The same book through poppler's core parser, over the same bytes or file,
// for what the Qt wrapper reads slowly; made when first asked. Null unless
// document(book) is open; valid until the next call.
PDFDoc *coreDocument(quint64 book);

}
