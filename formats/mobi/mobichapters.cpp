#include "mobiparser.h"

#include "chaptercontentstore.h"
#include "chapterinfo.h"
#include "chapterrecord.h"
#include "epubunifiedparser.h"
#include "fontregistry.h"
#include "keys.h"
#include "mobierror.h"
#include "novelinfo.h"
#include "paths.h"
#include "unifiedchunkdao.h"
#include "unifiedparagraphdao.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QUrl>

using mobi::fail;

namespace {

constexpr qint64 MaxFontBytes = 52428800;

// Slices of one whole-document conversion cut at the anchors, in their order:
// [0] the text before the first anchor, then one per anchor. False when an
// anchor was not met or the anchors do not ascend.
bool sliceAtAnchors(const XhtmlConvertResult &converted, const QStringList &anchors,
                    QVector<QVector<Paragraph>> &slices)
{
    QVector<int> starts;
    starts.reserve(anchors.size() + 2);
    starts.append(0);
    for (const QString &anchor : anchors) {
        const auto found = converted.anchorParagraphs.constFind(anchor);
        if (found == converted.anchorParagraphs.constEnd() || found.value() < starts.last())
            return false;
        starts.append(found.value());
    }
    starts.append(converted.paragraphs.size());
    slices.clear();
    for (int i = 0; i + 1 < starts.size(); ++i)
        slices.append(converted.paragraphs.mid(starts[i], starts[i + 1] - starts[i]));
    return true;
}

// The chapters of one conversion cut at the anchors: the text before the
// first anchor (a title page, a foreword) under bookTitle when there is any,
// then one chapter per anchor titled anchorTitles[i]. Appends nothing and
// returns false when the conversion failed, an anchor was not met or a
// chapter came out empty.
bool appendChaptersAtAnchors(const XhtmlConvertResult &converted, const QStringList &anchors,
                             const QStringList &anchorTitles, const QString &bookTitle,
                             QVector<QString> &titles, QList<QVector<Paragraph>> &paragraphs)
{
    QVector<QVector<Paragraph>> slices;
    if (!converted.ok || !sliceAtAnchors(converted, anchors, slices))
        return false;
    for (int i = 1; i < slices.size(); ++i) {
        if (slices.at(i).isEmpty())
            return false;
    }
    if (!slices.first().isEmpty()) {
        titles.append(bookTitle);
        paragraphs.append(slices.first());
    }
    for (int i = 0; i < anchorTitles.size(); ++i) {
        titles.append(anchorTitles.at(i));
        paragraphs.append(slices.at(i + 1));
    }
    return true;
}

// The paragraphs of one conversion cut where each anchor's element starts:
// [0] before the first anchor, then one per anchor. An empty anchor (the
// part's start) or one the conversion did not meet cuts where the one
// before it did, so its slice is empty.
QVector<QVector<Paragraph>> slicesAt(const XhtmlConvertResult &converted, const QStringList &anchors)
{
    QVector<QVector<Paragraph>> slices;
    slices.reserve(anchors.size() + 1);
    int from = 0;
    for (const QString &anchor : anchors) {
        const int at = qMax(from, converted.anchorParagraphs.value(anchor, from));
        slices.append(converted.paragraphs.mid(from, at - from));
        from = at;
    }
    slices.append(converted.paragraphs.mid(from));
    return slices;
}

// Text that is more than white space, or a picture: a chapter of neither is
// not worth a place in the chapter list.
bool hasContent(const QVector<Paragraph> &paragraphs)
{
    for (const Paragraph &paragraph : paragraphs) {
        if (!paragraph.imageId.isEmpty())
            return true;
        for (const TextChunk &chunk : paragraph.chunks) {
            for (const QChar c : chunk.text) {
                if (!c.isSpace())
                    return true;
            }
        }
    }
    return false;
}

}

ParseResult MobiParser::parseChapters(const QString &filePath, NovelInfo *novel)
{
    if (!novel)
        return ParseResult::failed(QStringLiteral("MOBI 书籍信息为空"));
    // Fonts of an earlier import of this book come back before new ones are added.
    FontRegistry &registry = FontRegistry::instance();
    if (!registry.loadManifest(novel->id(), novel->dataDir()))
        registry.setActiveBook(novel->id());

    QString error;
    if (filePath != openedPath) {
        if (!openPalmDb(book, filePath, &error))
            return ParseResult::failed(error);
        openedPath = filePath;
    }

    QVector<QString> titles;
    QList<QVector<Paragraph>> paragraphs;
    const bool combined = book.mobiSection.startRecord >= 0;
    bool done = false;
    if (hasKf8Section(book)) {
        QList<QByteArray> parts;
        QList<QByteArray> flows;
        QList<Kf8NavEntry> navigation;
        QString kf8Error;
        const bool loaded = loadKf8Content(book, &parts, &flows, &navigation, &kf8Error)
            && !parts.isEmpty();
        if (loaded)
            done = importKf8(parts, flows, navigation, novel->title(), titles, paragraphs, &kf8Error);
        // A combined file still has its MOBI 6 text when the KF8 one cannot be read.
        if (!done && !combined)
            return ParseResult::failed(kf8Error.isEmpty() ? QStringLiteral("KF8 中没有可阅读正文") : kf8Error);
        if (!done) {
            titles.clear();
            paragraphs.clear();
        }
    }
    if (!done && !importMobi6(novel->title(), titles, paragraphs, &error))
        return ParseResult::failed(error);

    chapterParagraphs = paragraphs;
    const QString now = currentTimeString();
    ParseResult result;
    result.success = true;
    // No previous/next links: MOBI chapters leave them unset.
    for (int i = 0; i < titles.size(); ++i)
        result.chapters.append(newChapterRecord(novel->id() + QStringLiteral("_mobi_") + QString::number(i),
                                                novel->id(), i, titles.at(i), openedPath, now));
    return result;
}

bool MobiParser::importKf8(const QList<QByteArray> &parts, const QList<QByteArray> &flows,
                           const QList<Kf8NavEntry> &navigation, const QString &bookTitle,
                           QVector<QString> &titles, QList<QVector<Paragraph>> &paragraphs,
                           QString *error)
{
    if (!saveFlows(flows, error) || !registerBookFonts(error))
        return false;
    const CssStyleSheetMap sheets = CssStyleSheet::parseAll(styleSheetTexts);
    const Kf8Plan plan = planKf8Targets(book, parts, navigation);
    // With a table of contents, chapters run from one entry to the next
    // across parts; the text before the first entry has the book's title.
    QString openTitle = bookTitle;
    QVector<Paragraph> open;
    const auto closeChapter = [&](const QString &nextTitle) {
        if (hasContent(open)) {
            titles.append(openTitle);
            paragraphs.append(open);
        }
        open.clear();
        openTitle = nextTitle;
    };
    QString lastError;
    for (int j = 0; j < parts.size(); ++j) {
        const Kf8PartPlan &partPlan = plan.parts.at(j);
        QByteArray bytes = parts.at(j);
        insertNavAnchors(bytes, partPlan.insertions);
        const QString document = insertPageBreaks(MobiMarkup::rewriteKindlePositions(
            rewriteKindleLinks(decodeText(book, bytes, book.kf8Section)), plan.links));
        const QString documentPath = QStringLiteral("kf8-document-%1.xhtml").arg(j);

        QString stage = QStringLiteral("无 NCX 整文档解析");
        if (!partPlan.chapterAnchors.isEmpty()) {
            // One conversion of the part, cut where its chapters start.
            const XhtmlConvertResult converted = EpubUnifiedParser::convertXhtmlCut(
                document, sheets, savedFilePaths, mimeTypesByPath, documentPath, QString(),
                QString(), partPlan.chapterAnchors);
            if (converted.ok) {
                const QVector<QVector<Paragraph>> slices = slicesAt(converted, partPlan.chapterAnchors);
                open += slices.first();
                for (int i = 1; i < slices.size(); ++i) {
                    closeChapter(partPlan.chapterTitles.at(i - 1));
                    open = slices.at(i);
                }
                continue;
            }
            stage = QStringLiteral("NCX 分段失败后整文档降级解析");
        }

        const XhtmlConvertResult whole = EpubUnifiedParser::convertXhtml(
            document, sheets, savedFilePaths, mimeTypesByPath, documentPath, QString(), QString(),
            QString(), QString());
        const QString message =
            formatKf8ParseError(j, stage, bytes.size(), document.size(), whole);
        if (!whole.ok)
            return fail(error, message);
        if (whole.paragraphs.isEmpty())
            lastError = message;
        if (plan.byNavigation) {
            // A part that could not be cut goes whole to its first entry.
            if (!partPlan.chapterTitles.isEmpty())
                closeChapter(partPlan.chapterTitles.first());
            open += whole.paragraphs;
            continue;
        }
        if (!hasContent(whole.paragraphs))
            continue;
        titles.append(parts.size() == 1 ? bookTitle
                                        : QStringLiteral("%1 %2").arg(bookTitle).arg(j + 1));
        paragraphs.append(whole.paragraphs);
    }
    closeChapter(QString());
    if (titles.isEmpty())
        return fail(error, lastError.isEmpty() ? QStringLiteral("KF8 中没有可阅读正文") : lastError);
    return true;
}

bool MobiParser::importMobi6(const QString &bookTitle, QVector<QString> &titles,
                             QList<QVector<Paragraph>> &paragraphs, QString *error)
{
    QString textError;
    QByteArray bytes = book.mobiSection.startRecord < 0
        ? extractBookText(book, &textError)
        : extractText(book, book.mobiSection, &textError);
    if (bytes.isEmpty())
        return fail(error, textError.isEmpty() ? QStringLiteral("MOBI 中没有可阅读正文") : textError);
    // Each step lets the text it came from go before the next one runs.
    QString html = decodeBookText(book, MobiMarkup::insertFileposAnchors(bytes));
    bytes = QByteArray();
    html = wrapMobiHtml(html);
    html = MobiMarkup::rewriteFileposLinks(html);
    html = rewriteImageRecindex(html);
    const QVector<MobiTocEntry> toc = buildMobiToc(html);
    // Kindle markup writes numbers unquoted (calibre's guide references):
    // quoted once here rather than after a failed conversion. The copy goes
    // at once when nothing was quoted.
    {
        bool quoted = false;
        QString repaired = EpubUnifiedParser::quoteUnquotedAttributes(html, &quoted);
        if (quoted)
            html = std::move(repaired);
    }

    const CssStyleSheetMap noSheets;
    const QString documentPath = QStringLiteral("book.html");
    if (!toc.isEmpty()) {
        QStringList anchors;
        QStringList entryTitles;
        for (const MobiTocEntry &entry : toc) {
            anchors.append(entry.anchor);
            entryTitles.append(entry.title);
        }
        // One conversion of the whole document, cut at every entry.
        const XhtmlConvertResult converted = EpubUnifiedParser::convertXhtmlCut(
            html, noSheets, savedFilePaths, mimeTypesByPath, documentPath, QString(), QString(),
            anchors);
        if (appendChaptersAtAnchors(converted, anchors, entryTitles, bookTitle, titles, paragraphs))
            return true;
    }

    const XhtmlConvertResult whole = EpubUnifiedParser::convertXhtml(
        html, noSheets, savedFilePaths, mimeTypesByPath, documentPath, QString(), QString(),
        QString(), QString());
    if (!whole.ok || whole.paragraphs.isEmpty())
        return fail(error, whole.errorMessage.isEmpty() ? QStringLiteral("MOBI 正文 HTML 无法解析")
                                                            : whole.errorMessage);
    titles.append(bookTitle);
    paragraphs.append(whole.paragraphs);
    return true;
}

bool MobiParser::saveFlows(const QList<QByteArray> &flows, QString *error)
{
    if (flows.isEmpty())
        return fail(error, QStringLiteral("KF8 flow 为空"));
    const QDir dir(dataDir);
    if (!QDir(writeDir()).mkpath(QStringLiteral("styles")) || !QDir(writeDir()).mkpath(QStringLiteral("images")))
        return fail(error, QStringLiteral("无法创建 KF8 资源目录"));

    QMap<int, QByteArray> contents;
    for (int i = 1; i < flows.size(); ++i) {
        QByteArray data = flows.at(i);
        const QByteArray trimmed = data.trimmed();
        if (trimmed.startsWith("<![CDATA[") && trimmed.endsWith("]]>") && trimmed.size() > 11)
            data = trimmed.mid(9, trimmed.size() - 12);
        const QByteArray lower = data.trimmed().toLower();
        const bool svg = lower.startsWith("<svg") || (lower.startsWith("<?xml") && lower.contains("<svg"));
        flowNamesByIndex.insert(i, QStringLiteral("kf8-flow-%1.%2")
                                       .arg(i, 4, 10, QLatin1Char('0'))
                                       .arg(svg ? QStringLiteral("svg") : QStringLiteral("css")));
        contents.insert(i, data);
    }
    // Flows may name each other, so every name is known before any is written.
    for (auto it = contents.constBegin(); it != contents.constEnd(); ++it) {
        const QString name = flowNamesByIndex.value(it.key());
        const QString path = dir.absoluteFilePath(name);
        const QString text = rewriteKindleLinks(decodeText(book, it.value(), book.kf8Section));
        const QByteArray utf8 = text.toUtf8();
        if (!Paths::writeFile(stage.staged(path), utf8))
            return fail(error, QStringLiteral("无法保存 KF8 flow 资源"));
        const bool css = name.endsWith(QLatin1String(".css"));
        savedFilePaths.insert(name, path);
        mimeTypesByPath.insert(path, css ? QStringLiteral("text/css") : QStringLiteral("image/svg+xml"));
        if (css)
            styleSheetTexts.insert(path, text);
    }
    return true;
}

bool MobiParser::registerBookFonts(QString *error)
{
    FontRegistry &registry = FontRegistry::instance();
    const QVector<FontFaceRule> rules = EpubUnifiedParser::parseFontFaces(styleSheetTexts);
    QList<FontManifestEntry> manifest;
    QSet<QString> registered;
    for (const FontFaceRule &rule : rules) {
        const QString key = rule.family.trimmed().toLower() + QLatin1Char('|')
            + QString::number(rule.weight) + QLatin1Char('|')
            + (rule.italic ? QStringLiteral("italic") : QStringLiteral("normal"));
        if (registered.contains(key))
            continue;
        for (const FontFaceSource &source : rule.sources) {
            if (!source.isUrl)
                continue;
            const QString name = QDir::cleanPath(QUrl::fromPercentEncoding(source.value.toUtf8()));
            QString path = savedFilePaths.value(name);
            if (path.isEmpty())
                path = savedFilePaths.value(QFileInfo(name).fileName());
            if (path.isEmpty())
                continue;
            QFile file(stage.staged(path));
            if (file.size() > MaxFontBytes || !file.open(QIODevice::ReadOnly))
                return fail(error, QStringLiteral("无法读取 KF8 字体资源"));
            const QByteArray bytes = file.readAll();
            if (registry.registerFontData(rule.family, rule.weight, rule.italic, bytes).isEmpty())
                continue;
            FontManifestEntry entry;
            entry.alias = FontRegistry::aliasFamily(registry.activeBookId(), rule.family,
                                                    rule.weight, rule.italic);
            entry.cssFamily = rule.family;
            entry.resourcePath = path;
            entry.weight = rule.weight;
            entry.italic = rule.italic;
            entry.candidateOrder = manifest.size();
            manifest.append(entry);
            registered.insert(key);
            break;
        }
    }
    if (!manifest.isEmpty() && !registry.saveManifest(writeDir(), QString(), manifest))
        return fail(error, QStringLiteral("无法保存 KF8 字体清单"));
    return true;
}

bool MobiParser::parseUnified(const QVector<ChapterInfo *> &chapters, const QString &novelId,
                              UnifiedParagraphDao *paragraphDao, UnifiedChunkDao *chunkDao)
{
    if (chapterParagraphs.size() != chapters.size())
        return false;
    // Nested inside the import's own transaction on this thread's connection.
    return storeChapterContent(chapters, novelId, paragraphDao, chunkDao,
                               [this](int i) -> QVector<Paragraph> & { return chapterParagraphs[i]; });
}
