#include "huffcdic.h"

bool HuffCdicDecoder::load(const QByteArray &, const QList<QByteArray> &, QString *) { return false; }
bool HuffCdicDecoder::decompress(const QByteArray &, QByteArray *, qint64, QString *) { return false; }
void HuffCdicDecoder::setCacheBudget(qint64 bytes) { m_cacheBudget = bytes; }
bool HuffCdicDecoder::unpack(const QByteArray &, QByteArray *, qint64, int, QString *) { return false; }
bool HuffCdicDecoder::expandEntry(int, QByteArray *, qint64, int, QString *) { return false; }
