#include "svgguard.h"

#include "imagedecode.h"
#include "imageutil.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QTextCodec>
#include <QUrl>
#include <QVector>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>
#include <QtDebug>

#include <cstring>

namespace SvgGuard {

namespace {

QStringRef localName(const QStringRef &qualified)
{
    const int colon = qualified.lastIndexOf(QLatin1Char(':'));
    return colon < 0 ? qualified : qualified.mid(colon + 1);
}

// A name any XML reader takes, with namespaces or without: Qt's reader
// lets through names such as "@mlns:xlink" that its writer then writes.
bool isXmlName(const QStringRef &name)
{
    const int colon = name.indexOf(QLatin1Char(':'));
    if (name.isEmpty() || colon == 0 || colon == name.size() - 1
        || (colon > 0 && name.indexOf(QLatin1Char(':'), colon + 1) >= 0))
        return false;
    for (int i = 0; i < name.size(); ++i) {
        const QChar c = name.at(i);
        const bool start = c.isLetter() || c.isSurrogate() || c == QLatin1Char('_') || c == QLatin1Char(':');
        const bool part = c.isNumber() || c.isMark() || c == QLatin1Char('.') || c == QLatin1Char('-')
            || c == QChar(0xb7);
        if (!start && !(part && i > 0))
            return false;
    }
    return true;
}

// A picture Qt may decode inside the drawing: a raster image within the
// pixel budget, never another drawing (it would be read unchecked).
struct Picture {
    QString uri;
    qint64 pixels = 0;
};

Picture rasterPicture(const QByteArray &bytes)
{
    if (bytes.isEmpty() || bytes.size() > kMaxBytes || isDrawing(bytes))
        return Picture();
    const ImageDecode::Result checked = ImageDecode::decode(bytes, ImageDecode::sizeOnly());
    const QByteArray format = checked.format;
    const QSize size = checked.natural;
    if (format.isEmpty() || !ImageUtil::withinPixelBudget(size))
        return Picture();
    return {QStringLiteral("data:image/") + QString::fromLatin1(format) + QStringLiteral(";base64,")
                + QString::fromLatin1(bytes.toBase64()),
            qint64(size.width()) * size.height()};
}

// One pass of cleanCss: url() naming anything but a fragment of the drawing
// becomes "none", also when unterminated, and imports go.
QString cleanCssOnce(const QString &css)
{
    static const QRegularExpression url(
        QStringLiteral("url\\(\\s*(?:\"([^\"]*)\"?|'([^']*)'?|([^)]*))\\s*\\)?"),
        QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression import(QStringLiteral("@import[^;]*;?"),
                                           QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression fragment(QStringLiteral("^#[^\\s()'\"\\\\]+$"));
    const QString text = QString(css).remove(import);
    QString result;
    int last = 0;
    QRegularExpressionMatchIterator it = url.globalMatch(text);
    while (it.hasNext()) {
        const QRegularExpressionMatch match = it.next();
        const QString target =
            (match.captured(1) + match.captured(2) + match.captured(3)).trimmed();
        result += text.midRef(last, match.capturedStart() - last);
        result += fragment.match(target).hasMatch() ? QStringLiteral("url(") + target + QLatin1Char(')')
                                                    : QStringLiteral("none");
        last = match.capturedEnd();
    }
    result += text.midRef(last);
    return result;
}

// CSS with no reference out of the drawing. Comments and escapes go first,
// as they could spell or split "url(" and "@import"; what the cleaning
// joins is cleaned again until nothing changes.
QString cleanCss(const QString &css)
{
    if (!css.contains(QLatin1String("url"), Qt::CaseInsensitive)
        && !css.contains(QLatin1Char('@')) && !css.contains(QLatin1Char('\\'))
        && !css.contains(QLatin1String("/*")))
        return css;
    static const QRegularExpression comment(QStringLiteral("/\\*.*?(?:\\*/|$)"),
                                            QRegularExpression::DotMatchesEverythingOption);
    QString text = QString(css).replace(comment, QStringLiteral(" ")).replace(QLatin1Char('\\'), QLatin1Char(' '));
    // Every pass that changes the text shortens it; hostile nesting that
    // needs many passes loses the style instead.
    for (int pass = 0; pass < 8; ++pass) {
        const QString next = cleanCssOnce(text);
        if (next == text)
            return text;
        text = next;
    }
    return QString();
}

// The reader expands the drawing's own entities into every reference
// before handing out the text: bounded here, from the declarations and the
// number of references, before it reads. Entities through entities and
// parameter entities multiply and are refused (real drawings declare a few
// namespace names).
const char *entityRefusal(const QString &text)
{
    int at = text.indexOf(QLatin1String("<!ENTITY"));
    if (at < 0)
        return nullptr;
    static const QRegularExpression declaration(QStringLiteral("<!ENTITY\\s+([^\\s\"'>]{1,1024})"));
    // Longer values Qt's reader refuses itself; a value is only looked for
    // that far, so that unclosed ones cost no more than the text.
    const int maxValue = 4096;
    qint64 longest = 0;
    for (; at >= 0; at = text.indexOf(QLatin1String("<!ENTITY"), at + 1)) {
        // On a piece of the text: Qt checks the whole subject on every match.
        const QRegularExpressionMatch match = declaration.match(
            text.midRef(at, 1100), 0, QRegularExpression::NormalMatch, QRegularExpression::AnchoredMatchOption);
        int end = at + match.capturedEnd();
        if (!match.hasMatch() || end >= text.size() || !text.at(end).isSpace())
            return "实体声明无法识别";
        if (match.captured(1).startsWith(QLatin1Char('%')))
            return "参数实体";
        while (end < text.size() && text.at(end).isSpace())
            ++end;
        const QChar quote = end < text.size() ? text.at(end) : QChar();
        if (quote != QLatin1Char('"') && quote != QLatin1Char('\''))
            continue;  // external: the reader loads nothing
        const QStringRef value = text.midRef(end + 1, maxValue + 1);
        const int length = value.indexOf(quote);
        if (length < 0)
            return "实体过长";
        if (value.left(length).contains(QLatin1Char('&')))
            return "实体嵌套";
        longest = qMax<qint64>(longest, length);
    }
    if (text.count(QLatin1Char('&')) * longest > kMaxEntityCharacters)
        return "实体展开过大";
    return nullptr;
}

class Rewriter
{
public:
    Rewriter(const QString &selfPath, const Resources &resources)
        : m_resources(resources)
    {
        m_folder = selfPath.split(QLatin1Char('/'), Qt::SkipEmptyParts);
        if (!m_folder.isEmpty())
            m_folder.removeLast();
    }

    QByteArray run(const QByteArray &drawing);

private:
    struct Node {
        int parent;
        // Every id a <use> may name, whichever href Qt reads.
        QStringList useTargets;
    };

    bool refuse(const char *why)
    {
        m_refusal = why;
        return false;
    }
    static QByteArray refused(const char *why)
    {
        qWarning().noquote() << "[SvgGuard] 拒绝 SVG 图片:" << QString::fromUtf8(why);
        return QByteArray();
    }
    bool startElement(QXmlStreamReader &reader, QXmlStreamWriter &writer);
    QString reference(const QStringRef &element, const QString &value);
    QString bookPath(QString href) const;
    QString shown(const Picture &picture);
    bool withinDrawnBound();
    void endElement(QXmlStreamWriter &writer);

    Resources m_resources;
    QStringList m_folder;
    QHash<QString, Picture> m_inlined;
    qint64 m_pixels = 0;
    qint64 m_inlinedBytes = 0;
    QVector<Node> m_nodes;
    // Every element carrying an id, for each id: which one Qt binds depends
    // on order and on which elements it keeps, so a <use> counts the largest.
    QHash<QString, QVector<int>> m_ids;
    QVector<int> m_open;
    int m_stops = 0;
    int m_styleDepth = 0;
    // A style sheet's text, split by comments, CDATA or child elements,
    // cleaned as one when it ends: Qt joins the pieces.
    QString m_styleText;
    bool m_styleCdata = false;
    const char *m_refusal = nullptr;
};

QString Rewriter::bookPath(QString href) const
{
    const int cut = href.indexOf(QRegularExpression(QStringLiteral("[?#]")));
    if (cut >= 0)
        href.truncate(cut);
    href = QUrl::fromPercentEncoding(href.toUtf8());
    if (href.isEmpty() || href.startsWith(QLatin1Char('/')) || href.contains(QLatin1Char('\\'))
        || href.contains(QChar(0)))
        return QString();
    QStringList parts = m_folder;
    for (const QString &part : href.split(QLatin1Char('/'))) {
        if (part.isEmpty() || part == QLatin1String("."))
            continue;
        if (part == QLatin1String("..")) {
            if (parts.isEmpty())
                return QString();
            parts.removeLast();
        } else {
            parts.append(part);
        }
    }
    return parts.join(QLatin1Char('/'));
}

// The value a reference keeps, empty when it is dropped.
QString Rewriter::reference(const QStringRef &element, const QString &value)
{
    const QString href = value.trimmed();
    const bool picture = element == QLatin1String("image") || element == QLatin1String("feImage");
    if (!picture)
        return href.startsWith(QLatin1Char('#')) ? href : QString();
    if (href.startsWith(QLatin1String("data:"), Qt::CaseInsensitive)) {
        // Qt reads the Base64 text after the last "base64,": exactly what is checked here.
        const int at = href.lastIndexOf(QLatin1String("base64,"));
        return at < 0 ? QString()
                      : shown(rasterPicture(QByteArray::fromBase64(href.mid(at + 7).toLatin1())));
    }
    QString name;
    if (href.startsWith(QLatin1Char('#')))
        name = href;  // a picture named by id, as FB2 books do
    else if (QUrl(href).scheme().isEmpty())
        name = bookPath(href);
    if (name.isEmpty() || !m_resources)
        return QString();
    auto known = m_inlined.constFind(name);
    if (known == m_inlined.constEnd())
        known = m_inlined.insert(name, rasterPicture(m_resources(name)));
    return shown(known.value());
}

// The picture's data URI while the drawing's pictures stay within budget,
// each counted as often as it is shown; empty (dropped) beyond.
QString Rewriter::shown(const Picture &picture)
{
    if (picture.uri.isEmpty() || m_pixels + picture.pixels > kMaxDrawingPixels
        || m_inlinedBytes + picture.uri.size() > kMaxOutputBytes)
        return QString();
    m_pixels += picture.pixels;
    m_inlinedBytes += picture.uri.size();
    return picture.uri;
}

bool Rewriter::startElement(QXmlStreamReader &reader, QXmlStreamWriter &writer)
{
    if (m_nodes.size() >= kMaxElements)
        return refuse("元素过多");
    if (m_open.size() >= kMaxDepth)
        return refuse("嵌套过深");
    const QStringRef qualified = reader.qualifiedName();
    const QStringRef element = localName(qualified);
    if (!isXmlName(qualified))
        return refuse("名称不是合格的 XML");
    if (m_nodes.isEmpty() && element != QLatin1String("svg"))
        return refuse("根元素不是 svg");
    if (element == QLatin1String("stop") && ++m_stops > kMaxStops)
        return refuse("渐变色标过多");

    Node node{m_open.isEmpty() ? -1 : m_open.last(), QStringList()};
    writer.writeStartElement(qualified.toString());
    const QXmlStreamAttributes attributes = reader.attributes();
    for (const QXmlStreamAttribute &attribute : attributes) {
        const QStringRef name = attribute.qualifiedName();
        if (!isXmlName(name))
            return refuse("名称不是合格的 XML");
        QString value = attribute.value().toString();
        if (name == QLatin1String("xml:base"))
            continue;
        if (localName(name) == QLatin1String("href")) {
            value = reference(element, value);
            if (value.isEmpty())
                continue;
            if (element == QLatin1String("use"))
                node.useTargets.append(value.mid(1));
        } else {
            value = cleanCss(value);
            // Qt takes "xml:id" where "id" is missing.
            if (localName(name) == QLatin1String("id"))
                m_ids[value].append(m_nodes.size());
        }
        writer.writeAttribute(name.toString(), value);
    }
    m_open.append(m_nodes.size());
    m_nodes.append(node);
    if (element == QLatin1String("style") && m_styleDepth == 0)
        m_styleDepth = m_open.size();
    return true;
}

// Each <use> draws its target again: a few nested ones repeat a drawing
// exponentially, so the elements drawn are counted over the use graph. An
// element weighs itself and all it draws; an id weighs as its heaviest
// element, whichever of them Qt binds.
bool Rewriter::withinDrawnBound()
{
    const int count = m_nodes.size();
    QVector<QVector<int>> edges(count + m_ids.size());
    QHash<QString, int> idNodes;
    for (auto it = m_ids.constBegin(); it != m_ids.constEnd(); ++it) {
        const int idNode = count + idNodes.size();
        idNodes.insert(it.key(), idNode);
        edges[idNode] = it.value();
    }
    for (int i = 0; i < count; ++i) {
        if (m_nodes.at(i).parent >= 0)
            edges[m_nodes.at(i).parent].append(i);
        for (const QString &target : m_nodes.at(i).useTargets) {
            const auto idNode = idNodes.constFind(target);
            if (idNode != idNodes.constEnd())
                edges[i].append(idNode.value());
        }
    }
    const qint64 cap = kMaxDrawnElements + 1;
    QVector<qint64> weight(edges.size(), 0);
    QVector<char> state(edges.size(), 0);  // 0 unseen, 1 on the path, 2 done
    const auto add = [&](int node, int to) {
        weight[node] = node < count ? qMin(cap, weight.at(node) + weight.at(to))
                                    : qMax(weight.at(node), weight.at(to));
    };
    const auto enter = [&](int node) {
        state[node] = 1;
        weight[node] = node < count ? 1 : 0;
    };
    struct Step {
        int node;
        int next;
    };
    QVector<Step> path;
    for (int root = 0; root < count; ++root) {
        if (state.at(root) != 0)
            continue;
        enter(root);
        path.append({root, 0});
        while (!path.isEmpty()) {
            const int node = path.last().node;
            if (path.last().next < edges.at(node).size()) {
                const int to = edges.at(node).at(path.last().next++);
                if (state.at(to) == 1)
                    return refuse("use 引用成环");
                if (state.at(to) == 0) {
                    enter(to);
                    path.append({to, 0});
                } else {
                    add(node, to);
                }
                continue;
            }
            state[node] = 2;
            path.removeLast();
            if (!path.isEmpty())
                add(path.last().node, node);
        }
        if (weight.at(root) >= cap)
            return refuse("绘制元素过多");
    }
    return true;
}

void Rewriter::endElement(QXmlStreamWriter &writer)
{
    if (m_styleDepth == m_open.size()) {
        const QString css = cleanCss(m_styleText);
        if (m_styleCdata)
            writer.writeCDATA(css);
        else
            writer.writeCharacters(css);
        m_styleText.clear();
        m_styleCdata = false;
        m_styleDepth = 0;
    }
    m_open.removeLast();
    writer.writeEndElement();
}

QByteArray Rewriter::run(const QByteArray &drawing)
{
    // Already UTF-8 without its declaration: see utf8Drawing.
    const QString text = QString::fromUtf8(drawing);
    if (const char *why = entityRefusal(text))
        return refused(why);
    QXmlStreamReader reader(text);
    // Names are written back as they were: Qt SVG looks attributes up by
    // their qualified names ("xlink:href").
    reader.setNamespaceProcessing(false);
    QByteArray out;
    QXmlStreamWriter writer(&out);
    writer.writeStartDocument();
    bool ok = true;
    while (ok && !reader.atEnd()) {
        switch (reader.readNext()) {
        case QXmlStreamReader::StartElement:
            ok = startElement(reader, writer);
            break;
        case QXmlStreamReader::EndElement:
            if (!m_open.isEmpty())
                endElement(writer);
            break;
        case QXmlStreamReader::Characters:
            if (m_open.isEmpty())
                break;
            if (m_styleDepth > 0) {
                m_styleText += reader.text();
                m_styleCdata = m_styleCdata || reader.isCDATA();
            } else if (reader.isCDATA()) {
                writer.writeCDATA(reader.text().toString());
            } else {
                writer.writeCharacters(reader.text().toString());
            }
            break;
        default:
            // The document type (with its entities), comments and processing
            // instructions are left out: nothing of the drawing needs them.
            break;
        }
        if (out.size() + m_styleText.size() > kMaxOutputBytes)
            ok = refuse("展开后过大");
    }
    if (ok && reader.hasError())
        ok = refuse("XML 格式错误");
    if (ok && m_nodes.isEmpty())
        ok = refuse("没有 svg 元素");
    if (ok)
        ok = withinDrawnBound();
    if (!ok)
        return refused(m_refusal);
    writer.writeEndDocument();
    // The writer writes names as it is given them; what Qt SVG gets must
    // read back as XML.
    QXmlStreamReader check(out);
    check.setNamespaceProcessing(false);
    while (!check.atEnd())
        check.readNext();
    if (check.hasError())
        return refused("输出不是合格的 XML");
    return out;
}

} // namespace

namespace {

// The codec Qt's XML reader starts a document with: a byte-order mark, or
// the zero bytes around its first '<', else UTF-8. `marked` tells a mark.
QTextCodec *startingCodec(const QByteArray &bytes, bool *marked)
{
    struct Start {
        const char *head;
        int length;
        const char *codec;
        bool mark;
    };
    static const Start known[] = {
        {"\x00\x00\xFE\xFF", 4, "UTF-32BE", true}, {"\xFF\xFE\x00\x00", 4, "UTF-32LE", true},
        {"<\x00\x00\x00", 4, "UTF-32LE", false},    {"\x00\x00\x00<", 4, "UTF-32BE", false},
        {"\xFE\xFF", 2, "UTF-16BE", true},           {"\xFF\xFE", 2, "UTF-16LE", true},
        {"<\x00", 2, "UTF-16LE", false},              {"\x00<", 2, "UTF-16BE", false},
        {"\xEF\xBB\xBF", 3, "UTF-8", true}};
    for (const Start &start : known) {
        if (bytes.size() >= start.length && memcmp(bytes.constData(), start.head, size_t(start.length)) == 0) {
            *marked = start.mark;
            return QTextCodec::codecForName(start.codec);
        }
    }
    *marked = false;
    return QTextCodec::codecForName("UTF-8");
}

// The text opens with a tag, read as Qt's XML reader starts it (a byte-order
// mark, or the zero bytes around a first '<', else UTF-8) past any white
// space however long; text that is white space to its end may be one too.
bool opensWithTag(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return false;
    bool marked = false;
    const QScopedPointer<QTextDecoder> decoder(startingCodec(bytes, &marked)->makeDecoder());
    const int block = 256;
    for (int at = 0; at < bytes.size(); at += block) {
        const QString text = decoder->toUnicode(bytes.constData() + at, qMin(block, bytes.size() - at));
        for (int i = 0; i < text.size(); ++i) {
            const QChar c = text.at(i);
            if (c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\r') || c == QLatin1Char('\n')
                || (c == QChar::ByteOrderMark && at == 0 && i == 0))
                continue;
            return c == QLatin1Char('<');
        }
    }
    return true;
}

// The drawing as UTF-8 without its XML declaration, read as Qt's XML reader
// reads it (the declared encoding when no mark says otherwise); empty when
// that encoding is unknown or a byte of the text is not in it.
QByteArray utf8Drawing(const QByteArray &drawing)
{
    bool marked = false;
    QTextCodec *const codec = startingCodec(drawing, &marked);
    const auto decode = [&drawing](QTextCodec *with, bool *ok) {
        QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
        QString text = with->toUnicode(drawing.constData(), drawing.size(), &state);
        *ok = state.invalidChars == 0 && state.remainingChars == 0;
        // The mark itself, which IgnoreHeader keeps.
        if (text.startsWith(QChar(QChar::ByteOrderMark)))
            text.remove(0, 1);
        return text;
    };
    bool ok = false;
    QString text = decode(codec, &ok);
    static const QRegularExpression declaration(QStringLiteral("^<\\?xml\\s[^>]*?\\?>"));
    static const QRegularExpression encoding(QStringLiteral("\\sencoding\\s*=\\s*(?:\"([^\"]*)\"|'([^']*)')"));
    const QRegularExpressionMatch head = declaration.match(text);
    if (head.hasMatch()) {
        const QRegularExpressionMatch named = encoding.match(head.captured());
        const QString name = named.captured(1) + named.captured(2);
        if (named.hasMatch()) {
            QTextCodec *declared = QTextCodec::codecForName(name.toLatin1());
            if (!declared)
                return QByteArray();
            if (!marked && declared != codec)
                text = decode(declared, &ok);
        }
        text.remove(declaration);
    } else if (text.startsWith(QLatin1String("<?xml")) && text.size() > 5 && text.at(5).isSpace()) {
        return QByteArray();  // a declaration never closed
    }
    return ok ? text.toUtf8() : QByteArray();
}

}

bool isDrawing(const QByteArray &bytes)
{
    // Any text Qt SVG's XML reader could read (which covers all that Qt's
    // own detection reads as SVG: it decodes the head by its byte-order
    // mark), and compressed drawings. The helper reads no drawing as a
    // picture, whatever slips past this.
    return bytes.startsWith("\x1f\x8b") || opensWithTag(bytes);
}

QByteArray sanitize(const QByteArray &drawing, const QString &selfPath, const Resources &resources)
{
    if (drawing.size() > kMaxBytes) {
        qWarning().noquote() << "[SvgGuard] 拒绝 SVG 图片: 文件过大" << drawing.size();
        return QByteArray();
    }
    if (drawing.startsWith("\x1f\x8b")) {
        qWarning().noquote() << "[SvgGuard] 拒绝 SVG 图片: 压缩的 SVG";
        return QByteArray();
    }
    const QByteArray text = utf8Drawing(drawing);
    if (text.isEmpty()) {
        qWarning().noquote() << "[SvgGuard] 拒绝 SVG 图片: 无法识别的编码";
        return QByteArray();
    }
    return Rewriter(selfPath, resources).run(text);
}

QByteArray guard(const QByteArray &bytes, const QString &selfPath, const Resources &resources, bool *drawing)
{
    const bool isSvg = isDrawing(bytes);
    if (drawing)
        *drawing = isSvg;
    return isSvg ? sanitize(bytes, selfPath, resources) : bytes;
}

Resources folderResources(const QString &folder, qint64 maxBytes)
{
    const QString root = QFileInfo(folder).canonicalFilePath();
    return [root, maxBytes](const QString &name) -> QByteArray {
        if (root.isEmpty() || name.isEmpty() || name.startsWith(QLatin1Char('#')))
            return QByteArray();
        const QString path = QDir::cleanPath(root + QLatin1Char('/') + name);
        const QFileInfo info(path);
        // A link anywhere on the way gives another canonical path.
        if (info.canonicalFilePath() != path || !path.startsWith(root + QLatin1Char('/'))
            || !info.isFile() || info.size() > maxBytes)
            return QByteArray();
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return QByteArray();
        return file.read(maxBytes);
    };
}

}
