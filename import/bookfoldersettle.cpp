#include "bookfolderstage.h"

#include "bookfolder.h"
#include "keys.h"
#include "paths.h"
#include "startupdeleterule.h"

#include <QDebug>
#include <QDir>
#include <QSqlQuery>

#include <algorithm>

using namespace BookFolder;

namespace {

const char *const PreviousSuffix = ".previous";

// The rows name the old edition: what was staged goes.
bool dropStage(const QString &dir)
{
    const QString old = join(dir, QLatin1String(BookFolderStage::OldName));
    bool ok = true;
    // Only a swap moves files there, and no swap starts before the commit.
    if (kindOf(old) == Kind::Dir) {
        for (const QString &name : entryNames(old)) {
            if (!isControlName(name) && !exists(join(dir, name)))
                ok = moveIn(join(old, name), join(dir, name)) && ok;
        }
    }
    return removeEntry(old) && removeEntry(join(dir, QLatin1String(BookFolderStage::StageName))) && ok;
}

// The name a kept ".previous" entry of earlier versions stood for; empty
// for any other name. ".previous" alone, "..previous" or "...previous" would
// name the folder itself or the one above it.
QString previousBase(const QString &name)
{
    if (!name.endsWith(QLatin1String(PreviousSuffix)) || isControlName(name))
        return QString();
    const QString base = name.chopped(int(qstrlen(PreviousSuffix)));
    if (base == QLatin1String(".") || base == QLatin1String("..") || isControlName(base))
        return QString();
    return base;
}

// Earlier versions: a kept ".previous" file or ".import-backup" folder was
// gone before their commit, so finding one means the rows are the old ones.
bool settleLegacy(const QString &dir)
{
    bool ok = true;
    const QString backup = join(dir, QLatin1String(LegacyBackup));
    if (kindOf(backup) == Kind::Dir) {
        for (const QString &name : entryNames(dir)) {
            if (!isControlName(name))
                ok = removeEntry(join(dir, name)) && ok;
        }
        for (const QString &name : entryNames(backup)) {
            if (!isControlName(name))
                ok = moveIn(join(backup, name), join(dir, name)) && ok;
        }
    }
    ok = removeEntry(backup) && ok;
    for (const QString &name : entryNames(dir)) {
        const QString base = previousBase(name);
        if (base.isEmpty())
            continue;
        const Kind kind = kindOf(join(dir, name));
        if (kind == Kind::File || kind == Kind::Dir)
            ok = moveEntry(join(dir, name), join(dir, base)) && ok;
        else
            ok = removeEntry(join(dir, name)) && ok;
    }
    for (const char *name : LegacyStaged)
        ok = removeEntry(join(dir, QLatin1String(name))) && ok;
    return ok;
}

// Asked again under the folder's locks: a book committed since the rule
// read every id (through the index and the table) is found by the index.
int storedBook(QSqlDatabase db, const StartupDeleteRule &rule, const QString &bookId)
{
    if (rule.isListed(bookId))
        return 1;
    QSqlQuery query(db);
    query.prepare(QStringLiteral("SELECT COUNT(*) FROM novel_info WHERE id = :id"));
    query.bindValue(QStringLiteral(":id"), bookId);
    if (!query.exec() || !query.next())
        return -1;
    return query.value(0).toInt() > 0 ? 1 : 0;
}

// What an import leaves behind when it stops: its own entries (a lock of a
// live one is skipped) and those of earlier versions.
bool isLeftover(const QString &name)
{
    if (name == QLatin1String(BookFolderStage::StageName) || name == QLatin1String(BookFolderStage::OldName)
        || name == QLatin1String(BookFolderStage::LockName) || name == QLatin1String(BookFolderStage::ArchiveLockName)
        || name == QLatin1String(BookFolderStage::RemovedName) || name == QLatin1String(LegacyBackup)
        || !previousBase(name).isEmpty())
        return true;
    for (const char *staged : LegacyStaged) {
        if (name == QLatin1String(staged))
            return true;
    }
    return false;
}

}

namespace BookFolder {

bool settleFolder(StartupDeleteRule &rule, const QString &dir, const QString &bookId)
{
    if (kindOf(dir) != Kind::Dir)
        return false;
    const QString stage = join(dir, QLatin1String(BookFolderStage::StageName));
    // The import's own folders are never anything else: a link or a file
    // under their names goes, and nothing is moved through it.
    for (const char *name : {BookFolderStage::StageName, BookFolderStage::OldName}) {
        const QString path = join(dir, QLatin1String(name));
        const Kind kind = kindOf(path);
        if (kind != Kind::Dir && kind != Kind::Missing && !removeEntry(path))
            return false;
    }
    if (kindOf(stage) == Kind::Dir) {
        Edition edition;
        const int used = readEdition(stage, &edition) ? rule.editionStored(bookId, edition.token) : 0;
        if (used < 0)
            return false;   // decided at a later start
        if (!(used == 1 ? dropLinks(stage) && completeSwap(dir, edition) : dropStage(dir)))
            return false;
    } else if (!removeEntry(join(dir, QLatin1String(BookFolderStage::OldName)))) {
        return false;
    }
    return settleLegacy(dir);
}

}

void BookFolderStage::settleAll(QSqlDatabase db)
{
    StartupDeleteRule rule(db);
    settleAll(db, rule);
}

void BookFolderStage::settleAll(QSqlDatabase db, StartupDeleteRule &rule)
{
    if (!rule.isReadable()) {
        qCritical().noquote() << "[BookFolderStage] 无法读取书籍记录：不整理任何书籍目录";
        return;
    }

    const QDir location(Paths::dataLocation());
    const QStringList names =
        location.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks | QDir::Hidden, QDir::Name);
    QStringList pending;
    QStringList unproven;
    for (const QString &name : names) {
        const QString dir = location.absoluteFilePath(name) + QLatin1Char('/');
        if (!isBookId(name) || kindOf(QDir::cleanPath(dir)) != Kind::Dir)
            continue;
        // Most folders need nothing: only those are locked that do.
        if (rule.isListed(name)) {
            const QStringList entries = entryNames(dir);
            if (std::none_of(entries.cbegin(), entries.cend(), &isLeftover))
                continue;
        } else if (!rule.showsNoBook(dir, name)) {
            unproven << dir;
            continue;
        }
        pending << name;
    }
    if (!unproven.isEmpty() && rule.looksEmptied())
        return;
    for (const QString &dir : qAsConst(unproven))
        qWarning().noquote() << "[BookFolderStage] 书籍目录没有对应的书籍记录，保留:" << dir;

    for (const QString &name : qAsConst(pending)) {
        const QString dir = location.absoluteFilePath(name) + QLatin1Char('/');
        std::unique_ptr<QLockFile> lock = lockFile(dir + QLatin1String(LockName));
        if (!lock)
            continue;   // an import of this book is running
        std::unique_ptr<QLockFile> archiveLock = lockFile(dir + QLatin1String(BookFolderStage::ArchiveLockName));
        if (!archiveLock)
            continue;
        const int book = storedBook(db, rule, name);
        if (book == 1) {
            // A removal that stopped before the rows went: the book stays.
            if (!removeEntry(dir + QLatin1String(RemovedName)) || !settleFolder(rule, dir, name))
                qWarning().noquote() << "[BookFolderStage] 无法整理书籍目录:" << dir;
        } else if (book == 0 && rule.unlistedMayGo(dir, name)) {
            // Decided again under the locks: its folder belongs to no book.
            removeFolder(dir, std::move(lock), std::move(archiveLock));
        }
    }
}
