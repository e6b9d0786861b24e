#pragma once

#include "layoutrecords.h"

#include <QVector>

// Packs a chapter's lines into pages: paged (each line on one page, optional
// orphan and widow control) or continuous (page-high bands of one strip; a
// line cut by a band edge is on both pages).
namespace PageBuilder {
QVector<PageLayout> buildPages(const QVector<LayoutLine> &lines, const LayoutConfig &config);
}
