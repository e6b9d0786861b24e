#include "fontregistry.h"

#include <QCryptographicHash>
#include <QFont>
#include <QFontDatabase>

namespace {

QString sha1Prefix(const QString &text)
{
    return QString::fromLatin1(
               QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Sha1).toHex())
        .left(12);
}

bool isGenericFamily(const QString &lowerName)
{
    static const QSet<QString> generic{
        QStringLiteral("serif"),         QStringLiteral("sans-serif"),
        QStringLiteral("monospace"),     QStringLiteral("cursive"),
        QStringLiteral("fantasy"),       QStringLiteral("system-ui"),
        QStringLiteral("ui-serif"),      QStringLiteral("ui-sans-serif"),
        QStringLiteral("ui-monospace"),  QStringLiteral("ui-rounded"),
        QStringLiteral("math"),          QStringLiteral("fangsong")};
    return generic.contains(lowerName);
}

QString installedFamily(const QStringList &installed, const QString &name)
{
    for (const QString &family : installed) {
        if (family.compare(name, Qt::CaseInsensitive) == 0)
            return family;
    }
    return QString();
}

}

FontRegistry &FontRegistry::instance()
{
    static FontRegistry registry;
    return registry;
}

QString FontRegistry::activeBookId() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return m_activeBookId;
}

void FontRegistry::setActiveBook(const QString &bookId)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (bookId == m_activeBookId)
        return;
    unregister();
    m_activeBookId = bookId;
}

void FontRegistry::clearAll()
{
    std::lock_guard<std::mutex> lock(mutex);
    unregister();
}

QString FontRegistry::aliasFamily(const QString &bookId, const QString &family, int weight,
                                  bool italic)
{
    return QLatin1String("quillora-") + sha1Prefix(bookId) + QLatin1Char('-')
        + sha1Prefix(styleKey(family, weight, italic));
}

QString FontRegistry::styleKey(const QString &family, int weight, bool italic)
{
    return family.trimmed().toLower() + QLatin1Char('|') + QString::number(weight)
        + QLatin1Char('|') + (italic ? QLatin1String("italic") : QLatin1String("normal"));
}

QString FontRegistry::hasFamily(const QString &name) const
{
    const QString wanted = name.trimmed();
    std::lock_guard<std::mutex> lock(mutex);
    return installedFamily(QFontDatabase().families(), wanted);
}

QString FontRegistry::registerFontData(const QString &family, int weight, bool italic,
                                       const QByteArray &data)
{
    if (data.isEmpty())
        return QString();
    std::lock_guard<std::mutex> lock(mutex);
    if (m_activeBookId.isEmpty())
        return QString();

    const QByteArray digest = QCryptographicHash::hash(data, QCryptographicHash::Sha1);
    auto found = m_fontsByDigest.constFind(digest);
    if (found == m_fontsByDigest.cend()) {
        const int fontId = QFontDatabase::addApplicationFontFromData(data);
        if (fontId < 0)
            return QString();
        const QStringList families = QFontDatabase::applicationFontFamilies(fontId);
        if (families.isEmpty()) {
            QFontDatabase::removeApplicationFont(fontId);
            return QString();
        }
        found = m_fontsByDigest.insert(digest, RegisteredFont{fontId, families});
        m_resolveCache.clear();
    }
    return applySubstitutions(family, weight, italic, found->families);
}

QString FontRegistry::substituteFamily(const QString &family, int weight, bool italic,
                                       const QStringList &candidates)
{
    std::lock_guard<std::mutex> lock(mutex);
    return applySubstitutions(family, weight, italic, candidates);
}

QString FontRegistry::resolveFamily(const QString &cssFamilyList)
{
    std::lock_guard<std::mutex> lock(mutex);
    const auto cached = m_resolveCache.constFind(cssFamilyList);
    if (cached != m_resolveCache.cend())
        return cached.value();

    const QStringList installed = QFontDatabase().families();
    QString result;
    for (const QString &name : splitFamilyList(cssFamilyList)) {
        const QString lower = name.toLower();
        if (isGenericFamily(lower)) {
            result = lower;
            break;
        }
        if (m_substitutedAliases.contains(name)) {
            result = name;
            break;
        }
        result = installedFamily(installed, name);
        if (!result.isEmpty())
            break;
    }
    m_resolveCache.insert(cssFamilyList, result);
    return result;
}

QString FontRegistry::resolveStyledFamily(const QString &cssFamilyList, int weight,
                                          bool italic)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        const QString style = italic ? QStringLiteral("italic") : QStringLiteral("normal");
        const QString weightText = QString::number(weight);
        for (const QString &name : splitFamilyList(cssFamilyList)) {
            const QString lower = name.trimmed().toLower();
            // An alias written by an earlier conversion stands for its declared family.
            const QString base = m_aliasToFamily.value(lower, lower) + QLatin1Char('|');
            const QString keys[] = {
                base + weightText + QLatin1Char('|') + style,
                base + QLatin1String("400|") + style,
                base + weightText + QLatin1String("|normal"),
                base + QLatin1String("400|normal"),
            };
            for (const QString &key : keys) {
                const auto alias = m_styleKeyToAlias.constFind(key);
                if (alias != m_styleKeyToAlias.cend())
                    return alias.value();
            }
        }
    }
    return resolveFamily(cssFamilyList);
}

QStringList FontRegistry::splitFamilyList(const QString &value)
{
    QStringList names;
    QString current;
    QChar quote;
    auto finish = [&] {
        const QString name = current.trimmed();
        if (!name.isEmpty())
            names.append(name);
        current.clear();
    };
    for (const QChar c : value) {
        if (!quote.isNull()) {
            if (c == quote)
                quote = QChar();
            else
                current.append(c);
        } else if (c == QLatin1Char('"') || c == QLatin1Char('\'')) {
            quote = c;
        } else if (c == QLatin1Char(',')) {
            finish();
        } else {
            current.append(c);
        }
    }
    finish();
    return names;
}

void FontRegistry::unregister()
{
    for (const QString &alias : qAsConst(m_substitutedAliases))
        QFont::removeSubstitutions(alias);
    for (const RegisteredFont &font : qAsConst(m_fontsByDigest))
        QFontDatabase::removeApplicationFont(font.fontId);
    m_activeBookId.clear();
    m_fontsByDigest.clear();
    m_substitutedAliases.clear();
    m_aliasToFamily.clear();
    m_styleKeyToAlias.clear();
    m_resolveCache.clear();
    ++m_changes;
}

QString FontRegistry::applySubstitutions(const QString &family, int weight, bool italic,
                                         const QStringList &candidates)
{
    if (m_activeBookId.isEmpty() || family.trimmed().isEmpty() || candidates.isEmpty())
        return QString();
    const QString alias = aliasFamily(m_activeBookId, family, weight, italic);
    QFont::removeSubstitutions(alias);
    QFont::insertSubstitutions(alias, candidates);
    m_substitutedAliases.insert(alias);
    m_aliasToFamily.insert(alias.toLower(), family.trimmed().toLower());
    m_styleKeyToAlias.insert(styleKey(family, weight, italic), alias);
    m_resolveCache.clear();
    ++m_changes;
    return alias;
}

bool FontRegistry::openBook(const QString &bookId, const QString &bookDataDir)
{
    std::lock_guard<std::mutex> switching(m_openBookMutex);
    m_openBookId = bookId;
    m_openBookDataDir = bookDataDir;
    return loadManifest(bookId, bookDataDir);
}

void FontRegistry::returnToOpenBook()
{
    std::lock_guard<std::mutex> switching(m_openBookMutex);
    // The import may have cleared the open book's fonts while leaving its id
    // active, so it is dropped first and loaded again.
    setActiveBook(QString());
    if (!m_openBookId.isEmpty())
        loadManifest(m_openBookId, m_openBookDataDir);
}

quint64 FontRegistry::changeCount() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return m_changes;
}

FontImportScope::FontImportScope()
    : m_changesAtStart(FontRegistry::instance().changeCount())
{
}

FontImportScope::~FontImportScope()
{
    end();
}

void FontImportScope::end()
{
    if (m_ended.exchange(true))
        return;
    // An import that registered nothing leaves the open book's fonts alone.
    if (FontRegistry::instance().changeCount() != m_changesAtStart)
        FontRegistry::instance().returnToOpenBook();
}
