#include "epubnovelparser.h"

#include "bookrecord.h"
#include "imagedecode.h"
#include "imageutil.h"
#include "epubarchive.h"
#include "epubfiles.h"
#include "logmanager.h"
#include "novelinfo.h"
#include "paths.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QXmlStreamReader>

EpubNovelParser::EpubNovelParser(QObject *parent) : NovelParser(parent) {}

NovelInfo *EpubNovelParser::parseNovel(const QString &filePath)
{
    const QFileInfo file(filePath);
    NovelInfo *novel = newBookRecord(filePath, QStringLiteral("EPUB"));
    const QString dataDir = m_writeDir.isEmpty() ? novel->dataDir() : m_writeDir;
    QDir().mkpath(dataDir);
    // Nothing of an earlier import of this path may be taken for this one's.
    for (const char *stale : {"cover.png", "cover.jpg", EpubFiles::OpfPathFile,
                              EpubFiles::MetaFile})
        QFile::remove(dataDir + QLatin1String(stale));

    novel->setAuthor(QStringLiteral("未知作者"));
    novel->setTitle(file.baseName());
    novel->setLanguage(QStringLiteral("zh_CN"));
    novel->setDescription(QStringLiteral("未知简介"));
    novel->setPublisher(QStringLiteral("未知出版社"));

    EpubArchive zip(filePath);
    if (!zip.isOpen()) {
        qWarning().noquote() << "无法打开epub文件:" << filePath;
        return novel;
    }
    const QString opfPath = readContainer(zip);
    if (opfPath.isEmpty()) {
        qWarning().noquote() << "未找到OPF文件";
        return novel;
    }
    if (!Paths::writeFile(dataDir + QLatin1String(EpubFiles::OpfPathFile), opfPath.toUtf8())) {
        qWarning().noquote() << "[EpubNovelParser] 无法写入:" << dataDir + QLatin1String(EpubFiles::OpfPathFile);
        delete novel;
        return nullptr;
    }

    const QString opfText = zip.readText(opfPath);
    if (opfText.isEmpty())
        return novel;
    Manifest manifest;
    readOpf(opfText, novel, &manifest);
    const QString coverHref = findCoverImage(opfText, manifest);
    if (!coverHref.isEmpty()) {
        const QString coverEntry = resolveEpubHref(coverHref, opfPath);
        bool unavailable = false;
        const QByteArray png = convertCover(zip.readEntry(coverEntry), coverEntry,
                                            [&zip](const QString &name) { return zip.readEntry(name); },
                                            &unavailable);
        if (unavailable) {
            qWarning().noquote() << "[EpubNovelParser] 封面暂时无法解码，导入中止:" << coverEntry;
            delete novel;
            return nullptr;
        }
        const QString coverPath = novel->dataDir() + QStringLiteral("cover.png");
        if (!png.isEmpty() && Paths::writeFile(dataDir + QStringLiteral("cover.png"), png)) {
            novel->setCoverPath(coverPath);
            QLOG_INFO().noquote() << "[EpubNovelParser] 封面已保存:" << coverPath;
        }
    }
    QLOG_INFO().noquote() << "[EpubNovelParser] 解析完成:" << novel->title() << "封面:"
                          << (novel->coverPath().isEmpty() ? QStringLiteral("无") : novel->coverPath());
    return novel;
}

QString EpubNovelParser::readContainer(EpubArchive &zip)
{
    QString opfPath;
    const QString container = QStringLiteral("META-INF/container.xml");
    if (zip.contains(container)) {
        QXmlStreamReader xml(zip.readText(container));
        while (!xml.atEnd() && !xml.hasError()) {
            if (xml.readNext() == QXmlStreamReader::StartElement
                && xml.name() == QLatin1String("rootfile")) {
                opfPath = xml.attributes().value(QLatin1String("full-path")).toString();
                break;
            }
        }
    }
    if (opfPath.isEmpty()) {
        for (const QString &name : zip.entryNames()) {
            if (name.endsWith(QLatin1String(".opf"), Qt::CaseInsensitive)) {
                opfPath = name;
                break;
            }
        }
    }
    return opfPath;
}

void EpubNovelParser::readOpf(const QString &opfText, NovelInfo *novel, Manifest *manifest)
{
    QXmlStreamReader xml(opfText);
    bool inMetadata = false;
    bool inManifest = false;
    bool titleSeen = false;
    QStringList creators;
    // The text of the token right after the current start element, when it is
    // character data: a title opened by a comment or a child counts as absent.
    const auto nextText = [&xml](QString *text) {
        if (xml.readNext() != QXmlStreamReader::Characters)
            return false;
        *text = xml.text().toString();
        return true;
    };
    while (!xml.atEnd() && !xml.hasError()) {
        const QXmlStreamReader::TokenType token = xml.readNext();
        const QStringRef name = xml.name();
        if (token == QXmlStreamReader::EndElement) {
            if (name == QLatin1String("metadata"))
                inMetadata = false;
            else if (name == QLatin1String("manifest"))
                inManifest = false;
            continue;
        }
        if (token != QXmlStreamReader::StartElement)
            continue;
        if (name == QLatin1String("metadata")) {
            inMetadata = true;
        } else if (name == QLatin1String("manifest")) {
            inManifest = true;
        } else if (inMetadata) {
            QString text;
            // The first title is the main one (later ones are subtitles or
            // collection names); every creator counts.
            if (name == QLatin1String("title")) {
                if (!titleSeen && nextText(&text) && !text.simplified().isEmpty()) {
                    novel->setTitle(text.simplified());
                    titleSeen = true;
                }
            } else if (name == QLatin1String("creator")) {
                if (nextText(&text) && !text.simplified().isEmpty()) {
                    creators.append(text.simplified());
                    novel->setAuthor(creators.join(QStringLiteral(", ")));
                }
            } else if (name == QLatin1String("description")) {
                if (nextText(&text))
                    novel->setDescription(text);
            } else if (name == QLatin1String("language")) {
                if (nextText(&text)) {
                    const bool chinese = text == QLatin1String("zh") || text == QLatin1String("zh-CN");
                    novel->setLanguage(chinese ? QStringLiteral("zh_CN") : text);
                }
            } else if (name == QLatin1String("publisher")) {
                if (nextText(&text))
                    novel->setPublisher(text);
            } else if (name == QLatin1String("date")) {
                if (nextText(&text))
                    novel->setPublishDate(text);
            } else if (name == QLatin1String("identifier")) {
                // Only an unprefixed scheme: "opf:scheme" is another attribute.
                const QString scheme = xml.attributes().value(QLatin1String("scheme")).toString();
                if (nextText(&text) && scheme.contains(QLatin1String("ISBN"), Qt::CaseInsensitive))
                    novel->setIsbn(text);
            }
        } else if (inManifest && name == QLatin1String("item")) {
            const QXmlStreamAttributes attributes = xml.attributes();
            manifest->insert(attributes.value(QLatin1String("id")).toString(),
                             {attributes.value(QLatin1String("href")).toString(),
                              attributes.value(QLatin1String("media-type")).toString()});
        }
    }
}

QString EpubNovelParser::findCoverImage(const QString &opfText, const Manifest &manifest)
{
    QString coverId;
    QXmlStreamReader xml(opfText);
    while (!xml.atEnd() && !xml.hasError()) {
        if (xml.readNext() == QXmlStreamReader::StartElement && xml.name() == QLatin1String("meta")
            && xml.attributes().value(QLatin1String("name")) == QLatin1String("cover")) {
            coverId = xml.attributes().value(QLatin1String("content")).toString();
            break;
        }
    }
    if (!coverId.isEmpty() && manifest.contains(coverId))
        return manifest.value(coverId).href;

    const auto isImage = [](const ManifestItem &item) {
        return item.mediaType.startsWith(QLatin1String("image/"));
    };
    for (auto it = manifest.constBegin(); it != manifest.constEnd(); ++it) {
        if (isImage(it.value())
            && (it.key().toLower().contains(QLatin1String("cover"))
                || it.value().href.toLower().contains(QLatin1String("cover"))))
            return it.value().href;
    }
    for (const ManifestItem &item : manifest) {
        if (isImage(item))
            return item.href;
    }
    return QString();
}

QByteArray EpubNovelParser::convertCover(const QByteArray &imageBytes, const QString &selfPath,
                                         const SvgGuard::Resources &resources, bool *unavailable)
{
    if (imageBytes.isEmpty())
        return QByteArray();
    ImageDecode::Options options;
    options.fit = ImageDecode::Fit::Box;
    options.box = QSize(1600, 1600);
    options.stripWidth = 512;
    options.maxPixels = MaxCoverPixels;
    options.selfPath = selfPath;
    options.resources = resources;
    const ImageDecode::Result decoded = ImageDecode::decode(imageBytes, options);
    if (unavailable)
        *unavailable = decoded.unavailable;
    // Qt decodes several formats whole before scaling: a small file declaring
    // a huge canvas must not be decoded at all.
    if (decoded.sizeRefused) {
        qWarning().noquote() << "[EpubNovelParser] 封面尺寸无效或过大:" << decoded.natural;
        return QByteArray();
    }
    QImage image = decoded.image;
    if (image.isNull())
        return QByteArray();
    if (image.width() > 0 && image.height() > qRound(2.0 * image.width()))
        image = image.copy(0, 0, image.width(), qRound(1.4f * float(image.width())));
    if (image.width() > 1600 || image.height() > 1600)
        image = ImageUtil::smoothScaled(image, image.size().scaled(1600, 1600, Qt::KeepAspectRatio));
    QLOG_INFO().noquote() << "[EpubNovelParser] 封面转换:" << QString::fromLatin1(decoded.format)
                          << decoded.natural << "->" << image.size();

    QByteArray png;
    QBuffer output(&png);
    if (!output.open(QIODevice::WriteOnly) || !image.save(&output, "PNG"))
        return QByteArray();
    return png;
}
