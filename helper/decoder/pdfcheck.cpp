// The check of a PDF before poppler reads it for the program: the names its
// fonts give poppler to open, and the images past the pixel bound.

#include "pdfcheck.h"

#include "decodewire.h"

#include <GlobalParams.h>
#include <PDFDoc.h>
#include <Page.h>
#include <Stream.h>
#include <XRef.h>
#include <goo/gfile.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

namespace PdfCheck {

namespace {

// Poppler opens a file named by the PDF when it looks up a Type 0 font's
// predefined CMap (/Encoding), a CMap's parent (/UseCMap, "usecmap" inside a
// CMap or ToUnicode stream) in its data folder of the font's collection
// (/Registry, /Ordering): it joins the name to the folder unchecked.
// Every object is looked at, whoever uses it, so no place a font can hide
// escapes; a check that would cost more than its bound refuses the file.
// Poppler reads a document through its table as written until a fetch fails
// (a reference past the table, a damaged entry), then through the table it
// rebuilds from the file: both are walked whole, whatever a reader fetches
// first. Objects are read in the order they lie, those of one object stream
// together, so that each stream is parsed once.
class DocumentCheck
{
public:
    // The book as the helper reads it: its bytes, or its file when they are
    // not read whole (descriptor, kept by the caller).
    DocumentCheck(const QByteArray &bytes, int descriptor) : m_bytes(bytes), m_descriptor(descriptor) {}

    // False when poppler cannot open the file.
    bool run(Verdict *verdict)
    {
        Open written = open();
        if (!written.document || !written.document->isOk())
            return false;
        m_xref = written.document->getXRef();
        const bool xrefStream = m_xref->isXRefStream();
        bool rebuilt = *written.rebuilt;
        visit(m_xref->getTrailerDict()->copy());
        const std::vector<int> order = readingOrder(m_xref);
        Open reopened;
        for (size_t k = 0; m_cause.isEmpty() && k < order.size(); ++k) {
            const Open &current = reopened.document ? reopened : written;
            const bool before = *current.rebuilt;
            fetchAndVisit(order.at(k));
            if (*current.rebuilt == before)
                continue;
            // The rest of the table as written is read from a fresh copy,
            // which costs a read of the table.
            rebuilt = true;
            if (!spend(m_xref->getNumObjects()))
                break;
            reopened = open();
            m_xref = reopened.document->getXRef();
        }
        Open rebuiltTable;
        if (m_cause.isEmpty() && (rebuilt || m_badReference) && !xrefStream) {
            rebuiltTable = open();
            m_xref = rebuiltTable.document->getXRef();
            if (!*rebuiltTable.rebuilt)
                m_xref->fetch(m_xref->getNumObjects(), 0);   // past the table: poppler rebuilds it
            visit(m_xref->getTrailerDict()->copy());
            const std::vector<int> rebuiltOrder = readingOrder(m_xref);
            for (size_t k = 0; m_cause.isEmpty() && k < rebuiltOrder.size(); ++k)
                fetchAndVisit(rebuiltOrder.at(k));
        }
        verdict->cause = m_cause;
        verdict->refusedPages.clear();
        if (m_cause.isEmpty() && m_oversized) {
            const std::set<int> pages = oversizedPages(written.document.get());
            if (rebuiltTable.document) {
                const std::set<int> more = oversizedPages(rebuiltTable.document.get());
                verdict->refusedPages = QVector<int>(more.cbegin(), more.cend());
            }
            verdict->refusedPages += QVector<int>(pages.cbegin(), pages.cend());
            std::sort(verdict->refusedPages.begin(), verdict->refusedPages.end());
            verdict->refusedPages.erase(std::unique(verdict->refusedPages.begin(), verdict->refusedPages.end()),
                                        verdict->refusedPages.end());
        }
        return true;
    }

    // The names poppler joins to a folder: [A-Za-z0-9._-]+ without "..".
    static bool plain(const std::string &name)
    {
        return !name.empty() && name.find("..") == std::string::npos
            && std::all_of(name.begin(), name.end(), [](char c) {
                   return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
                       || c == '.' || c == '_' || c == '-';
               });
    }

private:
    // An ordinary book costs a few hundred steps a page, so this allows some
    // 100,000 pages; CMap and ToUnicode streams are kilobytes, a full CJK
    // one about a megabyte. Past either bound the walk stops and refuses.
    static constexpr qint64 MaxWork = 20000000;
    static constexpr qint64 MaxStreamBytes = 64 << 20;
    // Where a JPEG 2000 image declares its size.
    static constexpr int JpxHeaderBytes = 64 << 10;

    struct Open
    {
        // Read by the document until it goes, which it does first.
        std::unique_ptr<GooFile> file;
        std::unique_ptr<PDFDoc> document;
        std::shared_ptr<bool> rebuilt;
    };

    Open open() const
    {
        Open opened;
        opened.rebuilt = std::make_shared<bool>(false);
        BaseStream *stream = nullptr;
        if (m_descriptor >= 0) {
            opened.file = GooFile::open(dup(m_descriptor));
            if (opened.file)
                stream = new FileStream(opened.file.get(), 0, false, opened.file->size(), Object(objNull));
        } else {
            stream = new MemStream(m_bytes.constData(), 0, m_bytes.size(), Object(objNull));
        }
        if (stream)
            opened.document = std::make_unique<PDFDoc>(stream, std::nullopt, std::nullopt, nullptr,
                                                       [rebuilt = opened.rebuilt] { *rebuilt = true; });
        return opened;
    }

    // Plain objects by number, then each object stream's objects in its order.
    static std::vector<int> readingOrder(XRef *xref)
    {
        std::vector<std::pair<std::pair<qint64, qint64>, int>> keyed;
        for (int num = 0; num < xref->getNumObjects(); ++num) {
            const XRefEntry *entry = xref->getEntry(num, false);
            if (entry->type == xrefEntryUncompressed)
                keyed.push_back({{-1, num}, num});
            else if (entry->type == xrefEntryCompressed)
                keyed.push_back({{qint64(entry->offset), entry->gen}, num});
        }
        std::sort(keyed.begin(), keyed.end());
        std::vector<int> order;
        order.reserve(keyed.size());
        for (const auto &key : keyed)
            order.push_back(key.second);
        return order;
    }

    void fetchAndVisit(int num)
    {
        if (!spend(1))
            return;
        const XRefEntry *entry = m_xref->getEntry(num, false);
        if (entry->type != xrefEntryFree)
            visit(m_xref->fetch(num, entry->type == xrefEntryCompressed ? 0 : entry->gen));
    }

    bool spend(qint64 work)
    {
        m_work += work;
        if (m_work > MaxWork && m_cause.isEmpty())
            m_cause = QStringLiteral("对象过多，无法检查");
        return m_cause.isEmpty();
    }

    void refuse(const char *key, const std::string &name)
    {
        m_cause = QStringLiteral("/%1 %2").arg(QLatin1String(key),
                                               QString::fromLatin1(name.data(), int(name.size())));
    }

    // A reference poppler cannot resolve through the table makes it rebuild.
    bool resolvable(const Ref &ref) const
    {
        const XRefEntry *entry =
            ref.num >= 0 && ref.num < m_xref->getNumObjects() ? m_xref->getEntry(ref.num, false) : nullptr;
        return entry && entry->type != xrefEntryFree
            && (entry->type != xrefEntryUncompressed || entry->gen == ref.gen);
    }

    void visit(const Object &object)
    {
        if (!spend(1))
            return;
        if (object.isRef()) {
            m_badReference = m_badReference || !resolvable(object.getRef());
        } else if (object.isArray()) {
            for (int i = 0; m_cause.isEmpty() && i < object.arrayGetLength(); ++i)
                visit(object.arrayGetNF(i));
        } else if (object.isDict() || object.isStream()) {
            const Dict *dict = object.isDict() ? object.getDict() : object.streamGetDict();
            for (int i = 0; m_cause.isEmpty() && i < dict->getLength(); ++i) {
                checkEntry(dict->getKey(i), dict->getValNF(i));
                visit(dict->getValNF(i));
            }
            m_oversized = m_oversized || (object.isStream() && oversizedImage(object));
        }
    }

    void checkEntry(const char *key, const Object &stored)
    {
        const bool collection = !strcmp(key, "Registry") || !strcmp(key, "Ordering");
        if (!collection && strcmp(key, "Encoding") && strcmp(key, "UseCMap") && strcmp(key, "ToUnicode"))
            return;
        const Object value = stored.fetch(m_xref);
        if (collection) {
            if (value.isString() && !value.getString()->toStr().empty() && !plain(value.getString()->toStr()))
                refuse(key, value.getString()->toStr());
        } else if (value.isName()) {
            if (!plain(value.getName()))
                refuse(key, value.getName());
        } else if (value.isStream() && stored.isRef() && m_scanned.insert(stored.getRef()).second) {
            checkCMapStream(key, value.getStream());
        }
    }

    // "/Parent usecmap" inside a CMap: every "usecmap" must follow a plain name.
    void checkCMapStream(const char *key, Stream *stream)
    {
        std::string text;
        stream->reset();
        unsigned char buffer[4096];
        for (int got; m_cause.isEmpty() && (got = stream->doGetChars(sizeof buffer, buffer)) > 0;) {
            text.append(reinterpret_cast<const char *>(buffer), size_t(got));
            m_streamBytes += got;
            if (m_streamBytes > MaxStreamBytes)
                m_cause = QStringLiteral("CMap 数据过大，无法检查");
        }
        stream->close();
        const auto space = [](char c) {
            return c == ' ' || c == '\n' || c == '\r' || c == '\t' || c == '\f' || c == '\0';
        };
        for (size_t at = text.find("usecmap"); m_cause.isEmpty() && at != std::string::npos;
             at = text.find("usecmap", at + 1)) {
            size_t end = at;
            while (end > 0 && space(text[end - 1]))
                --end;
            size_t begin = end;
            while (begin > 0 && !space(text[begin - 1]))
                --begin;
            if (begin == end || text[begin] != '/' || !plain(text.substr(begin + 1, end - begin - 1)))
                refuse(key, text.substr(begin, at + 7 - begin));
        }
    }

    // An image whose dictionary, or JPEG 2000 data, declares more pixels
    // than any picture is decoded with.
    bool oversizedImage(const Object &object)
    {
        Dict *dict = object.streamGetDict();
        if (!dict->lookup("Subtype").isName("Image"))
            return false;
        const auto side = [dict](const char *key) { return qMax(0.0, dict->lookup(key).getNumWithDefaultValue(0)); };
        double pixels = side("Width") * side("Height");
        Stream *stream = object.getStream();
        if (stream->getKind() == strJPX && stream->getNextStream()) {
            std::string head;
            Stream *data = stream->getNextStream();
            data->reset();
            unsigned char buffer[4096];
            for (int got; head.size() < size_t(JpxHeaderBytes) && (got = data->doGetChars(sizeof buffer, buffer)) > 0;)
                head.append(reinterpret_cast<const char *>(buffer), size_t(got));
            data->close();
            pixels = qMax(pixels, jpxPixels(head));
        }
        return pixels > double(DecodeWire::kMaxPixels);
    }

    // The largest size a JPEG 2000 header declares: a JP2 "ihdr" box
    // (height, width), a codestream's SIZ marker (end less offset, each way).
    static double jpxPixels(const std::string &head)
    {
        const auto word = [&head](size_t at) {
            return at + 4 <= head.size() ? double(quint32(quint8(head[at])) << 24 | quint32(quint8(head[at + 1])) << 16
                                                  | quint32(quint8(head[at + 2])) << 8 | quint8(head[at + 3]))
                                         : 0.0;
        };
        double pixels = 0;
        for (size_t at = head.find("ihdr"); at != std::string::npos; at = head.find("ihdr", at + 1))
            pixels = qMax(pixels, word(at + 4) * word(at + 8));
        for (size_t at = head.find("\xff\x51"); at != std::string::npos; at = head.find("\xff\x51", at + 1))
            pixels = qMax(pixels, qMax(0.0, word(at + 6) - word(at + 14)) * qMax(0.0, word(at + 10) - word(at + 18)));
        return pixels;
    }

    // The pages (0-based) whose resources or annotations reach an oversized
    // image; past the bound on this walk, every page not yet looked at.
    std::set<int> oversizedPages(PDFDoc *document)
    {
        std::set<int> pages;
        m_xref = document->getXRef();
        qint64 work = 0;
        const int count = document->getNumPages();
        for (int i = 0; i < count; ++i) {
            Page *page = work <= MaxWork ? document->getPage(i + 1) : nullptr;
            if (!page) {
                if (work > MaxWork)
                    pages.insert(i);
                continue;
            }
            std::set<Ref> seen;
            bool found = false;
            reach(*page->getResourceDictObject(), &seen, &found, &work);
            reach(page->getAnnotsObject(m_xref), &seen, &found, &work);
            if (found || work > MaxWork)
                pages.insert(i);
        }
        return pages;
    }

    // Everything an object leads to, but for other pages and the page tree.
    void reach(const Object &object, std::set<Ref> *seen, bool *found, qint64 *work)
    {
        if (*found || ++*work > MaxWork)
            return;
        if (object.isRef()) {
            if (!seen->insert(object.getRef()).second)
                return;
            const Object target = m_xref->fetch(object.getRef());
            if (target.isDict() && (target.dictIs("Page") || target.dictIs("Pages") || target.dictIs("Catalog")))
                return;
            reach(target, seen, found, work);
        } else if (object.isArray()) {
            for (int i = 0; i < object.arrayGetLength(); ++i)
                reach(object.arrayGetNF(i), seen, found, work);
        } else if (object.isDict() || object.isStream()) {
            if (object.isStream() && oversizedImage(object)) {
                *found = true;
                return;
            }
            const Dict *dict = object.isDict() ? object.getDict() : object.streamGetDict();
            for (int i = 0; i < dict->getLength(); ++i) {
                if (strcmp(dict->getKey(i), "Parent"))
                    reach(dict->getValNF(i), seen, found, work);
            }
        }
    }

    const QByteArray m_bytes;
    const int m_descriptor;
    XRef *m_xref = nullptr;
    QString m_cause;
    qint64 m_work = 0;
    qint64 m_streamBytes = 0;
    bool m_badReference = false;
    bool m_oversized = false;
    std::set<Ref> m_scanned;
};

} // namespace

bool run(const QByteArray &bytes, int descriptor, Verdict *verdict)
{
    return DocumentCheck(bytes, descriptor).run(verdict);
}

}
