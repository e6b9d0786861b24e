#include "fontregistry.h"
#include "paths.h"
#include "zipfile.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <unzip.h>

#include <algorithm>

namespace {

const QString ManifestPath = QStringLiteral("fonts/manifest.json");

QJsonObject toJson(const FontManifestEntry &entry)
{
    return QJsonObject{
        {QStringLiteral("alias"), entry.alias},
        {QStringLiteral("cssFamily"), entry.cssFamily},
        {QStringLiteral("resourcePath"), entry.resourcePath},
        {QStringLiteral("localFamily"), entry.localFamily},
        {QStringLiteral("obfuscation"), entry.obfuscation},
        {QStringLiteral("key"), QString::fromLatin1(entry.key.toHex())},
        {QStringLiteral("prefixLength"), entry.prefixLength},
        {QStringLiteral("weight"), entry.weight},
        {QStringLiteral("italic"), entry.italic},
        {QStringLiteral("candidateOrder"), entry.candidateOrder},
    };
}

// Where the font bytes of one book come from while its manifest is read, and
// how much of them may still be read.
class FontSource
{
public:
    FontSource(const QString &bookDataDir, const QString &sourcePath)
        : m_sourcePath(sourcePath)
    {
        if (!sourcePath.isEmpty())
            m_archive = openZipFile(sourcePath.toUtf8().constData());
        // The fonts folder must be the book's own, not a link to elsewhere.
        const QString bookDir = QFileInfo(bookDataDir).canonicalFilePath();
        const QString fontsDir =
            QFileInfo(QDir(bookDataDir).filePath(QStringLiteral("fonts"))).canonicalFilePath();
        if (!bookDir.isEmpty() && fontsDir == bookDir + QStringLiteral("/fonts"))
            m_fontsDir = fontsDir;
    }
    ~FontSource()
    {
        if (m_archive)
            unzClose(m_archive);
    }
    FontSource(const FontSource &) = delete;
    FontSource &operator=(const FontSource &) = delete;

    // The bytes of the resource; empty when it cannot or may not be read.
    QByteArray read(const QString &resourcePath)
    {
        QByteArray bytes;
        if (m_archive)
            bytes = readEntry(resourcePath);
        else if (m_sourcePath.isEmpty())
            bytes = readFile(resourcePath);
        m_remaining -= bytes.size();
        return bytes;
    }

private:
    // The per-font limit, lowered to what is left of the book's budget.
    bool allowed(qint64 size, const QString &resourcePath) const
    {
        if (size > m_remaining && size <= FontManifest::MaxFontBytes) {
            qWarning() << "[FontRegistry] font data of the book over"
                       << FontManifest::MaxBookFontBytes << "bytes, skipping" << resourcePath;
        }
        return size >= 1 && size <= FontManifest::MaxFontBytes && size <= m_remaining;
    }

    QByteArray readEntry(const QString &name)
    {
        if (unzLocateFile(m_archive, name.toUtf8().constData(), 1) != UNZ_OK)
            return QByteArray();
        unz_file_info64 info;
        if (unzGetCurrentFileInfo64(m_archive, &info, nullptr, 0, nullptr, 0, nullptr, 0)
                != UNZ_OK
            || info.uncompressed_size > quint64(FontManifest::MaxFontBytes)
            || !allowed(qint64(info.uncompressed_size), name)) {
            return QByteArray();
        }
        if (unzOpenCurrentFile(m_archive) != UNZ_OK)
            return QByteArray();
        QByteArray bytes(int(info.uncompressed_size), Qt::Uninitialized);
        int filled = 0;
        while (filled < bytes.size()) {
            const int got = unzReadCurrentFile(m_archive, bytes.data() + filled,
                                               unsigned(bytes.size() - filled));
            if (got <= 0)
                break;
            filled += got;
        }
        // Closing checks the CRC of a fully read entry.
        const bool closed = unzCloseCurrentFile(m_archive) == UNZ_OK;
        if (!closed || filled < bytes.size())
            return QByteArray();
        return bytes;
    }

    QByteArray readFile(const QString &resourcePath)
    {
        if (m_fontsDir.isEmpty() || resourcePath.isEmpty())
            return QByteArray();
        // Relative paths are taken inside the fonts folder, never the working directory.
        const QFileInfo info(QDir(m_fontsDir).absoluteFilePath(resourcePath));
        const QString file = info.canonicalFilePath();
        if (!file.startsWith(m_fontsDir + QLatin1Char('/')) || !QFileInfo(file).isFile()
            || !allowed(QFileInfo(file).size(), resourcePath)) {
            return QByteArray();
        }
        QFile in(file);
        if (!in.open(QIODevice::ReadOnly))
            return QByteArray();
        // A file that grew since its size was taken is refused, not read on.
        const qint64 limit = qMin(FontManifest::MaxFontBytes, m_remaining);
        const QByteArray bytes = in.read(limit + 1);
        return bytes.size() > limit ? QByteArray() : bytes;
    }

    QString m_sourcePath;
    QString m_fontsDir;
    unzFile m_archive = nullptr;
    qint64 m_remaining = FontManifest::MaxBookFontBytes;
};

}

QByteArray FontRegistry::deobfuscate(const QByteArray &data, const QByteArray &key, int count)
{
    if (data.isEmpty() || key.isEmpty() || count <= 0)
        return data;
    QByteArray out = data;
    const int n = qMin(count, out.size());
    char *bytes = out.data();
    for (int i = 0; i < n; ++i)
        bytes[i] = char(bytes[i] ^ key[i % key.size()]);
    return out;
}

bool FontRegistry::saveManifest(const QString &bookDataDir, const QString &sourcePath,
                                const QList<FontManifestEntry> &entries)
{
    const QString fontsDir = QDir(bookDataDir).absoluteFilePath(QStringLiteral("fonts"));
    if (!QDir().mkpath(fontsDir))
        return false;

    QJsonArray fonts;
    for (const FontManifestEntry &entry : entries)
        fonts.append(toJson(entry));
    const QJsonObject root{
        {QStringLiteral("bookId"), activeBookId()},
        {QStringLiteral("sourcePath"), sourcePath},
        {QStringLiteral("fonts"), fonts},
    };

    return Paths::writeFile(QDir(fontsDir).filePath(QStringLiteral("manifest.json")),
                            QJsonDocument(root).toJson(QJsonDocument::Compact));
}

bool FontRegistry::loadManifest(const QString &bookId, const QString &bookDataDir)
{
    if (activeBookId() == bookId)
        return true;
    setActiveBook(bookId);

    QFile file(QDir(bookDataDir).filePath(ManifestPath));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll());
    file.close();
    if (!document.isObject())
        return false;
    const QJsonObject root = document.object();
    if (root.value(QStringLiteral("bookId")).toString() != bookId)
        return false;

    FontSource source(bookDataDir, root.value(QStringLiteral("sourcePath")).toString());

    QVector<QJsonObject> entries;
    for (const QJsonValue &value : root.value(QStringLiteral("fonts")).toArray()) {
        if (value.isObject())
            entries.append(value.toObject());
    }
    const auto order = [](const QJsonObject &entry) {
        return entry.value(QStringLiteral("candidateOrder")).toInt(0);
    };
    std::stable_sort(entries.begin(), entries.end(),
                     [&](const QJsonObject &a, const QJsonObject &b) {
                         return order(a) < order(b);
                     });

    QSet<QString> done;
    for (const QJsonObject &entry : qAsConst(entries)) {
        const QString family = entry.value(QStringLiteral("cssFamily")).toString();
        const int weight = entry.value(QStringLiteral("weight")).toInt(400);
        const bool italic = entry.value(QStringLiteral("italic")).toBool(false);
        const QString key = styleKey(family, weight, italic);
        if (done.contains(key))
            continue;

        const QString localFamily = entry.value(QStringLiteral("localFamily")).toString();
        if (!localFamily.isEmpty()) {
            const QString installed = hasFamily(localFamily);
            if (!installed.isEmpty()
                && !substituteFamily(family, weight, italic, {installed}).isEmpty()) {
                done.insert(key);
            }
            continue;
        }

        const QString obfuscation = entry.value(QStringLiteral("obfuscation")).toString();
        const bool obfuscated = !obfuscation.isEmpty();
        if (obfuscated && obfuscation != QLatin1String("idpf")
            && obfuscation != QLatin1String("adobe")) {
            continue;
        }

        QByteArray bytes = source.read(entry.value(QStringLiteral("resourcePath")).toString());
        if (bytes.isEmpty())
            continue;
        if (obfuscated) {
            // Both methods are the same XOR; they differ only in key and length.
            const QByteArray xorKey = QByteArray::fromHex(
                entry.value(QStringLiteral("key")).toString().toLatin1());
            bytes = deobfuscate(bytes, xorKey,
                                entry.value(QStringLiteral("prefixLength")).toInt(0));
        }
        if (!registerFontData(family, weight, italic, bytes).isEmpty())
            done.insert(key);
    }
    return !done.isEmpty();
}
