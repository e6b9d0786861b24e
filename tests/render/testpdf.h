#pragma once

#include <QPainter>
#include <QPdfWriter>

// A PDF with pages of the given sizes in points, each filled with its colour
// inside a 10 % blank border (an invalid colour leaves the page blank).
inline bool writeTestPdf(const QString &path, const QVector<QSizeF> &points,
                         const QVector<QColor> &fills)
{
    QPdfWriter writer(path);
    writer.setResolution(72);
    writer.setPageMargins(QMarginsF());
    QPainter painter;
    for (int i = 0; i < points.size(); ++i) {
        writer.setPageSize(QPageSize(points[i], QPageSize::Point, {}, QPageSize::ExactMatch));
        if (i == 0 ? !painter.begin(&writer) : !writer.newPage())
            return false;
        if (fills.value(i).isValid())
            painter.fillRect(QRectF(QPointF(), points[i] * 0.8).translated(points[i].width() * 0.1,
                                                                          points[i].height() * 0.1),
                             fills[i]);
    }
    return painter.end();
}
