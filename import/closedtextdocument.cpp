#include "closedtextdocument.h"

#include <QVariant>

QVariant ClosedTextDocument::loadResource(int, const QUrl &)
{
    return QVariant();
}

QString plainTextOfMarkup(const QString &html)
{
    ClosedTextDocument document;
    document.setHtml(html);
    return document.toPlainText().simplified();
}
