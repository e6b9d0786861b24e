#include "epubchapterparser.h"

#include "archiveimageloader.h"
#include "chapterinfo.h"
#include "epubarchive.h"
#include "epubfiles.h"
#include "htmlentityresolver.h"
#include "keys.h"
#include "logmanager.h"
#include "paths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QXmlStreamReader>

#include <algorithm>

EpubChapterParser::EpubChapterParser(QObject *parent) : ChapterParser(parent) {}

bool EpubChapterParser::writeChapterFiles(const QVector<ChapterInfo *> &chapters,
                                          const QString &filePath)
{
    // The documents stay in the archive.
    Q_UNUSED(chapters);
    Q_UNUSED(filePath);
    return true;
}

ChapterListResult EpubChapterParser::parseChapters(const QString &filePath, const QString &dataDir,
                                                   const QString &novelId, QString *error)
{
    ChapterListResult result;
    QFile opfPathFile(dataDir + QLatin1String(EpubFiles::OpfPathFile));
    if (!opfPathFile.open(QIODevice::ReadOnly))
        return result;
    QByteArray opfBytes = opfPathFile.readAll();
    opfPathFile.close();
    const int nul = opfBytes.indexOf('\0');
    if (nul >= 0)
        opfBytes.truncate(nul);
    const QString opfPath = QString::fromUtf8(opfBytes).trimmed();
    if (opfPath.isEmpty())
        return result;

    EpubArchive zip(filePath);
    if (!zip.isOpen())
        return result;
    Package package;
    if (!readOpf(zip, opfPath, &package))
        return result;
    QVector<EpubTocEntry> entries;
    readToc(zip, package.version, package.ncxPath, package.navPath, entries);

    SpineIndex index;
    // Backwards, so that the first of repeated paths or names is what stays.
    for (int i = package.spine.size() - 1; i >= 0; --i) {
        index.byPath.insert(package.spine.at(i), i);
        index.byFileName.insert(QFileInfo(package.spine.at(i)).fileName(), i);
    }

    QVector<EpubSpineMark> marks;
    marks.reserve(entries.size() + package.spine.size());
    QVector<bool> covered(package.spine.size(), false);
    for (const EpubTocEntry &entry : qAsConst(entries)) {
        const int spineIndex = spineIndexOf(entry.path, index);
        if (spineIndex < 0)
            continue;
        covered[spineIndex] = true;
        marks.append({spineIndex, joinEpubTitle(entry.parentTitle, entry.label), entry.anchor, true});
    }
    QVector<int> uncovered;
    for (int i = 0; i < covered.size(); ++i) {
        if (!covered.at(i)) {
            uncovered.append(i);
            marks.append({i, QString(), QString(), false});
        }
    }
    std::stable_sort(marks.begin(), marks.end(), [](const EpubSpineMark &a, const EpubSpineMark &b) {
        return a.spineIndex < b.spineIndex;
    });
    const QHash<int, QString> documentTitles = readDocumentTitles(zip, package.spine, uncovered, package.title);

    QDir().mkpath(dataDir);
    Build build;
    build.spine = package.spine;
    build.novelId = novelId;
    build.dataDir = dataDir;
    build.now = currentTimeString();

    // The current chapter: where it starts, its title, the anchor of the mark
    // that opened it (for merging) and the anchor its range starts at.
    int start = 0;
    QString title;
    QString markAnchor;
    QString startAnchor;
    const auto open = [&](const EpubSpineMark &mark) {
        start = mark.spineIndex;
        title = mark.fromToc ? mark.title : documentTitles.value(mark.spineIndex);
        markAnchor = mark.fromToc ? mark.anchor : QString();
        startAnchor = markAnchor;
    };
    for (int i = 0; i < marks.size(); ++i) {
        const EpubSpineMark &mark = marks.at(i);
        if (i == 0) {
            open(mark);
            // Nothing comes before the first document's first entry: its
            // lead-in belongs to the first chapter.
            startAnchor.clear();
        } else if (mark.spineIndex == start) {
            if (!mark.anchor.isEmpty() && mark.anchor != markAnchor) {
                addChapter(build, start, start, title, startAnchor, mark.anchor);
                title = mark.title;
                markAnchor = startAnchor = mark.anchor;
            }
        } else if (mark.fromToc && !mark.anchor.isEmpty()) {
            // The text ahead of the anchor runs on from the chapter before.
            addChapter(build, start, mark.spineIndex, title, startAnchor, mark.anchor);
            open(mark);
        } else {
            addChapter(build, start, mark.spineIndex - 1, title, startAnchor, QString());
            open(mark);
        }
    }
    if (!marks.isEmpty())
        addChapter(build, start, package.spine.size() - 1, title, startAnchor, QString());

    const QString copyPath = copyBook(filePath, dataDir);
    QByteArray meta = copyPath.toUtf8() + '\n' + opfPath.toUtf8() + '\n';
    for (const QString &path : qAsConst(package.spine))
        meta += path.toUtf8() + '\n';
    if (!Paths::writeFile(dataDir + QLatin1String(EpubFiles::MetaFile), meta)) {
        qWarning().noquote() << "[EpubChapterParser] 无法写入:"
                             << dataDir + QLatin1String(EpubFiles::MetaFile);
        qDeleteAll(build.chapters);
        if (error)
            *error = QCoreApplication::translate("EpubChapterParser", "保存书籍文件失败");
        return result;
    }

    const int count = build.chapters.size();
    for (int i = 0; i < count; ++i) {
        build.chapters.at(i)->setChapterIndex(i);
        build.chapters.at(i)->setNovelProcess(count > 1 ? double(i) / double(count - 1) : 0.0);
    }
    QLOG_INFO().noquote() << "[EpubChapterParser] 目录解析完成，章节数:" << count;
    result.chapters = build.chapters;
    return result;
}

QString EpubChapterParser::copyBook(const QString &filePath, const QString &dataDir)
{
    const QString target = dataDir + QLatin1String(EpubFiles::BookCopyFile);
    const QFileInfo source(filePath);
    const QFileInfo existing(target);
    // Importing the copy itself: removing it first would lose the book.
    if (existing.exists() && source.canonicalFilePath() == existing.canonicalFilePath())
        return target;
    // The page-image loader may hold the old copy open from an earlier import.
    ArchiveImageLoader::releaseArchive(target);
    QFile::remove(target);
    if (QFile::copy(filePath, target)) {
        QLOG_INFO().noquote() << "[EpubChapterParser] EPUB 已复制到:" << target;
        return target;
    }
    qWarning().noquote() << "[EpubChapterParser] EPUB 复制失败，回退到原始路径:" << filePath;
    return filePath;
}

namespace {

// Element text as a reader sees it: tags gone, character references resolved,
// white space collapsed.
QString markupText(const QString &markup)
{
    static const QRegularExpression tag(QStringLiteral("<[^>]*>"));
    static const QRegularExpression reference(QStringLiteral("&(#x[0-9A-Fa-f]+|#[0-9]+|[A-Za-z][A-Za-z0-9]*);"));
    QString text = markup;
    text.replace(tag, QStringLiteral(" "));
    QString out;
    int last = 0;
    QRegularExpressionMatchIterator it = reference.globalMatch(text);
    while (it.hasNext()) {
        const QRegularExpressionMatch match = it.next();
        out += text.midRef(last, match.capturedStart() - last);
        const QString name = match.captured(1);
        QString resolved;
        if (name.startsWith(QLatin1Char('#'))) {
            const bool hex = name.startsWith(QLatin1String("#x"));
            const uint code = name.midRef(hex ? 2 : 1).toUInt(nullptr, hex ? 16 : 10);
            if (code > 0 && code <= 0x10FFFF)
                resolved = QString::fromUcs4(&code, 1);
        } else {
            // The resolver's table holds the XML names as well.
            resolved = HtmlEntityResolver::characters(name);
        }
        out += resolved.isNull() ? match.captured(0) : resolved;
        last = match.capturedEnd();
    }
    out += text.midRef(last);
    return out.simplified();
}

}

QHash<int, QString> EpubChapterParser::readDocumentTitles(EpubArchive &zip, const QStringList &spine,
                                                          const QVector<int> &indexes,
                                                          const QString &bookTitle)
{
    static const QRegularExpression titleElement(
        QStringLiteral("<title[^>]*>(.*?)</title>"),
        QRegularExpression::CaseInsensitiveOption | QRegularExpression::DotMatchesEverythingOption);
    static const QRegularExpression headingElement(
        QStringLiteral("<h([1-3])\\b[^>]*>(.*?)</h\\1\\s*>"),
        QRegularExpression::CaseInsensitiveOption | QRegularExpression::DotMatchesEverythingOption);
    QHash<QString, QVector<int>> wanted;
    for (int i : indexes)
        wanted[spine.at(i)].append(i);
    QHash<int, QString> titles;
    if (wanted.isEmpty())
        return titles;
    struct Named
    {
        QVector<int> indexes;
        QString title;
        QString heading;
    };
    QVector<Named> documents;
    QHash<QString, int> titleCounts;
    // In archive order, each document once, however often the spine lists it.
    for (const QString &name : zip.entryNames()) {
        const auto it = wanted.find(name);
        if (it == wanted.end())
            continue;
        const QString text = zip.readText(name);
        Named named{it.value(), QString(), QString()};
        const QRegularExpressionMatch title = titleElement.match(text);
        if (title.hasMatch())
            named.title = markupText(title.captured(1));
        const QRegularExpressionMatch heading = headingElement.match(text);
        if (heading.hasMatch())
            named.heading = markupText(heading.captured(2));
        ++titleCounts[named.title];
        documents.append(named);
        wanted.erase(it);
        if (wanted.isEmpty())
            break;
    }
    // A title that is empty, the book's own (often with its author around it)
    // or the same in several documents names the book, not the chapter: the
    // first heading does better.
    for (const Named &named : qAsConst(documents)) {
        const bool bookWide = named.title.isEmpty() || titleCounts.value(named.title) > 1
            || (!bookTitle.isEmpty() && named.title.contains(bookTitle, Qt::CaseInsensitive));
        const QString title =
            capEpubTitle(bookWide && !named.heading.isEmpty() ? named.heading : named.title);
        for (int i : named.indexes)
            titles.insert(i, title);
    }
    return titles;
}

int EpubChapterParser::spineIndexOf(const QString &path, const SpineIndex &index)
{
    const auto exact = index.byPath.constFind(path);
    if (exact != index.byPath.constEnd())
        return exact.value();
    return index.byFileName.value(QFileInfo(path).fileName(), -1);
}

void EpubChapterParser::addChapter(Build &build, int startIndex, int endIndex, QString title,
                                   const QString &anchor, const QString &endAnchor)
{
    if (endIndex < startIndex)
        return;
    if (title.isEmpty())
        title = QFileInfo(build.spine.value(startIndex)).completeBaseName();
    const int number = build.chapters.size();
    auto *chapter = new ChapterInfo;
    chapter->setId(build.novelId + QLatin1Char('_') + QString::number(number));
    chapter->setNovelId(build.novelId);
    chapter->setTitle(title);
    chapter->setPath(build.dataDir
                     + QStringLiteral("chapter_%1.xhtml").arg(number, 4, 10, QLatin1Char('0')));
    chapter->setChapterIndex(number);
    chapter->setStatus(0);
    chapter->setLoadStatus(0);
    chapter->setCreateTime(build.now);
    chapter->setUpdateTime(build.now);
    chapter->setProperty("epubStartIdx", startIndex);
    chapter->setProperty("epubEndIdx", endIndex);
    chapter->setProperty("epubAnchor", anchor);
    chapter->setProperty("epubEndAnchor", endAnchor);
    if (!build.chapters.isEmpty()) {
        ChapterInfo *previous = build.chapters.last();
        previous->setNextChapter(chapter->id());
        chapter->setPrevChapter(previous->id());
    }
    build.chapters.append(chapter);
}

bool EpubChapterParser::readOpf(EpubArchive &zip, const QString &opfPath, Package *package)
{
    const QString text = zip.readText(opfPath);
    if (text.isEmpty())
        return false;
    QMap<QString, ManifestItem> manifest;
    QStringList spineIds;
    QString ncxId;
    bool inManifest = false;
    bool inSpine = false;
    HtmlEntityResolver entities;
    QXmlStreamReader xml(text);
    xml.setEntityResolver(&entities);
    while (!xml.atEnd()) {
        const QXmlStreamReader::TokenType token = xml.readNext();
        const QStringRef name = xml.name();
        if (token == QXmlStreamReader::EndElement) {
            if (name == QLatin1String("manifest"))
                inManifest = false;
            else if (name == QLatin1String("spine"))
                inSpine = false;
            continue;
        }
        if (token != QXmlStreamReader::StartElement)
            continue;
        const QXmlStreamAttributes attributes = xml.attributes();
        if (name == QLatin1String("package")) {
            package->version = attributes.value(QLatin1String("version")).toString();
        } else if (name == QLatin1String("title") && package->title.isEmpty()
                   && xml.namespaceUri() == QLatin1String("http://purl.org/dc/elements/1.1/")) {
            package->title = xml.readElementText(QXmlStreamReader::SkipChildElements).simplified();
        } else if (name == QLatin1String("manifest")) {
            inManifest = true;
        } else if (name == QLatin1String("spine")) {
            ncxId = attributes.value(QLatin1String("toc")).toString();
            inSpine = true;
        } else if (inManifest && name == QLatin1String("item")) {
            manifest.insert(attributes.value(QLatin1String("id")).toString(),
                            {attributes.value(QLatin1String("href")).toString(),
                             attributes.value(QLatin1String("media-type")).toString(),
                             attributes.value(QLatin1String("properties")).toString(),
                             attributes.value(QLatin1String("fallback")).toString()});
        } else if (inSpine && name == QLatin1String("itemref")) {
            spineIds.append(attributes.value(QLatin1String("idref")).toString());
        }
    }
    if (xml.hasError()) {
        qWarning().noquote() << "[EpubChapterParser] OPF 解析错误:" << xml.errorString();
        return false;
    }

    // XHTML and SVG are content documents. Any other type is read through the
    // fallback it declares; only without one is an item that is not plainly
    // an image, a sound, a font or another non-text type read itself, so that
    // mislabelled chapters keep their text.
    const auto isContentDocument = [](const ManifestItem &item) {
        const QString type = item.mediaType.trimmed().toLower();
        return type == QLatin1String("application/xhtml+xml") || type == QLatin1String("image/svg+xml");
    };
    const auto mayBeText = [](const ManifestItem &item) {
        const QString type = item.mediaType.trimmed().toLower();
        static const QStringList binary{"image/", "audio/", "video/", "font/", "application/font",
                                        "application/x-font", "application/vnd.ms-opentype",
                                        "application/pdf", "application/octet-stream",
                                        "application/javascript", "text/javascript", "text/css",
                                        "application/x-dtbncx+xml", "application/smil+xml"};
        return std::none_of(binary.cbegin(), binary.cend(),
                            [&type](const QString &prefix) { return type.startsWith(prefix); });
    };
    for (const QString &id : qAsConst(spineIds)) {
        // The first content document along the fallback chain, else the first
        // item of the chain that may hold text.
        auto chosen = manifest.constEnd();
        QSet<QString> chain;
        for (auto link = manifest.constFind(id); link != manifest.constEnd() && !chain.contains(link.key());
             link = manifest.constFind(link->fallback)) {
            chain.insert(link.key());
            if (isContentDocument(link.value())) {
                chosen = link;
                break;
            }
            if (chosen == manifest.constEnd() && mayBeText(link.value()))
                chosen = link;
        }
        const auto item = chosen;
        // One broken reference costs that document, not the book.
        if (item == manifest.constEnd() || item->href.isEmpty()) {
            qWarning().noquote() << "[EpubChapterParser] 跳过无效的 spine 项:" << id;
            continue;
        }
        const QString path = resolveEpubHref(item->href, opfPath);
        if (!path.isEmpty())
            package->spine.append(path);
    }
    if (!ncxId.isEmpty() && manifest.contains(ncxId))
        package->ncxPath = resolveEpubHref(manifest.value(ncxId).href, opfPath);
    for (const ManifestItem &item : qAsConst(manifest)) {
        if (package->navPath.isEmpty()
            && item.properties.split(QLatin1Char(' '), Qt::SkipEmptyParts).contains(QLatin1String("nav")))
            package->navPath = resolveEpubHref(item.href, opfPath);
        if (package->ncxPath.isEmpty() && item.mediaType == QLatin1String("application/x-dtbncx+xml"))
            package->ncxPath = resolveEpubHref(item.href, opfPath);
    }
    return !package->spine.isEmpty();
}

QString capEpubTitle(const QString &title)
{
    if (title.size() <= EpubChapterParser::MaxTitleLength)
        return title;
    int length = EpubChapterParser::MaxTitleLength;
    if (title.at(length - 1).isHighSurrogate())
        --length;
    return title.left(length);
}

QString joinEpubTitle(const QString &parent, const QString &label)
{
    return capEpubTitle(parent.isEmpty() ? label : parent + QStringLiteral(" - ") + label);
}
