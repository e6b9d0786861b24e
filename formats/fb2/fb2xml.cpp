#include "fb2xml.h"

#include <QXmlStreamReader>

namespace Fb2Xml {

namespace {

template<typename Name>
bool next(QXmlStreamReader &reader, const Name &name)
{
    if (reader.atEnd())
        return false;
    reader.readNext();
    if (reader.atEnd())
        return false;
    return !(reader.isEndElement() && reader.name() == name);
}

}

bool nextInside(QXmlStreamReader &reader, QLatin1String name)
{
    return next(reader, name);
}

bool nextInside(QXmlStreamReader &reader, const QString &name)
{
    return next(reader, name);
}

void readInside(QXmlStreamReader &reader, const std::function<void(const QStringRef &)> &onText,
                const std::function<void(const QStringRef &)> &onEnd)
{
    int depth = 1;
    while (depth > 0 && !reader.atEnd()) {
        reader.readNext();
        if (reader.isStartElement()) {
            ++depth;
        } else if (reader.isEndElement()) {
            if (--depth > 0 && onEnd)
                onEnd(reader.name());
        } else if (reader.isCharacters()) {
            onText(reader.text());
        }
    }
}

QString boundedText(QXmlStreamReader &reader, int maxChars, bool paragraphBreaks)
{
    QString text;
    const auto append = [&](const QStringRef &part) {
        if (text.size() < maxChars)
            text += part.left(maxChars - text.size());
    };
    const auto lineBreak = [&](const QStringRef &name) {
        if (name == QLatin1String("p") || name == QLatin1String("v")
            || name == QLatin1String("empty-line"))
        {
            static const QString lineFeed(QLatin1Char('\n'));
            append(QStringRef(&lineFeed));
        }
    };
    if (paragraphBreaks)
        readInside(reader, append, lineBreak);
    else
        readInside(reader, append);
    return text;
}

QByteArray readBase64(QXmlStreamReader &reader, qint64 maxBytes)
{
    QByteArray decoded;
    QByteArray pending;     // Base64 characters not decoded yet
    bool overflow = false;
    const auto decode = [&](bool last) {
        const int usable = last ? pending.size() : pending.size() / 4 * 4;
        if (usable == 0)
            return;
        decoded += QByteArray::fromBase64(pending.left(usable));
        pending.remove(0, usable);
        if (decoded.size() > maxBytes) {
            overflow = true;
            decoded.clear();
            pending.clear();
        }
    };
    readInside(reader, [&](const QStringRef &text) {
        if (overflow)
            return;
        for (const QChar c : text) {
            const ushort u = c.unicode();
            if ((u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9')
                || u == '+' || u == '/' || u == '=')
                pending.append(char(u));
        }
        if (pending.size() >= 64 * 1024)
            decode(false);
    });
    if (!overflow)
        decode(true);
    return overflow ? QByteArray() : decoded;
}

}
