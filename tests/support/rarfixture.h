#pragma once

#include "imagefixtures.h"

#include <QString>
#include <QVector>

// A RAR 4 archive of stored (method 0x30) entries, written from the
// published format notes: no Debian tool writes RAR. Names that are not
// ASCII carry RAR's Unicode name encoding next to an ASCII stand-in.
bool writeRar4(const QString &path, const QVector<FixtureEntry> &entries);
