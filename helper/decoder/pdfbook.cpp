// A PDF book's facts and its pages' texts, read from the book's document
// kept open here. The outline is read through poppler's core parser:
// poppler-qt5 resolves each entry's page by a search over every page, which
// makes a long outline quadratic; here pages are looked up in a table built
// once and named destinations through the catalog's dictionary and sorted
// name tree.

#include "handlers.h"
#include "pdfanswers.h"
#include "pdfdocuments.h"

#include <poppler-qt5.h>

#include <Catalog.h>
#include <Link.h>
#include <Outline.h>
#include <PDFDoc.h>

#include <QHash>
#include <QSet>

#include <memory>

using namespace DecodeWire;

namespace {

static_assert(sizeof(Unicode) == sizeof(uint), "poppler's titles are UCS-4");

quint64 refKey(const Ref &ref)
{
    return (quint64(quint32(ref.num)) << 32) | quint32(ref.gen);
}

// Items are followed through /First and /Next, each object once, and read
// one at a time as poppler's OutlineItem (its title decoding and action
// parsing), freed once read: poppler's own item tree keeps every opened item
// until the document closes, with no way to close one.
class OutlineReader
{
public:
    explicit OutlineReader(PDFDoc &document)
        : m_document(document), m_catalog(*document.getCatalog()), m_xref(document.getXRef())
    {
    }

    QVector<PdfAnswers::OutlineEntry> read()
    {
        const Object *outline = m_catalog.getOutline();
        if (outline && outline->isDict())
            walk(outline->dictLookupNF("First").copy(), 0);
        return m_entries;
    }

private:
    void walk(Object item, int depth)
    {
        while (item.isRef() && m_entries.size() < PdfAnswers::kMaxOutlineEntries) {
            const Ref ref = item.getRef();
            if (m_seen.contains(refKey(ref)))
                return;
            m_seen.insert(refKey(ref));
            const Object dict = m_xref->fetch(ref);
            // A damaged item ends its list; what was read before stays.
            if (!dict.isDict())
                return;
            add(OutlineItem(dict.getDict(), ref, nullptr, m_xref, &m_document));
            Object first = dict.dictLookupNF("First").copy();
            item = dict.dictLookupNF("Next").copy();
            if (depth < PdfAnswers::kMaxOutlineDepth)
                walk(std::move(first), depth + 1);
        }
    }

    void add(const OutlineItem &item)
    {
        const QString title = QString::fromUcs4(reinterpret_cast<const uint *>(item.getTitle()),
                                                item.getTitleLength()).trimmed();
        const int page = title.isEmpty() ? -1 : pageOf(item.getAction());
        if (page >= 0)
            m_entries.append(PdfAnswers::OutlineEntry{PdfAnswers::bounded(title, PdfAnswers::kMaxTitleChars), page});
    }

    // 0-based page of a GoTo action; -1 for none.
    int pageOf(const LinkAction *action)
    {
        if (!action || action->getKind() != actionGoTo)
            return -1;
        const auto *goTo = static_cast<const LinkGoTo *>(action);
        const LinkDest *dest = goTo->getDest();
        std::unique_ptr<LinkDest> named;
        if (!dest && goTo->getNamedDest()) {
            named = namedDest(*goTo->getNamedDest());
            dest = named.get();
        }
        if (!dest || !dest->isOk())
            return -1;
        if (!dest->isPageRef()) {
            // Numbered from 1; poppler wraps a written INT_MAX to INT_MIN, and
            // nothing below 1 is a page.
            const int number = dest->getPageNum();
            return number >= 1 ? number - 1 : -1;
        }
        if (!m_pagesRead) {
            m_pagesRead = true;
            indexPages();
        }
        return m_pages.value(refKey(dest->getPageRef()), -1);
    }

    // Poppler looks a name up in the catalog's /Dests when there is one and
    // in the name tree only otherwise; a string names an entry of the tree
    // even beside /Dests, so the tree, which poppler keeps sorted, is searched too.
    std::unique_ptr<LinkDest> namedDest(const GooString &name)
    {
        if (std::unique_ptr<LinkDest> dest = m_catalog.findDest(&name))
            return dest;
        int low = 0;
        int high = m_catalog.numDestNameTree();
        while (low < high) {
            const int middle = low + (high - low) / 2;
            if (m_catalog.getDestNameTreeName(middle)->cmp(&name) < 0)
                low = middle + 1;
            else
                high = middle;
        }
        if (low < m_catalog.numDestNameTree() && m_catalog.getDestNameTreeName(low)->cmp(&name) == 0)
            return m_catalog.getDestNameTreeDest(low);
        return nullptr;
    }

    // Page indexes as poppler numbers them; a page listed twice keeps its first.
    void indexPages()
    {
        const int count = m_catalog.getNumPages();
        m_pages.reserve(count);
        for (int i = 1; i <= count; ++i) {
            if (const Ref *ref = m_catalog.getPageRef(i)) {
                if (!m_pages.contains(refKey(*ref)))
                    m_pages.insert(refKey(*ref), i - 1);
            }
        }
    }

    PDFDoc &m_document;
    Catalog &m_catalog;
    XRef *m_xref;
    QSet<quint64> m_seen;
    bool m_pagesRead = false;
    QHash<quint64, int> m_pages;
    QVector<PdfAnswers::OutlineEntry> m_entries;
};

}


Reply readPdfBook(const Request &request, QByteArray &, SharedRows &)
{
    Reply reply;
    const quint64 key = request.pdf.book;
    Poppler::Document *document = PdfDocuments::document(request.pdf, &reply.openedMs);
    PdfAnswers::Book book;
    if (const PdfCheck::Verdict *verdict = PdfDocuments::verdict(key)) {
        book.checked = true;
        book.refusal = verdict->cause;
        book.refusedPages = verdict->refusedPages;
    }
    if (!document && book.refusal.isEmpty())
        return reply;
    reply.format = "pdf";
    reply.outcome = Outcome::Done;
    if (!document) {
        // Refused by the check: the program is told why, and nothing else.
        reply.payload = PdfAnswers::write(book);
        return reply;
    }
    if (request.kind == Kind::PdfCheck) {
        // The verdict, its pages counted: the book's facts come in a request
        // of their own.
        book.pages = document->numPages();
        reply.pages = qMax(0, book.pages);
        if (book.pages > 0 && book.pages <= PdfAnswers::kMaxPages)
            book.pagePoints.resize(book.pages);
        reply.payload = PdfAnswers::write(book);
        return reply;
    }
    book.pages = document->numPages();
    reply.pages = qMax(0, book.pages);
    book.title = document->info(QStringLiteral("Title"));
    book.author = document->info(QStringLiteral("Author"));
    book.subject = document->info(QStringLiteral("Subject"));
    // A page tree past the bound is refused as it is: its pages are not read.
    if (book.pages > 0 && book.pages <= PdfAnswers::kMaxPages) {
        book.pagePoints.resize(book.pages);
        for (int i = 0; i < book.pages; ++i) {
            const std::unique_ptr<Poppler::Page> page(document->page(i));
            if (page)
                book.pagePoints[i] = page->pageSizeF();
        }
        if (PDFDoc *core = PdfDocuments::coreDocument(key))
            book.outline = OutlineReader(*core).read();
    }
    reply.payload = PdfAnswers::write(book);
    return reply;
}

Reply readPdfText(const Request &request, QByteArray &, SharedRows &)
{
    Reply reply;
    Poppler::Document *document = PdfDocuments::document(request.pdf, &reply.openedMs);
    if (!document)
        return reply;
    reply.pages = qMax(0, document->numPages());
    const int index = request.pdf.page;
    const std::unique_ptr<Poppler::Page> page(index >= 0 && index < reply.pages ? document->page(index) : nullptr);
    if (!page)
        return reply;
    PdfAnswers::PageText text;
    if (request.kind == Kind::PdfWords) {
        const QList<Poppler::TextBox *> list = page->textList();
        bool lettered = false;
        for (const Poppler::TextBox *box : list) {
            if (text.words.size() < PdfAnswers::kMaxPageWords)
                text.words.append({box->boundingBox(), PdfAnswers::bounded(box->text(), PdfAnswers::kMaxWordChars),
                                   !box->nextWord(), box->hasSpaceAfter()});
            lettered = lettered || !box->text().trimmed().isEmpty();
        }
        qDeleteAll(list);
        // Words that hold no text: the page's text as poppler lays it out.
        if (!lettered)
            text.text = page->text(QRectF());
    } else {
        text.text = page->text(QRectF());
    }
    reply.payload = PdfAnswers::write(text);
    reply.format = "pdf";
    reply.outcome = Outcome::Done;
    return reply;
}
