#include "fontregistry.h"

FontRegistry &FontRegistry::instance()
{
    static FontRegistry registry;
    return registry;
}

bool FontRegistry::loadManifest(const QString &bookId, const QString &bookDataDir)
{
    Q_UNUSED(bookDataDir)
    setActiveBook(bookId);
    // Books with embedded fonts come with the EPUB import; plain books have none.
    return false;
}

void FontRegistry::setActiveBook(const QString &bookId)
{
    QMutexLocker lock(&m_mutex);
    m_activeBook = bookId;
}

QString FontRegistry::activeBook() const
{
    QMutexLocker lock(&m_mutex);
    return m_activeBook;
}
