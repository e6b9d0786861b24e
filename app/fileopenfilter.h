#pragma once

#include <QObject>
#include <QString>

// Turns the platform's file-open events into open requests.
class FileOpenFilter : public QObject
{
public:
    using QObject::QObject;
    ~FileOpenFilter() override = default;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
};

// The book named on the command line: a relative path is put after the
// working folder (so two folders' book.epub are two books), both as spelt;
// an absolute path or a "file://" URL is passed on as given. Never cleaned
// or made canonical.
QString commandLineBook(const QString &argument);

// Hands a book path or "file://" URL to the application core once the event
// loop is running. Returns at once.
void handleOpenRequest(const QString &pathOrUrl);
