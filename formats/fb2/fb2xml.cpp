#include "fb2xml.h"

#include <QXmlStreamReader>

bool Fb2BoundedFile::open(OpenMode mode)
{
    if (mode != ReadOnly || !m_file.open(ReadOnly))
        return false;
    return QIODevice::open(ReadOnly);
}

bool Fb2BoundedFile::atEnd() const
{
    return m_file.atEnd() && QIODevice::bytesAvailable() == 0;
}

qint64 Fb2BoundedFile::bytesAvailable() const
{
    return m_file.bytesAvailable() + QIODevice::bytesAvailable();
}

qint64 Fb2BoundedFile::readData(char *data, qint64 maxSize)
{
    qint64 kept = 0;
    while (kept == 0) {
        const qint64 got = m_file.read(data, maxSize);
        if (got <= 0)
            return -1;
        for (qint64 i = 0; i < got; ++i) {
            if (data[i] == '<')
                m_run = 0;
            else if (++m_run > m_maxRun)
                continue;
            data[kept++] = data[i];
        }
    }
    return kept;
}

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
