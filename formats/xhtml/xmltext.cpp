#include "xmltext.h"

#include <QRegularExpression>
#include <QVector>

#include <cstring>
#include <QTextCodec>

#include <libxml/HTMLparser.h>
#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/tree.h>

namespace {

// libxml2 sets up its globals (dictionary mutex, random seed) lazily on first
// use, which races when two conversion threads get there together and can
// leave both waiting on each other for good. Every program that links the
// converter sets them up here, before main and so before any thread starts.
const bool xmlLibraryReady = [] {
    xmlInitParser();
    return true;
}();

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

QString decodeXmlBytesRaw(const QByteArray &bytes)
{
    const auto startsWith = [&bytes](const char *mark, int size) {
        return bytes.size() >= size && memcmp(bytes.constData(), mark, size_t(size)) == 0;
    };
    if (startsWith("\xEF\xBB\xBF", 3))
        return QString::fromUtf8(bytes.constData() + 3, bytes.size() - 3);
    // UTF-16 and UTF-32 marks; the UTF-32LE one begins like the UTF-16LE one.
    if (startsWith("\xFF\xFE", 2) || startsWith("\xFE\xFF", 2)
        || startsWith("\x00\x00\xFE\xFF", 4))
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

}

QString decodeXmlBytes(const QByteArray &bytes)
{
    return cleaned(decodeXmlBytesRaw(bytes));
}

namespace {

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
bool plainName(const char *name, int size)
{
    if (size <= 0 || !isNameStart(uchar(name[0])))
        return false;
    for (int i = 1; i < size; ++i) {
        if (!isNameChar(uchar(name[i])))
            return false;
    }
    return true;
}

// Appends the name as the output writes it: a prefix is kept only when the
// output declares it (epub, xlink, xml on attributes), else dropped; false
// when nothing XML accepts is left.
bool appendName(QByteArray &out, const xmlChar *raw, bool attribute)
{
    const char *name = reinterpret_cast<const char *>(raw);
    const int size = int(qstrlen(name));
    const char *colon = static_cast<const char *>(memchr(name, ':', size_t(size)));
    if (!colon)
        return plainName(name, size) && (out.append(name, size), true);
    const int prefixSize = int(colon - name);
    const char *local = colon + 1;
    const int localSize = size - prefixSize - 1;
    if (!plainName(local, localSize))
        return false;
    const QByteArray prefix = QByteArray(name, prefixSize).toLower();
    if (attribute && (prefix == "epub" || prefix == "xlink" || prefix == "xml")) {
        out += prefix;
        out += ':';
    }
    out.append(local, localSize);
    return true;
}

// Escapes markup characters and drops the control characters XML refuses,
// copying the runs between them whole.
void appendEscaped(QByteArray &out, const char *p, const char *end, bool attribute)
{
    const char *run = p;
    for (; p != end; ++p) {
        const uchar c = uchar(*p);
        const char *replacement = nullptr;
        if (c == '&')
            replacement = "&amp;";
        else if (c == '<')
            replacement = "&lt;";
        else if (c == '>')
            replacement = "&gt;";
        else if (c == '"' && attribute)
            replacement = "&quot;";
        else if (c < 0x20 && c != '\t' && c != '\n' && c != '\r')
            replacement = "";
        else
            continue;
        out.append(run, int(p - run));
        out.append(replacement);
        run = p + 1;
    }
    out.append(run, int(p - run));
}

void appendEscaped(QByteArray &out, const xmlChar *text, bool attribute)
{
    if (!text)
        return;
    const char *p = reinterpret_cast<const char *>(text);
    appendEscaped(out, p, p + qstrlen(p), attribute);
}

// The HTML parser's events written straight out as XHTML: the parser already
// opens and closes every element in order, so no tree is built and freed.
struct Writer
{
    QByteArray out;
    // Per open element its name as written, or null when only its content is.
    QVector<const xmlChar *> open;
    bool rootWritten = false;
};

void startElement(void *context, const xmlChar *name, const xmlChar **attributes)
{
    Writer &w = *static_cast<Writer *>(context);
    const int mark = w.out.size();
    w.out += '<';
    if (!appendName(w.out, name, false)) {
        // An element the output cannot name passes on its content alone.
        w.out.truncate(mark);
        w.open.append(nullptr);
        return;
    }
    if (!w.rootWritten) {
        w.rootWritten = true;
        w.out += " xmlns=\"";
        w.out += XhtmlNamespace;
        w.out += "\" xmlns:epub=\"http://www.idpf.org/2007/ops\""
                 " xmlns:xlink=\"http://www.w3.org/1999/xlink\"";
    }
    w.open.append(name);
    for (const xmlChar **a = attributes; a && a[0]; a += 2) {
        const char *attributeName = reinterpret_cast<const char *>(a[0]);
        if (qstrncmp(attributeName, "xmlns", 5) == 0)
            continue;
        // HTML allows an attribute twice; XML does not. The first one counts.
        bool repeated = false;
        for (const xmlChar **earlier = attributes; earlier != a && !repeated; earlier += 2)
            repeated = qstrcmp(reinterpret_cast<const char *>(earlier[0]), attributeName) == 0;
        if (repeated)
            continue;
        const int before = w.out.size();
        w.out += ' ';
        if (!appendName(w.out, a[0], true)) {
            w.out.truncate(before);
            continue;
        }
        w.out += "=\"";
        appendEscaped(w.out, a[1], true);
        w.out += '"';
    }
    w.out += '>';
}

void endElement(void *context, const xmlChar *)
{
    Writer &w = *static_cast<Writer *>(context);
    if (w.open.isEmpty())
        return;
    // The name it was opened with: end tags always match.
    if (const xmlChar *name = w.open.takeLast()) {
        w.out += "</";
        appendName(w.out, name, false);
        w.out += '>';
    }
}

void characters(void *context, const xmlChar *text, int size)
{
    Writer &w = *static_cast<Writer *>(context);
    // Text outside the root element is not XML.
    if (w.open.isEmpty())
        return;
    const char *begin = reinterpret_cast<const char *>(text);
    appendEscaped(w.out, begin, begin + size, false);
}

void ignoreMessage(void *, const char *, ...) {}

}

QString repairHtmlToXhtml(const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    htmlParserCtxtPtr parser = htmlCreateMemoryParserCtxt(utf8.constData(), utf8.size());
    if (!parser)
        return QString();
    htmlCtxtUseOptions(parser, HTML_PARSE_RECOVER | HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING
                                   | HTML_PARSE_NONET);
    xmlSwitchEncoding(parser, XML_CHAR_ENCODING_UTF8);
    Writer writer;
    writer.out.reserve(utf8.size() + utf8.size() / 8 + 256);
    writer.out += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    htmlSAXHandler handler;
    memset(&handler, 0, sizeof(handler));
    handler.startElement = startElement;
    handler.endElement = endElement;
    handler.characters = characters;
    handler.ignorableWhitespace = characters;
    handler.cdataBlock = characters;
    handler.warning = ignoreMessage;
    handler.error = ignoreMessage;
    handler.fatalError = ignoreMessage;
    htmlSAXHandlerPtr own = parser->sax;
    parser->sax = &handler;
    parser->userData = &writer;
    htmlParseDocument(parser);
    // Elements the input left open at its very end, while their names live.
    while (!writer.open.isEmpty())
        endElement(&writer, nullptr);
    parser->sax = own;
    if (parser->myDoc)
        xmlFreeDoc(parser->myDoc);
    htmlFreeParserCtxt(parser);
    if (!writer.rootWritten)
        return QString();
    return QString::fromUtf8(writer.out.constData(), writer.out.size());
}
