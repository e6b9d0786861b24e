#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

class IFormatParser;

// Makes a new parser on the heap; the caller owns it.
using ParserFactory = IFormatParser *(*)();

// Maps a key (lower-case file suffix, or "txt_" + language for plain text) to
// the factory of its parser. Filled by static registrations before main and
// only read afterwards, so lookups need no lock.
class ParserRegistry
{
public:
    static ParserRegistry &instance();

    // Adds the key, or replaces the factory of a key already present.
    void registerParser(const QString &key, ParserFactory factory);

    // A new parser for the book file, owned by the caller, or null.
    IFormatParser *findParser(const QString &filePath) const;

    // The language code of a text file's head, or empty when unreadable.
    static QString detectTxtLanguage(const QString &filePath);

    bool contains(const QString &key) const { return m_factories.contains(key); }
    QStringList keys() const { return m_factories.keys(); }

private:
    ParserRegistry() = default;
    QMap<QString, ParserFactory> m_factories;
};

// Static registration: one of these at namespace scope in a parser's source
// file registers the factory before main. The parser's library must be marked
// self-registering so executables link it whole.
struct ParserRegistration
{
    ParserRegistration(const char *key, ParserFactory factory)
    {
        ParserRegistry::instance().registerParser(QString::fromUtf8(key), factory);
    }
};
