#include "pdfdocuments.h"

#include <poppler-qt5.h>

#include <GlobalParams.h>
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
void dropCoreMessage(ErrorCategory, Goffset, const char *) {}

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
    // This helper's check of it, when the program did not hold its verdict.
    bool checked = false;
    PdfCheck::Verdict verdict;
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

Poppler::Document *document(const DecodeWire::PdfPart &pdf, int *openedMs)
{
    const quint64 book = pdf.book;
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
    const QByteArray &bytes = opened.bytes;
    if (opened.file->size() <= kReadWhole) {
        opened.bytes = opened.file->readAll();
        opened.file.reset();
    }
    if (!pdf.checked) {
        // The same bytes poppler reads next: whatever table it ends up with
        // is one the check walked.
        const GlobalParamsIniter params(dropCoreMessage);
        opened.checked = true;
        if (!PdfCheck::run(bytes, opened.file ? opened.file->handle() : -1, &opened.verdict))
            return nullptr;
    }
    if (opened.verdict.cause.isEmpty()) {
        opened.document.reset(bytes.isEmpty() && opened.file ? Poppler::Document::load(opened.file.get())
                                                             : Poppler::Document::loadFromData(bytes));
    }
    if (opened.document && opened.document->isLocked())
        opened.document.reset();
    // A refused book is kept closed, with its verdict, so that its next
    // requests are answered without another walk.
    if (!opened.document && !(opened.checked && !opened.verdict.cause.isEmpty()))
        return nullptr;
    if (opened.document) {
        // Poppler draws without antialiasing unless told otherwise.
        opened.document->setRenderHint(Poppler::Document::Antialiasing, true);
        opened.document->setRenderHint(Poppler::Document::TextAntialiasing, true);
    }
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

const PdfCheck::Verdict *verdict(quint64 book)
{
    const State &s = state();
    for (const Open &open : s.open) {
        if (open.book == book && book != 0)
            return open.checked ? &open.verdict : nullptr;
    }
    return nullptr;
}

PDFDoc *coreDocument(quint64 book)
{
    State &s = state();
    if (book == 0 || s.open.empty() || s.open.back().book != book)
        return nullptr;
    Open &open = s.open.back();
    // Never a book the check refused.
    if (!open.document)
        return nullptr;
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
