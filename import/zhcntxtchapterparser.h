#pragma once

#include "fallbackchapterparser.h"

#include <QList>
#include <QPair>
#include <QRegularExpression>
#include <QVector>

class ChapterRegexDto;

// Splits a Chinese web novel at its chapter-heading lines (第十二章, 第3节,
// 正文 3, 【第三章】, 正文卷 第一章 ...). The pattern is chosen by counting
// heading lines in the head of the book; without one the size-based split
// applies, titled 第1章, 第2章, ... Lines end at LF, CRLF or a lone CR.
class ZhCnTxtChapterParser : public FallbackChapterParser
{
    Q_OBJECT
public:
    explicit ZhCnTxtChapterParser(QObject *parent = nullptr);
    ~ZhCnTxtChapterParser() override;

    // Names and patterns of the built-in heading forms, in order of preference.
    static const QVector<QPair<QString, QString>> &builtinPatterns();

    // Longest heading text; longer lines are body text.
    static constexpr int MaxTitleLength = 50;

    QVector<ChapterInfo *> splitChapters(const QString &text, const QString &chapterDir,
                                         const QString &novelId) override;
    QString defaultChapterTitle(int index) override;
    QString splitParagraphLines(const QString &title, const QString &text, qint64 start,
                                qint64 end) override;

    // True when the line on its own is a heading of one of the built-in forms.
    static bool isChapterTitle(const QString &line);

    // The pattern with the most heading lines in the first `limit`
    // characters (earlier patterns win ties), or null.
    ChapterRegexDto *chooseRegex(const QString &text, int limit) const;

    // Chapters starting at each heading line the expression matches; text
    // before the first heading becomes a leading chapter when not blank. A
    // heading whose number goes back (other than to one: a new volume) is
    // body text, and so is one that repeats the heading just before it; a run
    // of headings with nothing between them becomes one chapter titled 目录,
    // as does a run with a few short lines between them that the listed
    // chapters follow.
    QVector<ChapterInfo *> splitByRegex(const QString &text, const QRegularExpression &expression,
                                        const QString &chapterDir, const QString &novelId);

    // Whether the first non-space character in [from, to) is 第 or 正, or an
    // opening bracket followed by one of them.
    static bool startsWithHeadingChar(const QString &text, qint64 from, qint64 to);

    const QList<ChapterRegexDto *> &regexes() const { return m_regexes; }

private:
    void loadBuiltinRegexes();

    QList<ChapterRegexDto *> m_regexes;
};
