#include "readingrecordinfo.h"

ReadingRecordInfo::ReadingRecordInfo(QObject *parent)
    : QObject(parent)
{
}
