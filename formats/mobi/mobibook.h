#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

// One content section of a PalmDB book: a MOBI header record and the text,
// index and flow records that follow it. Record numbers other than
// startRecord are relative to startRecord.
struct MobiContentSection
{
    qint32 startRecord = -1;
    quint16 compression = 0;
    quint16 encryption = 0;
    quint16 textRecordCount = 0;
    quint16 recordSize = 0;
    quint32 textLength = 0;
    quint32 version = 0;
    quint32 textEncoding = 1252;
    quint32 firstImageRecord = 0xFFFFFFFFu;
    quint32 huffRecord = 0xFFFFFFFFu;
    quint32 huffRecordCount = 0;
    quint32 fdstRecord = 0xFFFFFFFFu;
    quint32 fdstFlowCount = 0;
    quint32 fragmentIndexRecord = 0xFFFFFFFFu;
    quint32 skeletonIndexRecord = 0xFFFFFFFFu;
    quint32 ncxIndexRecord = 0xFFFFFFFFu;
    quint16 extraDataFlags = 0;
};

struct MobiBookMetadata
{
    QString title;
    QStringList authors;
    QString publisher;
    QString description;
    QString isbn;
    QStringList subjects;
    QString publishingDate;
    QString language;
};

// The opened PalmDB file: record table, record 0 and the MOBI 6 and
// KF8 sections. Records themselves are read on demand, never kept.
struct PalmDbBook
{
    QString filePath;
    qint64 fileSize = 0;
    QVector<quint32> recordOffsets;
    QString palmName;
    bool isMobi = false;
    bool isPalmDoc = false;
    // Record 0's PalmDOC fields and, in a MOBI book, its MOBI header; a
    // PalmDOC book's text is read through it.
    MobiContentSection header;
    quint32 coverOffset = 0xFFFFFFFFu;
    quint32 kf8BoundaryRecord = 0xFFFFFFFFu;
    MobiContentSection mobiSection;
    MobiContentSection kf8Section;
    MobiBookMetadata metadata;
};

// Big-endian reads that refuse to run past the end of `bytes`.
bool readBigEndianUInt32(const QByteArray &bytes, qint64 offset, quint32 &out);
bool readBigEndianUInt16(const QByteArray &bytes, qint64 offset, quint16 &out);
