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

// Hands a book path or "file://" URL to the application core once the event
// loop is running. Returns at once.
void handleOpenRequest(const QString &pathOrUrl);
