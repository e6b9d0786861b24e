#pragma once

#include "fb2packedparagraphs.h"
#include "fontmanifest.h"
#include "bookfolderstage.h"
#include "iformatparser.h"
#include "paragraph.h"
#include "xhtmlconvertstate.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QPair>
#include <QMap>
#include <QSet>
#include <QSize>
#include <QString>
#include <QVector>
#include <QXmlStreamAttributes>

class QXmlStreamReader;

// The style of one run of FB2 text: the TextChunk fields but the text.
struct Fb2RunStyle : RunStyle
{
    // True when the chunk has this style, whatever its text.
    bool sameAs(const TextChunk &chunk) const { return this->chunk(chunk.text) == chunk; }
};

// The book's style sheet: rules by exact selector text.
struct Fb2StyleSheet
{
    QMap<QString, QMap<QString, QString>> rules;
    // Font scale of the current body; absolute sizes are divided by it.
    float baseScale = 1.0f;
    // Families resolved through the font registry, by "family|weight|italic".
    mutable QHash<QString, QString> resolvedFamilies;
};

// One binary element of the book.
struct Fb2Binary
{
    QString id;
    QString contentType;
    QByteArray data;
};

// What one chapter of the book holds.
struct Fb2Chapter
{
    QString title;
    Fb2PackedParagraphs paragraphs;
};

// The saved images: binary id to final path and pixel size.
struct Fb2Images
{
    QMap<QString, QString> paths;
    QHash<QString, QSize> sizes;
};

// The fonts of a book step: registered at once, written into the book's
// folder with their manifest only when the import succeeds.
struct Fb2FontFiles
{
    QList<FontManifestEntry> records;
    QVector<QPair<QString, QByteArray>> files;   // path, bytes
};

// State of one walk over the bodies.
struct Fb2WalkContext
{
    const Fb2Images *images = nullptr;
    Fb2StyleSheet styles;
    Fb2RunStyle bodyStyle;
    QVector<Fb2Chapter> chapters;
    // Titles of sections that hold only sections, and a body's own title:
    // they open the next chapter, which takes the last of them as its name
    // when it has none of its own.
    QVector<Paragraph> pendingTitles;
    QString pendingTitle;
    int tableCounter = 0;
    qint64 paragraphs = 0;
    // Past MaxBookParagraphs: the rest is read but not kept.
    bool tooLarge = false;
};

// Text gathered for the paragraph being built.
struct Fb2PendingRuns
{
    QVector<TextChunk> chunks;
    bool hasText = false;
    bool pendingSpace = false;
    // The style where the pending white space was written.
    Fb2RunStyle spaceStyle;
};

// FictionBook 2 books: description, style sheets, Base64 binaries (images
// and fonts) and bodies of nested sections, one chapter per section with text.
class Fb2Parser : public IFormatParser
{
public:
    // Files larger than this are refused.
    static constexpr qint64 MaxFileBytes = qint64(512) * 1024 * 1024;
    // A binary decoding to more is dropped.
    static constexpr qint64 MaxBinaryBytes = qint64(50) * 1024 * 1024;
    // Style sheet text kept per book.
    static constexpr int MaxStyleSheetChars = 4 * 1024 * 1024;
    // Longest run of bytes without markup the XML reader is given: Base64 of
    // a binary at the cap, with line breaks, fits.
    static constexpr qint64 MaxTextRunBytes = qint64(80) * 1024 * 1024;
    // Deeper sections, containers and inline elements are read as flat text.
    static constexpr int MaxNesting = 256;
    // Text kept of one element read flat past the nesting bound.
    static constexpr int MaxFlatChars = 16 * 1024 * 1024;
    // Larger tables are stored as one paragraph per row.
    static constexpr int MaxTableColumns = 256;
    static constexpr int MaxTableCells = 100000;
    // colspan and rowspan are capped as the EPUB converter caps them.
    static constexpr int MaxCellSpan = 64;
    // Text kept of one metadata field.
    static constexpr int MaxFieldChars = 64 * 1024;
    // What one book may hold, whatever its file's size: more is refused.
    static constexpr int MaxBookParagraphs = 2000000;

    Fb2Parser() = default;
    ~Fb2Parser() override;
    Fb2Parser(const Fb2Parser &) = delete;
    Fb2Parser &operator=(const Fb2Parser &) = delete;

    static IFormatParser *create();

    ParseResult parseBookInfo(const QString &filePath) override;
    ParseResult parseChapters(const QString &filePath, NovelInfo *novel) override;
    // Stores inside the import's transaction, on the calling thread's connection.
    bool parseUnified(const QVector<ChapterInfo *> &chapters, const QString &novelId,
                      UnifiedParagraphDao *paragraphDao, UnifiedChunkDao *chunkDao) override;
    // The images and fonts of this import replace the book's earlier ones only
    // when the import succeeds; otherwise they are dropped.
    bool finishImport(bool success) override;
    BookFolderStage *folderStage() override { return &m_stage; }

    static QString attributeValue(const QXmlStreamAttributes &attributes, const QString &name);
    static QString trimmedAttribute(const QXmlStreamAttributes &attributes, const QString &name);
    static QString normalizeHref(const QString &href);
    static void saveBinaryImage(const Fb2Binary &binary, const QString &directory,
                                const QString &finalDirectory, Fb2Images &images);

    // Style sheet and run styles.
    static void parseStylesheet(Fb2StyleSheet &sheet, const QString &text);
    static QMap<QString, QString> parseDeclarations(const QString &text);
    static void applyDeclarations(Fb2RunStyle &style, const QMap<QString, QString> &declarations,
                                  float currentScale, float baseScale);
    static Fb2RunStyle elementStyle(const Fb2StyleSheet &sheet, const QString &elementName,
                                    const QXmlStreamAttributes &attributes,
                                    const Fb2RunStyle &parentStyle, int level);
    static Fb2RunStyle bodyStyle(Fb2StyleSheet &sheet, const QXmlStreamAttributes &attributes);

    // Embedded fonts.
    static QSet<QString> fontFaceIds(const QString &styleSheetText);
    static Fb2FontFiles extractFonts(const QString &bookId, const QString &dataDir,
                                     const QString &styleSheetText,
                                     const QMap<QString, QByteArray> &fontData);
    // Writes the fonts, named by their final paths, into the stage.
    static void saveFonts(const BookFolderStage &stage, Fb2FontFiles fonts);

    // Paragraphs, inline runs, images and tables. depth counts the open
    // elements above the current one, for the nesting bound.
    static QVector<Paragraph> readParagraph(QXmlStreamReader &reader, int kind,
                                            const Fb2Images &images, const Fb2StyleSheet &styles,
                                            const Fb2RunStyle &parentStyle, int level, int depth);
    static void readInline(QXmlStreamReader &reader, const QString &elementName,
                           const Fb2RunStyle &style, int kind, const Fb2Images &images,
                           const Fb2StyleSheet &styles, int level, Fb2PendingRuns &runs,
                           QVector<Paragraph> &out, int depth);
    static void addText(Fb2PendingRuns &runs, const QStringRef &text, const Fb2RunStyle &style);
    static void flushRuns(QVector<Paragraph> &out, int kind, Fb2PendingRuns &runs);
    static void appendParagraph(QVector<Paragraph> &out, const Paragraph &paragraph);
    static Paragraph readImage(QXmlStreamReader &reader, const Fb2Images &images);
    static void readTable(QXmlStreamReader &reader, const Fb2Images &images,
                          const Fb2StyleSheet &styles, const Fb2RunStyle &parentStyle,
                          QVector<Paragraph> &out, int tableId, int depth);

    // Body walker.
    static void walkSection(Fb2WalkContext &context, QXmlStreamReader &reader, int depth,
                            bool notes);
    // The children of a body or section up to its end element: its title,
    // blocks and nested sections; content before each nested section and at
    // the end becomes a chapter.
    static void walkChildren(Fb2WalkContext &context, QXmlStreamReader &reader,
                             const QString &element, QString title, int titleLevel,
                             int blockLevel, int depth, bool notes, const QString &noteId);
    // bodyParagraphs follow packedBody, the body's earlier paragraphs;
    // packedContent tells whether those hold content.
    static void flushChapter(Fb2WalkContext &context, const QString &title,
                             QVector<Paragraph> &titleParagraphs, Fb2PackedParagraphs &packedBody,
                             bool &packedContent, QVector<Paragraph> &bodyParagraphs, bool notes,
                             const QString &noteId);
    // Titles no chapter took yet wait for the next one.
    static void holdTitles(Fb2WalkContext &context, QVector<Paragraph> &titleParagraphs);
    // At the end of a body, titles nothing followed are a chapter of their own.
    static void flushPendingTitles(Fb2WalkContext &context);
    static void readBlock(Fb2WalkContext &context, QXmlStreamReader &reader, const QString &name,
                          QVector<Paragraph> &out, int level, int depth);
    static void readContainer(QXmlStreamReader &reader, const Fb2Images &images,
                              const Fb2StyleSheet &styles, QVector<Paragraph> &out, int kind,
                              const Fb2RunStyle &parentStyle, int level, int &tableCounter,
                              int depth);
    // The text of a title for the chapter list, without its note references.
    static QString titleText(const QVector<Paragraph> &paragraphs);

    static Paragraph defaultParagraph(int kind);

    // Read by the chapter step after the book step; public for the tests.
    QString bookPath;
    QString dataDir;
    QString styleSheetText;
    Fb2Images images;
    QVector<Fb2PackedParagraphs> chapterParagraphs;

private:
    static QString translated(const char *text);
    static ParseResult failure(const char *text);
    // Images and fonts are staged and swapped in after the commit.
    BookFolderStage m_stage;
    Fb2FontFiles m_fonts;
    bool m_fontsPending = false;
};
