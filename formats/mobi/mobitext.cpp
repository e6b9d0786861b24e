#include "mobiparser.h"
#include "mobitext.h"

bool palmDocDecompress(const QByteArray &, qint64, QByteArray *, QString *) { return false; }
bool stripTrailingEntries(const QByteArray &, quint16, int *) { return false; }
QByteArray MobiParser::extractText(const PalmDbBook &, const MobiContentSection &, QString *) { return {}; }
QByteArray MobiParser::extractBookText(const PalmDbBook &, QString *) { return {}; }
QList<QByteArray> MobiParser::extractFlows(const PalmDbBook &, const MobiContentSection &, QString *) { return {}; }
bool MobiParser::loadKf8Content(const PalmDbBook &, QList<QByteArray> *, QList<QByteArray> *,
                                QList<Kf8NavEntry> *, QString *) { return false; }
QString MobiParser::decodeText(const PalmDbBook &, const QByteArray &, const MobiContentSection &) { return {}; }
QString MobiParser::decodeBookText(const PalmDbBook &, const QByteArray &) { return {}; }
