#include "bookfolderstage.h"

#include "bookfolder.h"
#include "databaseconnection.h"
#include "paths.h"
#include "startupdeleterule.h"

#include <QDebug>
#include <QDir>
#include <QSqlQuery>
#include <QVariant>

using namespace BookFolder;

namespace BookFolder {

// Moves the staged edition in. Safe to run again from any point it stopped:
// what is still staged replaces its namesake, what the edition names and is
// no longer staged has been moved in already, anything else is the old
// edition's and goes.
bool completeSwap(const QString &dir, const Edition &edition)
{
    const QString stage = join(dir, QLatin1String(BookFolderStage::StageName));
    const QString old = join(dir, QLatin1String(BookFolderStage::OldName));
    if (kindOf(stage) != Kind::Dir || !ensureDir(old))
        return false;
    bool ok = true;
    for (const QString &name : entryNames(dir)) {
        if (isControlName(name))
            continue;
        if (exists(join(stage, name)) || !edition.names.contains(name))
            ok = moveEntry(join(dir, name), join(old, name)) && ok;
    }
    for (const QString &name : entryNames(stage)) {
        // The import's own names in the stage would replace its lock.
        if (name == QLatin1String(BookFolderStage::EditionName))
            continue;
        ok = (isControlName(name) ? removeEntry(join(stage, name)) : moveIn(join(stage, name), join(dir, name)))
             && ok;
    }
    if (!ok)
        return false;
    // The marker goes last: until then another run finishes the job.
    return removeEntry(old) && removeEntry(stage);
}

}

QString BookFolderStage::stageDir() const
{
    return m_dataDir.isEmpty() ? QString() : m_dataDir + QLatin1String(StageName) + QLatin1Char('/');
}

QString BookFolderStage::staged(const QString &finalPath) const
{
    if (m_dataDir.isEmpty() || !finalPath.startsWith(m_dataDir) || finalPath.startsWith(stageDir()))
        return finalPath;
    return stageDir() + finalPath.mid(m_dataDir.size());
}

QString BookFolderStage::final(const QString &stagedPath) const
{
    const QString stage = stageDir();
    if (stage.isEmpty() || !stagedPath.startsWith(stage))
        return stagedPath;
    return m_dataDir + stagedPath.mid(stage.size());
}

bool BookFolderStage::begin(const QString &bookId)
{
    abandon();
    m_heldElsewhere = false;
    const QString dir = Paths::bookDataDir(bookId);
    const bool created = !exists(QDir::cleanPath(dir));
    if (kindOf(QDir::cleanPath(dir)) == Kind::Link || !QDir().mkpath(dir))
        return false;
    std::unique_ptr<QLockFile> lock = lockFile(dir + QLatin1String(LockName), &m_heldElsewhere);
    if (!lock)
        return false;
    // The book is imported again: an unfinished removal no longer owns it.
    removeEntry(dir + QLatin1String(RemovedName));
    // Left by a run this start could not settle: settled now, under the lock.
    if (exists(dir + QLatin1String(StageName)) || exists(dir + QLatin1String(OldName))) {
        StartupDeleteRule rule(DatabaseConnection::database());
        if (!settleFolder(rule, dir, bookId))
            return false;
    }
    if (!QDir().mkpath(dir + QLatin1String(StageName))) {
        if (created)
            removeFolder(dir, std::move(lock), nullptr);
        return false;
    }
    m_dataDir = dir;
    m_createdDir = created;
    m_lock = std::move(lock);
    return true;
}

bool BookFolderStage::prepareCommit(const QString &token)
{
    if (m_dataDir.isEmpty() || token.contains(QLatin1Char('\n')))
        return false;
    m_names = entryNames(stageDir());
    m_names.removeAll(QLatin1String(EditionName));
    if (token.isEmpty())
        return true;
    QByteArray text = token.toUtf8() + '\n';
    for (const QString &name : qAsConst(m_names))
        text += name.toUtf8() + '\n';
    return Paths::writeFile(stageDir() + QLatin1String(EditionName), text);
}

bool BookFolderStage::swapIn()
{
    if (m_dataDir.isEmpty())
        return false;
    Edition edition;
    edition.names = QSet<QString>(m_names.cbegin(), m_names.cend());
    const bool swapped = completeSwap(m_dataDir, edition);
    if (!swapped)
        qWarning().noquote() << "[BookFolderStage] 书籍文件未能换入，下次启动时完成:" << m_dataDir;
    // Whatever is left is the next start's to settle.
    m_dataDir.clear();
    m_createdDir = false;
    m_lock.reset();
    if (m_afterSwap)
        m_afterSwap();
    return swapped;
}

void BookFolderStage::abandon()
{
    if (m_dataDir.isEmpty())
        return;
    if (m_createdDir)
        removeFolder(m_dataDir, std::move(m_lock), nullptr);
    else
        removeEntry(stageDir());
    m_dataDir.clear();
    m_createdDir = false;
    m_lock.reset();
}

QString BookFolderStage::newestParagraphId(QSqlDatabase db, const QString &bookId)
{
    QSqlQuery query(db);
    query.prepare(QStringLiteral(
        "SELECT id FROM unified_paragraph WHERE novel_id = :novel ORDER BY rowid DESC LIMIT 1"));
    query.bindValue(QStringLiteral(":novel"), bookId);
    if (!query.exec() || !query.next())
        return QString();
    return query.value(0).toString();
}
