#pragma once

#include <QByteArray>
#include <QString>

// None (1), PalmDOC (2) or HUFF/CDIC (17480): the text compressions read.
inline bool isSupportedCompression(quint16 compression)
{
    return compression == 1 || compression == 2 || compression == 17480;
}

// PalmDOC LZ77 of one text record. Fails with a detail naming the offset of
// the bad command byte once the output would pass `limit`.
bool palmDocDecompress(const QByteArray &input, qint64 limit, QByteArray *output,
                       QString *detail = nullptr);

// Cuts the trailing entries named by `extraDataFlags` off a text record;
// false when they do not fit.
bool stripTrailingEntries(const QByteArray &record, quint16 extraDataFlags, int *payloadLength);

// Text of `bytes` in code page 65001 (UTF-8) or, for anything else,
// Windows-1252; NULs and C0 controls that XML forbids are dropped.
QString decodeMobiText(const QByteArray &bytes, quint32 encoding);

// Text of `bytes` up to the first NUL in code page 65001 (UTF-8), else all of
// them in Windows-1252 (Latin-1 up to the NUL without that codec).
QString decodeCodePage(const QByteArray &bytes, quint32 encoding);
