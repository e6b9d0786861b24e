#include "mobiparser.h"

bool readBigEndianUInt32(const QByteArray &, int, quint32 &) { return false; }
bool readBigEndianUInt16(const QByteArray &, int, quint16 &) { return false; }
bool MobiParser::openPalmDb(PalmDbBook &, const QString &, QString *) { return false; }
QByteArray MobiParser::readRecord(const PalmDbBook &, int, QString *) { return {}; }
void MobiParser::resetBook(PalmDbBook &book) { book = PalmDbBook(); }
bool MobiParser::isEncrypted(const PalmDbBook &) { return false; }
bool MobiParser::hasKf8Section(const PalmDbBook &book) { return book.kf8Section.startRecord >= 0; }
bool MobiParser::isKf8Only(const PalmDbBook &) { return false; }
