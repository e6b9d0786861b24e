#pragma once

#include "applicationcore.h"

#include <QObject>
#include <QtTest>

// "ok" or the failure message of one import through the core, or "timeout".
// Header-only: the support library does not link the application core.
inline QString importOutcome(ApplicationCore &core, const QString &path, int timeoutMs = 60000)
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
