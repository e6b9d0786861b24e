#include "mobiparser.h"

bool MobiParser::parseRecordZero(PalmDbBook &, const QByteArray &, QString *) { return false; }
bool MobiParser::parseContentSection(const PalmDbBook &, int, const QByteArray &,
                                     MobiContentSection &, QString *) { return false; }
void MobiParser::parseExth(PalmDbBook &, const QByteArray &, quint32) {}
