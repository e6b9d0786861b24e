#pragma once

#include <QString>
#include <QUrl>

class QQuickView;

namespace SailfishApp {

// A new QML view; the caller owns it.
QQuickView *createView();

// The file URL of an installed file such as "qml/harbour-quillora.qml".
// Files are looked up under one data root: $QUILLORA_DATA_ROOT when set, else
// the installed share folder when it exists, else the source tree.
QUrl pathTo(const QString &relative);

}
