#include "mobimarkup.h"

#include "closedtextdocument.h"
#include "xhtmlconvertstate.h"

#include <QHash>
#include <QRegularExpression>
#include <QUrl>

#include <algorithm>
#include <cstring>

namespace {

using Re = QRegularExpression;
constexpr Re::PatternOptions NoCase = Re::CaseInsensitiveOption;

const QLatin1String MbpNamespace("http://www.mobipocket.com");

// Copies text once, replacing each match for which replace() gives a text;
// the search goes on after the match, so what was inserted is never matched.
template<typename Replace>
QString rebuild(const QString &text, const Re &pattern, Replace replace)
{
    QString out;
    bool changed = false;
    int copied = 0;
    QString replacement;
    QRegularExpressionMatchIterator it = pattern.globalMatch(text);
    while (it.hasNext()) {
        const QRegularExpressionMatch m = it.next();
        replacement.clear();
        if (!replace(m, replacement))
            continue;
        if (!changed) {
            out.reserve(text.size() + text.size() / 8 + 64);
            changed = true;
        }
        out.append(text.midRef(copied, m.capturedStart() - copied));
        out.append(replacement);
        copied = m.capturedEnd();
    }
    if (!changed)
        return text;
    out.append(text.midRef(copied));
    return out;
}

// True when the character before the tag's final ">" (white space aside) is "/".
bool endsSelfClosed(const QStringRef &tag)
{
    int i = tag.size() - 2;
    while (i >= 0 && tag.at(i).isSpace())
        --i;
    return i >= 0 && tag.at(i) == QLatin1Char('/');
}

// The tag with text inserted before "/>" when the tag ends so, else before ">".
QString insertBeforeClose(const QString &tag, const QString &text)
{
    const int close = tag.size() - 1;
    const int at = close > 0 && tag.at(close - 1) == QLatin1Char('/') ? close - 1 : close;
    QString out = tag;
    out.insert(at, text);
    return out;
}

// Base-32 digits "0"-"9", "A"-"V"; -1 above the largest int.
qint64 base32Value(const QStringRef &digits)
{
    qint64 value = 0;
    for (const QChar c : digits) {
        const ushort u = c.toUpper().unicode();
        const int digit = u <= '9' ? u - '0' : u - 'A' + 10;
        value = value * 32 + digit;
        if (value > 2147483647)
            return -1;
    }
    return value;
}

bool decimalValue(const QString &text, qint64 *value)
{
    bool ok = false;
    const qint64 n = text.toLongLong(&ok);
    if (!ok || n < 0)
        return false;
    *value = n;
    return true;
}

QString firstGroup(const QRegularExpressionMatch &m)
{
    return m.capturedStart(1) >= 0 ? m.captured(1) : m.captured(2);
}

// Hand-written scanners for the hot passes. They follow what the matcher
// does with these patterns: "\s" and "\b" are ASCII-only, and a caseless
// "k" or "s" also takes the Kelvin sign and the long s.
inline bool isReSpace(uint c)
{
    return c == ' ' || (c >= 9 && c <= 13);
}

inline bool isReWord(uint c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

inline uint foldCase(uint c)
{
    if (c >= 'A' && c <= 'Z')
        return c + 32;
    if (c == 0x212A)
        return 'k';
    if (c == 0x17F)
        return 's';
    return c;
}

// True when the lower-case ASCII name stands at d[i], case aside.
template<typename Char>
bool nameAt(const Char *d, int n, int i, QLatin1String name)
{
    if (i + name.size() > n)
        return false;
    for (int k = 0; k < name.size(); ++k)
        if (foldCase(uint(d[i + k])) != uchar(name.at(k).toLatin1()))
            return false;
    return true;
}

template<typename Char>
int skipSpaces(const Char *d, int n, int i)
{
    while (i < n && isReSpace(uint(d[i])))
        ++i;
    return i;
}

// End of "[^<>]*>" from i, or -1.
template<typename Char>
int tagRest(const Char *d, int n, int i)
{
    while (i < n && d[i] != '<' && d[i] != '>')
        ++i;
    return i < n && d[i] == '>' ? i + 1 : -1;
}

// "<\s*(?:names)\b[^<>]*>" at the "<" at p (without "\s*" unless spaced):
// the match's end, or -1.
int openTagEnd(const ushort *d, int n, int p, std::initializer_list<QLatin1String> names,
               bool spaced = true)
{
    const int i = spaced ? skipSpaces(d, n, p + 1) : p + 1;
    for (const QLatin1String name : names) {
        const int e = i + name.size();
        if (nameAt(d, n, i, name) && (e == n || !isReWord(d[e])))
            return tagRest(d, n, e);
    }
    return -1;
}

// "<\s*/\s*(?:names)\s*>" at the "<" at p (without the first two "\s*"
// unless spaced): the match's end, or -1.
int closeTagEnd(const ushort *d, int n, int p, std::initializer_list<QLatin1String> names,
                bool spaced = true)
{
    int i = spaced ? skipSpaces(d, n, p + 1) : p + 1;
    if (i >= n || d[i] != '/')
        return -1;
    i = spaced ? skipSpaces(d, n, i + 1) : i + 1;
    for (const QLatin1String name : names) {
        if (!nameAt(d, n, i, name))
            continue;
        const int e = skipSpaces(d, n, i + name.size());
        if (e < n && d[e] == '>')
            return e + 1;
    }
    return -1;
}

// The matcher finds nothing in a text with a lone surrogate.
bool validUtf16(const QString &text)
{
    const ushort *d = text.utf16();
    const int n = text.size();
    // Most texts hold no surrogate at all: four code units a step look for
    // one; a hit (or a false alarm) goes to the exact walk below.
    constexpr quint64 Ones = 0x0001000100010001ULL;
    constexpr quint64 Highs = 0x8000800080008000ULL;
    int i = 0;
    for (; i + 4 <= n; i += 4) {
        quint64 x;
        memcpy(&x, d + i, sizeof x);
        const quint64 v = (x & 0xF800F800F800F800ULL) ^ 0xD800D800D800D800ULL;
        if ((v - Ones) & ~v & Highs)
            break;
    }
    for (; i < n; ++i)
        if ((d[i] & 0xF800) == 0xD800)
            break;
    if (i == n)
        return true;
    for (i = 0; i < n; ++i) {
        if (QChar::isHighSurrogate(d[i])) {
            if (++i >= n || !QChar::isLowSurrogate(d[i]))
                return false;
        } else if (QChar::isLowSurrogate(d[i])) {
            return false;
        }
    }
    return true;
}

// The first match at or after from of a pattern that starts with "<", as
// end(d, p) reads it: its start, or -1; *matchEnd gets its end.
template<typename End>
int nextTag(const QString &text, int from, End end, int *matchEnd)
{
    const ushort *d = text.utf16();
    for (int p = text.indexOf(QLatin1Char('<'), from); p >= 0; p = text.indexOf(QLatin1Char('<'), p + 1)) {
        const int e = end(d, p);
        if (e >= 0) {
            *matchEnd = e;
            return p;
        }
    }
    return -1;
}

// Each element from an opening match to the first closing match after it,
// the search going on after that close: what "<a ...>(.*?)</a>" finds, but an
// opening tag without a close ends the walk instead of rescanning the rest
// of the text once per such tag. visit(openStart, openEnd, closeStart, closeEnd).
template<typename Open, typename Close, typename Visit>
void forEachElement(const QString &text, Open open, Close close, Visit visit)
{
    int from = 0;
    for (;;) {
        int openEnd = 0;
        const int openStart = nextTag(text, from, open, &openEnd);
        if (openStart < 0)
            return;
        int closeEnd = 0;
        const int closeStart = nextTag(text, openEnd, close, &closeEnd);
        if (closeStart < 0)
            return;
        visit(openStart, openEnd, closeStart, closeEnd);
        from = closeEnd;
    }
}

// rebuild() for patterns that start with "<": end(p) gives the end of the
// match at the "<" at p or -1; replace() may decline a match.
template<typename End, typename Replace>
QString rebuildTags(const QString &text, End end, Replace replace)
{
    const ushort *d = text.utf16();
    QString out;
    bool changed = false;
    int copied = 0;
    QString replacement;
    for (int p = text.indexOf(QLatin1Char('<')); p >= 0; p = text.indexOf(QLatin1Char('<'), p)) {
        const int e = end(d, p);
        if (e < 0) {
            ++p;
            continue;
        }
        replacement.clear();
        if (replace(QStringRef(&text, p, e - p), replacement)) {
            if (!changed) {
                out.reserve(text.size() + text.size() / 8 + 64);
                changed = true;
            }
            out.append(QStringView(d + copied, p - copied));
            out.append(replacement);
            copied = e;
        }
        p = e;
    }
    if (!changed)
        return text;
    out.append(QStringView(d + copied, text.size() - copied));
    return out;
}

const QString &pageBreak()
{
    static const QString element = QStringLiteral("<div class=\"mbp-pagebreak\"></div>");
    return element;
}

std::initializer_list<QLatin1String> breakNames()
{
    static const std::initializer_list<QLatin1String> names{QLatin1String("mbp:pagebreak")};
    return names;
}

std::initializer_list<QLatin1String> voidNames()
{
    static const std::initializer_list<QLatin1String> names{
        QLatin1String("area"), QLatin1String("base"), QLatin1String("br"), QLatin1String("col"),
        QLatin1String("embed"), QLatin1String("hr"), QLatin1String("img"), QLatin1String("input"),
        QLatin1String("link"), QLatin1String("meta"), QLatin1String("param"), QLatin1String("source"),
        QLatin1String("track"), QLatin1String("wbr")};
    return names;
}

// The four repairs in turn, each over the result of the one before.
QString insertPageBreaksInTurn(const QString &text)
{
    const int n0 = text.size();
    const auto removeMatch = [](const QStringRef &, QString &) { return true; };

    // Four passes in turn: what one removes can join a tag the next one reads.
    QString out = rebuildTags(
        text, [&](const ushort *d, int p) { return closeTagEnd(d, n0, p, breakNames()); }, removeMatch);
    int n = out.size();
    out = rebuildTags(
        out, [&](const ushort *d, int p) { return openTagEnd(d, n, p, breakNames()); },
        [](const QStringRef &, QString &r) {
            r = pageBreak();
            return true;
        });
    n = out.size();
    out = rebuildTags(
        out, [&](const ushort *d, int p) { return closeTagEnd(d, n, p, voidNames()); }, removeMatch);
    n = out.size();
    return rebuildTags(
        out, [&](const ushort *d, int p) { return openTagEnd(d, n, p, voidNames()); },
        [](const QStringRef &tag, QString &r) {
            if (endsSelfClosed(tag))
                return false;
            r.reserve(tag.size() + 1);
            r.append(tag.left(tag.size() - 1));
            r.append(QStringLiteral("/>"));
            return true;
        });
}

// attributeValue() for a lower-case ASCII name over text without lone
// surrogates: "(?:^|\s)name\s*=\s*(?:["']([^"']*)["']|([^\s>]+))", caseless, first match.
QString asciiAttribute(const ushort *d, int n, QLatin1String key)
{
    for (int i = 0; i + key.size() <= n; ++i) {
        if ((i > 0 && !isReSpace(d[i - 1])) || !nameAt(d, n, i, key))
            continue;
        int j = skipSpaces(d, n, i + key.size());
        if (j >= n || d[j] != '=')
            continue;
        j = skipSpaces(d, n, j + 1);
        if (j < n && (d[j] == '"' || d[j] == '\'')) {
            int k = j + 1;
            while (k < n && d[k] != '"' && d[k] != '\'')
                ++k;
            if (k < n)
                return QString(reinterpret_cast<const QChar *>(d + j + 1), k - j - 1);
        }
        int k = j;
        while (k < n && !isReSpace(d[k]) && d[k] != '>')
            ++k;
        if (k > j)
            return QString(reinterpret_cast<const QChar *>(d + j), k - j);
    }
    return QString();
}


}

namespace MobiMarkup {

QString rewriteKindleLinks(const QString &text, const QMap<int, QString> &flowNames,
                           const QMap<int, QString> &resourceNames)
{
    // Without a saved file no link can change.
    if (text.isEmpty() || (flowNames.isEmpty() && resourceNames.isEmpty()))
        return text;
    static const Re link(QStringLiteral("kindle:(flow|embed):([0-9a-v]+)(?:\\?[^\\s\"'<>)]*)?"), NoCase);
    return rebuild(text, link, [&](const QRegularExpressionMatch &m, QString &out) {
        const qint64 value = base32Value(m.capturedRef(2));
        if (value < 0)
            return false;
        if (m.capturedRef(1).compare(QLatin1String("flow"), Qt::CaseInsensitive) == 0)
            out = flowNames.value(int(value));
        else if (value > 0)
            out = resourceNames.value(int(value - 1));
        return !out.isEmpty();
    });
}

QString insertPageBreaks(const QString &text)
{
    if (!validUtf16(text))
        return text;
    const ushort *d = text.utf16();
    const int n = text.size();
    QString out;
    bool changed = false;
    int copied = 0;
    // The last "<" or ">" written so far: a removal after an unclosed "<"
    // could join a tag that only the passes in turn would see.
    ushort lastMark = 0;
    const auto copyTo = [&](int p) {
        for (int b = p - 1; b >= copied; --b) {
            if (d[b] == '<' || d[b] == '>') {
                lastMark = d[b];
                break;
            }
        }
        if (!changed) {
            out.reserve(n + n / 8 + 64);
            changed = true;
        }
        out.append(QStringView(d + copied, p - copied));
    };
    for (int p = text.indexOf(QLatin1Char('<')); p >= 0; p = text.indexOf(QLatin1Char('<'), p)) {
        int e = closeTagEnd(d, n, p, breakNames());
        if (e < 0)
            e = closeTagEnd(d, n, p, voidNames());
        if (e >= 0) {
            copyTo(p);
            if (lastMark == '<')
                return insertPageBreaksInTurn(text);
            copied = p = e;
            continue;
        }
        e = openTagEnd(d, n, p, breakNames());
        if (e >= 0) {
            copyTo(p);
            out.append(pageBreak());
            lastMark = '>';
            copied = p = e;
            continue;
        }
        e = openTagEnd(d, n, p, voidNames());
        if (e >= 0 && !endsSelfClosed(QStringRef(&text, p, e - p))) {
            copyTo(p);
            out.append(QStringView(d + p, e - p - 1));
            out.append(QLatin1String("/>"));
            lastMark = '>';
            copied = e;
        }
        p = e >= 0 ? e : p + 1;
    }
    if (!changed)
        return text;
    out.append(QStringView(d + copied, n - copied));
    return out;
}

QString rewriteImageRecindex(const QString &html, const QMap<int, QString> &imageNames)
{
    if (imageNames.isEmpty())
        return html;
    static const std::initializer_list<QLatin1String> image{QLatin1String("img")};
    static const Re recindex(
        QStringLiteral("\\brecindex\\s*=\\s*(?:[\"']([^\"']+)[\"']|([^\\s>/]+))"), NoCase);
    static const Re recindexAttribute(
        QStringLiteral("\\s*\\brecindex\\s*=\\s*(?:[\"'][^\"']+[\"']|[^\\s>/]+)"), NoCase);
    static const Re source(QStringLiteral("\\s+src\\s*=\\s*(?:[\"'][^\"']*[\"']|[^\\s>/]+)"), NoCase);
    if (!validUtf16(html))
        return html;
    const int n = html.size();
    const auto imageEnd = [&](const ushort *d, int p) { return openTagEnd(d, n, p, image, false); };
    return rebuildTags(html, imageEnd, [&](const QStringRef &ref, QString &out) {
        const QString tag = ref.toString();
        qint64 number = 0;
        if (!decimalValue(firstGroup(recindex.match(tag)), &number) || number > 2147483647)
            return false;
        const QString name = imageNames.value(int(number));
        if (name.isEmpty())
            return false;
        QString bare = tag;
        bare.remove(recindexAttribute);
        bare.remove(source);
        out = insertBeforeClose(bare, QStringLiteral(" src=\"") + name + QLatin1Char('"'));
        return true;
    });
}

QString wrapMobiHtml(const QString &text)
{
    static const Re documentTag(QStringLiteral("<\\s*(?:html|head|body)\\b"), NoCase);
    static const Re rootTag(QStringLiteral("<\\s*html\\b"), NoCase);
    static const Re blockTag(QStringLiteral("<\\s*(?:p|div|h[1-6]|br|img|ul|ol|table)\\b"), NoCase);
    static const Re blankLines(QStringLiteral("\n[ \t]*\n+"));

    const QString repaired = insertPageBreaks(text);
    // Other "mbp:" elements stay; an undeclared prefix would fail the whole document.
    const bool needsPrefix = repaired.contains(QLatin1String("mbp:"))
        && !repaired.contains(QLatin1String("xmlns:mbp"));
    const QString declaration =
        needsPrefix ? QStringLiteral(" xmlns:mbp=\"") + MbpNamespace + QLatin1Char('"') : QString();

    const QRegularExpressionMatch document = documentTag.match(repaired);
    if (document.hasMatch()) {
        if (!needsPrefix)
            return repaired;
        const QRegularExpressionMatch root = rootTag.match(repaired);
        const QRegularExpressionMatch &first = root.hasMatch() ? root : document;
        QString out = repaired;
        // After the element name of the root ("<html"), or of "<head"/"<body" without one.
        int nameEnd = first.capturedEnd();
        while (nameEnd < out.size() && out.at(nameEnd).isLetter())
            ++nameEnd;
        out.insert(nameEnd, declaration);
        return out;
    }

    const QString open = QStringLiteral("<html") + declaration + QStringLiteral("><body>");
    const QLatin1String close("</body></html>");
    QString out;
    if (repaired.contains(blockTag)) {
        out.reserve(open.size() + repaired.size() + close.size());
        out.append(open);
        out.append(repaired);
        out.append(close);
        return out;
    }

    QString plain = repaired;
    plain.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    plain.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    out.reserve(plain.size() + plain.size() / 8 + 64);
    out.append(open);
    // Each paragraph escaped straight into the output, a run at a time.
    for (const QStringRef &piece : plain.splitRef(blankLines, Qt::SkipEmptyParts)) {
        const QStringRef paragraph = piece.trimmed();
        if (paragraph.isEmpty())
            continue;
        out.append(QLatin1String("<p>"));
        int copied = 0;
        for (int i = 0; i < paragraph.size(); ++i) {
            const QChar c = paragraph.at(i);
            const QLatin1String escaped = c == QLatin1Char('&') ? QLatin1String("&amp;")
                : c == QLatin1Char('<')                        ? QLatin1String("&lt;")
                : c == QLatin1Char('>')                        ? QLatin1String("&gt;")
                : c == QLatin1Char('\n')                       ? QLatin1String("<br/>")
                                                               : QLatin1String();
            if (escaped.size() == 0)
                continue;
            out.append(paragraph.mid(copied, i - copied));
            out.append(escaped);
            copied = i + 1;
        }
        out.append(paragraph.mid(copied));
        out.append(QLatin1String("</p>"));
    }
    out.append(close);
    return out;
}

QString attributeValue(const QString &tag, const QString &name)
{
    // Up to 64 ASCII characters, folded without allocating: the common case.
    char lower[64];
    bool asciiName = !name.isEmpty() && name.size() <= int(sizeof lower);
    for (int k = 0; asciiName && k < name.size(); ++k) {
        const ushort c = name.at(k).unicode();
        asciiName = c < 128;
        lower[k] = char(c >= 'A' && c <= 'Z' ? c + 32 : c);
    }
    if (!asciiName) {
        // Rare: left to the matcher, one compiled expression per name and thread.
        thread_local QHash<QString, Re> expressions;
        auto found = expressions.find(name);
        if (found == expressions.end())
            found = expressions.insert(
                name, Re(QStringLiteral("(?:^|\\s)%1\\s*=\\s*(?:[\"']([^\"']*)[\"']|([^\\s>]+))")
                             .arg(Re::escape(name)),
                         NoCase));
        return firstGroup(found->match(tag));
    }
    if (!validUtf16(tag))
        return QString();
    return asciiAttribute(tag.utf16(), tag.size(), QLatin1String(lower, name.size()));
}

QString tagId(const QString &tag)
{
    // Only a real id: data-id, xml:id and epub:id are other attributes.
    static const Re id(QStringLiteral("(?:^|\\s)id\\s*=\\s*(?:[\"']([^\"']+)[\"']|([^\\s>/]+))"), NoCase);
    return firstGroup(id.match(tag));
}

PartTargets partTargets(const QByteArray &part, const QList<Kf8NavEntry> &navigation, int partIndex)
{
    PartTargets targets;
    for (const Kf8NavEntry &entry : navigation)
        if (entry.partIndex == partIndex)
            targets.entries.append(entry);
    QVector<NavTargetTag> &tags = targets.tags;
    tags.resize(targets.entries.size());
    QVector<int> order(tags.size());
    for (int i = 0; i < order.size(); ++i)
        order[i] = i;
    std::sort(order.begin(), order.end(), [&](int a, int b) {
        return targets.entries[a].offset < targets.entries[b].offset;
    });
    const char *data = part.constData();
    const qint64 length = part.size();
    // Offsets ascend, so the last opening tag and the next ">" only move forward.
    qint64 scanned = 0;
    qint64 lastOpen = -1;
    qint64 close = -1;
    for (int index : qAsConst(order)) {
        const qint64 o = targets.entries[index].offset;
        if (o > length)
            break;
        for (; scanned <= o && scanned < length; ++scanned) {
            // End tags, comments, declarations and processing instructions carry no target.
            if (data[scanned] == '<'
                && (scanned + 1 >= length || (data[scanned + 1] != '/' && data[scanned + 1] != '!'
                                              && data[scanned + 1] != '?')))
                lastOpen = scanned;
        }
        if (lastOpen < 0)
            continue;
        if (close <= lastOpen) {
            close = part.indexOf('>', int(lastOpen + 1));
            if (close < 0)
                break;
        }
        tags[index] = {lastOpen, close};
    }
    return targets;
}

QString formatKf8ParseError(int partIndex, const QString &stage, int partBytes, int decodedChars,
                            const XhtmlConvertResult &result)
{
    QString message = result.errorMessage;
    if (message.isEmpty())
        message = result.ok ? QStringLiteral("未生成正文段落") : QStringLiteral("未知解析错误");
    if (result.errorLine > 0)
        message += QStringLiteral("（行 %1，列 %2）").arg(result.errorLine).arg(result.errorColumn);
    return QStringLiteral("KF8 文档 %1 XHTML 解析失败（阶段：%2，重组正文 %3 字节，解码后 %4 字符）：%5")
        .arg(partIndex)
        .arg(stage)
        .arg(partBytes)
        .arg(decodedChars)
        .arg(message);
}

QByteArray insertFileposAnchors(const QByteArray &bytes)
{
    const qint64 length = bytes.size();
    const char *data = bytes.constData();
    const int n = bytes.size();

    struct Target
    {
        qint64 number;
        qint64 probe;     // max(number - 1, 0): the byte whose enclosing tag matters
        qint64 position = 0;
    };
    QVector<Target> targets;
    QSet<qint64> seen;
    // "<(?:a|reference)\b[^<>]*\bfilepos\s*=\s*(?:["'](\d+)["']|(\d+))[^<>]*>",
    // caseless; the last filepos of a tag is the one taken.
    for (const char *lt = static_cast<const char *>(memchr(data, '<', size_t(n))); lt;) {
        const int p = int(lt - data);
        int i = p + 1;
        if (nameAt(data, n, i, QLatin1String("a")))
            i += 1;
        else if (nameAt(data, n, i, QLatin1String("reference")))
            i += 9;
        else
            i = -1;
        int end = -1;
        if (i > 0 && (i == n || !isReWord(uchar(data[i]))))
            end = tagRest(data, n, i);
        int next = p + 1;
        if (end > 0) {
            // The last "filepos" in the tag with a number after it.
            qint64 number = -2;
            for (int f = end - 8; f >= i && number == -2; --f) {
                if (!isReWord(uchar(data[f - 1])) && nameAt(data, n, f, QLatin1String("filepos"))) {
                    int j = skipSpaces(data, n, f + 7);
                    if (data[j] != '=')
                        continue;
                    j = skipSpaces(data, n, j + 1);
                    const bool quoted = data[j] == '"' || data[j] == '\'';
                    const int first = quoted ? j + 1 : j;
                    int k = first;
                    qint64 value = 0;
                    while (data[k] >= '0' && data[k] <= '9') {
                        if (value <= length)
                            value = value * 10 + (data[k] - '0');
                        ++k;
                    }
                    if (k == first || (quoted && data[k] != '"' && data[k] != '\''))
                        continue;
                    number = value;
                }
            }
            if (number != -2) {
                next = end;
                if (number <= length && !seen.contains(number)) {
                    seen.insert(number);
                    targets.append({number, qMax<qint64>(number - 1, 0)});
                }
            }
        }
        lt = next < n ? static_cast<const char *>(memchr(data + next, '<', size_t(n - next))) : nullptr;
    }
    if (targets.isEmpty())
        return bytes;

    // One sweep in probe order keeps the last "<" and ">" at or before each probe.
    QVector<int> order(targets.size());
    for (int i = 0; i < order.size(); ++i)
        order[i] = i;
    std::sort(order.begin(), order.end(),
              [&](int a, int b) { return targets[a].probe < targets[b].probe; });
    qint64 lastOpen = -1;
    qint64 lastClose = -1;
    qint64 scanned = 0;
    for (int index : qAsConst(order)) {
        Target &t = targets[index];
        // Only the nearer of the two matters: look back from the probe over
        // what is not scanned yet, so each byte is read at most once.
        const qint64 last = qMin(t.probe, length - 1);
        for (qint64 b = last; b >= scanned; --b) {
            if (data[b] == '<') {
                lastOpen = b;
                break;
            }
            if (data[b] == '>') {
                lastClose = b;
                break;
            }
        }
        scanned = qMax(scanned, last + 1);
        if (lastOpen > lastClose) {
            t.position = lastOpen;
        } else {
            qint64 p = t.number;
            while (p > 0 && p < length && (uchar(data[p]) & 0xC0) == 0x80)
                --p;
            t.position = p;
        }
    }
    // An anchor before the body would sit beside the root element and make
    // the whole document unreadable: such targets go to the body's start.
    for (const char *lt = static_cast<const char *>(memchr(data, '<', size_t(n))); lt;) {
        const int p = int(lt - data);
        const int e = p + 5;
        if (nameAt(data, n, p + 1, QLatin1String("body")) && (e == n || !isReWord(uchar(data[e])))) {
            const int end = tagRest(data, n, e);
            if (end > 0) {
                for (Target &t : targets)
                    t.position = qMax<qint64>(t.position, end);
                break;
            }
        }
        lt = p + 1 < n ? static_cast<const char *>(memchr(data + p + 1, '<', size_t(n - p - 1))) : nullptr;
    }
    // Discovery order among targets at one position.
    std::stable_sort(targets.begin(), targets.end(),
                     [](const Target &a, const Target &b) { return a.position < b.position; });

    QByteArray out;
    out.reserve(int(length + targets.size() * 40));
    qint64 copied = 0;
    for (const Target &t : qAsConst(targets)) {
        out.append(data + copied, int(t.position - copied));
        copied = t.position;
        out.append("<a id=\"mobi-filepos-");
        out.append(QByteArray::number(t.number));
        out.append("\"></a>");
    }
    out.append(data + copied, int(length - copied));
    return out;
}

QString rewriteFileposLinks(const QString &html)
{
    static const std::initializer_list<QLatin1String> link{QLatin1String("a")};
    static const Re filepos(QStringLiteral("\\s+filepos\\s*=\\s*(?:[\"'](\\d+)[\"']|(\\d+))"), NoCase);
    static const Re href(QStringLiteral("\\s+href\\s*=\\s*(?:[\"'][^\"']*[\"']|[^\\s>]+)"), NoCase);
    if (!validUtf16(html))
        return html;
    const int n = html.size();
    const auto linkEnd = [&](const ushort *d, int p) { return openTagEnd(d, n, p, link, false); };
    return rebuildTags(html, linkEnd, [](const QStringRef &tag, QString &out) {
        if (!tag.contains(QLatin1String("filepos"), Qt::CaseInsensitive))
            return false;
        QString rewritten = tag.toString();
        qint64 n = 0;
        if (!decimalValue(firstGroup(filepos.match(rewritten)), &n))
            return false;
        rewritten.remove(filepos);
        rewritten.remove(href);
        out = insertBeforeClose(rewritten, QStringLiteral(" href=\"#mobi-filepos-%1\"").arg(n));
        return true;
    });
}

QString plainTitle(const QString &html)
{
    return plainTextOfMarkup(html);
}

QVector<MobiTocEntry> buildMobiToc(const QString &html)
{
    static const std::initializer_list<QLatin1String> link{QLatin1String("a")};
    static const std::initializer_list<QLatin1String> reference{QLatin1String("reference")};
    static const std::initializer_list<QLatin1String> heading{
        QLatin1String("h1"), QLatin1String("h2"), QLatin1String("h3")};
    const auto usableTitle = [](const QString &title) { return !title.isEmpty() && title.size() <= 200; };

    // Every "<[A-Za-z][^<>]*>" in turn.
    QHash<QString, int> anchors;
    const ushort *d = html.utf16();
    const int n = html.size();
    const bool valid = validUtf16(html);
    for (int p = valid ? html.indexOf(QLatin1Char('<')) : -1; p >= 0; p = html.indexOf(QLatin1Char('<'), p)) {
        const ushort first = p + 1 < n ? d[p + 1] : 0;
        const int end = (first >= 'a' && first <= 'z') || (first >= 'A' && first <= 'Z')
            ? tagRest(d, n, p + 2) : -1;
        if (end < 0) {
            ++p;
            continue;
        }
        const QStringRef ref(&html, p, end - p);
        const int start = p;
        p = end;
        // Most tags carry neither attribute; skip them without a match.
        if (!ref.contains(QLatin1String("id"), Qt::CaseInsensitive)
            && !ref.contains(QLatin1String("name"), Qt::CaseInsensitive))
            continue;
        QString anchor = asciiAttribute(d + start, end - start, QLatin1String("id"));
        if (anchor.isEmpty())
            anchor = asciiAttribute(d + start, end - start, QLatin1String("name"));
        if (!anchor.isEmpty() && !anchors.contains(anchor))
            anchors.insert(anchor, start);
    }
    if (anchors.size() <= 1)
        return {};

    QVector<MobiTocEntry> links;
    const auto linkOpen = [&](const ushort *d, int p) { return openTagEnd(d, n, p, link, false); };
    const auto linkClose = [&](const ushort *d, int p) { return closeTagEnd(d, n, p, link, false); };
    forEachElement(html, linkOpen, linkClose, [&](int openStart, int openEnd, int contentEnd, int) {
        // The attributes: what follows "<a" up to ">".
        const QString href =
            attributeValue(html.mid(openStart + 2, openEnd - openStart - 3), QStringLiteral("href"));
        const int hash = href.lastIndexOf(QLatin1Char('#'));
        if (hash < 0)
            return;
        const QStringRef document = href.leftRef(hash);
        if (!document.isEmpty() && !document.endsWith(QLatin1String("book.html"), Qt::CaseInsensitive))
            return;
        const QString fragment = QUrl::fromPercentEncoding(href.midRef(hash + 1).toUtf8());
        const auto anchor = anchors.constFind(fragment);
        if (anchor == anchors.constEnd())
            return;
        const QString title = plainTitle(html.mid(openEnd, contentEnd - openEnd));
        if (usableTitle(title))
            links.append({title, fragment, anchor.value(), openStart});
    });

    int start = -1;
    const auto referenceEnd = [&](const ushort *d, int p) { return openTagEnd(d, n, p, reference, false); };
    for (int from = 0, end = 0; start < 0; from = end) {
        const int at = nextTag(html, from, referenceEnd, &end);
        if (at < 0)
            break;
        const QString attributes = html.mid(at + 10, end - at - 11);
        if (attributeValue(attributes, QStringLiteral("type")).compare(QLatin1String("toc"), Qt::CaseInsensitive) != 0)
            continue;
        qint64 number = 0;
        if (!decimalValue(attributeValue(attributes, QStringLiteral("filepos")), &number))
            continue;
        start = anchors.value(QStringLiteral("mobi-filepos-%1").arg(number), -1);
    }

    QVector<MobiTocEntry> best;
    QVector<MobiTocEntry> run;
    const auto closeRun = [&]() {
        if (run.size() > best.size())
            best = run;
        run.clear();
    };
    for (const MobiTocEntry &link : qAsConst(links)) {
        if (link.linkPosition < qMax(start, 0))
            continue;
        if (!run.isEmpty() && link.anchorPosition <= run.last().anchorPosition)
            closeRun();
        run.append(link);
    }
    closeRun();
    if (best.size() >= (start >= 0 ? 2 : 3))
        return best;

    QVector<MobiTocEntry> headings;
    const auto headingOpen = [&](const ushort *d, int p) { return openTagEnd(d, n, p, heading, false); };
    const auto headingClose = [&](const ushort *d, int p) { return closeTagEnd(d, n, p, heading, false); };
    forEachElement(html, headingOpen, headingClose, [&](int openStart, int openEnd, int contentEnd, int end) {
        const QString whole = html.mid(openStart, end - openStart);
        QString anchor = attributeValue(whole, QStringLiteral("id"));
        if (anchor.isEmpty())
            anchor = attributeValue(whole, QStringLiteral("name"));
        const auto position = anchors.constFind(anchor);
        if (anchor.isEmpty() || position == anchors.constEnd())
            return;
        const QString title = plainTitle(html.mid(openEnd, contentEnd - openEnd));
        if (usableTitle(title))
            headings.append({title, anchor, position.value(), -1});
    });
    return headings.size() > 1 ? headings : QVector<MobiTocEntry>();
}

}
