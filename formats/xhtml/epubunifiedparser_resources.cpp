#include "epubunifiedparser.h"
#include "decodeservice.h"
#include "xmlelementtext.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QUrl>
#include <QXmlStreamReader>

namespace {

// 0 when the attribute is not a plain pixel count.
int pixelAttribute(const QString &text)
{
    static const QRegularExpression pattern(QStringLiteral("^\\s*([0-9]+)(?:px)?\\s*$"),
                                            QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = pattern.match(text);
    return match.hasMatch() ? match.captured(1).toInt() : 0;
}

bool isSupportedImageFormat(const QString &suffix)
{
    return DecodeService::readableFormats().contains(suffix.toLatin1());
}

// The attribute's media type when it is an image type ("image/png"), else empty.
QString imageMediaType(const QString &type)
{
    static const QRegularExpression pattern(QStringLiteral("^image/[a-z0-9][a-z0-9.+-]*$"));
    const QString mediaType = type.section(QLatin1Char(';'), 0, 0).trimmed().toLower();
    return pattern.match(mediaType).hasMatch() ? mediaType : QString();
}

MathNode readMathNode(XmlFeed &feed, QString &imageSource, int level)
{
    QXmlStreamReader &reader = feed.reader();
    MathNode node;
    node.name = reader.name().toString().toLower();
    const QXmlStreamAttributes attributes = reader.attributes();
    node.encoding = EpubUnifiedParser::attributeValue(attributes, QStringLiteral("encoding"));
    if (imageSource.isEmpty()
        && (node.name == QLatin1String("img") || node.name == QLatin1String("image")
            || node.name == QLatin1String("mglyph"))) {
        imageSource = EpubUnifiedParser::attributeValue(attributes, QStringLiteral("src"));
        if (imageSource.isEmpty())
            imageSource = EpubUnifiedParser::attributeValue(attributes, QStringLiteral("href"));
    }
    while (!reader.atEnd()) {
        const auto token = feed.readNext();
        if (token == QXmlStreamReader::StartElement) {
            if (level + 1 < EpubUnifiedParser::maxNestingDepth)
                node.children.append(readMathNode(feed, imageSource, level + 1));
            else
                node.text += flatElementText(feed);
        } else if (token == QXmlStreamReader::Characters) {
            node.text += reader.text();
        } else if (token == QXmlStreamReader::EndElement) {
            break;
        }
    }
    return node;
}

void collectNodeText(const MathNode &node, QString &out)
{
    out += node.text;
    for (const MathNode &child : node.children)
        collectNodeText(child, out);
}

// The first TeX or plain-text annotation with text, depth first.
QString annotationText(const MathNode &node)
{
    if (node.name == QLatin1String("annotation") || node.name == QLatin1String("annotation-xml")) {
        const QString encoding = node.encoding.toLower();
        if (encoding.contains(QLatin1String("tex")) || encoding == QLatin1String("text/plain")) {
            const QString text = EpubUnifiedParser::mathNodeText(node);
            if (!text.isEmpty())
                return text;
        }
    }
    for (const MathNode &child : node.children) {
        const QString text = annotationText(child);
        if (!text.isEmpty())
            return text;
    }
    return QString();
}

}

QString EpubUnifiedParser::decodeRelativeUrl(const QString &href)
{
    if (!QUrl(href, QUrl::TolerantMode).scheme().isEmpty())
        return QString();
    QString text = href;
    const int hash = text.indexOf(QLatin1Char('#'));
    if (hash >= 0)
        text.truncate(hash);
    const int query = text.indexOf(QLatin1Char('?'));
    if (query >= 0)
        text.truncate(query);
    return QUrl::fromPercentEncoding(text.toUtf8());
}

QString EpubUnifiedParser::resolveHref(const QString &href, const QString &basePath)
{
    const QString decoded = decodeRelativeUrl(href);
    if (decoded.isEmpty())
        return QString();
    if (decoded.startsWith(QLatin1Char('/')))
        return decoded.mid(1);
    const QString dir = QFileInfo(basePath).path();
    if (dir.isEmpty() || dir == QLatin1String("."))
        return QDir::cleanPath(decoded);
    return QDir::cleanPath(dir + QLatin1Char('/') + decoded);
}

QString EpubUnifiedParser::lookupResource(const QString &href, const QMap<QString, QString> &resources,
                                          const QString &documentPath, const QString &baseDir)
{
    if (href.isEmpty())
        return QString();
    const QString fromDocument = resolveHref(href, documentPath);
    const QString fromBase = resolveHref(href, baseDir);
    const QString decoded = decodeRelativeUrl(href);
    const QString keys[] = {fromDocument, fromDocument.toLower(), fromBase, fromBase.toLower(),
                            decoded, decoded.toLower(), QFileInfo(decoded).fileName().toLower()};
    for (const QString &key : keys) {
        if (key.isEmpty())
            continue;
        const auto found = resources.constFind(key);
        if (found != resources.cend())
            return found.value();
    }
    return QString();
}

bool EpubUnifiedParser::addImageParagraph(XhtmlConvertState &s, const ComputedStyle &style,
                                          const QString &href, const QString &type,
                                          const QString &alt, const QString &width,
                                          const QString &height)
{
    const QString path = lookupResource(href, s.resources, s.documentPath, s.baseDir);
    if (path.isEmpty())
        return false;
    // A type attribute decides only when it names an image type: calibre's
    // KF8 output turns epub:type into a plain type ("cover", "titlepage").
    QString mediaType = imageMediaType(type);
    if (mediaType.isEmpty())
        mediaType = s.mediaTypes.value(path).section(QLatin1Char(';'), 0, 0).trimmed().toLower();
    QString suffix;
    if (mediaType.startsWith(QLatin1String("image/")))
        suffix = mediaType.mid(6);
    else if (!mediaType.isEmpty())
        return false;
    else
        suffix = QFileInfo(decodeRelativeUrl(href)).suffix().toLower();
    if (suffix == QLatin1String("jpg"))
        suffix = QStringLiteral("jpeg");
    else if (suffix == QLatin1String("svg+xml"))
        suffix = QStringLiteral("svg");
    if (suffix.isEmpty() || !isSupportedImageFormat(suffix))
        return false;

    if (s.inTableCell) {
        // Cells hold text only: the picture is named by its alt text.
        if (alt.isEmpty())
            return false;
        if (!s.pendingText.isEmpty())
            s.pendingText += QLatin1Char(' ');
        s.pendingText += alt;
        s.atLineStart = false;
        return true;
    }

    int alignment = 0;
    if (s.paragraphOpen) {
        flushRun(s);
        alignment = s.paragraph.alignment;
        if (!s.paragraph.chunks.isEmpty()) {
            s.output.append(s.paragraph);
            openImplicitParagraph(s);
            s.paragraph.alignment = alignment;
        }
    }

    Paragraph image;
    image.kind = Paragraph::Image;
    image.imageId = s.imageIdPrefix + path;
    image.alignment = alignment;
    applyBlockStyle(image, style);
    if (style.value(QStringLiteral("margin-left")) == QLatin1String("auto")
        && style.value(QStringLiteral("margin-right")) == QLatin1String("auto")) {
        image.alignment = 1;
        image.hCenter = true;
    } else {
        image.hCenter = image.alignment == 1;
    }
    image.imageWidth = pixelAttribute(width);
    image.imageHeight = pixelAttribute(height);
    s.output.append(image);
    return true;
}

void EpubUnifiedParser::convertMath(XhtmlConvertState &s, const QXmlStreamAttributes &attributes,
                                    const RunStyle &before)
{
    // A cell holds text only, so a block formula there is read inline.
    const bool block = !s.inTableCell
        && attributeValue(attributes, QStringLiteral("display")).toLower() == QLatin1String("block");
    const QString altText = attributeValue(attributes, QStringLiteral("alttext"));
    QString imageSource = attributeValue(attributes, QStringLiteral("altimg"));
    const ComputedStyle style = s.styles.last().style;
    const MathNode tree = readMathTree(*s.feed, imageSource);
    // The end tag is consumed here, so the element's frame goes now.
    s.styles.removeLast();
    --s.depth;

    QString text = annotationText(tree);
    if (text.isEmpty())
        text = altText.trimmed().isEmpty() ? mathToText(tree).simplified() : altText.simplified();

    const bool asImage = !imageSource.isEmpty()
        && addImageParagraph(s, style, imageSource, QString(), text,
                             attributeValue(attributes, QStringLiteral("width")),
                             attributeValue(attributes, QStringLiteral("height")));
    if (!asImage && !text.isEmpty()) {
        if (block) {
            emitParagraph(s);
            s.paragraphOpen = false;
        }
        if (!s.paragraphOpen)
            openImplicitParagraph(s);
        s.pendingText += text;
        s.atLineStart = false;
        if (block) {
            emitParagraph(s);
            s.paragraph = Paragraph();
            s.run = RunStyle();
            s.paragraphOpen = false;
            s.atLineStart = true;
        }
    }
    s.run = before;
}

MathNode EpubUnifiedParser::readMathTree(XmlFeed &feed, QString &imageSource)
{
    return readMathNode(feed, imageSource, 0);
}

QString EpubUnifiedParser::mathNodeText(const MathNode &node)
{
    QString text;
    collectNodeText(node, text);
    return text.simplified();
}

QString EpubUnifiedParser::mathToText(const MathNode &node)
{
    QStringList parts;
    for (const MathNode &child : node.children) {
        const QString part = mathToText(child).trimmed();
        if (!part.isEmpty())
            parts << part;
    }
    const QString own = node.text.simplified();
    const QString &name = node.name;
    if (name == QLatin1String("annotation") || name == QLatin1String("annotation-xml"))
        return QString();
    if (name == QLatin1String("mfrac") && parts.size() >= 2)
        return QStringLiteral("(%1)/(%2)").arg(parts[0], parts[1]);
    if (name == QLatin1String("msqrt"))
        return QStringLiteral("sqrt(%1)").arg(parts.join(QString()));
    if (name == QLatin1String("mroot") && parts.size() >= 2)
        return QStringLiteral("root(%1,%2)").arg(parts[1], parts[0]);
    if (name == QLatin1String("msup") && parts.size() >= 2)
        return parts[0] + QStringLiteral("^(") + parts[1] + QLatin1Char(')');
    if (name == QLatin1String("msub") && parts.size() >= 2)
        return parts[0] + QStringLiteral("_(") + parts[1] + QLatin1Char(')');
    if (name == QLatin1String("msubsup") && parts.size() >= 3)
        return parts[0] + QStringLiteral("_(") + parts[1] + QStringLiteral(")^(") + parts[2]
            + QLatin1Char(')');
    if (name == QLatin1String("mfenced"))
        return QLatin1Char('(') + parts.join(QStringLiteral(", ")) + QLatin1Char(')');
    if (name == QLatin1String("mtd"))
        return parts.join(QString()) + own;
    if (name == QLatin1String("mtr"))
        return parts.join(QStringLiteral(", "));
    if (name == QLatin1String("mtable"))
        return QLatin1Char('[') + parts.join(QStringLiteral("; ")) + QLatin1Char(']');
    return own + parts.join(QString());
}
