#pragma once

#include <QString>

// What a PDF import keeps in the book's data folder, and the book facts the
// steps share.
namespace PdfFiles {

// A fixed name: page sources are "pdf://<copy>?page=..", and a user's file
// name may hold '?', '&' or '#'.
constexpr const char *BookCopyFile = "book.pdf";
constexpr const char *CoverFile = "cover.jpg";

// The document's "Title", else the file's base name.
QString bookTitle(const QString &title, const QString &filePath);

// The resolution at which a page pointsWide points wide fills the primary
// screen's width, within [low, high]; fallback without a usable screen or page.
int screenFitDpi(double pointsWide, int low, int high, int fallback);

}
