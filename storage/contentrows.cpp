#include "contentrows.h"
#include "databaseconnection.h"
#include "keys.h"

#include <QDateTime>
#include <QDebug>
#include <QRandomGenerator>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlResult>
#include <QVariant>

#include <sqlite3.h>

#include <QtEndian>

#include <algorithm>
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

// The version and variant bits of a random UUID.
void markRandomUuid(unsigned char *bytes)
{
    bytes[6] = (bytes[6] & 0x0F) | 0x40;   // version 4: random
    bytes[8] = (bytes[8] & 0x3F) | 0x80;   // RFC 4122 variant
}

void writeUuid(const unsigned char *bytes, char *out)
{
    static const char hex[] = "0123456789abcdef";
    char *p = out;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            *p++ = '-';
        *p++ = hex[bytes[i] >> 4];
        *p++ = hex[bytes[i] & 0x0F];
    }
}

}

namespace {

// Sixteen random bytes from the thread's pool.
void drawRandomBytes(unsigned char *bytes)
{
    static thread_local RandomPool pool;
    if (pool.next == IdsPerDraw) {
        QRandomGenerator::system()->fillRange(pool.words);
        pool.next = 0;
    }
    std::memcpy(bytes, pool.words + 4 * pool.next++, 16);
}

}

void newContentRowId(char *out)
{
    unsigned char bytes[16];
    drawRandomBytes(bytes);
    markRandomUuid(bytes);
    writeUuid(bytes, out);
}

AscendingRowIds::AscendingRowIds(qint64 count)
{
    if (count <= 0)
        return;
    // Only the first halves are drawn ahead and sorted (the second ones are
    // drawn as the ids are handed out): lower-case hexadecimal sorts as the
    // bytes do, so the ids ascend with their first half read as a big-endian
    // number. Drawn straight into the list: no second copy of a book's bits.
    m_firstHalves.resize(size_t(count));
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(m_firstHalves.data()),
                                          qsizetype(m_firstHalves.size() * 2));
    for (quint64 &half : m_firstHalves) {
        unsigned char *bytes = reinterpret_cast<unsigned char *>(&half);
        bytes[6] = (bytes[6] & 0x0F) | 0x40;   // version 4: random
        half = qFromBigEndian<quint64>(bytes);
    }
    std::sort(m_firstHalves.begin(), m_firstHalves.end());
}

void AscendingRowIds::next(char *out)
{
    if (m_next >= m_firstHalves.size()) {
        newContentRowId(out);
        return;
    }
    unsigned char bytes[16];
    drawRandomBytes(bytes);
    qToBigEndian(m_firstHalves[m_next++], bytes);
    bytes[8] = (bytes[8] & 0x3F) | 0x80;   // RFC 4122 variant
    writeUuid(bytes, out);
}

QString newContentRowId()
{
    char text[36];
    newContentRowId(text);
    return QString::fromLatin1(text, int(sizeof text));
}

namespace {

struct CachedTime
{
    qint64 second = -1;
    QString text;
    QByteArray utf8;
};

const CachedTime &cachedTime()
{
    static thread_local CachedTime cached;
    const qint64 second = QDateTime::currentMSecsSinceEpoch() / 1000;
    if (second != cached.second) {
        cached.text = currentTimeString();
        cached.utf8 = cached.text.toUtf8();
        // The text belongs to the second in which it was taken.
        cached.second = QDateTime::currentMSecsSinceEpoch() / 1000 == second ? second : -1;
    }
    return cached;
}

// UTF-16 to UTF-8 into a reused buffer. A lone surrogate becomes U+FFFD
// (SQLite's own conversion would take the next character with it), and a
// leading U+FEFF or U+FFFE is text like any other (SQLite would drop it as a
// byte-order mark).
// The buffer only grows, so writing a row costs no allocation or clearing.
// Returns the length written.
int toUtf8(const QString &text, std::string *out)
{
    const ushort *s = text.utf16();
    const int n = text.size();
    if (out->size() < size_t(n) * 3 + 1)
        out->resize(size_t(n) * 3 + 1);
    char *d = &(*out)[0];
    char *const start = d;
    for (int i = 0; i < n; ++i) {
        uint c = s[i];
        if (c < 0x80) {
            *d++ = char(c);
        } else if (c < 0x800) {
            *d++ = char(0xC0 | (c >> 6));
            *d++ = char(0x80 | (c & 0x3F));
        } else if (c >= 0xD800 && c < 0xE000) {
            if (c >= 0xDC00 || i + 1 >= n || s[i + 1] < 0xDC00 || s[i + 1] >= 0xE000) {
                *d++ = char(0xEF);
                *d++ = char(0xBF);
                *d++ = char(0xBD);
                continue;
            }
            c = 0x10000 + ((c - 0xD800) << 10) + (s[++i] - 0xDC00);
            *d++ = char(0xF0 | (c >> 18));
            *d++ = char(0x80 | ((c >> 12) & 0x3F));
            *d++ = char(0x80 | ((c >> 6) & 0x3F));
            *d++ = char(0x80 | (c & 0x3F));
        } else {
            *d++ = char(0xE0 | (c >> 12));
            *d++ = char(0x80 | ((c >> 6) & 0x3F));
            *d++ = char(0x80 | (c & 0x3F));
        }
    }
    return int(d - start);
}

}

QString contentTimeString()
{
    return cachedTime().text;
}

QByteArray contentTimeUtf8()
{
    return cachedTime().utf8;
}

ContentStatement::ContentStatement(const QSqlQuery &query)
{
    const QSqlResult *result = query.result();
    if (!result)
        return;
    const QVariant handle = result->handle();
    if (handle.isValid() && qstrcmp(handle.typeName(), "sqlite3_stmt*") == 0)
        m_stmt = *static_cast<sqlite3_stmt *const *>(handle.constData());
    // Sized once: bound text points into these strings, and a short one
    // keeps its bytes inside the string object, so they must never move.
    if (m_stmt)
        m_textBuffers.resize(size_t(qMax(sqlite3_bind_parameter_count(m_stmt), 0)));
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
    if (value.isNull()) {
        sqlite3_bind_null(m_stmt, pos + 1);
        return;
    }
    if (size_t(pos) < m_textBuffers.size()) {
        std::string &buffer = m_textBuffers[size_t(pos)];
        const int length = toUtf8(value, &buffer);
        sqlite3_bind_text(m_stmt, pos + 1, buffer.data(), length, SQLITE_STATIC);
    } else {
        sqlite3_bind_text16(m_stmt, pos + 1, value.utf16(), value.size() * int(sizeof(QChar)),
                            SQLITE_TRANSIENT);
    }
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
    // QString::fromUtf8 would drop a leading byte-order mark: it is text here.
    QString leading;
    while (length >= 3 && std::memcmp(text, "\xEF\xBB\xBF", 3) == 0) {
        leading += QChar(0xFEFF);
        text += 3;
        length -= 3;
    }
    return leading.isEmpty() ? QString::fromUtf8(text, length)
                             : leading + QString::fromUtf8(text, length);
}

bool runContentRemoval(const QString &sql, const QString &novelId, const QString *chapterId,
                       const char *failure, const char *done, const QString &logId,
                       const char *doneSuffix)
{
    QSqlQuery query(DatabaseConnection::database());
    query.prepare(sql);
    query.bindValue(QStringLiteral(":novel_id"), novelId);
    if (chapterId)
        query.bindValue(QStringLiteral(":chapter_id"), *chapterId);
    if (!query.exec()) {
        qWarning() << failure << query.lastError().text();
        return false;
    }
    qInfo() << done << logId << doneSuffix;
    return true;
}
