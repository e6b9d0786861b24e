#pragma once

#include <QColor>
#include <QPainter>
#include <QPdfWriter>
#include <QSizeF>
#include <QVector>

// Writes a PDF whose pages have the given sizes in points; each page is
// filled with its colour inside a 10 % blank border (an invalid colour leaves
// the page blank).
inline bool writeTestPdf(const QString &path, const QVector<QSizeF> &pointSizes,
                         const QVector<QColor> &fills = {})
{
    QPdfWriter writer(path);
    writer.setResolution(72);
    writer.setPageMargins(QMarginsF(0, 0, 0, 0));
    writer.setPageSize(QPageSize(pointSizes.value(0), QPageSize::Point, QString(),
                                 QPageSize::ExactMatch));
    QPainter painter;
    for (int i = 0; i < pointSizes.size(); ++i) {
        if (i > 0) {
            writer.setPageSize(QPageSize(pointSizes[i], QPageSize::Point, QString(),
                                         QPageSize::ExactMatch));
            writer.newPage();
        } else if (!painter.begin(&writer)) {
            return false;
        }
        const QColor fill = fills.value(i);
        if (fill.isValid()) {
            const QSizeF size = pointSizes[i];
            painter.fillRect(QRectF(size.width() * 0.1, size.height() * 0.1, size.width() * 0.8,
                                    size.height() * 0.8),
                             fill);
        }
    }
    return painter.end();
}
