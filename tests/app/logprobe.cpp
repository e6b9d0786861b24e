// Logs one message per level through the installed handler. With "fatal" as
// argument it ends with qFatal.
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
    if (app.arguments().contains(QStringLiteral("setlevel0")))
        LogManager::setLevel(0);
    if (app.arguments().contains(QStringLiteral("fatal")))
        qFatal("probe-fatal");
    return 0;
}
