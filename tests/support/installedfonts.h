#pragma once

#include <QByteArray>
#include <QString>

// The bytes of an installed font file (e.g. "DejaVuSans.ttf") as fontconfig
// lists it; empty when it is not installed.
QByteArray installedFontData(const QString &fileName);
