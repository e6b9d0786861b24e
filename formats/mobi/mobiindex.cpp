#include "mobiparser.h"

bool MobiParser::readIndexGroup(const PalmDbBook &, const MobiContentSection &, quint32,
                                MobiIndexTable *, QString *) { return false; }
bool MobiParser::readIndex(const QList<QByteArray> &, quint32, MobiIndexTable *, QString *) { return false; }
