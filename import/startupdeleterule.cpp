#include "startupdeleterule.h"

#include "bookfolder.h"
#include "bookfolderstage.h"
#include "databaseconnection.h"
#include "keys.h"
#include "paths.h"

#include <QDebug>
#include <QDir>
#include <QSqlError>
#include <QSqlQuery>

using namespace BookFolder;

namespace {

// Every stored book id, through the id index and through the table: either
// may be damaged without the other.
bool storedIds(QSqlDatabase db, QSet<QString> *ids)
{
    for (const char *sql : {"SELECT id FROM novel_info", "SELECT id FROM novel_info NOT INDEXED"}) {
        QSqlQuery query(db);
        if (!query.exec(QString::fromLatin1(sql)))
            return false;
        while (query.next())
            ids->insert(query.value(0).toString());
        // A damaged page ends the rows early, as an error.
        if (query.lastError().isValid())
            return false;
    }
    return true;
}

// How a folder no stored book names shows that it belongs to none.
enum class Orphan {
    No,        // it may hold a book's files: kept
    Fresh,     // a new book's import that never committed: its lock and stage only
    Removed,   // marked by a removal before the book's rows went
};

Orphan orphanProof(StartupDeleteRule &rule, const QString &dir, const QString &bookId)
{
    if (kindOf(dir) != Kind::Dir)
        return Orphan::No;
    QByteArray removed;
    if (readSmallFile(join(dir, QLatin1String(BookFolderStage::RemovedName)), 64, &removed))
        return removed == bookId.toLatin1() + '\n' ? Orphan::Removed : Orphan::No;
    // Pages written under a pending mark are that import's own.
    const bool archivePending = kindOf(join(dir, QLatin1String(BookFolderStage::ArchiveMarkerName))) == Kind::File;
    for (const QString &name : entryNames(dir)) {
        const Kind kind = kindOf(join(dir, name));
        bool own = name == QLatin1String(BookFolderStage::LockName) || name == QLatin1String(BookFolderStage::ArchiveLockName)
                   || name == QLatin1String(BookFolderStage::ArchiveMarkerName) || name == QLatin1String(BookFolderStage::StageName)
                   || (archivePending && kind == Kind::Dir && BookFolderStage::isArchivePagesName(name));
        for (const char *staged : LegacyStaged)
            own = own || name == QLatin1String(staged);
        // Only a swap after the commit fills this one.
        if (name == QLatin1String(BookFolderStage::OldName))
            own = kind != Kind::Dir || entryNames(join(dir, name)).isEmpty();
        if (!own)
            return Orphan::No;
    }
    // A marked stage whose rows are there is a committed edition.
    Edition edition;
    const QString stage = join(dir, QLatin1String(BookFolderStage::StageName));
    if (kindOf(stage) == Kind::Dir) {
        if (readEdition(stage, &edition) && rule.editionStored(bookId, edition.token) != 0)
            return Orphan::No;
    }
    return Orphan::Fresh;
}

}

StartupDeleteRule::StartupDeleteRule(QSqlDatabase db)
    : m_db(db)
    , m_readable(storedIds(db, &m_stored))
{
}

bool StartupDeleteRule::unlistedMayGo(const QString &dir, const QString &bookId)
{
    if (!m_readable || m_stored.contains(bookId) || !showsNoBook(dir, bookId))
        return false;
    // Only the book rows' absence makes the folder no book's.
    return !looksEmptied() && rowsTrusted(QStringLiteral("novel_info"));
}

bool StartupDeleteRule::showsNoBook(const QString &dir, const QString &bookId)
{
    return orphanProof(*this, dir, bookId) != Orphan::No;
}

int StartupDeleteRule::editionStored(const QString &bookId, const QString &token)
{
    QSqlQuery query(m_db);
    // Two b-trees that fail apart answer, the id index and the book's rows
    // found through the book index: a damaged index must not hide a
    // committed edition, and neither read costs more than the book's rows,
    // where reading the table or checking it would cost the whole library.
    for (const char *sql : {"SELECT COUNT(*) FROM unified_paragraph WHERE id = :id AND novel_id = :novel",
                            "SELECT COUNT(*) FROM unified_paragraph INDEXED BY idx_up_chapter"
                            " WHERE novel_id = :novel AND id = :id"}) {
        query.prepare(QString::fromLatin1(sql));
        query.bindValue(QStringLiteral(":id"), token);
        query.bindValue(QStringLiteral(":novel"), bookId);
        if (!query.exec() || !query.next())
            return -1;
        if (query.value(0).toInt() > 0)
            return 1;
    }
    return 0;
}

bool StartupDeleteRule::looksEmptied()
{
    if (!m_stored.isEmpty())
        return false;
    if (m_emptied < 0) {
        const QDir location(Paths::dataLocation());
        int unproven = 0;
        for (const QString &name : location.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks)) {
            if (isBookId(name) && !showsNoBook(location.absoluteFilePath(name), name))
                ++unproven;
        }
        m_emptied = unproven > 0;
        if (unproven > 0)
            qCritical().noquote() << "[BookFolderStage] 书库中没有书籍，却有" << unproven
                                  << "个书籍目录：不整理任何书籍目录";
    }
    return m_emptied == 1;
}

bool StartupDeleteRule::rowsTrusted(const QString &table)
{
    const auto known = m_checked.constFind(table);
    if (known != m_checked.cend())
        return *known;
    const bool sound = DatabaseConnection::passesQuickCheck(m_db, table);
    if (!sound)
        qCritical().noquote() << "[BookFolderStage] 数据库未通过完整性检查：不删除记录未提及的文件:" << table;
    m_checked.insert(table, sound);
    return sound;
}
