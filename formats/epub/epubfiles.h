#pragma once

#include <QByteArray>
#include <QString>

// The files an EPUB import keeps in the book's data folder.
namespace EpubFiles {

// The package's archive path, for the chapter step.
constexpr const char *OpfPathFile = ".opf_path";
// Book copy, package path and spine paths, one a line, for the content step.
constexpr const char *MetaFile = ".epub_meta";
// A fixed name: image sources are "zip://<copy>::<entry>", and a user's file
// name may hold "::".
constexpr const char *BookCopyFile = "book.epub";

}
