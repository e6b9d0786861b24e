#include "installedfonts.h"

#include <QFile>
#include <QProcess>

QByteArray installedFontData(const QString &fileName)
{
    QProcess fcList;
    fcList.start(QStringLiteral("fc-list"), {QStringLiteral("--format=%{file}\n")});
    fcList.waitForFinished();
    for (const QString &path : QString::fromUtf8(fcList.readAllStandardOutput()).split(QLatin1Char('\n'))) {
        QFile file(path);
        if (path.endsWith(QLatin1Char('/') + fileName) && file.open(QIODevice::ReadOnly))
            return file.readAll();
    }
    return QByteArray();
}
