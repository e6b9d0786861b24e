#include "fontfaceregistration.h"

#include "fontregistry.h"

FontManifestEntry FontFaceRegistration::record(const FontFaceRule &rule) const
{
    FontManifestEntry entry;
    entry.alias = FontRegistry::aliasFamily(m_bookId, rule.family, rule.weight, rule.italic);
    entry.cssFamily = rule.family;
    entry.weight = rule.weight;
    entry.italic = rule.italic;
    entry.candidateOrder = manifest.size();
    return entry;
}

void FontFaceRegistration::addLocalSources(const FontFaceRule &rule)
{
    FontRegistry &registry = FontRegistry::instance();
    for (const FontFaceSource &source : rule.sources) {
        if (source.isUrl)
            continue;
        FontManifestEntry entry = record(rule);
        entry.localFamily = source.value;
        manifest.append(entry);
        if (isRegistered(rule))
            continue;
        const QString installed = registry.hasFamily(source.value);
        if (!installed.isEmpty()
            && !registry.substituteFamily(rule.family, rule.weight, rule.italic, {installed})
                    .isEmpty())
            m_registered.insert(faceKey(rule));
    }
}

void FontFaceRegistration::addData(const FontManifestEntry &entry, const FontFaceRule &rule,
                                   const QByteArray &data)
{
    manifest.append(entry);
    if (!isRegistered(rule)
        && !FontRegistry::instance()
                .registerFontData(rule.family, rule.weight, rule.italic, data)
                .isEmpty())
        m_registered.insert(faceKey(rule));
}

bool FontFaceRegistration::isRegistered(const FontFaceRule &rule) const
{
    return m_registered.contains(faceKey(rule));
}

QString FontFaceRegistration::faceKey(const FontFaceRule &rule)
{
    return rule.family.trimmed().toLower() + QLatin1Char('|') + QString::number(rule.weight)
        + (rule.italic ? QLatin1String("|italic") : QLatin1String("|normal"));
}
