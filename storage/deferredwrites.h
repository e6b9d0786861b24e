#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>

// The main thread's writes while another connection holds the write lock (an
// import stores a whole book in one transaction, for a second or more). A
// write that cannot take the lock within the main thread's short busy timeout
// is kept instead of waited for or lost. Kept writes run in the order they
// were made, as soon as the lock is free and at the latest at flush() before
// the program exits; a write made while others are kept waits behind them.
// A kept write is replaced by a newer one with the same key: the newer one
// carries the row's latest value.
//
// A write is a function that runs its statements on the main thread's
// connection and answers whether they succeeded; it must capture values only,
// since it may run after its caller is gone.
class DeferredWrites : public QObject
{
    Q_OBJECT
public:
    using Write = std::function<bool()>;

    // Main thread only.
    static DeferredWrites &instance();

    // Runs write now inside a write transaction, or keeps it. False only when
    // it ran and failed. Off the main thread, or inside a transaction the
    // caller holds, it simply runs.
    bool submit(const QString &key, const Write &write);

    int pendingCount() const { return m_pending.size(); }

    // Writes everything kept, waiting up to timeoutMs for the lock. True when
    // nothing is left.
    bool flush(int timeoutMs = 0);

    // From any thread: a transaction of another connection has ended, so what
    // is kept may go in now.
    static void lockReleased();

    // A worker thread of this process took, or gave back, the write lock
    // (an import's outer transaction). While one holds it, the main thread's
    // writes are kept at once instead of waiting for the lock.
    static void writerStarted();
    static void writerEnded();
    static bool onMainThread();

private:
    DeferredWrites();
    void keep(const QString &key, const Write &write);

    struct Entry
    {
        QString key;
        Write write;
    };
    QList<Entry> m_pending;
    QTimer m_retry;
    bool m_flushing = false;
};
