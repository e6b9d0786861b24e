#include "contentrows.h"
#include "keys.h"

#include <QDateTime>
#include <QRandomGenerator>
#include <QSqlQuery>
#include <QSqlResult>
#include <QVariant>

#include <sqlite3.h>

#include <cstring>

namespace {

// Random bits for ids are drawn from the system generator (as QUuid does) in
// batches: one draw per row is a noticeable part of storing a large book.
const int IdsPerDraw = 64;

struct RandomPool
{
    quint32 words[IdsPerDraw * 4];
    int next = IdsPerDraw;
};

}

void newContentRowId(char *out)
{
    static thread_local RandomPool pool;
    if (pool.next == IdsPerDraw) {
        QRandomGenerator::system()->fillRange(pool.words);
        pool.next = 0;
    }
    unsigned char bytes[16];
    std::memcpy(bytes, pool.words + 4 * pool.next++, sizeof bytes);
    bytes[6] = (bytes[6] & 0x0F) | 0x40;   // version 4: random
    bytes[8] = (bytes[8] & 0x3F) | 0x80;   // RFC 4122 variant

    static const char hex[] = "0123456789abcdef";
    char *p = out;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            *p++ = '-';
        *p++ = hex[bytes[i] >> 4];
        *p++ = hex[bytes[i] & 0x0F];
    }
}

QString newContentRowId()
{
    char text[36];
    newContentRowId(text);
    return QString::fromLatin1(text, int(sizeof text));
}

QString contentTimeString()
{
    struct Cached
    {
        qint64 second = -1;
        QString text;
    };
    static thread_local Cached cached;
    const qint64 second = QDateTime::currentMSecsSinceEpoch() / 1000;
    if (second != cached.second) {
        cached.text = currentTimeString();
        // The text belongs to the second in which it was taken.
        cached.second = QDateTime::currentMSecsSinceEpoch() / 1000 == second ? second : -1;
    }
    return cached.text;
}

ContentStatement::ContentStatement(const QSqlQuery &query)
{
    const QSqlResult *result = query.result();
    if (!result)
        return;
    const QVariant handle = result->handle();
    if (handle.isValid() && qstrcmp(handle.typeName(), "sqlite3_stmt*") == 0)
        m_stmt = *static_cast<sqlite3_stmt *const *>(handle.constData());
}

void ContentStatement::bindInt(int pos, int value)
{
    sqlite3_bind_int(m_stmt, pos + 1, value);
}

void ContentStatement::bindInt64(int pos, qint64 value)
{
    sqlite3_bind_int64(m_stmt, pos + 1, value);
}

void ContentStatement::bindDouble(int pos, double value)
{
    sqlite3_bind_double(m_stmt, pos + 1, value);
}

void ContentStatement::bindText(int pos, const QString &value)
{
    if (value.isNull())
        sqlite3_bind_null(m_stmt, pos + 1);
    else
        sqlite3_bind_text16(m_stmt, pos + 1, value.utf16(), value.size() * int(sizeof(QChar)),
                            SQLITE_STATIC);
}

void ContentStatement::bindAscii(int pos, const char *text, int length)
{
    sqlite3_bind_text(m_stmt, pos + 1, text, length, SQLITE_STATIC);
}

void ContentStatement::bindUtf8(int pos, const QByteArray &value)
{
    if (value.isNull())
        sqlite3_bind_null(m_stmt, pos + 1);
    else
        sqlite3_bind_text(m_stmt, pos + 1, value.constData(), value.size(), SQLITE_STATIC);
}

void ContentStatement::fail()
{
    m_failed = true;
    // Qt's error text: the database's message, then the driver's.
    m_error = QString::fromUtf8(sqlite3_errmsg(sqlite3_db_handle(m_stmt)))
        + QLatin1String(" Unable to fetch row");
    sqlite3_reset(m_stmt);
}

bool ContentStatement::execute()
{
    const int rc = sqlite3_step(m_stmt);
    if (rc != SQLITE_DONE && rc != SQLITE_ROW) {
        fail();
        return false;
    }
    sqlite3_reset(m_stmt);
    return true;
}

bool ContentStatement::next()
{
    const int rc = sqlite3_step(m_stmt);
    if (rc == SQLITE_ROW)
        return true;
    if (rc == SQLITE_DONE)
        sqlite3_reset(m_stmt);
    else
        fail();
    return false;
}

void ContentStatement::reset()
{
    sqlite3_reset(m_stmt);
}

int ContentStatement::columnInt(int col) const
{
    return int(sqlite3_column_int64(m_stmt, col));
}

qint64 ContentStatement::columnInt64(int col) const
{
    return sqlite3_column_int64(m_stmt, col);
}

double ContentStatement::columnDouble(int col) const
{
    return sqlite3_column_double(m_stmt, col);
}

const char *ContentStatement::columnUtf8(int col, int *length) const
{
    const char *text = reinterpret_cast<const char *>(sqlite3_column_text(m_stmt, col));
    *length = text ? sqlite3_column_bytes(m_stmt, col) : 0;
    return text;
}

QString ContentStatement::columnText(int col) const
{
    int length = 0;
    const char *text = columnUtf8(col, &length);
    if (!text)
        return QString();
    if (length == 0)
        return QStringLiteral("");
    return QString::fromUtf8(text, length);
}
