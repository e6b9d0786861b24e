#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// One displayed page: a chapter and a page index within it.
struct PageRef
{
    QString chapterId;
    int pageIndex = 0;
};

// Which pages a window around the reading position wants, and which chapters
// must be laid out before it can be filled.
struct LayoutPlan
{
    // Paged: the reading page, the pages ahead in order, then those behind
    // nearest first. Continuous: the strip pages in scroll order.
    QList<PageRef> pages;
    QStringList chaptersToLayout;
    bool reachedEnd = false;
    bool reachedStart = false;
};
