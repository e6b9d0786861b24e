#include "deferredwrites.h"
#include "databaseconnection.h"
#include "transaction.h"

#include <QCoreApplication>
#include <QDebug>
#include <QThread>

#include <sqlite3.h>

#include <atomic>

namespace {

std::atomic<DeferredWrites *> s_instance{nullptr};
std::atomic<int> s_pending{0};

// How often a kept write tries again when no release is seen (the lock may
// be held by another process).
const int RetryIntervalMs = 100;

std::atomic<int> s_writers{0};

}

DeferredWrites::DeferredWrites()
{
    m_retry.setSingleShot(true);
    m_retry.setInterval(RetryIntervalMs);
    connect(&m_retry, &QTimer::timeout, this, [this] { flush(); });
}

DeferredWrites &DeferredWrites::instance()
{
    // Never destroyed: a write may still be kept when statics go.
    static DeferredWrites *writes = [] {
        auto *created = new DeferredWrites;
        s_instance.store(created);
        return created;
    }();
    return *writes;
}

bool DeferredWrites::onMainThread()
{
    const QCoreApplication *app = QCoreApplication::instance();
    return app && app->thread() == QThread::currentThread();
}

void DeferredWrites::writerStarted()
{
    ++s_writers;
}

void DeferredWrites::writerEnded()
{
    --s_writers;
}

void DeferredWrites::lockReleased()
{
    DeferredWrites *writes = s_instance.load();
    if (!writes || s_pending.load() == 0)
        return;
    QMetaObject::invokeMethod(writes, [writes] { writes->flush(); }, Qt::QueuedConnection);
}

void DeferredWrites::keep(const QString &key, const Write &write)
{
    if (!key.isEmpty()) {
        for (int i = 0; i < m_pending.size(); ++i) {
            if (m_pending.at(i).key == key) {
                m_pending.removeAt(i);
                break;
            }
        }
    }
    m_pending.append(Entry{key, write});
    s_pending.store(m_pending.size());
    if (!m_retry.isActive())
        m_retry.start();
}

bool DeferredWrites::submit(const QString &key, const Write &write)
{
    const QSqlDatabase db = DatabaseConnection::database();
    sqlite3 *handle = Transaction::handle(db);
    if (!onMainThread() || !handle || sqlite3_get_autocommit(handle) == 0)
        return write();
    if (!m_pending.isEmpty() || m_flushing) {
        keep(key, write);
        flush();
        return true;
    }
    if (s_writers.load() > 0) {
        keep(key, write);
        return true;
    }
    Transaction transaction(db);
    if (!transaction.isActive()) {
        if (!transaction.wasBusy())
            return write();   // it reports its own failure
        qInfo() << "[DeferredWrites] 数据库正忙，写入暂存:" << key;
        keep(key, write);
        return true;
    }
    const bool written = write();
    return transaction.commit() && written;
}

bool DeferredWrites::flush(int timeoutMs)
{
    if (m_pending.isEmpty())
        return true;
    if (m_flushing)
        return false;
    const QSqlDatabase db = DatabaseConnection::database();
    if (!Transaction::handle(db)) {
        qWarning() << "[DeferredWrites] 数据库未打开，暂存写入未能写入:" << m_pending.size();
        return false;
    }
    m_flushing = true;
    DatabaseConnection::setBusyTimeout(db, timeoutMs);
    bool done = false;
    {
        Transaction transaction(db);
        DatabaseConnection::setBusyTimeout(db, DatabaseConnection::MainThreadBusyTimeoutMs);
        if (transaction.isActive()) {
            // All of them in one transaction, in the order they were made;
            // a write that fails has logged why and is not tried again.
            const QList<Entry> entries = m_pending;
            for (const Entry &entry : entries)
                entry.write();
            if (!transaction.commit())
                qWarning() << "[DeferredWrites] 暂存写入提交失败:" << transaction.lastError();
            m_pending.erase(m_pending.begin(), m_pending.begin() + entries.size());
            done = true;
        } else if (!transaction.wasBusy()) {
            qWarning() << "[DeferredWrites] 暂存写入失败:" << transaction.lastError();
        }
    }
    m_flushing = false;
    s_pending.store(m_pending.size());
    if (!m_pending.isEmpty() && !m_retry.isActive())
        m_retry.start();
    return done && m_pending.isEmpty();
}
