// The outline of a PDF read through qpdf: poppler resolves each entry's page
// by a search over every page, which makes a long outline quadratic; here
// pages and named destinations are looked up in maps built once.

#include "pdfchapterparser.h"

#include "logmanager.h"

// No PointerHolder: only the shared_ptr interface.
#define POINTERHOLDER_TRANSITION 4
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFNameTreeObjectHelper.hh>

#include <QFile>
#include <QHash>
#include <QSet>

#include <exception>
#include <string>
#include <unordered_map>

namespace {

// Outlines nest as deep as the file says; a hostile file is cut off here.
constexpr int MaxDepth = 64;

quint64 objectKey(const QPDFObjGen &id)
{
    return (quint64(quint32(id.getObj())) << 32) | quint32(id.getGen());
}

class OutlineReader
{
public:
    explicit OutlineReader(QPDF &pdf) : m_pdf(pdf)
    {
        const std::vector<QPDFObjectHandle> &pages = pdf.getAllPages();
        m_pages.reserve(int(pages.size()));
        for (size_t i = 0; i < pages.size(); ++i)
            m_pages.insert(objectKey(pages[i].getObjGen()), int(i));
        m_root = pdf.getRoot();
    }

    QVector<PdfTocEntry> read()
    {
        walk(m_root.getKey("/Outlines").getKey("/First"), 0);
        return m_entries;
    }

private:
    // Siblings through /Next, children through /First; every item once.
    void walk(QPDFObjectHandle item, int depth)
    {
        while (item.isDictionary() && m_entries.size() < PdfChapterParser::MaxTocEntries) {
            if (item.isIndirect() && !visit(item))
                return;
            QPDFObjectHandle title = item.getKey("/Title");
            const QString text = title.isString() ? QString::fromStdString(title.getUTF8Value()).trimmed() : QString();
            const int page = pageOf(item);
            if (!text.isEmpty() && page >= 0)
                m_entries.append(PdfTocEntry{text, page, 0});
            if (depth < MaxDepth)
                walk(item.getKey("/First"), depth + 1);
            item = item.getKey("/Next");
        }
    }

    bool visit(QPDFObjectHandle &item)
    {
        const quint64 key = objectKey(item.getObjGen());
        if (m_seen.contains(key))
            return false;
        m_seen.insert(key);
        return true;
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
            dest = m_root.getKey("/Dests").getKey(dest.getName());
        else if (dest.isString())
            dest = named(dest.getUTF8Value());
        if (dest.isDictionary())
            dest = dest.getKey("/D");
        if (!dest.isArray() || dest.getArrayNItems() < 1)
            return -1;
        QPDFObjectHandle target = dest.getArrayItem(0);
        if (target.isInteger())
            return target.getIntValueAsInt();
        return target.isIndirect() ? m_pages.value(objectKey(target.getObjGen()), -1) : -1;
    }

    // The document's name tree of destinations, read into a map on first use.
    QPDFObjectHandle named(const std::string &name)
    {
        if (!m_namesRead) {
            m_namesRead = true;
            QPDFObjectHandle tree = m_root.getKey("/Names").getKey("/Dests");
            if (tree.isDictionary()) {
                QPDFNameTreeObjectHelper helper(tree, m_pdf, false);
                for (auto it = helper.begin(); it != helper.end(); ++it)
                    m_names.emplace(it->first, it->second);
            }
        }
        const auto it = m_names.find(name);
        return it == m_names.end() ? QPDFObjectHandle::newNull() : it->second;
    }

    QPDF &m_pdf;
    QPDFObjectHandle m_root;
    QHash<quint64, int> m_pages;
    QSet<quint64> m_seen;
    bool m_namesRead = false;
    std::unordered_map<std::string, QPDFObjectHandle> m_names;
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
