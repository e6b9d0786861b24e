#include "rarfixture.h"

#include <QFile>
#include <QtEndian>

#include <zlib.h>

namespace {

const quint8 MainHead = 0x73;
const quint8 FileHead = 0x74;
const quint8 EndHead = 0x7b;
const quint16 LongBlock = 0x8000;    // a data area follows the header
const quint16 UnicodeName = 0x0200;
const quint16 DirectoryDictionary = 0x00e0;
const quint8 HostUnix = 3;
const quint8 StoredMethod = 0x30;

template<typename T>
void put(QByteArray &out, T value)
{
    char bytes[sizeof(T)];
    qToLittleEndian(value, bytes);
    out.append(bytes, sizeof(T));
}

void put16(QByteArray &out, quint16 value) { put(out, value); }
void put32(QByteArray &out, quint32 value) { put(out, value); }

quint32 crc(const QByteArray &bytes)
{
    return quint32(crc32(0, reinterpret_cast<const Bytef *>(bytes.constData()), uInt(bytes.size())));
}

// HEAD_CRC is the low half of the CRC32 of everything after it.
QByteArray block(quint8 type, quint16 flags, const QByteArray &fields)
{
    QByteArray body;
    body.append(char(type));
    put16(body, flags);
    put16(body, quint16(2 + body.size() + 2 + fields.size()));
    body.append(fields);
    QByteArray out;
    put16(out, quint16(crc(body) & 0xffff));
    return out + body;
}

// An ASCII stand-in, NUL, then the UTF-16 name: high byte 0 and every
// character as a full (low, high) pair, four per flag byte.
QByteArray unicodeName(const QString &name)
{
    QByteArray out;
    for (QChar c : name)
        out.append(c.unicode() < 0x80 ? char(c.unicode()) : '_');
    out.append('\0');
    out.append('\0');
    for (int i = 0; i < name.size(); i += 4) {
        const int count = qMin(4, name.size() - i);
        quint8 flags = 0;
        for (int k = 0; k < count; ++k)
            flags |= quint8(2 << (6 - 2 * k));
        out.append(char(flags));
        for (int k = 0; k < count; ++k) {
            const ushort unit = name.at(i + k).unicode();
            out.append(char(unit & 0xff)).append(char(unit >> 8));
        }
    }
    return out;
}

}

bool writeRar4(const QString &path, const QVector<FixtureEntry> &entries)
{
    QByteArray out("Rar!\x1a\x07\x00", 7);
    out += block(MainHead, 0, QByteArray(6, '\0'));
    for (const FixtureEntry &e : entries) {
        const QString name = QString::fromUtf8(e.name);
        bool ascii = true;
        for (QChar c : name)
            ascii = ascii && c.unicode() < 0x80;
        const QByteArray storedName = ascii ? e.name : unicodeName(name);
        quint16 flags = LongBlock | (ascii ? 0 : UnicodeName) | (e.directory ? DirectoryDictionary : 0);
        QByteArray fields;
        put32(fields, quint32(e.data.size()));        // packed size
        put32(fields, quint32(e.data.size()));        // unpacked size
        fields.append(char(HostUnix));
        put32(fields, crc(e.data));
        put32(fields, 0x5a210000);                    // DOS time, 2025-01-01
        fields.append(char(20));                      // version needed: 2.0
        fields.append(char(StoredMethod));
        put16(fields, quint16(storedName.size()));
        put32(fields, e.directory ? 040755 : 0100644);
        fields.append(storedName);
        out += block(FileHead, flags, fields);
        out += e.data;
    }
    out += block(EndHead, 0x4000, QByteArray());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(out) == out.size();
}
