#pragma once

#include "fontmanifest.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMap>
#include <atomic>
#include <mutex>
#include <QSet>
#include <QString>
#include <QStringList>

// Process-wide registry of the fonts a book brings with it. Only one book is
// active at a time; its fonts are registered with the application font
// database and reached through alias families installed as QFont
// substitutions, so the family names stored in a book's text resolve to the
// book's own fonts. Every operation but the pure ones takes the one mutex for
// its whole duration.
class FontRegistry
{
public:
    static FontRegistry &instance();

    QString activeBookId() const;
    // Another book than the active one drops every font and alias of the old one.
    void setActiveBook(const QString &bookId);
    void clearAll();

    // "quillora-<12 hex of SHA-1(bookId)>-<12 hex of SHA-1(family|weight|style)>".
    static QString aliasFamily(const QString &bookId, const QString &family, int weight,
                               bool italic);
    // The installed family equal to name (ignoring case and surrounding
    // spaces), written as the font database writes it; empty when none.
    QString hasFamily(const QString &name) const;
    // Registers the bytes for the active book (once per distinct file) and
    // installs the alias of the style on the families they provide.
    QString registerFontData(const QString &family, int weight, bool italic,
                             const QByteArray &data);
    // Installs the alias of the style on the given families.
    QString substituteFamily(const QString &family, int weight, bool italic,
                             const QStringList &candidates);

    // The family to use for a CSS font-family value: a generic keyword, an
    // installed alias or an installed family; empty when none.
    QString resolveFamily(const QString &cssFamilyList);
    // The alias of the nearest declared style (weight, then style falling back
    // to 400 and normal), else resolveFamily.
    QString resolveStyledFamily(const QString &cssFamilyList, int weight, bool italic);
    static QStringList splitFamilyList(const QString &value);

    // XORs the first count bytes with the repeated key; undoes the EPUB font
    // obfuscations, which are their own inverse.
    static QByteArray deobfuscate(const QByteArray &data, const QByteArray &key, int count);

    // Writes "fonts/manifest.json" of the book folder atomically.
    bool saveManifest(const QString &bookDataDir, const QString &sourcePath,
                      const QList<FontManifestEntry> &entries);
    // Makes the book active and registers again the fonts its manifest lists.
    // True when the book was already active or a font style was registered.
    bool loadManifest(const QString &bookId, const QString &bookDataDir);

    // The reader opened this book: it becomes active with its fonts, and is
    // the book returnToOpenBook() comes back to.
    bool openBook(const QString &bookId, const QString &bookDataDir);
    // Drops whatever an import registered and registers the open book's
    // fonts again (none when no book was opened).
    void returnToOpenBook();
    // Grows with every registration or removal; tells whether anything
    // touched the registry since an earlier reading.
    quint64 changeCount() const;

private:
    FontRegistry() = default;
    FontRegistry(const FontRegistry &) = delete;
    FontRegistry &operator=(const FontRegistry &) = delete;

    struct RegisteredFont {
        int fontId = -1;
        QStringList families;
    };

    // "family|weight|italic" or "family|weight|normal", family trimmed and lower-cased.
    static QString styleKey(const QString &family, int weight, bool italic);

    // Both require the mutex held.
    void unregister();
    QString applySubstitutions(const QString &family, int weight, bool italic,
                               const QStringList &candidates);

    // std::mutex rather than QMutex: thread sanitizer sees through it.
    mutable std::mutex mutex;
    // Serialises switching to the open book against opening another one;
    // taken before `mutex`, never inside it.
    std::mutex m_openBookMutex;
    QString m_openBookId;
    QString m_openBookDataDir;
    quint64 m_changes = 0;
    QString m_activeBookId;
    QHash<QByteArray, RegisteredFont> m_fontsByDigest;
    QSet<QString> m_substitutedAliases;
    QMap<QString, QString> m_aliasToFamily;
    QMap<QString, QString> m_styleKeyToAlias;
    QMap<QString, QString> m_resolveCache;
};

// Held for the length of one import. Importers make the book they import the
// registry's active one; when the import ends, whatever its outcome, the
// registry returns to the book open for reading, so its pages keep their fonts.
class FontImportScope
{
public:
    FontImportScope();
    ~FontImportScope();
    FontImportScope(const FontImportScope &) = delete;
    FontImportScope &operator=(const FontImportScope &) = delete;

    // Returns to the open book now (once): before the import's outcome is
    // reported, since the reading view lays out again on hearing it.
    void end();

private:
    quint64 m_changesAtStart;
    std::atomic<bool> m_ended{false};
};
