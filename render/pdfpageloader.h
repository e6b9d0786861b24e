#pragma once

#include <QImage>
#include <QSize>
#include <QString>

// A parsed "pdf://path?page=N&dpi=D" image source.
struct PdfPageUrl
{
    QString path;
    int page = -1;
    int dpi = 0;
    bool valid = false;
};

// Rasterises the PDF pages named by "pdf://" image sources.
class PdfPageLoader
{
public:
    static PdfPageUrl parsePdfUrl(const QString &source);
    // Rendering is not built yet: a null image and (-1, -1).
    static QImage imageForUrl(const QString &source);
    static QSize pageSize(const QString &path, int page, int dpi);
};
