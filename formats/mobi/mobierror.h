#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QString>

#include <cstring>

namespace mobi {

inline QString message(const char *text)
{
    return QCoreApplication::translate("MobiParser", text);
}

// Stores the message when the caller asked for one; always false, so a
// failing check can `return fail(error, "...")`.
inline bool fail(QString *error, const char *text)
{
    if (error)
        *error = message(text);
    return false;
}

inline bool fail(QString *error, const QString &text)
{
    if (error)
        *error = text;
    return false;
}

inline bool hasMagic(const QByteArray &bytes, qint64 offset, const char *magic, int length)
{
    return offset >= 0 && offset + length <= bytes.size()
        && memcmp(bytes.constData() + offset, magic, size_t(length)) == 0;
}

inline quint32 be32(const char *p)
{
    const auto *u = reinterpret_cast<const uchar *>(p);
    return (quint32(u[0]) << 24) | (quint32(u[1]) << 16) | (quint32(u[2]) << 8) | quint32(u[3]);
}

inline quint16 be16(const char *p)
{
    const auto *u = reinterpret_cast<const uchar *>(p);
    return quint16((u[0] << 8) | u[1]);
}

}
