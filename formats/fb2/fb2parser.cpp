#include "fb2parser.h"

#include "bookrecord.h"
#include "fb2xml.h"
#include "keys.h"
#include "novelinfo.h"
#include "parserregistry.h"
#include "paths.h"
#include "imagedecode.h"
#include "svgguard.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QXmlStreamReader>

#include <limits>

namespace {

const ParserRegistration registration("fb2", &Fb2Parser::create);

const QString ImagesDir = QStringLiteral("images");

struct BookFields
{
    QString title;
    QString lang;
    QString annotation;
    QString coverHref;
    QString publisher;
    QString year;
    QString isbn;
    QStringList authors;
    QStringList genres;
};

// Markup inside a field (an emphasis in a title) keeps its text.
QString fieldText(QXmlStreamReader &reader)
{
    return Fb2Xml::boundedText(reader, Fb2Parser::MaxFieldChars).trimmed();
}

void readAuthor(QXmlStreamReader &reader, BookFields &fields)
{
    QString first, middle, last, nick;
    while (Fb2Xml::nextInside(reader, QLatin1String("author"))) {
        if (!reader.isStartElement())
            continue;
        const QStringRef name = reader.name();
        if (name == QLatin1String("first-name"))
            first = fieldText(reader);
        else if (name == QLatin1String("middle-name"))
            middle = fieldText(reader);
        else if (name == QLatin1String("last-name"))
            last = fieldText(reader);
        else if (name == QLatin1String("nickname"))
            nick = fieldText(reader);
    }
    QStringList parts;
    for (const QString &part : {first, middle, last}) {
        if (!part.isEmpty())
            parts << part;
    }
    const QString author = parts.isEmpty() ? nick : parts.join(QLatin1Char(' '));
    if (!author.isEmpty())
        fields.authors << author;
}

void readDescription(QXmlStreamReader &reader, BookFields &fields)
{
    bool inTitleInfo = false;
    bool inPublishInfo = false;
    bool inCoverpage = false;
    while (Fb2Xml::nextInside(reader, QLatin1String("description"))) {
        const QStringRef name = reader.name();
        if (reader.isEndElement()) {
            if (name == QLatin1String("title-info"))
                inTitleInfo = false;
            else if (name == QLatin1String("publish-info"))
                inPublishInfo = false;
            else if (name == QLatin1String("coverpage"))
                inCoverpage = false;
            continue;
        }
        if (!reader.isStartElement())
            continue;
        if (name == QLatin1String("title-info")) {
            inTitleInfo = true;
            continue;
        }
        if (name == QLatin1String("publish-info")) {
            inPublishInfo = true;
            continue;
        }
        if (inTitleInfo) {
            if (name == QLatin1String("book-title")) {
                fields.title = fieldText(reader);
                continue;
            }
            if (name == QLatin1String("author")) {
                readAuthor(reader, fields);
                continue;
            }
            if (name == QLatin1String("lang")) {
                fields.lang = fieldText(reader);
                continue;
            }
            if (name == QLatin1String("genre")) {
                const QString genre = fieldText(reader);
                if (!genre.isEmpty())
                    fields.genres << genre;
                continue;
            }
            if (name == QLatin1String("annotation")) {
                fields.annotation =
                    Fb2Xml::boundedText(reader, Fb2Parser::MaxStyleSheetChars, true).simplified();
                continue;
            }
            if (name == QLatin1String("coverpage")) {
                inCoverpage = true;
                continue;
            }
        }
        if (inCoverpage && name == QLatin1String("image")) {
            fields.coverHref = Fb2Parser::normalizeHref(
                Fb2Parser::attributeValue(reader.attributes(), QStringLiteral("href")));
        } else if (inPublishInfo) {
            if (name == QLatin1String("publisher"))
                fields.publisher = fieldText(reader);
            else if (name == QLatin1String("isbn"))
                fields.isbn = fieldText(reader);
            else if (name == QLatin1String("year"))
                fields.year = fieldText(reader);
        }
    }
}

bool isFontType(const QString &type)
{
    return type.startsWith(QLatin1String("font/")) || type.contains(QLatin1String("font-ttf"))
        || type.contains(QLatin1String("font-otf")) || type.contains(QLatin1String("opentype"))
        || type.contains(QLatin1String("truetype"));
}

}

Fb2Parser::~Fb2Parser() = default;

QString Fb2Parser::translated(const char *text)
{
    return QCoreApplication::translate("Fb2Parser", text);
}

ParseResult Fb2Parser::failure(const char *text)
{
    return ParseResult::failed(translated(text));
}

IFormatParser *Fb2Parser::create()
{
    return new Fb2Parser;
}

QString Fb2Parser::attributeValue(const QXmlStreamAttributes &attributes, const QString &name)
{
    for (const QXmlStreamAttribute &attribute : attributes) {
        if (attribute.name().compare(name, Qt::CaseInsensitive) == 0)
            return attribute.value().toString();
    }
    return QString();
}

QString Fb2Parser::trimmedAttribute(const QXmlStreamAttributes &attributes, const QString &name)
{
    const QString value = attributeValue(attributes, name).trimmed();
    return value.isNull() ? QStringLiteral("") : value;
}

QString Fb2Parser::normalizeHref(const QString &href)
{
    QString value = href.trimmed();
    if (value.startsWith(QLatin1Char('#')))
        value.remove(0, 1);
    return value;
}

void Fb2Parser::saveBinaryImage(const Fb2Binary &binary, const QString &directory,
                                const QString &finalDirectory, Fb2Images &images)
{
    if (binary.data.isEmpty())
        return;
    static const char *const known[][2] = {{"jpeg", "jpg"}, {"jpg", "jpg"}, {"png", "png"},
                                           {"gif", "gif"},  {"webp", "webp"}, {"svg", "svg"}};
    QString extension;
    for (const auto &entry : known) {
        if (binary.contentType.contains(QLatin1String(entry[0]))) {
            extension = QLatin1String(entry[1]);
            break;
        }
    }
    // A drawing is stored with its pictures inlined from the binaries read
    // before it, and nothing else it names: the stored file is drawn as it is.
    const auto earlierBinary = [&](const QString &name) {
        const QString saved = images.paths.value(normalizeHref(name));
        if (saved.isEmpty())
            return QByteArray();
        QFile file(directory + QLatin1Char('/') + QFileInfo(saved).fileName());
        return file.open(QIODevice::ReadOnly) ? file.read(SvgGuard::kMaxBytes) : QByteArray();
    };
    ImageDecode::Options options = ImageDecode::sizeOnly();
    options.resources = earlierBinary;
    const ImageDecode::Result checked = ImageDecode::decode(binary.data, options);
    const QByteArray &data = checked.bytes;
    if (data.isEmpty())
        return;
    if (extension.isEmpty()) {
        extension = QString::fromLatin1(checked.format).toLower();
        if (extension.isEmpty())
            extension = QStringLiteral("img");
    }
    const QString fileName = md5Hex(binary.id) + QLatin1Char('.') + extension;
    if (!Paths::writeFile(directory + QLatin1Char('/') + fileName, data))
        return;
    images.paths.insert(binary.id, finalDirectory + QLatin1Char('/') + fileName);
    // Sized now, from memory, so the chapter step never opens the file.
    const QSize size = checked.natural;
    images.sizes.insert(binary.id, size);
}

namespace {

// Elements of a body that each make a paragraph, as a rule.
bool makesParagraph(const QStringRef &name)
{
    for (const char *paragraph : {"p", "v", "subtitle", "text-author", "date", "empty-line", "image", "td", "th"}) {
        if (name == QLatin1String(paragraph))
            return true;
    }
    return false;
}

}

ParseResult Fb2Parser::parseBookInfo(const QString &filePath)
{
    Fb2BoundedFile file(filePath, MaxTextRunBytes);
    if (!file.open(QIODevice::ReadOnly))
        return failure("无法读取 FB2 文件");
    if (file.fileSize() > MaxFileBytes)
        return failure("FB2 文件过大（超过 512 MiB）");

    const QString bookId = bookIdForPath(filePath);
    bookPath = QFileInfo(filePath).absoluteFilePath();
    dataDir = Paths::bookDataDir(bookId);

    m_fontsPending = false;
    const QString importingDir = m_stage.begin(bookId) ? m_stage.staged(dataDir + ImagesDir) : QString();
    if (importingDir.isEmpty() || !QDir().mkpath(importingDir)) {
        m_stage.abandon();
        return failure("无法创建 FB2 数据目录");
    }

    styleSheetText.clear();
    images = Fb2Images();
    BookFields fields;
    QSet<QString> fontIds;
    QMap<QString, QByteArray> fontData;
    bool rootSeen = false;
    qint64 paragraphElements = 0;

    QXmlStreamReader reader(&file);
    while (!reader.atEnd()) {
        reader.readNext();
        if (!reader.isStartElement())
            continue;
        const QStringRef name = reader.name();
        if (name == QLatin1String("FictionBook")) {
            rootSeen = true;
        } else if (name == QLatin1String("description")) {
            readDescription(reader, fields);
        } else if (name == QLatin1String("stylesheet")) {
            const QString text =
                Fb2Xml::boundedText(reader, MaxStyleSheetChars - styleSheetText.size());
            styleSheetText += text + QLatin1Char('\n');
            fontIds.unite(fontFaceIds(text));
        } else if (name == QLatin1String("binary")) {
            Fb2Binary binary;
            binary.id = attributeValue(reader.attributes(), QStringLiteral("id"));
            binary.contentType =
                attributeValue(reader.attributes(), QStringLiteral("content-type")).toLower();
            if (binary.id.isEmpty())
                reader.skipCurrentElement();
            else
                binary.data = Fb2Xml::readBase64(reader, MaxBinaryBytes);
            if (!binary.data.isEmpty() && fontIds.contains(binary.id))
                fontData.insert(binary.id, binary.data);
            if (!isFontType(binary.contentType))
                saveBinaryImage(binary, importingDir, dataDir + ImagesDir, images);
        } else if (name == QLatin1String("body")) {
            // The chapter step reads the text; here its paragraphs are only
            // counted, so a book past the bound is refused before one is built.
            while (Fb2Xml::nextInside(reader, QLatin1String("body"))) {
                if (reader.isStartElement() && makesParagraph(reader.name()))
                    ++paragraphElements;
            }
        }
    }
    if (reader.hasError() || !rootSeen || paragraphElements > MaxBookParagraphs) {
        m_stage.abandon();
        images = Fb2Images();
        return failure(reader.hasError() || !rootSeen ? "FB2 XML 结构无效" : "FB2 段落过多");
    }

    m_fonts = extractFonts(bookId, dataDir, styleSheetText, fontData);
    m_fontsPending = true;

    NovelInfo *novel = newBookRecord(filePath, QStringLiteral("FB2"));
    novel->setTitle(fields.title.isEmpty() ? QFileInfo(filePath).completeBaseName() : fields.title);
    novel->setAuthor(fields.authors.isEmpty() ? translated("未知作者")
                                              : fields.authors.join(QStringLiteral(", ")));
    novel->setDescription(fields.annotation.isEmpty() ? translated("未知简介") : fields.annotation);
    novel->setLanguage(fields.lang.isEmpty() ? QStringLiteral("zh_CN") : fields.lang);
    novel->setCategory(fields.genres.value(0));
    novel->setTags(fields.genres.join(QLatin1Char(',')));
    novel->setPublisher(fields.publisher);
    novel->setPublishDate(fields.year);
    novel->setIsbn(fields.isbn);
    novel->setSourceUrl(bookPath);
    novel->setFileSize(qMin<qint64>(novel->fileSize(), std::numeric_limits<int>::max()));
    novel->setLoadStatus(0);
    const QString cover = images.paths.value(fields.coverHref);
    if (!cover.isEmpty())
        novel->setCoverPath(cover);

    return ParseResult::ofNovel(novel);
}

bool Fb2Parser::finishImport(bool success)
{
    const bool fontsPending = m_fontsPending;
    m_fontsPending = false;
    Fb2FontFiles fonts = std::move(m_fonts);
    m_fonts = Fb2FontFiles();
    if (!success) {
        m_stage.abandon();
        return true;
    }
    if (fontsPending)
        saveFonts(m_stage, std::move(fonts));
    return true;
}
