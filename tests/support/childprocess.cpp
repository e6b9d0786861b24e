#include "childprocess.h"

#include "testenvironment.h"

#include <QDir>
#include <QFile>

namespace ChildProcess {

ChildRun run(const TestEnvironment &env, const QString &program, const QStringList &args,
             const QStringList &extraEnvironment, int timeoutMs)
{
    QProcess child;
    child.setEnvironment(env.childEnvironment() + extraEnvironment);
    child.start(program, args);
    if (!child.waitForFinished(timeoutMs))
        child.kill();
    ChildRun run;
    run.exitCode = child.exitCode();
    run.status = child.exitStatus();
    run.log = QString::fromUtf8(child.readAllStandardError());
    return run;
}

ChildRun runApp(const TestEnvironment &env, const QString &program, const QByteArray &qml,
                const QStringList &args)
{
    const QString shareDir = env.root() + QStringLiteral("/share");
    const QString qmlDir = shareDir + QStringLiteral("/qml");
    QDir().mkpath(qmlDir);
    QFile file(qmlDir + QStringLiteral("/harbour-quillora.qml"));
    if (file.open(QIODevice::WriteOnly)) {
        file.write(qml);
        file.close();
    }
    return run(env, program, args, {QStringLiteral("QUILLORA_DATA_ROOT=") + shareDir});
}

QString firstMissingInOrder(const QString &log, const QStringList &pieces)
{
    int from = 0;
    for (const QString &piece : pieces) {
        const int at = log.indexOf(piece, from);
        if (at < 0)
            return piece;
        from = at + piece.size();
    }
    return QString();
}

}
