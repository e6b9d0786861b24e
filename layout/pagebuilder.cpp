#include "pagebuilder.h"

#include "logmanager.h"

#include <algorithm>
#include <cmath>

namespace {

bool isTextLine(const LayoutLine &line)
{
    return !line.isImage && !line.isTableRow;
}

// Rows of one table sit together without paragraph spacing.
bool paragraphChanges(const LayoutLine &a, const LayoutLine &b)
{
    if (a.isTableRow && b.isTableRow && a.tableId == b.tableId)
        return false;
    return a.paragraphIndex != b.paragraphIndex;
}

void takeFirstLineFields(PageLayout &page, const LayoutLine &line)
{
    page.firstParaIndex = line.paragraphIndex;
    page.startGlyph = line.startGlyph;
    page.startProgress = line.startProgress;
}

// Shows something on a page: text, a picture or a table.
bool isVisible(const LayoutLine &line)
{
    return line.isImage || line.isTableRow || !line.glyphRuns.isEmpty();
}

bool showsAnything(const PageLayout &page)
{
    return std::any_of(page.lines.cbegin(), page.lines.cend(), isVisible);
}

float bottomOf(const PageLayout &page)
{
    if (page.lines.isEmpty())
        return 0;
    const LayoutLine &last = page.lines.constLast();
    return last.y + last.height + last.spaceAfter;
}

// Empty lines, rules and spacing never make a page of their own: such a page
// joins the page before it, below its last line (past the page's end, where
// nothing is drawn); before a chapter's first page that shows something, it
// joins that page above its top, and that page starts where they started.
// A chapter that shows nothing at all keeps one page.
QVector<PageLayout> foldBlankPages(QVector<PageLayout> pages)
{
    QVector<PageLayout> kept;
    QVector<PageLayout> leading;
    for (PageLayout &page : pages) {
        if (!kept.isEmpty() && !showsAnything(page)) {
            PageLayout &previous = kept.last();
            const float top = bottomOf(previous);
            for (LayoutLine line : qAsConst(page.lines)) {
                line.y += top;
                previous.lines.append(line);
            }
            continue;
        }
        if (!showsAnything(page) && page.pageIndex + 1 < pages.size()) {
            leading.append(page);
            continue;
        }
        if (!leading.isEmpty()) {
            float top = 0;
            for (const PageLayout &blank : qAsConst(leading))
                top -= bottomOf(blank);
            QVector<LayoutLine> above;
            for (const PageLayout &blank : qAsConst(leading)) {
                for (LayoutLine line : blank.lines) {
                    line.y += top;
                    above.append(line);
                }
                top += bottomOf(blank);
            }
            page.lines = above + page.lines;
            takeFirstLineFields(page, page.lines.constFirst());
            leading.clear();
        }
        page.pageIndex = kept.size();
        kept.append(page);
    }
    return kept;
}

class PagedBuilder
{
public:
    PagedBuilder(const QVector<LayoutLine> &lines, const LayoutConfig &config)
        : m_lines(lines), m_config(config), m_height(config.textAreaHeight())
    {
    }

    QVector<PageLayout> build()
    {
        m_page.pageIndex = 0;
        takeFirstLineFields(m_page, m_lines.first());
        for (int i = 0; i < m_lines.size(); ++i) {
            const LayoutLine &line = m_lines[i];
            if (i > 0 && paragraphChanges(m_lines[i - 1], line))
                m_used += m_config.paragraphSpacing;
            if (!m_page.lines.isEmpty()) {
                const LayoutLine &last = m_page.lines.constLast();
                if ((last.isImage && last.vCenter) || (line.isImage && line.vCenter)
                    || (m_config.orphanControl && keepWithNext(i))
                    || m_used + line.cost() > m_height) {
                    startPage(line);
                } else {
                    place(line, m_used);
                    logBlank(i);
                    continue;
                }
            }
            if (m_config.orphanControl && lastOfParagraph(i))
                pullWidowPartner(line);
            place(line, m_used);
            logBlank(i);
        }
        if (!m_page.lines.isEmpty())
            m_pages.append(m_page);
        return m_pages;
    }

private:
    bool keepWithNext(int i) const
    {
        const LayoutLine &line = m_lines[i];
        if (!isTextLine(line) || i == 0 || i + 1 >= m_lines.size())
            return false;
        if (m_lines[i - 1].paragraphIndex == line.paragraphIndex
            || m_lines[i + 1].paragraphIndex != line.paragraphIndex)
            return false;
        const float remaining = m_height - m_used;
        return remaining >= line.cost() && remaining < line.cost() + m_lines[i + 1].cost();
    }

    bool lastOfParagraph(int i) const
    {
        return isTextLine(m_lines[i]) && i + 1 < m_lines.size()
            && m_lines[i + 1].paragraphIndex != m_lines[i].paragraphIndex;
    }

    // A paragraph's last line does not open a page alone: the line before it
    // comes along, but only a text line of the same paragraph, only when the
    // previous page keeps a line, and only when both fit.
    void pullWidowPartner(const LayoutLine &line)
    {
        if (m_pages.isEmpty())
            return;
        PageLayout &previous = m_pages.last();
        if (previous.lines.size() < 2)
            return;
        const LayoutLine &partner = previous.lines.constLast();
        if (!isTextLine(partner) || partner.paragraphIndex != line.paragraphIndex)
            return;
        if (m_used + partner.cost() + line.cost() > m_height)
            return;
        LayoutLine moved = partner;
        previous.lines.removeLast();
        takeFirstLineFields(m_page, moved);
        place(moved, m_used);
    }

    void startPage(const LayoutLine &line)
    {
        m_pages.append(m_page);
        m_page = PageLayout();
        m_page.pageIndex = m_pages.size();
        takeFirstLineFields(m_page, line);
        m_used = 0;
    }

    // The space before a paragraph lies above its first line; a page that
    // starts with the paragraph starts at its top all the same.
    void place(const LayoutLine &line, float slotTop)
    {
        const float before = m_page.lines.isEmpty() ? 0.0f : line.spaceBefore;
        m_page.lines.append(line);
        m_page.lines.last().y = slotTop + before;
        m_used = slotTop + before + line.height + line.spaceAfter;
    }

    void logBlank(int i) const
    {
        const LayoutLine &line = m_page.lines.constLast();
        if (line.glyphRuns.isEmpty() && !line.isImage && line.height > 0) {
            QLOG_DEBUG().noquote() << "[PageBuilder] blank line placed:" << "page=" << m_page.pageIndex
                                   << "lineIdx=" << i << "firstParaIndex=" << line.paragraphIndex
                                   << "height=" << line.height << "y=" << line.y;
        }
    }

    const QVector<LayoutLine> &m_lines;
    const LayoutConfig &m_config;
    const float m_height;
    QVector<PageLayout> m_pages;
    PageLayout m_page;
    float m_used = 0;
};

QVector<PageLayout> buildContinuous(const QVector<LayoutLine> &lines, const LayoutConfig &config)
{
    const double height = config.textAreaHeight();
    QVector<PageLayout> pages;
    if (height <= 0)
        return pages;
    // The strip can be far longer than a float counts exactly.
    double y = 0;
    for (int i = 0; i < lines.size(); ++i) {
        const LayoutLine &line = lines[i];
        const double cost = line.cost();
        double yEnd = y;
        if (cost > 0) {
            yEnd = y + cost;
            // The bands are those the drawn line touches.
            const double top = y + line.drawnTop();
            const double bottom = top + line.drawnHeight();
            const int firstBand = int(std::floor(top / height));
            const int lastBand = qMax(firstBand, int(std::ceil(bottom / height)) - 1);
            while (pages.size() <= lastBand) {
                PageLayout page;
                page.pageIndex = pages.size();
                pages.append(page);
            }
            for (int p = firstBand; p <= lastBand; ++p) {
                PageLayout &page = pages[p];
                if (page.lines.isEmpty()) {
                    takeFirstLineFields(page, line);
                    page.chapterId = line.chapterId;
                }
                page.lines.append(line);
                LayoutLine &placed = page.lines.last();
                placed.stripY = float(top);
                placed.y = float(top - p * height);
            }
        }
        y = yEnd;
        if (i + 1 < lines.size() && paragraphChanges(line, lines[i + 1]))
            y += config.paragraphSpacing;
    }
    return pages;
}

}

namespace PageBuilder {

QVector<PageLayout> buildPages(const QVector<LayoutLine> &lines, const LayoutConfig &config)
{
    if (lines.isEmpty())
        return {};
    if (config.continuousMode)
        return buildContinuous(lines, config);
    return foldBlankPages(PagedBuilder(lines, config).build());
}

}
