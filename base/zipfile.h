#pragma once

#include <unzip.h>

// Opens a ZIP file (a book, a comic's copy) for reading, its descriptor
// closed on exec: a helper process started meanwhile must not inherit it.
// Null when it cannot be opened.
unzFile openZipFile(const char *path);
