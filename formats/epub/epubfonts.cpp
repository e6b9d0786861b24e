#include "epubfonts.h"

#include "epubarchive.h"
#include "epubunifiedparser.h"
#include "fontregistry.h"
#include "logmanager.h"
#include "paragraphutils.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <QXmlStreamReader>

namespace {

const QLatin1String IdpfAlgorithm("http://www.idpf.org/2008/embedding");
const QLatin1String AdobeAlgorithm("http://ns.adobe.com/pdf/enc#RC");

EpubObfuscation classify(const QString &algorithm, const QString &uniqueId)
{
    EpubObfuscation result;
    if (algorithm == IdpfAlgorithm) {
        result = {QStringLiteral("idpf"), EpubFonts::idpfKey(uniqueId), 1040};
    } else if (algorithm == AdobeAlgorithm) {
        result = {QStringLiteral("adobe"), EpubFonts::adobeKey(uniqueId), 1024};
    }
    if (result.key.isEmpty())
        result = {QStringLiteral("unsupported"), QByteArray(), 0};
    return result;
}

QString faceKey(const FontFaceRule &rule)
{
    return rule.family.trimmed().toLower() + QLatin1Char('|') + QString::number(rule.weight)
        + (rule.italic ? QLatin1String("|italic") : QLatin1String("|normal"));
}

}

namespace EpubFonts {

QByteArray idpfKey(const QString &uniqueId)
{
    QString compact;
    compact.reserve(uniqueId.size());
    for (const QChar c : uniqueId) {
        if (!isParagraphWhitespace(c))
            compact.append(c);
    }
    if (compact.isEmpty())
        return QByteArray();
    return QCryptographicHash::hash(compact.toUtf8(), QCryptographicHash::Sha1);
}

QByteArray adobeKey(const QString &uniqueId)
{
    static const QRegularExpression hex32(QStringLiteral("^[0-9a-fA-F]{32}$"));
    QString id = uniqueId.trimmed();
    if (id.startsWith(QLatin1String("urn:uuid:"), Qt::CaseInsensitive))
        id.remove(0, 9);
    id.remove(QLatin1Char('{')).remove(QLatin1Char('}')).remove(QLatin1Char('-'));
    if (!hex32.match(id).hasMatch())
        return QByteArray();
    return QByteArray::fromHex(id.toLatin1());
}

QMap<QString, EpubObfuscation> readEncryption(const QString &xml, const QString &uniqueId)
{
    QMap<QString, EpubObfuscation> table;
    if (xml.isEmpty())
        return table;
    QXmlStreamReader reader(xml);
    QString algorithm;
    QString reference;
    while (!reader.atEnd()) {
        const QXmlStreamReader::TokenType token = reader.readNext();
        const QStringRef name = reader.name();
        if (token == QXmlStreamReader::StartElement) {
            if (name == QLatin1String("EncryptedData")) {
                algorithm.clear();
                reference.clear();
            } else if (name == QLatin1String("EncryptionMethod")) {
                algorithm = reader.attributes().value(QLatin1String("Algorithm")).toString();
            } else if (name == QLatin1String("CipherReference")) {
                reference = resolveEpubHref(
                    reader.attributes().value(QLatin1String("URI")).toString(), QString());
            }
        } else if (token == QXmlStreamReader::EndElement && name == QLatin1String("EncryptedData")
                   && !reference.isEmpty()) {
            table.insert(reference, classify(algorithm, uniqueId));
        }
    }
    // A broken file still says what it said up to the fault.
    return table;
}

QList<FontManifestEntry> registerFonts(const Book &book)
{
    FontRegistry &registry = FontRegistry::instance();
    registry.clearAll();
    registry.setActiveBook(book.bookId);

    QList<FontManifestEntry> manifest;
    QSet<QString> registered;
    int readSources = 0;
    const auto record = [&](const FontFaceRule &rule) {
        FontManifestEntry entry;
        entry.alias = FontRegistry::aliasFamily(book.bookId, rule.family, rule.weight, rule.italic);
        entry.cssFamily = rule.family;
        entry.weight = rule.weight;
        entry.italic = rule.italic;
        entry.candidateOrder = manifest.size();
        return entry;
    };

    const QVector<FontFaceRule> rules = EpubUnifiedParser::parseFontFaces(book.styleTexts);
    for (const FontFaceRule &rule : rules) {
        const QString key = faceKey(rule);
        for (const FontFaceSource &source : rule.sources) {
            if (source.isUrl)
                continue;
            FontManifestEntry entry = record(rule);
            entry.localFamily = source.value;
            manifest.append(entry);
            if (registered.contains(key))
                continue;
            const QString installed = registry.hasFamily(source.value);
            if (!installed.isEmpty()
                && !registry.substituteFamily(rule.family, rule.weight, rule.italic,
                                              QStringList{installed}).isEmpty())
                registered.insert(key);
        }
        for (const FontFaceSource &source : rule.sources) {
            if (!source.isUrl)
                continue;
            const QString path = book.lookup(source.value, rule.stylesheetPath);
            if (path.isEmpty())
                continue;
            const EpubObfuscation obfuscation = book.obfuscation.value(path);
            FontManifestEntry entry = record(rule);
            entry.resourcePath = path;
            entry.obfuscation = obfuscation.method;
            entry.key = obfuscation.key;
            entry.prefixLength = obfuscation.length;
            manifest.append(entry);
            if (registered.contains(key) || obfuscation.method == QLatin1String("unsupported"))
                continue;
            if (readSources == MaxFontSources)
                qWarning().noquote() << "[EpubUnifiedParser] 字体来源超过上限，其余不再读取:"
                                     << MaxFontSources;
            if (readSources++ >= MaxFontSources)
                continue;
            QByteArray data = book.read(path);
            if (!obfuscation.method.isEmpty())
                data = FontRegistry::deobfuscate(data, obfuscation.key, obfuscation.length);
            if (!registry.registerFontData(rule.family, rule.weight, rule.italic, data).isEmpty())
                registered.insert(key);
        }
    }
    return manifest;
}

void writeManifest(const QString &dataDir, const QString &sourcePath,
                   const QList<FontManifestEntry> &entries)
{
    if (entries.isEmpty()) {
        QFile::remove(QDir(dataDir).absoluteFilePath(QStringLiteral("fonts/manifest.json")));
        return;
    }
    if (!FontRegistry::instance().saveManifest(dataDir, sourcePath, entries))
        qWarning().noquote() << "[EpubUnifiedParser] 字体清单写入失败:" << dataDir;
}

}
