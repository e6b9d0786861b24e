#pragma once

#include <QByteArray>
#include <QString>

#include <string>
#include <vector>

class QSqlQuery;
struct sqlite3;
struct sqlite3_stmt;

// Shared by the unified content tables, whose inserts run once per row of a
// whole book.

// Characters of a content row id.
constexpr int ContentRowIdLength = 36;

// A fresh random UUID without braces: 36 lower-case hexadecimal characters
// in groups 8-4-4-4-12.
QString newContentRowId();
// The same id written as 36 ASCII characters into out (not terminated).
void newContentRowId(char *out);

// Random ids for a known number of rows that are stored together, handed out
// in ascending order. Each is a random UUID like newContentRowId()'s; their
// first halves are only drawn at once and sorted. Rows with random keys put
// each insert on another page of the key indexes, so a whole book's store
// keeps reading and writing pages all over them; with ascending keys the
// inserts fill the indexes page after page (and a chunk's paragraph id
// ascends with them).
class AscendingRowIds
{
public:
    explicit AscendingRowIds(qint64 count);

    // The next id as 36 ASCII characters into out (not terminated); once
    // count ids are used, fresh unordered ones.
    void next(char *out);

private:
    std::vector<quint64> m_firstHalves;   // read as big-endian numbers
    size_t m_next = 0;
};

// currentTimeString(), formatted again only when the second changes: asking
// for the local time costs a time-zone lookup, once per call is too much for
// an import that stores a paragraph's chunks with one call each.
QString contentTimeString();
// The same text as UTF-8, shared between calls within the second.
QByteArray contentTimeUtf8();

// Runs one DELETE of a book's (or a chapter's) content rows, bound by
// :novel_id and, when chapterId is given, :chapter_id. Logs failure + the
// driver's error, or done + logId + doneSuffix.
bool runContentRemoval(const QString &sql, const QString &novelId, const QString *chapterId,
                       const char *failure, const char *done, const QString &logId,
                       const char *doneSuffix);

// The SQLite statement behind a query that Qt prepared on the calling
// thread's connection. Binding and reading through Qt costs a QVariant per
// value, which is most of the time of a book's store or a chapter's load;
// these rows are bound and read on the statement itself. The query keeps
// owning the statement; every run ends with the statement reset, so Qt finds
// it as it left it.
class ContentStatement
{
public:
    explicit ContentStatement(const QSqlQuery &query);
    // Bound text points into this object's buffers.
    ContentStatement(const ContentStatement &) = delete;
    ContentStatement &operator=(const ContentStatement &) = delete;

    // False when the query is not a prepared SQLite statement.
    bool isValid() const { return m_stmt != nullptr; }

    // Positions count from 0, as in QSqlQuery::bindValue(int, ...).
    void bindInt(int pos, int value);
    void bindInt64(int pos, qint64 value);
    void bindDouble(int pos, double value);
    // A null string is bound as NULL, as Qt binds it. The text is converted
    // to UTF-8 into a buffer of this object kept per position, so SQLite need
    // not convert and copy it for every row; the object must outlive the run.
    void bindText(int pos, const QString &value);
    void bindAscii(int pos, const char *text, int length);
    // UTF-8 bytes, bound as they are: text converted once per call rather
    // than by SQLite once per row. A null array is bound as NULL.
    void bindUtf8(int pos, const QByteArray &value);

    // Runs a statement that returns no rows and resets it. On failure the
    // error text (in Qt's form) is kept for errorText().
    bool execute();

    // Steps to the next result row; false at the end or on failure (then
    // failed() is true). reset() ends the run early.
    bool next();
    bool failed() const { return m_failed; }
    void reset();

    int columnInt(int col) const;
    qint64 columnInt64(int col) const;
    double columnDouble(int col) const;
    bool columnBool(int col) const { return columnInt64(col) != 0; }
    // NULL reads as a null string, like Qt.
    QString columnText(int col) const;
    // Raw UTF-8 bytes of a text column; null for NULL.
    const char *columnUtf8(int col, int *length) const;

    QString errorText() const { return m_error; }

private:
    void fail();

    sqlite3_stmt *m_stmt = nullptr;
    std::vector<std::string> m_textBuffers;
    QString m_error;
    bool m_failed = false;
};
