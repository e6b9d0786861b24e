#pragma once

#include <QLatin1String>
#include <QString>

// The "name='value'" and "name=value" items of a record's toString().
namespace RecordText {

inline QString text(const char *name, const QString &value)
{
    return QString::fromLatin1(name) + QLatin1String("='") + value + QLatin1Char('\'');
}

inline QString number(const char *name, qlonglong value)
{
    return QString::fromLatin1(name) + QLatin1Char('=') + QString::number(value);
}

}
