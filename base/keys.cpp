#include "keys.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QLocale>

#include <algorithm>

QString md5Hex(const QString &text)
{
    return QString::fromLatin1(
        QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Md5).toHex());
}

QString bookIdForPath(const QString &filePath)
{
    const QString id = md5Hex(filePath);
    return id.isEmpty() ? filePath : id;
}

bool isBookId(const QString &text)
{
    return text.size() == 32 && std::all_of(text.cbegin(), text.cend(), [](QChar c) {
               const ushort u = c.unicode();
               return (u >= '0' && u <= '9') || (u >= 'a' && u <= 'f') || (u >= 'A' && u <= 'F');
           });
}

QString md5OfJoined(const QStringList &parts)
{
    return md5Hex(parts.join(QLatin1Char('|')));
}

QString currentTimeString()
{
    // Stored and compared as text: native digits of the user's locale would
    // break every order by time.
    return QLocale::c().toString(QDateTime::currentDateTime(), QStringLiteral("yyyy-MM-dd hh:mm:ss"));
}
