#include "fb2xml.h"

#include <QXmlStreamReader>

namespace Fb2Xml {

bool nextInside(QXmlStreamReader &reader, QLatin1String name)
{
    if (reader.atEnd())
        return false;
    reader.readNext();
    if (reader.atEnd())
        return false;
    return !(reader.isEndElement() && reader.name() == name);
}

bool nextInside(QXmlStreamReader &reader, const QString &name)
{
    if (reader.atEnd())
        return false;
    reader.readNext();
    if (reader.atEnd())
        return false;
    return !(reader.isEndElement() && reader.name() == name);
}

QString boundedText(QXmlStreamReader &reader, int maxChars)
{
    QString text;
    int depth = 1;
    while (depth > 0 && !reader.atEnd()) {
        reader.readNext();
        if (reader.isStartElement()) {
            ++depth;
        } else if (reader.isEndElement()) {
            --depth;
        } else if (reader.isCharacters() && text.size() < maxChars) {
            const QStringRef part = reader.text();
            text += part.left(maxChars - text.size());
        }
    }
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
    int depth = 1;
    while (depth > 0 && !reader.atEnd()) {
        reader.readNext();
        if (reader.isStartElement()) {
            ++depth;
        } else if (reader.isEndElement()) {
            --depth;
        } else if (reader.isCharacters() && !overflow) {
            const QStringRef text = reader.text();
            for (const QChar c : text) {
                const ushort u = c.unicode();
                if ((u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9')
                    || u == '+' || u == '/' || u == '=')
                    pending.append(char(u));
            }
            if (pending.size() >= 64 * 1024)
                decode(false);
        }
    }
    if (!overflow)
        decode(true);
    return overflow ? QByteArray() : decoded;
}

}
