// Logs one message per level through the installed handler. "setlevelN"
// switches to level N afterwards; with "fatal" it ends with qFatal.
#include "logmanager.h"

#include <QCoreApplication>
#include <QDebug>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("com.tivex"));
    QCoreApplication::setApplicationName(QStringLiteral("harbour-Quillora"));
    LogManager::install();
    qDebug() << "probe-debug";
    qInfo() << "probe-info";
    qWarning() << "probe-warning %1";
    qCritical() << "probe-critical";
    QLOG_DEBUG() << "probe-guarded-debug";
    for (const QString &argument : app.arguments()) {
        if (argument.startsWith(QLatin1String("setlevel")))
            LogManager::setLevel(argument.mid(8).toInt());
    }
    if (app.arguments().contains(QStringLiteral("fatal")))
        qFatal("probe-fatal");
    return 0;
}
