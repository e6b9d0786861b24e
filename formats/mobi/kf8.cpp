#include "mobiparser.h"

bool MobiParser::indexTagValue(const MobiIndexEntry &, quint8, quint32 *) { return false; }
bool MobiParser::indexTagPair(const MobiIndexEntry &, quint8, quint32 *, quint32 *) { return false; }
bool MobiParser::readSkeletonIndex(const MobiIndexTable &, QVector<Kf8Skeleton> *, QString *) { return false; }
bool MobiParser::readFragmentIndex(const MobiIndexTable &, QVector<Kf8Fragment> *, QString *) { return false; }
bool MobiParser::assembleMainFlow(const QByteArray &, const MobiIndexTable &, const MobiIndexTable &,
                                  QList<QByteArray> *, QString *) { return false; }
bool MobiParser::readNcx(const MobiIndexTable &, const MobiIndexTable &, const MobiIndexTable &,
                         QList<Kf8NavEntry> *, QString *) { return false; }
