#include "fb2parser.h"

#include "epubunifiedparser.h"
#include "fb2xml.h"
#include "fontfaceregistration.h"
#include "fontregistry.h"
#include "paths.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

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
            const QString id = normalizeHref(urls.next().captured(2));
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

    FontFaceRegistration faces(bookId);
    for (const FontFaceRule &rule : rules) {
        faces.addLocalSources(rule);
        for (const FontFaceSource &source : rule.sources) {
            if (!source.isUrl)
                continue;
            const QByteArray data = fontData.value(normalizeHref(source.value));
            if (data.isEmpty())
                continue;
            FontManifestEntry entry = faces.record(rule);
            entry.resourcePath = fontsDir + QLatin1Char('/') + entry.alias + QLatin1Char('-')
                + QString::number(entry.candidateOrder);
            if (Paths::writeFile(entry.resourcePath, data))
                faces.addData(entry, rule, data);
        }
    }
    if (faces.manifest.isEmpty())
        QFile::remove(manifestPath);
    else
        registry.saveManifest(dataDir, QString(), faces.manifest);
}
