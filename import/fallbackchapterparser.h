#pragma once

#include "chapterparser.h"

#include <QStringList>

// Reads and decodes a plain-text book and cuts it into chapters of about 1500
// to 2500 characters at the best break nearby. Offsets are indexes into the
// decoded text (UTF-16 code units), start and end both inclusive.
class FallbackChapterParser : public ChapterParser
{
    Q_OBJECT
public:
    explicit FallbackChapterParser(QObject *parent = nullptr);

    // Books above this size are refused rather than decoded into memory.
    static constexpr qint64 MaxFileSize = 256 * 1024 * 1024;

    ChapterListResult parseChapters(const QString &filePath, const QString &dataDir,
                                    const QString &novelId, QString *error) override;
    bool writeChapterFiles(const QVector<ChapterInfo *> &chapters, const QString &text) override;

    virtual QVector<ChapterInfo *> splitChapters(const QString &text, const QString &chapterDir,
                                                 const QString &novelId);
    virtual QString titleForIndex(int index, const QString &text, qint64 start, qint64 end);
    virtual QString defaultChapterTitle(int index);
    // The XHTML of one chapter: one paragraph per non-empty line of [start, end].
    virtual QString splitParagraphLines(const QString &title, const QString &text, qint64 start,
                                        qint64 end);

    // The whole file decoded; empty with *error set when it cannot be read.
    static QString readTextFile(const QString &filePath, QString *error);
    QVector<ChapterInfo *> splitBySize(const QString &text, const QString &chapterDir,
                                       const QString &novelId);
    // The index in [lo, hi] a chapter should end at: a blank line, else a
    // sentence end, else a clause mark, else hi; the latest of each kind.
    static qint64 findSplitPoint(const QString &text, qint64 lo, qint64 hi);
    static QString buildChapterXhtml(const QString &title, const QStringList &lines);
};
