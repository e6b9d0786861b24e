// The outline of a PDF read through qpdf: poppler resolves each entry's page
// by a search over every page, which makes a long outline quadratic; here
// pages and named destinations are looked up in maps built once.

#include "pdfchapterparser.h"

#include "logmanager.h"

// No PointerHolder: only the shared_ptr interface.
#define POINTERHOLDER_TRANSITION 4
#include <qpdf/QPDF.hh>

#include <QFile>
#include <QHash>
#include <QSet>

#include <exception>

namespace {

// Outlines, page trees and name trees nest as deep as the file says; a
// hostile file is cut off here.
constexpr int MaxDepth = 64;

quint64 objectKey(const QPDFObjGen &id)
{
    return (quint64(quint32(id.getObj())) << 32) | quint32(id.getGen());
}

// qpdf keeps every object it has parsed, a few hundred bytes each; objects
// read once (outline items, name tree nodes) are dropped once read.
class OutlineReader
{
public:
    explicit OutlineReader(QPDF &pdf) : m_pdf(pdf), m_root(pdf.getRoot()) {}

    // What was read before a damaged object stopped the walk is kept.
    QVector<PdfTocEntry> read()
    {
        try {
            walk(m_root.getKey("/Outlines").getKey("/First"), 0);
        } catch (const std::exception &error) {
            qWarning().noquote() << "[PdfChapterParser] 大纲读取中断:" << error.what();
        }
        return m_entries;
    }

private:
    // Siblings through /Next, children through /First; every item once.
    void walk(QPDFObjectHandle item, int depth)
    {
        while (item.isDictionary() && m_entries.size() < PdfChapterParser::MaxTocEntries) {
            if (item.isIndirect() && !firstVisit(item))
                return;
            QPDFObjectHandle title = item.getKey("/Title");
            const QString text = title.isString() ? QString::fromStdString(title.getUTF8Value()).trimmed() : QString();
            const int page = pageOf(item);
            if (!text.isEmpty() && page >= 0)
                m_entries.append(PdfTocEntry{text, page, 0});
            QPDFObjectHandle first = item.getKey("/First");
            QPDFObjectHandle next = item.getKey("/Next");
            drop(item);
            if (depth < MaxDepth)
                walk(first, depth + 1);
            item = next;
        }
    }

    bool firstVisit(QPDFObjectHandle &object)
    {
        const quint64 key = objectKey(object.getObjGen());
        if (m_seen.contains(key))
            return false;
        m_seen.insert(key);
        return true;
    }

    void drop(QPDFObjectHandle &object)
    {
        if (object.isIndirect())
            m_pdf.replaceObject(object.getObjGen(), QPDFObjectHandle::newNull());
    }

    // 0-based page of the item's /Dest or GoTo action; -1 for none.
    int pageOf(QPDFObjectHandle &item)
    {
        QPDFObjectHandle dest = item.getKey("/Dest");
        if (dest.isNull()) {
            QPDFObjectHandle action = item.getKey("/A");
            if (!action.isDictionary() || !action.getKey("/S").isNameAndEquals("/GoTo"))
                return -1;
            dest = action.getKey("/D");
        }
        if (dest.isName())
            return explicitPage(m_root.getKey("/Dests").getKey(dest.getName()));
        if (dest.isString()) {
            if (!m_namesRead) {
                m_namesRead = true;
                readNames(m_root.getKey("/Names").getKey("/Dests"), 0);
            }
            return m_named.value(QByteArray::fromStdString(dest.getStringValue()), -1);
        }
        return explicitPage(dest);
    }

    // The page of [page /XYZ ...], or of << /D [page ...] >>.
    int explicitPage(QPDFObjectHandle dest)
    {
        if (dest.isDictionary())
            dest = dest.getKey("/D");
        if (!dest.isArray() || dest.getArrayNItems() < 1)
            return -1;
        QPDFObjectHandle target = dest.getArrayItem(0);
        if (target.isInteger())
            return target.getIntValueAsInt();
        if (!target.isIndirect())
            return -1;
        if (!m_pagesRead) {
            m_pagesRead = true;
            int next = 0;
            indexPages(m_root.getKey("/Pages"), 0, next);
        }
        return m_pages.value(objectKey(target.getObjGen()), -1);
    }

    // Page indexes by object, in page-tree order; pages are dropped once counted.
    void indexPages(QPDFObjectHandle node, int depth, int &next)
    {
        QPDFObjectHandle kids = node.getKey("/Kids");
        if (!kids.isArray() || depth > MaxDepth)
            return;
        const int count = kids.getArrayNItems();
        for (int i = 0; i < count; ++i) {
            QPDFObjectHandle kid = kids.getArrayItem(i);
            if (!kid.isIndirect())
                continue;
            const quint64 key = objectKey(kid.getObjGen());
            if (kid.getKey("/Kids").isArray()) {
                if (firstVisit(kid))
                    indexPages(kid, depth + 1, next);
            } else {
                // A page listed twice counts twice, as poppler numbers it.
                if (!m_pages.contains(key))
                    m_pages.insert(key, next);
                ++next;
                drop(kid);
            }
        }
    }

    // The name tree of destinations as name -> page; the first of repeated names stays.
    void readNames(QPDFObjectHandle node, int depth)
    {
        if (!node.isDictionary() || depth > MaxDepth || (node.isIndirect() && !firstVisit(node)))
            return;
        QPDFObjectHandle names = node.getKey("/Names");
        const int count = names.isArray() ? names.getArrayNItems() : 0;
        for (int i = 0; i + 1 < count; i += 2) {
            QPDFObjectHandle name = names.getArrayItem(i);
            if (!name.isString())
                continue;
            const QByteArray key = QByteArray::fromStdString(name.getStringValue());
            if (!m_named.contains(key))
                m_named.insert(key, explicitPage(names.getArrayItem(i + 1)));
        }
        drop(names);
        QPDFObjectHandle kids = node.getKey("/Kids");
        const int kidCount = kids.isArray() ? kids.getArrayNItems() : 0;
        drop(node);
        for (int i = 0; i < kidCount; ++i)
            readNames(kids.getArrayItem(i), depth + 1);
    }

    QPDF &m_pdf;
    QPDFObjectHandle m_root;
    QSet<quint64> m_seen;
    bool m_pagesRead = false;
    QHash<quint64, int> m_pages;
    bool m_namesRead = false;
    QHash<QByteArray, int> m_named;
    QVector<PdfTocEntry> m_entries;
};

}

QVector<PdfTocEntry> PdfChapterParser::extractTocFromOutline(const QString &filePath)
{
    QVector<PdfTocEntry> entries;
    try {
        QPDF pdf;
        pdf.setSuppressWarnings(true);
        pdf.processFile(QFile::encodeName(filePath).constData());
        entries = OutlineReader(pdf).read();
    } catch (const std::exception &error) {
        qWarning().noquote() << "[PdfChapterParser] 大纲读取失败:" << error.what();
        entries.clear();
    }
    if (entries.isEmpty()) {
        QLOG_DEBUG().noquote() << "[PdfChapterParser] doc->outline() 为空，无内嵌大纲";
        return entries;
    }
    std::stable_sort(entries.begin(), entries.end(),
                     [](const PdfTocEntry &a, const PdfTocEntry &b) { return a.startPage < b.startPage; });
    QLOG_INFO().noquote() << "[PdfChapterParser] outline() 提取到" << entries.size() << "条";
    return entries;
}
