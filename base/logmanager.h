#pragma once

#include <QtGlobal>
#include <QDebug>
#include <QString>

#include <atomic>

// The process-wide log: one message handler that filters by level and writes
// one line per message to standard error.
class LogManager
{
public:
    enum Level { Debug = 0, Info = 1, Warning = 2, Error = 3, Fatal = 4, Off = 5 };
    static constexpr int DefaultLevel = Warning;

    // Reads the level from the settings file and installs the handler.
    static void install();
    static void messageHandler(QtMsgType type, const QMessageLogContext &context,
                               const QString &message);

    static int level() { return s_level.load(std::memory_order_relaxed); }
    static QString levelName(int level);
    static void setLevel(int level);

    // True when a message of this level would be written. Used by the guarded
    // macros below so that dropped messages are never formatted.
    static bool passes(int messageLevel) { return messageLevel >= level(); }

    // The line written for one message, without the trailing newline handling.
    static QString formatLine(QtMsgType type, const QString &message);

private:
    static std::atomic<int> s_level;
};

// Guarded logging for hot paths: a dropped message costs one integer
// comparison; the stream is only built when the line will be written.
#define QLOG_DEBUG() \
    for (bool quillora_log_on_ = LogManager::passes(LogManager::Debug); quillora_log_on_; quillora_log_on_ = false) qDebug()
#define QLOG_INFO() \
    for (bool quillora_log_on_ = LogManager::passes(LogManager::Info); quillora_log_on_; quillora_log_on_ = false) qInfo()
