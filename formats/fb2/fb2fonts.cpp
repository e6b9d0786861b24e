#include "fb2parser.h"

#include "epubunifiedparser.h"
#include "fontfaceregistration.h"
#include "fontregistry.h"
#include "paths.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <algorithm>

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

Fb2FontFiles Fb2Parser::extractFonts(const QString &bookId, const QString &dataDir,
                                     const QString &styleSheetText,
                                     const QMap<QString, QByteArray> &fontData)
{
    FontRegistry &registry = FontRegistry::instance();
    registry.clearAll();
    registry.setActiveBook(bookId);

    Fb2FontFiles fonts;
    const QVector<FontFaceRule> rules =
        EpubUnifiedParser::parseFontFaces({{QString(), styleSheetText}});
    const QString fontsDir = QDir(dataDir).filePath(QStringLiteral("fonts"));
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
            fonts.files.append({entry.resourcePath, data});
            faces.addData(entry, rule, data);
        }
    }
    fonts.records = faces.manifest;
    return fonts;
}

void Fb2Parser::saveFonts(const BookFolderStage &stage, Fb2FontFiles fonts)
{
    const QString dataDir = stage.stageDir();
    const QString manifestPath = QDir(dataDir).filePath(QStringLiteral("fonts/manifest.json"));
    if (!fonts.records.isEmpty())
        QDir().mkpath(QDir(dataDir).filePath(QStringLiteral("fonts")));
    for (const auto &file : qAsConst(fonts.files)) {
        if (Paths::writeFile(stage.staged(file.first), file.second))
            continue;
        // A font that cannot be written is left out of the manifest.
        fonts.records.erase(std::remove_if(fonts.records.begin(), fonts.records.end(),
                                           [&](const FontManifestEntry &entry) {
                                               return entry.resourcePath == file.first;
                                           }),
                            fonts.records.end());
    }
    if (fonts.records.isEmpty())
        QFile::remove(manifestPath);
    else
        FontRegistry::instance().saveManifest(dataDir, QString(), fonts.records);
}
