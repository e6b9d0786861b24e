#include "epubfonts.h"

#include "epubarchive.h"
#include "epubunifiedparser.h"
#include "fontfaceregistration.h"
#include "fontregistry.h"
#include "logmanager.h"
#include "paragraphutils.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
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

    FontFaceRegistration faces(book.bookId);
    int readSources = 0;
    const QVector<FontFaceRule> rules = EpubUnifiedParser::parseFontFaces(book.styleTexts);
    for (const FontFaceRule &rule : rules) {
        faces.addLocalSources(rule);
        for (const FontFaceSource &source : rule.sources) {
            if (!source.isUrl)
                continue;
            const QString path = book.lookup(source.value, rule.stylesheetPath);
            if (path.isEmpty())
                continue;
            const EpubObfuscation obfuscation = book.obfuscation.value(path);
            FontManifestEntry entry = faces.record(rule);
            entry.resourcePath = path;
            entry.obfuscation = obfuscation.method;
            entry.key = obfuscation.key;
            entry.prefixLength = obfuscation.length;
            // Bytes are read only for a face still without a font, within the cap;
            // every source is recorded either way.
            const bool wanted =
                !faces.isRegistered(rule) && obfuscation.method != QLatin1String("unsupported");
            if (wanted && readSources == MaxFontSources)
                qWarning().noquote() << "[EpubUnifiedParser] 字体来源超过上限，其余不再读取:"
                                     << MaxFontSources;
            if (!wanted || readSources++ >= MaxFontSources) {
                faces.manifest.append(entry);
                continue;
            }
            QByteArray data = book.read(path);
            if (!obfuscation.method.isEmpty())
                data = FontRegistry::deobfuscate(data, obfuscation.key, obfuscation.length);
            faces.addData(entry, rule, data);
        }
    }
    return faces.manifest;
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
