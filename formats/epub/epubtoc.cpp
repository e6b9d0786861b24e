// The table-of-contents readers of EpubChapterParser: the EPUB 3 navigation
// document and the EPUB 2 NCX, both turned into a flat entry list in document
// order. Nesting deeper than MaxTocDepth is skipped and the list stops at
// MaxTocEntries, so a hostile document costs at most one linear read.

#include "epubarchive.h"
#include "epubchapterparser.h"
#include "htmlentityresolver.h"
#include "xmltext.h"

#include <QXmlStreamReader>

namespace {

bool full(const QVector<EpubTocEntry> &entries)
{
    return entries.size() >= EpubChapterParser::MaxTocEntries;
}

}

void EpubChapterParser::readToc(EpubArchive &zip, const QString &version, const QString &ncxPath,
                                const QString &navPath, QVector<EpubTocEntry> &entries)
{
    const auto readNcx = [&] {
        const QString text = zip.readText(ncxPath);
        if (!text.isEmpty())
            parseNcx(text, ncxPath, entries);
    };
    const int before = entries.size();
    if (version.startsWith(QLatin1Char('3'))) {
        if (!navPath.isEmpty())
            parseNav(zip, navPath, entries);
        if (entries.size() == before && !ncxPath.isEmpty())
            readNcx();
    } else {
        if (!ncxPath.isEmpty())
            readNcx();
        if (entries.size() == before && !navPath.isEmpty())
            parseNav(zip, navPath, entries);
    }
}

void EpubChapterParser::parseNcx(const QString &ncxText, const QString &ncxPath,
                                 QVector<EpubTocEntry> &entries)
{
    const int first = entries.size();
    HtmlEntityResolver entities;
    QXmlStreamReader reader(ncxText);
    reader.setEntityResolver(&entities);
    while (!reader.atEnd()) {
        if (reader.readNext() == QXmlStreamReader::StartElement
            && reader.name() == QLatin1String("navMap")) {
            parseNavMap(reader, entries, QString());
            break;
        }
    }
    if (reader.hasError()) {
        entries.resize(first);
        return;
    }
    for (int i = first; i < entries.size(); ++i)
        entries[i].path = resolveEpubHref(entries.at(i).path, ncxPath);
}

void EpubChapterParser::parseNavMap(QXmlStreamReader &reader, QVector<EpubTocEntry> &entries,
                                    const QString &parentTitle)
{
    while (!reader.atEnd() && !full(entries)) {
        const QXmlStreamReader::TokenType token = reader.readNext();
        if (token == QXmlStreamReader::StartElement && reader.name() == QLatin1String("navPoint"))
            parseNavPoint(reader, entries, parentTitle, 1);
        else if (token == QXmlStreamReader::EndElement && reader.name() == QLatin1String("navMap"))
            break;
    }
}

void EpubChapterParser::parseNavPoint(QXmlStreamReader &reader, QVector<EpubTocEntry> &entries,
                                      const QString &parentTitle, int depth)
{
    QString label;
    QString path;
    QString anchor;
    bool emitted = false;
    // A point without a label or a target is left out; its children are not.
    const auto emitEntry = [&] {
        if (emitted || label.isEmpty() || path.isEmpty() || full(entries))
            return;
        entries.append({label, path, anchor, parentTitle});
        emitted = true;
    };

    while (!reader.atEnd()) {
        const QXmlStreamReader::TokenType token = reader.readNext();
        if (token == QXmlStreamReader::EndElement && reader.name() == QLatin1String("navPoint"))
            break;
        if (token != QXmlStreamReader::StartElement)
            continue;
        const QStringRef name = reader.name();
        if (name == QLatin1String("navLabel")) {
            while (!reader.atEnd()) {
                const QXmlStreamReader::TokenType inner = reader.readNext();
                if (inner == QXmlStreamReader::EndElement && reader.name() == QLatin1String("navLabel"))
                    break;
                if (inner == QXmlStreamReader::StartElement && reader.name() == QLatin1String("text")) {
                    // A label may run over several indented lines.
                    label = capEpubTitle(
                        reader.readElementText(QXmlStreamReader::IncludeChildElements).simplified());
                    break;
                }
            }
        } else if (name == QLatin1String("content")) {
            const QString src = reader.attributes().value(QLatin1String("src")).toString();
            const int hash = src.indexOf(QLatin1Char('#'));
            path = hash < 0 ? src : src.left(hash);
            anchor = epubHrefAnchor(src);
        } else if (name == QLatin1String("navPoint")) {
            emitEntry();
            if (depth >= MaxTocDepth)
                reader.skipCurrentElement();
            else
                parseNavPoint(reader, entries, joinEpubTitle(parentTitle, label), depth + 1);
            if (full(entries))
                return;
        }
    }
    emitEntry();
}

void EpubChapterParser::parseNav(EpubArchive &zip, const QString &navPath,
                                 QVector<EpubTocEntry> &entries)
{
    const QString text = zip.readText(navPath);
    if (text.isEmpty())
        return;
    if (!parseNavText(text, navPath, entries)) {
        // Hand-made navigation documents are as often not well-formed as chapters.
        const QString repaired = repairHtmlToXhtml(text);
        if (!repaired.isEmpty())
            parseNavText(repaired, navPath, entries);
    }
}

bool EpubChapterParser::parseNavText(const QString &text, const QString &navPath,
                                     QVector<EpubTocEntry> &entries)
{
    const int first = entries.size();
    HtmlEntityResolver entities;
    QXmlStreamReader reader(text);
    reader.setEntityResolver(&entities);
    while (!reader.atEnd()) {
        if (reader.readNext() != QXmlStreamReader::StartElement
            || reader.name() != QLatin1String("nav"))
            continue;
        QString type;
        for (const QXmlStreamAttribute &attribute : reader.attributes()) {
            if (attribute.name() == QLatin1String("type")) {
                type = attribute.value().toString();
                break;
            }
        }
        // Landmarks and page lists are other nav elements.
        if (type.split(QLatin1Char(' '), Qt::SkipEmptyParts).contains(QLatin1String("toc"))) {
            parseNavList(reader, navPath, entries);
            break;
        }
    }
    if (!reader.hasError())
        return true;
    entries.resize(first);
    return false;
}

void EpubChapterParser::parseNavList(QXmlStreamReader &reader, const QString &navPath,
                                     QVector<EpubTocEntry> &entries)
{
    int depth = 0;          // open ol elements
    QStringList ancestors;  // titles of the enclosing links, one per level
    while (!reader.atEnd()) {
        const QXmlStreamReader::TokenType token = reader.readNext();
        const QStringRef name = reader.name();
        if (token == QXmlStreamReader::EndElement) {
            if (name == QLatin1String("nav"))
                return;
            if (name == QLatin1String("ol") && depth > 0) {
                while (ancestors.size() >= depth)
                    ancestors.removeLast();
                --depth;
            }
            continue;
        }
        if (token != QXmlStreamReader::StartElement)
            continue;
        if (name == QLatin1String("ol")) {
            ++depth;
            continue;
        }
        if (name != QLatin1String("a") || depth < 1)
            continue;
        if (depth > MaxTocDepth) {
            reader.skipCurrentElement();
            continue;
        }
        const QString href = reader.attributes().value(QLatin1String("href")).toString();
        const QString text = capEpubTitle(
            reader.readElementText(QXmlStreamReader::IncludeChildElements).simplified());
        if (href.isEmpty() || text.isEmpty())
            continue;
        while (ancestors.size() >= depth)
            ancestors.removeLast();
        while (ancestors.size() < depth - 1)
            ancestors.append(QString());
        entries.append({text, resolveEpubHref(href, navPath), epubHrefAnchor(href),
                        capEpubTitle(ancestors.join(QStringLiteral(" - ")))});
        ancestors.append(text);
        if (full(entries))
            return;
    }
}
