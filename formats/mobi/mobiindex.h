#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QVector>

// One entry of an INDX index: its label and the values of each tag, in the
// order they were read.
struct MobiIndexEntry
{
    QByteArray label;
    QMap<quint8, QVector<quint32>> tags;
};

// A decoded index group. CNCX keys are record number (from 0) * 65536 plus
// the string's offset inside that CNCX record.
struct MobiIndexTable
{
    QVector<MobiIndexEntry> entries;
    QMap<quint32, QString> cncx;
    int recordsUsed = 0;
};

// A KF8 document frame inside flow 0; its fragments follow it there.
struct Kf8Skeleton
{
    int index = 0;
    quint32 fragmentCount = 0;
    quint32 start = 0;
    quint32 length = 0;
};

// A piece of flow 0 inserted into its skeleton at insertPosition (an offset
// in flow-0 terms, measured in the part as it grows).
struct Kf8Fragment
{
    quint32 insertPosition = 0;
    quint32 skeletonIndex = 0;
    quint32 sequence = 0;
    quint32 offset = 0;
    quint32 length = 0;
};

// A navigation target: byte offset inside one assembled part.
struct Kf8NavEntry
{
    QString title;
    int partIndex = 0;
    quint32 offset = 0;
};
