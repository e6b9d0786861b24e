#pragma once

#include "layoutplan.h"
#include "layoutrecords.h"

#include <QHash>
#include <QMap>
#include <QVector>

#include <climits>

// Continuous reading: the lines of the run of laid-out chapters around the
// reading chapter stacked on one vertical strip and cut into page-high strip
// pages, numbered by a book-wide scroll index (negative above the first
// chapter laid out). A strip page showing the end of one chapter and the start
// of the next is a page of both.
//
// Reads the layout pool's chapter order and chapter layouts through the
// references it is built with; like them it is guarded by the pool's mutex.
class ContinuousStrip
{
public:
    static constexpr int NoScroll = INT_MIN;

    ContinuousStrip(const QMap<QString, int> &chapterOrder, const QMap<int, QString> &chapterAtIndex,
                    const QHash<QString, QVector<PageLayout>> &chapterLayouts);

    // Empties every table and restarts the layout stamps.
    void clear();
    // An evicted chapter loses its place; the next rebuild drops its pages.
    void forgetChapter(const QString &chapterId);

    // Rebuilds the strip from the run around the reading chapter and keeps
    // the reading chapter where it was on it. Pages whose lines did not change
    // keep their layout stamp. Re-anchors the reading position on the new
    // strip; returns false when nothing was rebuilt.
    bool rebuild(const LayoutConfig &config, QString &readingChapter, int &readingPage);

    // The lines of a laid-out chapter, each once, in order; empty when not laid out.
    static QVector<LayoutLine> chapterLines(const QVector<PageLayout> &pages);
    QVector<LayoutLine> chapterLines(const QString &chapterId) const;
    float chapterHeight(const QString &chapterId, float paragraphSpacing) const;
    static float linesHeight(const QVector<LayoutLine> &lines, float paragraphSpacing);
    QString nearestChapterWithLines(const QString &chapterId) const;

    int scrollIndexOf(const QString &chapterId, int pageIndex) const;
    PageRef pageAtScrollIndex(int scrollIndex) const;
    int scrollIndexForGlyph(const QString &chapterId, int glyphIndex) const;
    int scrollIndexForTarget(const QString &chapterId, int glyphIndex, float offset,
                             float availableHeight) const;
    // The offset that, handed back with the page's start glyph, makes
    // scrollIndexForTarget find this page again: -1 unless the page starts
    // with an image or ahead of another page beginning at the same glyph.
    float startOffset(const QString &chapterId, int pageIndex) const;
    const PageLayout *stripPage(int scrollIndex) const;
    const PageLayout *findPage(const QString &chapterId, int pageIndex) const;

    // -1 when the chapter is not on the strip.
    int chapterPageCount(const QString &chapterId) const { return m_pageCounts.value(chapterId, -1); }
    const QHash<QString, int> &pageCounts() const { return m_pageCounts; }
    const QHash<QString, QVector<PageLayout>> &displayPages() const { return m_displayPages; }
    const QMap<int, PageLayout> &stripPages() const { return m_stripPages; }
    bool hasFirstScroll(const QString &chapterId) const { return m_firstScroll.contains(chapterId); }

    int chapterPageForAddress(const QString &chapterId, const QString &addressChapterId,
                              int addressPageIndex) const;
    int pageFromGlyph(const QString &chapterId, int glyphIndex) const;
    int pageFirstGlyph(const QString &chapterId, int pageIndex) const;
    QString scrollPageKey(const QString &readingChapter, int readingPage, int pageIndex) const;
    bool isFirstPage(const QString &chapterId, int pageIndex) const;
    bool isLastPage(const QString &chapterId, int pageIndex) const;

    LayoutPlan plan(const QString &readingChapter, int readingPage, int behind, int ahead) const;
    // Page key to scroll index of every strip page, for the render pool.
    QHash<QString, int> pageSequence() const;

    // Same content for rendering: layout stamps survive when this holds.
    static bool samePageContent(const PageLayout &a, const PageLayout &b);

private:
    int orderOf(const QString &chapterId) const { return m_chapterOrder.value(chapterId, -1); }
    bool isLaidOut(const QString &chapterId) const { return m_chapterLayouts.contains(chapterId); }
    bool hasLines(const QString &chapterId) const;
    bool laidOutWithoutLines(int orderIndex) const;

    const QMap<QString, int> &m_chapterOrder;
    const QMap<int, QString> &m_chapterAtIndex;
    const QHash<QString, QVector<PageLayout>> &m_chapterLayouts;

    QHash<QString, float> m_stripOffsets;
    QHash<QString, int> m_firstScroll;
    QMap<int, PageLayout> m_stripPages;
    QMap<int, PageRef> m_scrollSequence;
    QHash<QString, QVector<int>> m_chapterScrolls;  // page index -> scroll index, ascending
    QHash<QString, QMap<int, int>> m_scrollMaps;    // scroll index -> page index
    QHash<QString, QHash<int, int>> m_firstGlyphs;  // scroll index -> first glyph on it
    QHash<QString, QVector<PageLayout>> m_displayPages;
    QHash<QString, int> m_pageCounts;
    qint64 m_lastStamp = 0;
};
