#include "svgguard.h"

#include "imageutil.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QImageReader>
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

// A picture Qt may decode inside the drawing: a raster image within the
// pixel budget, never another drawing (it would be read unchecked).
QString rasterDataUri(const QByteArray &bytes)
{
    if (bytes.isEmpty() || bytes.size() > kMaxBytes || isDrawing(bytes))
        return QString();
    QBuffer buffer;
    buffer.setData(bytes);
    if (!buffer.open(QIODevice::ReadOnly))
        return QString();
    QImageReader reader(&buffer);
    const QByteArray format = reader.format();
    if (format.isEmpty() || format.startsWith("svg") || !ImageUtil::withinPixelBudget(reader.size()))
        return QString();
    return QStringLiteral("data:image/") + QString::fromLatin1(format) + QStringLiteral(";base64,")
        + QString::fromLatin1(bytes.toBase64());
}

// url() naming anything but a fragment of the drawing becomes "none", and
// style sheets import nothing.
QString cleanCss(const QString &css)
{
    if (!css.contains(QLatin1String("url"), Qt::CaseInsensitive)
        && !css.contains(QLatin1String("@import"), Qt::CaseInsensitive))
        return css;
    static const QRegularExpression url(
        QStringLiteral("url\\(\\s*(?:\"([^\"]*)\"|'([^']*)'|([^)]*))\\s*\\)"),
        QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression import(QStringLiteral("@import[^;]*;?"),
                                           QRegularExpression::CaseInsensitiveOption);
    QString result;
    int last = 0;
    QRegularExpressionMatchIterator it = url.globalMatch(css);
    while (it.hasNext()) {
        const QRegularExpressionMatch match = it.next();
        const QString target =
            (match.captured(1) + match.captured(2) + match.captured(3)).trimmed();
        result += css.midRef(last, match.capturedStart() - last);
        result += target.startsWith(QLatin1Char('#')) && !target.contains(QLatin1Char('\\'))
            ? QStringLiteral("url(") + target + QLatin1Char(')')
            : QStringLiteral("none");
        last = match.capturedEnd();
    }
    result += css.midRef(last);
    return result.remove(import);
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
        QString useTarget;
    };

    bool refuse(const char *why)
    {
        m_refusal = why;
        return false;
    }
    bool startElement(QXmlStreamReader &reader, QXmlStreamWriter &writer);
    QString reference(const QStringRef &element, const QString &value);
    QString bookPath(QString href) const;
    bool withinDrawnBound();

    Resources m_resources;
    QStringList m_folder;
    QHash<QString, QString> m_inlined;
    QVector<Node> m_nodes;
    QHash<QString, int> m_ids;
    QVector<int> m_open;
    int m_stops = 0;
    int m_styleDepth = 0;
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
                      : rasterDataUri(QByteArray::fromBase64(href.mid(at + 7).toLatin1()));
    }
    QString name;
    if (href.startsWith(QLatin1Char('#')))
        name = href;  // a picture named by id, as FB2 books do
    else if (QUrl(href).scheme().isEmpty())
        name = bookPath(href);
    if (name.isEmpty() || !m_resources)
        return QString();
    const auto known = m_inlined.constFind(name);
    if (known != m_inlined.constEnd())
        return known.value();
    const QString inlined = rasterDataUri(m_resources(name));
    m_inlined.insert(name, inlined);
    return inlined;
}

bool Rewriter::startElement(QXmlStreamReader &reader, QXmlStreamWriter &writer)
{
    if (m_nodes.size() >= kMaxElements)
        return refuse("元素过多");
    if (m_open.size() >= kMaxDepth)
        return refuse("嵌套过深");
    const QStringRef qualified = reader.qualifiedName();
    const QStringRef element = localName(qualified);
    if (m_nodes.isEmpty() && element != QLatin1String("svg"))
        return refuse("根元素不是 svg");
    if (element == QLatin1String("stop") && ++m_stops > kMaxStops)
        return refuse("渐变色标过多");

    Node node{m_open.isEmpty() ? -1 : m_open.last(), QString()};
    writer.writeStartElement(qualified.toString());
    const QXmlStreamAttributes attributes = reader.attributes();
    for (const QXmlStreamAttribute &attribute : attributes) {
        const QStringRef name = attribute.qualifiedName();
        QString value = attribute.value().toString();
        if (name == QLatin1String("xml:base"))
            continue;
        if (localName(name) == QLatin1String("href")) {
            value = reference(element, value);
            if (value.isEmpty())
                continue;
            if (element == QLatin1String("use"))
                node.useTarget = value.mid(1);
        } else {
            value = cleanCss(value);
            if (name == QLatin1String("id"))
                m_ids.insert(value, m_nodes.size());
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
// exponentially, so the elements drawn are counted over the use graph.
bool Rewriter::withinDrawnBound()
{
    const int count = m_nodes.size();
    QVector<QVector<int>> edges(count);
    for (int i = 0; i < count; ++i) {
        if (m_nodes.at(i).parent >= 0)
            edges[m_nodes.at(i).parent].append(i);
    }
    for (int i = 0; i < count; ++i) {
        const auto target = m_ids.constFind(m_nodes.at(i).useTarget);
        if (!m_nodes.at(i).useTarget.isEmpty() && target != m_ids.constEnd())
            edges[i].append(target.value());
    }
    const qint64 cap = kMaxDrawnElements + 1;
    QVector<qint64> weight(count, 0);
    QVector<char> state(count, 0);  // 0 unseen, 1 on the path, 2 done
    struct Step {
        int node;
        int next;
    };
    QVector<Step> path;
    for (int root = 0; root < count; ++root) {
        if (state.at(root) != 0)
            continue;
        state[root] = 1;
        weight[root] = 1;
        path.append({root, 0});
        while (!path.isEmpty()) {
            const int node = path.last().node;
            if (path.last().next < edges.at(node).size()) {
                const int to = edges.at(node).at(path.last().next++);
                if (state.at(to) == 1)
                    return refuse("use 引用成环");
                if (state.at(to) == 0) {
                    state[to] = 1;
                    weight[to] = 1;
                    path.append({to, 0});
                } else {
                    weight[node] = qMin(cap, weight.at(node) + weight.at(to));
                }
                continue;
            }
            state[node] = 2;
            path.removeLast();
            if (!path.isEmpty()) {
                const int parent = path.last().node;
                weight[parent] = qMin(cap, weight.at(parent) + weight.at(node));
            }
        }
        if (weight.at(root) >= cap)
            return refuse("绘制元素过多");
    }
    return true;
}

QByteArray Rewriter::run(const QByteArray &drawing)
{
    QXmlStreamReader reader(drawing);
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
            if (m_open.isEmpty())
                break;
            if (m_styleDepth == m_open.size())
                m_styleDepth = 0;
            m_open.removeLast();
            writer.writeEndElement();
            break;
        case QXmlStreamReader::Characters: {
            if (m_open.isEmpty())
                break;
            const QString text = m_styleDepth > 0 ? cleanCss(reader.text().toString())
                                                  : reader.text().toString();
            if (reader.isCDATA())
                writer.writeCDATA(text);
            else
                writer.writeCharacters(text);
            break;
        }
        default:
            // The document type (with its entities), comments and processing
            // instructions are left out: nothing of the drawing needs them.
            break;
        }
        if (out.size() > kMaxOutputBytes)
            ok = refuse("展开后过大");
    }
    if (ok && reader.hasError())
        ok = refuse("XML 格式错误");
    if (ok && m_nodes.isEmpty())
        ok = refuse("没有 svg 元素");
    if (ok)
        ok = withinDrawnBound();
    if (!ok) {
        qWarning().noquote() << "[SvgGuard] 拒绝 SVG 图片:" << QString::fromUtf8(m_refusal);
        return QByteArray();
    }
    writer.writeEndDocument();
    return out;
}

} // namespace

namespace {

bool looksLikeMarkup(const QByteArray &bytes)
{
    int at = bytes.startsWith("\xEF\xBB\xBF") ? 3 : 0;
    while (at < bytes.size() && at < kHeadBytes && QChar::isSpace(uchar(bytes.at(at))))
        ++at;
    return at < bytes.size() && bytes.at(at) == '<';
}

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
    // Whatever Qt's own detection reads as SVG (it decodes the head by its
    // byte-order mark), and any text that opens with a tag.
    QBuffer buffer;
    buffer.setData(bytes.left(kHeadBytes));
    if (buffer.open(QIODevice::ReadOnly) && QImageReader(&buffer).format().startsWith("svg"))
        return true;
    return bytes.startsWith("\x1f\x8b") || looksLikeMarkup(bytes);
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
