#pragma once

#include "fontfacerule.h"
#include "paragraph.h"

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QVector>

class ChapterInfo;
class UnifiedChunkDao;
class UnifiedParagraphDao;

// One chapter of an EPUB converted for storing.
struct EpubChapterParseResult
{
    bool success = false;           // the chapter yielded at least one paragraph
    QVector<Paragraph> paragraphs;  // of all its spine items, in spine order
    QString error;
};

// The book-content converter shared by the EPUB, KF8 and FB2 importers.
class EpubUnifiedParser
{
public:
    // The @font-face rules of the given style texts (path to CSS text), in path order
    // and then in text order.
    static QVector<FontFaceRule> parseFontFaces(const QMap<QString, QString> &styleTexts);
    // The declarations of one @font-face block: lower-case name to trimmed value.
    static QMap<QString, QString> parseFontFaceDeclarations(const QString &blockText);
    // Trims, then drops one pair of enclosing single or double quotes.
    static QString unquoteCssValue(const QString &text);

    // The EPUB content step (built into the EPUB library, which brings the ZIP
    // and database code): converts and stores every chapter inside the
    // caller's transaction. False when no chapter has content or a stage fails.
    static bool parseAndStore(const QVector<ChapterInfo *> &chapters, const QString &novelId,
                              UnifiedParagraphDao *paragraphDao, UnifiedChunkDao *chunkDao,
                              int threadCount);
    // The whole uncompressed entry of an open minizip archive (exact name), or
    // a null array when it is missing, empty, larger than maxBytes or short.
    static QByteArray readZipEntry(void *archive, const QString &entryPath, qint64 maxBytes);
    // readZipEntry up to 20 MiB, cut at the first NUL, as UTF-8; null on failure.
    static QString readZipText(void *archive, const QString &entryPath);
};
