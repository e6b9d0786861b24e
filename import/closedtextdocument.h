#pragma once

#include <QString>
#include <QTextDocument>

// A rich text document for book markup: Qt's own loads every style sheet
// and picture the markup names (local files, a FIFO that never ends), this
// one loads nothing.
class ClosedTextDocument : public QTextDocument
{
public:
    using QTextDocument::QTextDocument;

protected:
    QVariant loadResource(int type, const QUrl &name) override;
};

// The text of book markup as a ClosedTextDocument reads it, simplified.
QString plainTextOfMarkup(const QString &html);
