#include "continuousstrip.h"

#include "renderpool.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

// Paragraph spacing goes between paragraphs, but not between rows of one table.
bool spacingBetween(const LayoutLine &previous, const LayoutLine &line)
{
    if (previous.paragraphIndex < 0 || line.paragraphIndex == previous.paragraphIndex)
        return false;
    return !(line.isTableRow && previous.isTableRow && line.tableId == previous.tableId);
}

bool closeTo(qreal a, qreal b) { return std::abs(a - b) <= 0.00001; }

bool relativelyEqual(qreal a, qreal b)
{
    return std::abs(a - b) * 100000.0 <= std::min(std::abs(a), std::abs(b));
}

bool sameRect(const QRectF &a, const QRectF &b)
{
    return relativelyEqual(a.x(), b.x()) && relativelyEqual(a.y(), b.y())
        && relativelyEqual(a.width(), b.width()) && relativelyEqual(a.height(), b.height());
}

bool sameRun(const GlyphRunItem &a, const GlyphRunItem &b)
{
    if (a.fontKey != b.fontKey || a.glyphIndexes != b.glyphIndexes
        || a.positions.size() != b.positions.size() || a.startProgress != b.startProgress
        || a.endProgress != b.endProgress || a.paragraphIndex != b.paragraphIndex
        || a.textColor != b.textColor || a.highlightColor != b.highlightColor
        || a.anchorHref != b.anchorHref || !sameRect(a.boundingRect, b.boundingRect)
        || a.underline != b.underline || a.strikeOut != b.strikeOut)
        return false;
    for (int i = 0; i < a.positions.size(); ++i) {
        if (!closeTo(a.positions[i].x(), b.positions[i].x())
            || !closeTo(a.positions[i].y(), b.positions[i].y()))
            return false;
    }
    return true;
}

bool sameLine(const LayoutLine &a, const LayoutLine &b)
{
    if (a.chapterId != b.chapterId || a.lineIndex != b.lineIndex || a.startGlyph != b.startGlyph
        || a.endGlyph != b.endGlyph || a.startProgress != b.startProgress
        || a.endProgress != b.endProgress || a.glyphRuns.size() != b.glyphRuns.size()
        || a.isImage != b.isImage || a.imageSource != b.imageSource || a.isTableRow != b.isTableRow
        || qRound(a.y) != qRound(b.y) || qRound(a.height) != qRound(b.height)
        || qRound(a.displayWidth) != qRound(b.displayWidth)
        || qRound(a.displayHeight) != qRound(b.displayHeight) || a.cells.size() != b.cells.size()
        || a.cellImages.size() != b.cellImages.size())
        return false;
    for (int i = 0; i < a.cellImages.size(); ++i) {
        if (a.cellImages[i].source != b.cellImages[i].source
            || a.cellImages[i].rect.toRect() != b.cellImages[i].rect.toRect())
            return false;
    }
    for (int i = 0; i < a.glyphRuns.size(); ++i) {
        if (!sameRun(a.glyphRuns[i], b.glyphRuns[i]))
            return false;
    }
    for (int i = 0; i < a.cells.size(); ++i) {
        const TableCellBox &x = a.cells[i];
        const TableCellBox &y = b.cells[i];
        if (x.header != y.header || x.paragraphIndex != y.paragraphIndex || qRound(x.x) != qRound(y.x)
            || qRound(x.width) != qRound(y.width) || qRound(x.height) != qRound(y.height))
            return false;
    }
    return true;
}

// What the rebuild records for each chapter of the run while placing lines.
struct Placement
{
    QString chapterId;
    QVector<LayoutLine> lines;
    QVector<int> scrolls;  // ascending, each once
    QHash<int, int> firstGlyphs;
};

}

ContinuousStrip::ContinuousStrip(const QMap<QString, int> &chapterOrder,
                                 const QMap<int, QString> &chapterAtIndex,
                                 const QHash<QString, QVector<PageLayout>> &chapterLayouts)
    : m_chapterOrder(chapterOrder), m_chapterAtIndex(chapterAtIndex), m_chapterLayouts(chapterLayouts)
{
}

void ContinuousStrip::clear()
{
    m_stripOffsets.clear();
    m_firstScroll.clear();
    m_stripPages.clear();
    m_scrollSequence.clear();
    m_chapterScrolls.clear();
    m_scrollMaps.clear();
    m_firstGlyphs.clear();
    m_displayPages.clear();
    m_pageCounts.clear();
    m_lastStamp = 0;
}

void ContinuousStrip::forgetChapter(const QString &chapterId)
{
    m_stripOffsets.remove(chapterId);
    m_firstScroll.remove(chapterId);
}

QVector<LayoutLine> ContinuousStrip::chapterLines(const QVector<PageLayout> &pages)
{
    int total = 0;
    int largest = -1;
    for (const PageLayout &page : pages) {
        total += page.lines.size();
        for (const LayoutLine &line : page.lines)
            largest = std::max(largest, line.lineIndex);
    }
    QVector<LayoutLine> lines;
    lines.reserve(total);
    std::vector<bool> taken(size_t(largest + 1), false);
    for (const PageLayout &page : pages) {
        for (const LayoutLine &line : page.lines) {
            if (line.lineIndex < 0 || taken[size_t(line.lineIndex)])
                continue;
            taken[size_t(line.lineIndex)] = true;
            lines.append(line);
        }
    }
    return lines;
}

QVector<LayoutLine> ContinuousStrip::chapterLines(const QString &chapterId) const
{
    const auto it = m_chapterLayouts.constFind(chapterId);
    return it == m_chapterLayouts.constEnd() ? QVector<LayoutLine>() : chapterLines(*it);
}

bool ContinuousStrip::hasLines(const QString &chapterId) const
{
    const auto it = m_chapterLayouts.constFind(chapterId);
    if (it == m_chapterLayouts.constEnd())
        return false;
    for (const PageLayout &page : *it) {
        for (const LayoutLine &line : page.lines) {
            if (line.lineIndex >= 0)
                return true;
        }
    }
    return false;
}

bool ContinuousStrip::laidOutWithoutLines(int orderIndex) const
{
    const auto it = m_chapterAtIndex.constFind(orderIndex);
    return it != m_chapterAtIndex.constEnd() && isLaidOut(*it) && !hasLines(*it);
}

float ContinuousStrip::chapterHeight(const QString &chapterId, float paragraphSpacing) const
{
    return linesHeight(chapterLines(chapterId), paragraphSpacing);
}

float ContinuousStrip::linesHeight(const QVector<LayoutLine> &lines, float paragraphSpacing)
{
    float height = 0.0f;
    for (int i = 0; i < lines.size(); ++i) {
        if (i > 0 && spacingBetween(lines[i - 1], lines[i]))
            height += paragraphSpacing;
        height += lines[i].cost();
    }
    return height;
}

QString ContinuousStrip::nearestChapterWithLines(const QString &chapterId) const
{
    const int a = orderOf(chapterId);
    if (a < 0)
        return QString();
    for (int d = 0; d < m_chapterOrder.size(); ++d) {
        for (int index : {a + d, a - d}) {
            const QString candidate = m_chapterAtIndex.value(index);
            if (!candidate.isEmpty() && hasLines(candidate))
                return candidate;
            if (d == 0)
                break;
        }
    }
    return QString();
}

bool ContinuousStrip::rebuild(const LayoutConfig &config, QString &readingChapter, int &readingPage)
{
    const float H = config.textAreaHeight();
    if (H <= 0)
        return false;
    const int s0 = scrollIndexOf(readingChapter, readingPage);
    const PageLayout *anchorPage = stripPage(s0);
    const int g0 = anchorPage ? anchorPage->startGlyph : 0;
    const qint64 stamp = ++m_lastStamp;

    const int readingOrder = m_chapterOrder.value(readingChapter, INT_MIN);
    if (readingOrder == INT_MIN)
        return false;
    int first = readingOrder;
    while (m_chapterAtIndex.contains(first - 1) && isLaidOut(m_chapterAtIndex.value(first - 1)))
        --first;
    int last = readingOrder;
    while (m_chapterAtIndex.contains(last + 1) && isLaidOut(m_chapterAtIndex.value(last + 1)))
        ++last;

    QVector<Placement> run;
    float y = m_stripOffsets.value(readingChapter, 0.0f);
    for (int i = first; i <= last; ++i) {
        Placement chapter;
        chapter.chapterId = i == readingOrder ? readingChapter : m_chapterAtIndex.value(i);
        chapter.lines = chapterLines(chapter.chapterId);
        if (i < readingOrder)
            y -= linesHeight(chapter.lines, config.paragraphSpacing);
        run.append(chapter);
    }

    m_stripOffsets.clear();
    QMap<int, PageLayout> pages;
    auto current = pages.end();
    for (Placement &chapter : run) {
        m_stripOffsets.insert(chapter.chapterId, y);
        const QVector<LayoutLine> &lines = chapter.lines;
        float cursor = 0.0f;
        const LayoutLine *previous = nullptr;
        for (const LayoutLine &line : lines) {
            const float cost = line.cost();
            if (cost <= 0)
                continue;
            if (previous && spacingBetween(*previous, line))
                cursor += config.paragraphSpacing;
            previous = &line;
            // The bands are those the drawn line touches.
            const double top = double(y) + cursor + line.drawnTop();
            const double extent = line.drawnHeight();
            const int firstPage = int(std::floor(top / H));
            const int lastPage = int(std::ceil((top + extent) / H)) - 1;
            for (int k = firstPage; k <= lastPage; ++k) {
                const double overlap = std::min(top + extent, double(k + 1) * H) - std::max(top, double(k) * H);
                if (overlap < 1.0)
                    continue;
                if (current == pages.end() || current.key() != k) {
                    // A new page will likely hold as many lines as the one before.
                    const int expected = current == pages.end() ? 0 : current->lines.size();
                    current = pages.find(k);
                    if (current == pages.end()) {
                        current = pages.insert(k, PageLayout());
                        current->lines.reserve(expected + 2);
                    }
                }
                PageLayout &page = *current;
                if (page.lines.isEmpty()) {
                    page.firstParaIndex = line.paragraphIndex;
                    page.startGlyph = line.startGlyph;
                    page.startProgress = line.startProgress;
                    page.chapterId = line.chapterId;
                }
                page.lines.append(line);
                page.lines.last().y = float(qRound(top - double(k) * H));
                if (chapter.scrolls.isEmpty() || chapter.scrolls.last() != k) {
                    if (!chapter.scrolls.isEmpty() && chapter.scrolls.last() > k) {
                        // Negative spacing can step back a page; keep the list ascending.
                        if (!chapter.scrolls.contains(k)) {
                            chapter.scrolls.append(k);
                            std::sort(chapter.scrolls.begin(), chapter.scrolls.end());
                        }
                    } else {
                        chapter.scrolls.append(k);
                    }
                }
                if (!chapter.firstGlyphs.contains(k))
                    chapter.firstGlyphs.insert(k, line.startGlyph);
            }
            cursor += cost;
        }
        y += cursor;
    }

    for (auto it = pages.begin(); it != pages.end(); ++it) {
        QVector<LayoutLine> &lines = it->lines;
        const auto byY = [](const LayoutLine &a, const LayoutLine &b) { return a.y < b.y; };
        if (!std::is_sorted(lines.cbegin(), lines.cend(), byY))
            std::stable_sort(lines.begin(), lines.end(), byY);
        const auto old = m_stripPages.constFind(it.key());
        it->layoutStamp = old != m_stripPages.constEnd() && samePageContent(*old, *it)
            ? old->layoutStamp : stamp;
    }
    m_stripPages.swap(pages);

    m_firstScroll.clear();
    m_chapterScrolls.clear();
    m_scrollMaps.clear();
    m_firstGlyphs.clear();
    m_displayPages.clear();
    m_pageCounts.clear();
    for (const Placement &chapter : run) {
        QMap<int, int> map;
        for (int i = 0; i < chapter.scrolls.size(); ++i)
            map.insert(chapter.scrolls[i], i);
        if (!chapter.scrolls.isEmpty())
            m_firstScroll.insert(chapter.chapterId, chapter.scrolls.first());
        m_chapterScrolls.insert(chapter.chapterId, chapter.scrolls);
        m_scrollMaps.insert(chapter.chapterId, map);
        m_firstGlyphs.insert(chapter.chapterId, chapter.firstGlyphs);
        m_pageCounts.insert(chapter.chapterId, chapter.scrolls.size());
    }

    m_scrollSequence.clear();
    for (auto it = m_stripPages.begin(); it != m_stripPages.end(); ++it) {
        QString owner = it->lines.first().chapterId;
        if (!m_scrollMaps.value(owner).contains(it.key())) {
            owner.clear();
            for (const Placement &chapter : run) {
                if (m_scrollMaps.value(chapter.chapterId).contains(it.key())) {
                    owner = chapter.chapterId;
                    break;
                }
            }
        }
        const int ownerPage = m_scrollMaps.value(owner).value(it.key());
        m_scrollSequence.insert(it.key(), {owner, ownerPage});
        it->pageIndex = ownerPage;
    }

    // Each chapter's own numbering on its copies, so a page index finds them.
    for (const Placement &chapter : run) {
        QVector<PageLayout> shown;
        shown.reserve(chapter.scrolls.size());
        for (int i = 0; i < chapter.scrolls.size(); ++i) {
            shown.append(m_stripPages.value(chapter.scrolls[i]));
            shown.last().pageIndex = i;
        }
        m_displayPages.insert(chapter.chapterId, shown);
    }

    int anchor = s0;
    if (!m_scrollSequence.contains(anchor) && !readingChapter.isEmpty())
        anchor = scrollIndexForGlyph(readingChapter, g0);
    const PageRef reading = pageAtScrollIndex(anchor);
    if (!reading.chapterId.isEmpty()) {
        readingChapter = reading.chapterId;
        readingPage = reading.pageIndex;
    }
    return true;
}

bool ContinuousStrip::samePageContent(const PageLayout &a, const PageLayout &b)
{
    if (a.lines.size() != b.lines.size())
        return false;
    for (int i = 0; i < a.lines.size(); ++i) {
        if (!sameLine(a.lines[i], b.lines[i]))
            return false;
    }
    return true;
}

int ContinuousStrip::scrollIndexOf(const QString &chapterId, int pageIndex) const
{
    const auto it = m_chapterScrolls.constFind(chapterId);
    if (it == m_chapterScrolls.constEnd() || pageIndex < 0 || pageIndex >= it->size())
        return NoScroll;
    return it->at(pageIndex);
}

PageRef ContinuousStrip::pageAtScrollIndex(int scrollIndex) const
{
    return m_scrollSequence.value(scrollIndex);
}

int ContinuousStrip::scrollIndexForGlyph(const QString &chapterId, int glyphIndex) const
{
    const auto map = m_scrollMaps.constFind(chapterId);
    if (map == m_scrollMaps.constEnd() || map->isEmpty())
        return NoScroll;
    const QHash<int, int> glyphs = m_firstGlyphs.value(chapterId);
    int kept = NoScroll;
    int keptGlyph = 0;
    for (auto it = map->constBegin(); it != map->constEnd(); ++it) {
        const int glyph = glyphs.value(it.key(), 0);
        if (glyph > glyphIndex)
            break;
        if (kept == NoScroll || glyph > keptGlyph) {
            kept = it.key();
            keptGlyph = glyph;
        }
    }
    return kept != NoScroll ? kept : map->firstKey();
}

namespace {

// A strip page that a reading position saved from it names: the page's own
// start (what the reading screen stores) is the glyph, and its top line is
// text (an image at the top is named by its offset instead).
bool beginsAt(const PageLayout &page, const QString &chapterId, int glyphIndex)
{
    return !page.lines.isEmpty() && page.chapterId == chapterId && page.startGlyph == glyphIndex
        && !page.lines.first().isImage;
}

}

int ContinuousStrip::scrollIndexForTarget(const QString &chapterId, int glyphIndex, float offset,
                                          float availableHeight) const
{
    if (offset >= 0) {
        for (auto it = m_stripPages.constBegin(); it != m_stripPages.constEnd(); ++it) {
            for (const LayoutLine &line : it->lines) {
                const float h = line.height;
                if (line.chapterId != chapterId || line.startGlyph != glyphIndex || !line.isImage
                    || h <= 0)
                    continue;
                const float p = line.y + std::min(h - 0.001f, offset * h);
                if (p >= 0 && p < availableHeight)
                    return it.key();
            }
        }
    }
    // The strip cuts lines at page boundaries, so a line that opens a page
    // usually ends the page above as well: the page that begins with it is
    // the one that was left. Pages of blank lines alone begin at the glyph
    // of the page after them; an offset of 0 or more picks the first.
    int first = NoScroll;
    int last = NoScroll;
    for (auto it = m_stripPages.constBegin(); it != m_stripPages.constEnd(); ++it) {
        if (!beginsAt(*it, chapterId, glyphIndex))
            continue;
        if (first == NoScroll)
            first = it.key();
        last = it.key();
    }
    if (first != NoScroll)
        return offset >= 0 ? first : last;
    if (offset < 0) {
        for (auto it = m_stripPages.constBegin(); it != m_stripPages.constEnd(); ++it) {
            for (const LayoutLine &line : it->lines) {
                if (line.chapterId == chapterId && line.startGlyph == glyphIndex && !line.isImage)
                    return it.key();
            }
        }
    }
    return scrollIndexForGlyph(chapterId, glyphIndex);
}

float ContinuousStrip::startOffset(const QString &chapterId, int pageIndex) const
{
    const int s = scrollIndexOf(chapterId, pageIndex);
    const PageLayout *page = stripPage(s);
    if (!page || page->lines.isEmpty())
        return -1.0f;
    const LayoutLine &top = page->lines.first();
    if (top.isImage) {
        if (top.height <= 0 || top.chapterId != page->chapterId || top.startGlyph != page->startGlyph)
            return -1.0f;
        // Half a pixel into the page: the point lies on this page alone.
        return std::min((std::max(0.0f, -top.y) + 0.5f) / top.height, 1.0f);
    }
    for (auto it = m_stripPages.upperBound(s); it != m_stripPages.constEnd(); ++it) {
        if (beginsAt(*it, page->chapterId, page->startGlyph))
            return 0.0f;
    }
    return -1.0f;
}

const PageLayout *ContinuousStrip::stripPage(int scrollIndex) const
{
    const auto it = m_stripPages.constFind(scrollIndex);
    return it == m_stripPages.constEnd() ? nullptr : &*it;
}

const PageLayout *ContinuousStrip::findPage(const QString &chapterId, int pageIndex) const
{
    return stripPage(scrollIndexOf(chapterId, pageIndex));
}

int ContinuousStrip::chapterPageForAddress(const QString &chapterId, const QString &addressChapterId,
                                           int addressPageIndex) const
{
    const int s = scrollIndexOf(addressChapterId, addressPageIndex);
    if (s == NoScroll)
        return -1;
    return m_scrollMaps.value(chapterId).value(s, -1);
}

int ContinuousStrip::pageFromGlyph(const QString &chapterId, int glyphIndex) const
{
    const int s = scrollIndexForGlyph(chapterId, std::max(glyphIndex, 0));
    if (s == NoScroll)
        return -1;
    return m_scrollMaps.value(chapterId).value(s, -1);
}

int ContinuousStrip::pageFirstGlyph(const QString &chapterId, int pageIndex) const
{
    const int s = scrollIndexOf(chapterId, pageIndex);
    if (s == NoScroll)
        return -1;
    return m_firstGlyphs.value(chapterId).value(s, -1);
}

QString ContinuousStrip::scrollPageKey(const QString &readingChapter, int readingPage, int pageIndex) const
{
    if (!m_firstScroll.contains(readingChapter))
        return QString();
    const int s = scrollIndexOf(readingChapter, readingPage);
    if (s == NoScroll)
        return QString();
    const auto it = m_scrollSequence.constFind(s + pageIndex - readingPage);
    if (it == m_scrollSequence.constEnd())
        return QString();
    return RenderPool::makeKey(it->chapterId, it->pageIndex);
}

bool ContinuousStrip::isFirstPage(const QString &chapterId, int pageIndex) const
{
    if (m_stripPages.isEmpty())
        return false;
    const int s = scrollIndexOf(chapterId, pageIndex);
    if (s != m_stripPages.firstKey() || m_stripPages.first().lines.isEmpty())
        return false;
    const int n = orderOf(m_stripPages.first().lines.first().chapterId);
    for (int i = 0; i < n; ++i) {
        if (!laidOutWithoutLines(i))
            return false;
    }
    return true;
}

bool ContinuousStrip::isLastPage(const QString &chapterId, int pageIndex) const
{
    if (m_stripPages.isEmpty())
        return false;
    const int s = scrollIndexOf(chapterId, pageIndex);
    if (s != m_stripPages.lastKey() || m_stripPages.last().lines.isEmpty())
        return false;
    const int n = orderOf(m_stripPages.last().lines.last().chapterId);
    for (int i = n + 1; m_chapterAtIndex.contains(i); ++i) {
        if (!laidOutWithoutLines(i))
            return false;
    }
    return true;
}

LayoutPlan ContinuousStrip::plan(const QString &readingChapter, int readingPage, int behind, int ahead) const
{
    LayoutPlan plan;
    if (!isLaidOut(readingChapter)) {
        plan.chaptersToLayout << readingChapter;
        return plan;
    }
    int m = scrollIndexOf(readingChapter, readingPage);
    if (m == NoScroll) {
        const QString nearest = nearestChapterWithLines(readingChapter);
        if (nearest.isEmpty()) {
            const int o = orderOf(readingChapter);
            for (int j = 1; j < m_chapterOrder.size(); ++j) {
                for (int index : {o + j, o - j}) {
                    const auto it = m_chapterAtIndex.constFind(index);
                    if (it != m_chapterAtIndex.constEnd() && !isLaidOut(*it)) {
                        plan.chaptersToLayout << *it;
                        return plan;
                    }
                }
            }
            return plan;
        }
        m = scrollIndexOf(nearest, 0);
        if (m == NoScroll)
            return plan;
    }
    for (int i = -behind; i <= ahead; ++i) {
        const PageRef ref = pageAtScrollIndex(m + i);
        if (!ref.chapterId.isEmpty())
            plan.pages << ref;
    }
    const int a = m_chapterOrder.value(readingChapter, INT_MIN);
    if (a == INT_MIN || m_stripPages.isEmpty())
        return plan;
    int lo = a;
    while (m_chapterAtIndex.contains(lo) && isLaidOut(m_chapterAtIndex.value(lo)))
        --lo;
    int hi = a;
    while (m_chapterAtIndex.contains(hi) && isLaidOut(m_chapterAtIndex.value(hi)))
        ++hi;
    if (qint64(m) - behind < m_stripPages.firstKey()) {
        if (m_chapterAtIndex.contains(lo))
            plan.chaptersToLayout << m_chapterAtIndex.value(lo);
        else
            plan.reachedStart = true;
    }
    if (m_stripPages.lastKey() < qint64(m) + ahead) {
        if (m_chapterAtIndex.contains(hi))
            plan.chaptersToLayout << m_chapterAtIndex.value(hi);
        else
            plan.reachedEnd = true;
    }
    return plan;
}

QHash<QString, int> ContinuousStrip::pageSequence() const
{
    QHash<QString, int> sequence;
    sequence.reserve(m_scrollSequence.size());
    for (auto it = m_scrollSequence.constBegin(); it != m_scrollSequence.constEnd(); ++it)
        sequence.insert(RenderPool::makeKey(it->chapterId, it->pageIndex), it.key());
    return sequence;
}
