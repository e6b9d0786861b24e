#include "fb2parser.h"

#include "chaptercontentstore.h"
#include "chapterinfo.h"
#include "chapterrecord.h"
#include "fb2xml.h"
#include "keys.h"
#include "novelinfo.h"
#include "paragraphutils.h"

#include <QXmlStreamReader>

namespace {

// Body paragraphs read are packed by this many.
const int PackParagraphs = 1024;

bool hasContent(const QVector<Paragraph> &paragraphs)
{
    for (const Paragraph &p : paragraphs) {
        if ((p.kind == Paragraph::Image && !p.imageId.isEmpty()) || !trimmedText(p))
            return true;
    }
    return false;
}

// An element past the nesting bound: its text as one paragraph, no recursion.
void readFlat(QXmlStreamReader &reader, QVector<Paragraph> &out, int kind,
              const Fb2RunStyle &style)
{
    const QString text = Fb2Xml::boundedText(reader, Fb2Parser::MaxFlatChars);
    Fb2PendingRuns runs;
    Fb2Parser::addText(runs, QStringRef(&text), style);
    Fb2Parser::flushRuns(out, kind, runs);
}

// Headings among the paragraphs of a subtitle get the level in force.
QVector<Paragraph> withHeadingLevel(QVector<Paragraph> &&parts, int level)
{
    for (Paragraph &p : parts) {
        if (p.kind == Paragraph::Heading)
            p.headingLevel = level;
    }
    return std::move(parts);
}

void appendAll(QVector<Paragraph> &out, QVector<Paragraph> &&more)
{
    if (out.isEmpty())
        out = std::move(more);
    else
        out += more;
}

// Paragraphs of a notes body are notes of their section.
void markNotes(QVector<Paragraph> &paragraphs, bool notes, const QString &noteId)
{
    if (!notes)
        return;
    for (Paragraph &p : paragraphs) {
        if (p.kind == Paragraph::Heading || p.kind == Paragraph::Image
            || p.kind == Paragraph::EmptyLine || p.kind == Paragraph::TableCell)
            continue;
        p.kind = Paragraph::Note;
        p.footnoteId = noteId;
    }
}

// The trimmed texts of the paragraphs joined by one space.
QString joinedText(const QVector<Paragraph> &paragraphs, bool withLinks)
{
    QStringList parts;
    for (const Paragraph &p : paragraphs) {
        QString text;
        for (const TextChunk &chunk : p.chunks) {
            if (withLinks || !chunk.anchorHref.startsWith(QLatin1Char('#')))
                text += chunk.text;
        }
        text = text.trimmed();
        if (!text.isEmpty())
            parts << text;
    }
    return parts.join(QLatin1Char(' '));
}

}

QString Fb2Parser::titleText(const QVector<Paragraph> &paragraphs)
{
    // Links inside the book are a title's note markers; a title made only of
    // such links keeps them.
    const QString text = joinedText(paragraphs, false).simplified();
    return text.isEmpty() ? joinedText(paragraphs, true).simplified() : text;
}

void Fb2Parser::flushChapter(Fb2WalkContext &context, const QString &title,
                             QVector<Paragraph> &titleParagraphs, Fb2PackedParagraphs &packedBody,
                             bool &packedContent, QVector<Paragraph> &bodyParagraphs, bool notes,
                             const QString &noteId)
{
    const bool content = packedContent || hasContent(bodyParagraphs);
    packedContent = false;
    if (context.tooLarge || !content) {
        // The title waits for content after it, or for the next chapter.
        packedBody = Fb2PackedParagraphs();
        bodyParagraphs.clear();
        return;
    }
    // The titles before the body, pending ones first.
    QVector<Paragraph> titles = std::move(context.pendingTitles);
    titles += titleParagraphs;
    markNotes(titles, notes, noteId);
    markNotes(bodyParagraphs, notes, noteId);
    Fb2PackedParagraphs paragraphs = std::move(packedBody);
    packedBody = Fb2PackedParagraphs();
    paragraphs.append(bodyParagraphs);
    paragraphs.prepend(titles);
    context.paragraphs += paragraphs.size();
    const QString name = title.trimmed();
    context.chapters.append(
        Fb2Chapter{name.isEmpty() ? context.pendingTitle : name, std::move(paragraphs)});
    context.pendingTitles.clear();
    context.pendingTitle.clear();
    titleParagraphs.clear();
    bodyParagraphs.clear();
}

void Fb2Parser::holdTitles(Fb2WalkContext &context, QVector<Paragraph> &titleParagraphs)
{
    if (titleParagraphs.isEmpty())
        return;
    const QString text = titleText(titleParagraphs);
    if (!text.isEmpty())
        context.pendingTitle = text;
    context.pendingTitles += titleParagraphs;
    titleParagraphs.clear();
}

void Fb2Parser::flushPendingTitles(Fb2WalkContext &context)
{
    if (!context.pendingTitles.isEmpty() && !context.tooLarge) {
        context.paragraphs += context.pendingTitles.size();
        Fb2PackedParagraphs paragraphs;
        paragraphs.append(context.pendingTitles);
        context.chapters.append(Fb2Chapter{context.pendingTitle, std::move(paragraphs)});
    }
    context.pendingTitles.clear();
    context.pendingTitle.clear();
}

void Fb2Parser::readBlock(Fb2WalkContext &context, QXmlStreamReader &reader, const QString &name,
                          QVector<Paragraph> &out, int level, int depth)
{
    const Fb2Images &images = *context.images;
    if (name == QLatin1String("p")) {
        appendAll(out, readParagraph(reader, Paragraph::Body, images, context.styles,
                                     context.bodyStyle, level, depth));
    } else if (name == QLatin1String("subtitle")) {
        appendAll(out, withHeadingLevel(readParagraph(reader, Paragraph::Heading, images,
                                                      context.styles, context.bodyStyle, level,
                                                      depth),
                                        level));
    } else if (name == QLatin1String("empty-line")) {
        out.append(defaultParagraph(Paragraph::EmptyLine));
    } else if (name == QLatin1String("image")) {
        appendParagraph(out, readImage(reader, images));
    } else if (name == QLatin1String("table")) {
        readTable(reader, images, context.styles, context.bodyStyle, out, context.tableCounter++,
                  depth);
    } else {
        const bool verse = name == QLatin1String("poem") || name == QLatin1String("stanza");
        readContainer(reader, images, context.styles, out,
                      verse ? Paragraph::Verse : Paragraph::Body, context.bodyStyle, level,
                      context.tableCounter, depth);
    }
}

void Fb2Parser::readContainer(QXmlStreamReader &reader, const Fb2Images &images,
                              const Fb2StyleSheet &styles, QVector<Paragraph> &out, int kind,
                              const Fb2RunStyle &parentStyle, int level, int &tableCounter,
                              int depth)
{
    if (depth >= MaxNesting) {
        readFlat(reader, out, kind, parentStyle);
        return;
    }
    const QString containerName = reader.name().toString();
    const Fb2RunStyle style =
        elementStyle(styles, containerName, reader.attributes(), parentStyle, level);
    Fb2PendingRuns runs;
    while (Fb2Xml::nextInside(reader, containerName)) {
        if (reader.isCharacters()) {
            addText(runs, reader.text(), style);
            continue;
        }
        if (!reader.isStartElement())
            continue;
        flushRuns(out, kind, runs);
        if (out.size() > MaxBookParagraphs) {
            // The book is refused: the rest of the container is only read past.
            while (Fb2Xml::nextInside(reader, containerName)) {
            }
            return;
        }
        const QStringRef name = reader.name();
        if (name == QLatin1String("section"))
            continue;
        if (name == QLatin1String("p") || name == QLatin1String("v")
            || name == QLatin1String("subtitle") || name == QLatin1String("text-author")
            || name == QLatin1String("date")) {
            const int partKind = name == QLatin1String("v") ? int(Paragraph::Verse)
                : name == QLatin1String("subtitle")        ? int(Paragraph::Heading)
                                                           : kind;
            QVector<Paragraph> parts =
                readParagraph(reader, partKind, images, styles, style, level, depth);
            appendAll(out, name == QLatin1String("subtitle")
                               ? withHeadingLevel(std::move(parts), level)
                               : std::move(parts));
        } else if (name == QLatin1String("empty-line")) {
            out.append(defaultParagraph(Paragraph::EmptyLine));
        } else if (name == QLatin1String("image")) {
            appendParagraph(out, readImage(reader, images));
        } else if (name == QLatin1String("table")) {
            readTable(reader, images, styles, style, out, tableCounter++, depth);
        } else if (name == QLatin1String("title")) {
            QVector<Paragraph> title;
            readContainer(reader, images, styles, title, Paragraph::Heading, style, level,
                          tableCounter, depth + 1);
            for (Paragraph &p : title) {
                if (p.kind == Paragraph::Image || p.kind == Paragraph::EmptyLine)
                    continue;
                p.kind = Paragraph::Heading;
                p.headingLevel = level;
            }
            appendAll(out, std::move(title));
        } else {
            const bool verse = name == QLatin1String("poem") || name == QLatin1String("stanza");
            readContainer(reader, images, styles, out, verse ? int(Paragraph::Verse) : kind,
                          style, level, tableCounter, depth + 1);
        }
    }
    flushRuns(out, kind, runs);
}

void Fb2Parser::walkSection(Fb2WalkContext &context, QXmlStreamReader &reader, int depth,
                            bool notes)
{
    const QString sectionId = attributeValue(reader.attributes(), QStringLiteral("id"));
    walkChildren(context, reader, QStringLiteral("section"), QString(), qMin(depth, 6),
                 qMin(depth + 1, 6), depth, notes, sectionId);
}

void Fb2Parser::walkChildren(Fb2WalkContext &context, QXmlStreamReader &reader,
                             const QString &element, QString title, int titleLevel,
                             int blockLevel, int depth, bool notes, const QString &noteId)
{
    QVector<Paragraph> titleParagraphs;
    Fb2PackedParagraphs packedBody;
    bool packedContent = false;
    QVector<Paragraph> bodyParagraphs;
    while (Fb2Xml::nextInside(reader, element)) {
        if (!reader.isStartElement())
            continue;
        const QString name = reader.name().toString();
        if (name == QLatin1String("section")) {
            flushChapter(context, title, titleParagraphs, packedBody, packedContent,
                         bodyParagraphs, notes, noteId);
            holdTitles(context, titleParagraphs);
            if (depth >= MaxNesting)
                readFlat(reader, bodyParagraphs, Paragraph::Body, context.bodyStyle);
            else
                walkSection(context, reader, depth + 1, notes);
        } else if (name == QLatin1String("title")) {
            readContainer(reader, *context.images, context.styles, titleParagraphs,
                          Paragraph::Heading, context.bodyStyle, titleLevel, context.tableCounter,
                          depth + 1);
            const QString text = titleText(titleParagraphs);
            if (!text.isEmpty())
                title = text;
        } else {
            readBlock(context, reader, name, bodyParagraphs, blockLevel, depth + 1);
            // A long section is held packed.
            if (bodyParagraphs.size() >= PackParagraphs) {
                packedContent = packedContent || hasContent(bodyParagraphs);
                markNotes(bodyParagraphs, notes, noteId);
                packedBody.append(bodyParagraphs);
                bodyParagraphs.clear();
            }
        }
        if (context.paragraphs + packedBody.size() + bodyParagraphs.size()
                + titleParagraphs.size() + context.pendingTitles.size()
            > MaxBookParagraphs) {
            context.tooLarge = true;
            packedBody = Fb2PackedParagraphs();
            bodyParagraphs.clear();
            titleParagraphs.clear();
            context.pendingTitles.clear();
        }
    }
    flushChapter(context, title, titleParagraphs, packedBody, packedContent, bodyParagraphs,
                 notes, noteId);
    holdTitles(context, titleParagraphs);
}

ParseResult Fb2Parser::parseChapters(const QString &filePath, NovelInfo *novel)
{
    if (!novel)
        return failure("FB2 书籍信息为空");
    Fb2BoundedFile file(filePath, MaxTextRunBytes);
    if (!file.open(QIODevice::ReadOnly))
        return failure("无法读取 FB2 文件");
    if (file.fileSize() > MaxFileBytes)
        return failure("FB2 文件过大（超过 512 MiB）");

    Fb2WalkContext context;
    context.images = &images;
    parseStylesheet(context.styles, styleSheetText);

    QXmlStreamReader reader(&file);
    while (!reader.atEnd()) {
        reader.readNext();
        if (!reader.isStartElement())
            continue;
        if (reader.name() == QLatin1String("binary")) {
            // Read by the book step.
            reader.skipCurrentElement();
            continue;
        }
        if (reader.name() != QLatin1String("body"))
            continue;
        context.bodyStyle = bodyStyle(context.styles, reader.attributes());
        const QString bodyName = attributeValue(reader.attributes(), QStringLiteral("name"));
        const bool notes = bodyName.compare(QLatin1String("notes"), Qt::CaseInsensitive) == 0
            || bodyName.compare(QLatin1String("comments"), Qt::CaseInsensitive) == 0;
        walkChildren(context, reader, QStringLiteral("body"), bodyName, 1, 1, 0, notes, QString());
        flushPendingTitles(context);
    }
    if (reader.hasError())
        return failure("FB2 正文 XML 结构无效");
    if (context.tooLarge)
        return failure("FB2 段落过多");
    if (context.chapters.isEmpty())
        return failure("FB2 中没有可阅读正文");

    const QString bookId = novel->id();
    const QString now = currentTimeString();
    QVector<ChapterInfo *> chapters;
    chapterParagraphs.clear();
    chapterParagraphs.reserve(context.chapters.size());
    chapters.reserve(context.chapters.size());
    for (int i = 0; i < context.chapters.size(); ++i) {
        Fb2Chapter &chapter = context.chapters[i];
        ChapterInfo *info = newChapterRecord(
            bookId + QStringLiteral("_fb2_") + QString::number(i), bookId, i,
            chapter.title.isEmpty() ? translated("第 %1 章").arg(i + 1) : chapter.title, bookPath, now);
        if (!chapters.isEmpty()) {
            ChapterInfo *previous = chapters.last();
            previous->setNextChapter(info->id());
            info->setPrevChapter(previous->id());
        }
        chapters.append(info);
        chapterParagraphs.append(std::move(chapter.paragraphs));
    }
    return ParseResult::ofChapters(chapters);
}

bool Fb2Parser::parseUnified(const QVector<ChapterInfo *> &chapters, const QString &novelId,
                             UnifiedParagraphDao *paragraphDao, UnifiedChunkDao *chunkDao)
{
    if (chapters.size() != chapterParagraphs.size())
        return false;
    // Nested in the import's own transaction: kept only when the whole import commits.
    // Decoded a piece at a time: the whole chapter is never held as paragraphs.
    ChapterPieceSource source;
    source.paragraphCount = [this](int i) { return qint64(chapterParagraphs.at(i).size()); };
    source.chunkCount = [this](int i) { return chapterParagraphs.at(i).chunkCount(); };
    source.nextPiece = [this](int i, int count) { return chapterParagraphs[i].takeFront(count); };
    const bool stored =
        storeChapterPieces(chapters, novelId, paragraphDao, chunkDao, source);
    chapterParagraphs.clear();
    return stored;
}
