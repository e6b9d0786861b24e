#include "fb2parser.h"

#include "epubunifiedparser.h"
#include "fontregistry.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSaveFile>

namespace {

QString binaryId(const QString &url)
{
    QString id = url.trimmed();
    if (id.startsWith(QLatin1Char('#')))
        id.remove(0, 1);
    return id;
}

QString faceKey(const FontFaceRule &rule)
{
    return rule.family.trimmed().toLower() + QLatin1Char('|') + QString::number(rule.weight)
        + (rule.italic ? QLatin1String("|italic") : QLatin1String("|normal"));
}

bool writeFont(const QString &path, const QByteArray &data)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    if (file.write(data) != data.size()) {
        file.cancelWriting();
        file.commit();
        return false;
    }
    return file.commit();
}

}

QSet<QString> Fb2Parser::fontFaceIds(const QString &styleSheetText)
{
    static const QRegularExpression block(
        QStringLiteral("@font-face\\s*\\{([^{}]*)\\}"),
        QRegularExpression::CaseInsensitiveOption | QRegularExpression::DotMatchesEverythingOption);
    static const QRegularExpression url(QStringLiteral("url\\s*\\(\\s*(['\"]?)([^)'\"]+)\\1\\s*\\)"),
                                        QRegularExpression::CaseInsensitiveOption);
    QSet<QString> ids;
    auto blocks = block.globalMatch(styleSheetText);
    while (blocks.hasNext()) {
        const QString body = blocks.next().captured(1);
        auto urls = url.globalMatch(body);
        while (urls.hasNext()) {
            const QString id = binaryId(urls.next().captured(2));
            if (!id.isEmpty())
                ids.insert(id);
        }
    }
    return ids;
}

void Fb2Parser::extractFonts(const QString &bookId, const QString &dataDir,
                             const QString &styleSheetText,
                             const QMap<QString, QByteArray> &fontData)
{
    FontRegistry &registry = FontRegistry::instance();
    registry.clearAll();
    registry.setActiveBook(bookId);

    const QString manifestPath = QDir(dataDir).filePath(QStringLiteral("fonts/manifest.json"));
    const QVector<FontFaceRule> rules =
        EpubUnifiedParser::parseFontFaces({{QString(), styleSheetText}});
    if (rules.isEmpty()) {
        QFile::remove(manifestPath);
        return;
    }
    const QString fontsDir = QDir(dataDir).filePath(QStringLiteral("fonts"));
    QDir().mkpath(fontsDir);

    QList<FontManifestEntry> records;
    QSet<QString> registered;
    const auto record = [&](const FontFaceRule &rule) {
        FontManifestEntry entry;
        entry.alias = FontRegistry::aliasFamily(bookId, rule.family, rule.weight, rule.italic);
        entry.cssFamily = rule.family;
        entry.weight = rule.weight;
        entry.italic = rule.italic;
        entry.candidateOrder = records.size();
        return entry;
    };
    for (const FontFaceRule &rule : rules) {
        const QString key = faceKey(rule);
        for (const FontFaceSource &source : rule.sources) {
            if (source.isUrl)
                continue;
            FontManifestEntry entry = record(rule);
            entry.localFamily = source.value;
            records.append(entry);
            if (registered.contains(key))
                continue;
            const QString installed = registry.hasFamily(source.value);
            if (!installed.isEmpty()
                && !registry.substituteFamily(rule.family, rule.weight, rule.italic, {installed})
                        .isEmpty())
                registered.insert(key);
        }
        for (const FontFaceSource &source : rule.sources) {
            if (!source.isUrl)
                continue;
            const QByteArray data = fontData.value(binaryId(source.value));
            if (data.isEmpty())
                continue;
            FontManifestEntry entry = record(rule);
            entry.resourcePath = fontsDir + QLatin1Char('/') + entry.alias + QLatin1Char('-')
                + QString::number(entry.candidateOrder);
            if (!writeFont(entry.resourcePath, data))
                continue;
            records.append(entry);
            if (!registered.contains(key)
                && !registry.registerFontData(rule.family, rule.weight, rule.italic, data).isEmpty())
                registered.insert(key);
        }
    }
    if (records.isEmpty())
        QFile::remove(manifestPath);
    else
        registry.saveManifest(dataDir, QString(), records);
}
