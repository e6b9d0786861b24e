#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QtTest>

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

// The first of the pieces that the log does not hold after the previous one;
// empty when all of them appear in this order.
QString firstMissingInOrder(const QString &log, const QStringList &pieces);

}

// Fails the test unless the log holds the pieces in this order, e.g.
// VERIFY_LOG_IN_ORDER(run.log, {QStringLiteral("a"), QStringLiteral("b")});
#define VERIFY_LOG_IN_ORDER(log, ...) \
    do { \
        const QString missing_ = ChildProcess::firstMissingInOrder(log, __VA_ARGS__); \
        QVERIFY2(missing_.isEmpty(), \
                 qPrintable(QStringLiteral("missing or out of order: ") + missing_ + QLatin1Char('\n') + (log))); \
    } while (false)
