#include "keys.h"

#include <QCryptographicHash>
#include <QDateTime>

QString md5Hex(const QString &text)
{
    return QString::fromLatin1(
        QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Md5).toHex());
}

QString md5OfJoined(const QStringList &parts)
{
    return md5Hex(parts.join(QLatin1Char('|')));
}

QString currentTimeString()
{
    return QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
}
