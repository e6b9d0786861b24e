#pragma once

#include <QPair>
#include <QStringList>
#include <QVector>
#include <QtGlobal>

#include <mutex>

// Collects every message while alive, so a test can see which lines an
// operation wrote (and that it wrote none). One at a time; worker threads may
// log into it.
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    QStringList lines(QtMsgType type) const;
    int count() const;

private:
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &message);

    // Guards s_active and the entries: a worker may log while the capture
    // ends. std::mutex, which thread sanitizer sees through.
    static std::mutex s_mutex;
    static LogCapture *s_active;
    QtMessageHandler m_previous = nullptr;
    QVector<QPair<QtMsgType, QString>> m_entries;
};
