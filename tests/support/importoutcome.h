#pragma once

#include "applicationcore.h"

#include <QEventLoop>
#include <QObject>
#include <QTimer>
#include <QtTest>

// Sanitized builds run the same imports several times slower.
#ifdef QUILLORA_SANITIZED_TESTS
constexpr int ImportTimeoutMs = 600000;
#else
constexpr int ImportTimeoutMs = 60000;
#endif

// "ok" or the failure message of one import through the core, or "timeout".
// Header-only: the support library does not link the application core.
inline QString importOutcome(ApplicationCore &core, const QString &path, int timeoutMs = ImportTimeoutMs)
{
    QString outcome;
    QObject receiver;
    QObject::connect(&core, &ApplicationCore::novelImportSucceeded, &receiver,
                     [&](const QString &) { outcome = QStringLiteral("ok"); }, Qt::QueuedConnection);
    QObject::connect(&core, &ApplicationCore::novelImportFailed, &receiver,
                     [&](const QString &m) { outcome = m; }, Qt::QueuedConnection);
    core.importNovel(path);
    return QTest::qWaitFor([&] { return !outcome.isEmpty(); }, timeoutMs) ? outcome
                                                                          : QStringLiteral("timeout");
}

// As importOutcome, but waiting in an event loop that wakes at once for the
// store step and the result, as the application's does: qWaitFor sleeps in
// 10 ms steps, which benchmarks would count as import time.
inline QString importOutcomeNoPolling(ApplicationCore &core, const QString &path, int timeoutMs = ImportTimeoutMs)
{
    QString outcome = QStringLiteral("timeout");
    QEventLoop loop;
    QObject::connect(&core, &ApplicationCore::novelImportSucceeded, &loop, [&](const QString &) {
        outcome = QStringLiteral("ok");
        loop.quit();
    });
    QObject::connect(&core, &ApplicationCore::novelImportFailed, &loop, [&](const QString &m) {
        outcome = m;
        loop.quit();
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    core.importNovel(path);
    loop.exec();
    return outcome;
}
