#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

class TestEnvironment;

// What a finished child process left behind.
struct ChildRun
{
    int exitCode = -1;
    QProcess::ExitStatus status = QProcess::NormalExit;
    QString log; // standard error, as UTF-8
};

namespace ChildProcess {

// Runs a program on the environment's locations (plus the extra NAME=value
// entries) and waits for it; one still running after the timeout is killed.
ChildRun run(const TestEnvironment &env, const QString &program, const QStringList &args,
             const QStringList &extraEnvironment = {}, int timeoutMs = 60000);

// Runs the real program with the given QML as its root file: it is written to
// <env root>/share/qml/harbour-quillora.qml, and QUILLORA_DATA_ROOT points there.
ChildRun runApp(const TestEnvironment &env, const QString &program, const QByteArray &qml,
                const QStringList &args = {});

}
