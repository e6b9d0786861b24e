#include "pdfdocuments.h"

#include <poppler-qt5.h>

#include <PDFDoc.h>
#include <Stream.h>
#include <goo/gfile.h>

#include <QElapsedTimer>
#include <QFile>
#include <QVariant>

#include <algorithm>

#include <memory>
#include <unistd.h>
#include <vector>

namespace PdfDocuments {

namespace {

// Poppler reports damaged files on its own channel: the program logs the
// outcome of each request itself.
void dropMessage(const QString &, const QVariant &) {}

// Books up to this size are read whole: poppler reads a device a few bytes
// at a time, which costs three times the drawing. Larger ones are read
// through their file.
constexpr qint64 kReadWhole = 64 * 1024 * 1024;

struct Open {
    quint64 book = 0;
    // Poppler reads the book through it (or from bytes, when it is null) for
    // as long as the document lives.
    std::unique_ptr<QFile> file;
    // The bytes read whole, which the core document reads too.
    QByteArray bytes;
    std::unique_ptr<Poppler::Document> document;
    // Goes before the document, which holds poppler's globals.
    std::unique_ptr<GooFile> coreFile;
    std::unique_ptr<PDFDoc> core;
};

// Two books: the one read and one that an import reads meanwhile.
constexpr size_t kKept = 2;

struct State {
    std::vector<Open> open;   // the most recently used last
    quint64 offeredBook = 0;
    int offered = -1;
};

State &state()
{
    static State kept;
    return kept;
}

void dropOffered()
{
    State &s = state();
    if (s.offered >= 0)
        close(s.offered);
    s.offered = -1;
    s.offeredBook = 0;
}

} // namespace

void offer(quint64 book, int descriptor)
{
    dropOffered();
    State &s = state();
    s.offered = descriptor;
    s.offeredBook = book;
}

Poppler::Document *document(quint64 book, int *openedMs)
{
    State &s = state();
    if (openedMs)
        *openedMs = -1;
    for (size_t i = 0; book != 0 && i < s.open.size(); ++i) {
        if (s.open[i].book != book)
            continue;
        std::rotate(s.open.begin() + long(i), s.open.begin() + long(i) + 1, s.open.end());
        dropOffered();
        return s.open.back().document.get();
    }
    if (book == 0 || s.offered < 0 || s.offeredBook != book) {
        dropOffered();
        return nullptr;
    }
    static const bool silenced = [] {
        Poppler::setDebugErrorFunction(dropMessage, QVariant());
        return true;
    }();
    Q_UNUSED(silenced);
    QElapsedTimer timer;
    timer.start();
    Open opened;
    opened.book = book;
    opened.file = std::make_unique<QFile>();
    if (!opened.file->open(s.offered, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        dropOffered();
        return nullptr;
    }
    // The file is the document's now.
    s.offered = -1;
    s.offeredBook = 0;
    if (opened.file->size() <= kReadWhole) {
        opened.bytes = opened.file->readAll();
        opened.file.reset();
        opened.document.reset(Poppler::Document::loadFromData(opened.bytes));
    } else {
        opened.document.reset(Poppler::Document::load(opened.file.get()));
    }
    if (!opened.document || opened.document->isLocked())
        return nullptr;
    // Poppler draws without antialiasing unless told otherwise.
    opened.document->setRenderHint(Poppler::Document::Antialiasing, true);
    opened.document->setRenderHint(Poppler::Document::TextAntialiasing, true);
    if (s.open.size() >= kKept) {
        // The documents read their file until they are gone: they go first.
        s.open.front().core.reset();
        s.open.front().document.reset();
        s.open.erase(s.open.begin());
    }
    s.open.push_back(std::move(opened));
    if (openedMs)
        *openedMs = int(timer.elapsed());
    return s.open.back().document.get();
}

PDFDoc *coreDocument(quint64 book)
{
    State &s = state();
    if (book == 0 || s.open.empty() || s.open.back().book != book)
        return nullptr;
    Open &open = s.open.back();
    if (!open.core) {
        BaseStream *stream = nullptr;
        if (open.file) {
            open.coreFile = GooFile::open(dup(open.file->handle()));
            if (!open.coreFile)
                return nullptr;
            stream = new FileStream(open.coreFile.get(), 0, false, open.coreFile->size(), Object(objNull));
        } else {
            stream = new MemStream(open.bytes.constData(), 0, open.bytes.size(), Object(objNull));
        }
        open.core = std::make_unique<PDFDoc>(stream);
    }
    return open.core->isOk() ? open.core.get() : nullptr;
}

}
