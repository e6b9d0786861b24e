#include "pdfpageloader.h"

#include <QStringList>

PdfPageUrl PdfPageLoader::parsePdfUrl(const QString &source)
{
    PdfPageUrl url;
    if (!source.startsWith(QLatin1String("pdf://")))
        return url;
    const QString rest = source.mid(6);
    // The query never holds a '?', but a file name may.
    const int query = rest.lastIndexOf(QLatin1Char('?'));
    if (query < 0)
        return url;
    url.path = rest.left(query);
    const QStringList parts = rest.mid(query + 1).split(QLatin1Char('&'));
    for (const QString &part : parts) {
        const int eq = part.indexOf(QLatin1Char('='));
        if (eq < 0)
            continue;
        const QStringRef key = part.leftRef(eq);
        if (key == QLatin1String("page"))
            url.page = part.midRef(eq + 1).toInt();
        else if (key == QLatin1String("dpi"))
            url.dpi = part.midRef(eq + 1).toInt();
    }
    url.valid = !url.path.isEmpty() && url.page >= 0 && url.dpi > 0;
    return url;
}

QImage PdfPageLoader::imageForUrl(const QString &)
{
    return QImage();
}

QSize PdfPageLoader::pageSize(const QString &, int, int)
{
    return QSize(-1, -1);
}
