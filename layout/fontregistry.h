#pragma once

#include <QMutex>
#include <QString>

// Process-wide registry of the fonts embedded in the open book.
class FontRegistry
{
public:
    static FontRegistry &instance();

    // Makes the book active (dropping another book's fonts) and registers the
    // fonts listed in its "fonts/manifest.json".
    bool loadManifest(const QString &bookId, const QString &bookDataDir);
    void setActiveBook(const QString &bookId);
    QString activeBook() const;

private:
    FontRegistry() = default;

    mutable QMutex m_mutex;
    QString m_activeBook;
};
