#include "xmltext.h"

#include <QRegularExpression>
#include <QVector>
#include <QTextCodec>

#include <libxml/HTMLparser.h>
#include <libxml/tree.h>

namespace {

// Only the head of a document can declare its encoding.
constexpr int DeclarationWindow = 2048;

QByteArray declaredEncoding(const QByteArray &bytes)
{
    static const QRegularExpression prolog(
        QStringLiteral("^\\s*<\\?xml[^>]*?encoding\\s*=\\s*[\"']([A-Za-z0-9._:-]+)[\"']"));
    static const QRegularExpression meta(
        QStringLiteral("<meta[^>]*?charset\\s*=\\s*[\"']?([A-Za-z0-9._:-]+)"),
        QRegularExpression::CaseInsensitiveOption);
    const QString head = QString::fromLatin1(bytes.left(DeclarationWindow));
    QRegularExpressionMatch match = prolog.match(head);
    if (!match.hasMatch())
        match = meta.match(head);
    return match.hasMatch() ? match.captured(1).toLatin1().toLower() : QByteArray();
}

// UTF-16 and UTF-32 text was recognised by its mark or its NUL bytes; a
// label claiming them over ASCII bytes is wrong.
bool isUtf8Name(const QByteArray &name)
{
    return name.isEmpty() || name == "utf-8" || name == "utf8" || name == "us-ascii"
        || name == "ascii" || name.startsWith("utf-16") || name.startsWith("utf-32")
        || name.startsWith("ucs") || name == "unicode";
}

bool validUtf8WithNonAscii(const QByteArray &bytes)
{
    bool nonAscii = false;
    for (char c : bytes) {
        if (uchar(c) >= 0x80) {
            nonAscii = true;
            break;
        }
    }
    if (!nonAscii)
        return false;
    QTextCodec::ConverterState state;
    QTextCodec::codecForMib(106)->toUnicode(bytes.constData(), bytes.size(), &state);
    return state.invalidChars == 0 && state.remainingChars == 0;
}

}

namespace {

// The decoded text without the byte-order mark and without NUL characters,
// which XML does not allow: a stray one costs itself, not the rest.
QString cleaned(QString text)
{
    if (text.startsWith(QChar(0xFEFF)))
        text.remove(0, 1);
    if (text.contains(QChar(0)))
        text.remove(QChar(0));
    return text;
}

QString decodeXmlBytesRaw(const QByteArray &bytes);

}

QString decodeXmlBytes(const QByteArray &bytes)
{
    return cleaned(decodeXmlBytesRaw(bytes));
}

namespace {

QString decodeXmlBytesRaw(const QByteArray &bytes)
{
    const auto startsWith = [&bytes](const char *mark, int size) {
        return bytes.size() >= size && memcmp(bytes.constData(), mark, size_t(size)) == 0;
    };
    if (startsWith("\xEF\xBB\xBF", 3))
        return QString::fromUtf8(bytes.constData() + 3, bytes.size() - 3);
    if (startsWith("\xFF\xFE\x00\x00", 4) || startsWith("\x00\x00\xFE\xFF", 4))
        return QTextCodec::codecForUtfText(bytes)->toUnicode(bytes);
    if (startsWith("\xFF\xFE", 2) || startsWith("\xFE\xFF", 2))
        return QTextCodec::codecForUtfText(bytes)->toUnicode(bytes);
    // UTF-16 without a mark still starts with "<" or white space.
    if (bytes.size() >= 2 && bytes.at(1) == '\0' && bytes.at(0) != '\0')
        return QTextCodec::codecForMib(1014)->toUnicode(bytes);      // UTF-16LE
    if (bytes.size() >= 2 && bytes.at(0) == '\0' && bytes.at(1) != '\0')
        return QTextCodec::codecForMib(1013)->toUnicode(bytes);      // UTF-16BE

    const QByteArray name = declaredEncoding(bytes);
    if (!isUtf8Name(name)) {
        QTextCodec *codec = QTextCodec::codecForName(name);
        // A label naming another encoding over what is plainly UTF-8 is a mistake
        // of the tool that wrote it.
        if (codec && codec->mibEnum() != 106 && !validUtf8WithNonAscii(bytes))
            return codec->toUnicode(bytes);
    }
    return QString::fromUtf8(bytes.constData(), bytes.size());
}

const char *const XhtmlNamespace = "http://www.w3.org/1999/xhtml";

bool isNameStart(uchar c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c >= 0x80;
}

bool isNameChar(uchar c)
{
    return isNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

// A name that XML accepts without a namespace: letters, digits, "-", "_", ".".
bool plainName(const QByteArray &name)
{
    if (name.isEmpty() || !isNameStart(uchar(name.at(0))))
        return false;
    for (char c : name) {
        if (!isNameChar(uchar(c)))
            return false;
    }
    return true;
}

// The name as written, its prefix kept only when the output declares it.
QByteArray outputName(const char *raw, bool attribute)
{
    QByteArray name(raw);
    const int colon = name.indexOf(':');
    if (colon >= 0) {
        const QByteArray prefix = name.left(colon).toLower();
        QByteArray local = name.mid(colon + 1);
        if (attribute && (prefix == "epub" || prefix == "xlink" || prefix == "xml")
            && plainName(local))
            return prefix + ':' + local;
        name = local;
    }
    return plainName(name) ? name : QByteArray();
}

void appendEscaped(QByteArray &out, const xmlChar *text, bool attribute)
{
    for (const xmlChar *p = text; p && *p; ++p) {
        const uchar c = *p;
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"':
            if (attribute)
                out += "&quot;";
            else
                out += char(c);
            break;
        default:
            // Control characters other than white space are not XML.
            if (c < 0x20 && c != '\t' && c != '\n' && c != '\r')
                break;
            out += char(c);
        }
    }
}

// Writes the start tag of an element the output can name; false for one whose
// content alone passes on.
bool writeStartTag(QByteArray &out, xmlNode *node, bool root)
{
    const QByteArray name = outputName(reinterpret_cast<const char *>(node->name), false).toLower();
    if (name.isEmpty())
        return false;
    out += '<';
    out += name;
    if (root) {
        out += " xmlns=\"";
        out += XhtmlNamespace;
        out += "\" xmlns:epub=\"http://www.idpf.org/2007/ops\""
               " xmlns:xlink=\"http://www.w3.org/1999/xlink\"";
    }
    QVector<QByteArray> written;
    for (xmlAttr *attribute = node->properties; attribute; attribute = attribute->next) {
        const QByteArray attributeName =
            outputName(reinterpret_cast<const char *>(attribute->name), true);
        if (attributeName.isEmpty() || attributeName.startsWith("xmlns")
            || written.contains(attributeName))
            continue;
        written.append(attributeName);
        xmlChar *value = xmlNodeGetContent(reinterpret_cast<xmlNode *>(attribute));
        out += ' ';
        out += attributeName;
        out += "=\"";
        appendEscaped(out, value, true);
        out += '"';
        xmlFree(value);
    }
    out += node->children ? ">" : "/>";
    return true;
}

void writeEndTag(QByteArray &out, xmlNode *node)
{
    const QByteArray name = outputName(reinterpret_cast<const char *>(node->name), false).toLower();
    if (name.isEmpty() || !node->children)
        return;
    out += "</";
    out += name;
    out += '>';
}

// Depth first without recursion: unclosed inline tags nest as deep as the book is long.
void writeTree(QByteArray &out, xmlNode *root)
{
    xmlNode *node = root;
    while (node) {
        if (node->type == XML_TEXT_NODE || node->type == XML_CDATA_SECTION_NODE)
            appendEscaped(out, node->content, false);
        else if (node->type == XML_ELEMENT_NODE)
            writeStartTag(out, node, node == root);
        if (node->type == XML_ELEMENT_NODE && node->children) {
            node = node->children;
            continue;
        }
        while (node && node != root && !node->next) {
            node = node->parent;
            if (node->type == XML_ELEMENT_NODE)
                writeEndTag(out, node);
        }
        if (!node || node == root)
            break;
        node = node->next;
    }
}

}

QString repairHtmlToXhtml(const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    const int options = HTML_PARSE_RECOVER | HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING
        | HTML_PARSE_NONET | HTML_PARSE_COMPACT;
    htmlDocPtr document = htmlReadMemory(utf8.constData(), utf8.size(), nullptr, "UTF-8", options);
    if (!document)
        return QString();
    QByteArray out;
    out.reserve(utf8.size() + utf8.size() / 8 + 256);
    out += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    if (xmlNode *root = xmlDocGetRootElement(document)) {
        writeTree(out, root);
    }
    xmlFreeDoc(document);
    return QString::fromUtf8(out);
}
