#include "contentrows.h"
#include "keys.h"

#include <QDateTime>
#include <QUuid>

QString newContentRowId()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces);
}

QString contentTimeString()
{
    struct Cached
    {
        qint64 second = -1;
        QString text;
    };
    static thread_local Cached cached;
    const qint64 second = QDateTime::currentMSecsSinceEpoch() / 1000;
    if (second != cached.second) {
        cached.text = currentTimeString();
        // The text belongs to the second in which it was taken.
        cached.second = QDateTime::currentMSecsSinceEpoch() / 1000 == second ? second : -1;
    }
    return cached.text;
}
