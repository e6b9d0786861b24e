// Start-up sweep of what interrupted or superseded comic-archive imports
// left in the book data folders.

#include "cbrparser.h"

#include "databaseconnection.h"
#include "keys.h"
#include "paths.h"
#include "startupdeleterule.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QLockFile>
#include <QSet>
#include <QSqlQuery>
#include <QVariant>

#include <algorithm>

namespace {

// Stored data folders end with "/", listed ones do not: compare one form.
QString normalisedDir(const QString &path)
{
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

// Each archive data folder with the books that name it.
bool collectArchiveDirs(QSqlDatabase db, QHash<QString, QStringList> *dirs)
{
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral(
            "SELECT data_dir, id FROM novel_info WHERE UPPER(file_type) IN ('CBR', 'CB7', 'CBT')")))
        return false;
    while (query.next())
        (*dirs)[normalisedDir(query.value(0).toString())].append(query.value(1).toString());
    return true;
}

// The folders the books' pages are in, every page row of theirs read
// through the books' index.
bool collectPageFolders(QSqlDatabase db, const QStringList &bookIds, QSet<QString> *into)
{
    QSqlQuery query(db);
    query.prepare(QStringLiteral(
        "SELECT DISTINCT image_id FROM unified_paragraph WHERE novel_id = :id AND image_id <> ''"));
    for (const QString &bookId : bookIds) {
        query.bindValue(QStringLiteral(":id"), bookId);
        if (!query.exec())
            return false;
        while (query.next()) {
            const QString imageId = query.value(0).toString();
            // Pages inside an archive protect no folder.
            if (!imageId.startsWith(QLatin1String("archive://")))
                into->insert(QDir::cleanPath(QFileInfo(imageId).absolutePath()));
        }
    }
    return true;
}

// 1 when a page of the books lies in the folder, 0 when none, -1 unknown.
// Only the swept books' rows are read, through their index: first for one
// row under the folder (the usual answer, from a page or two); a folder no
// row seems to name is then matched against every page's folder, cleaned.
int pagesInFolder(QSqlDatabase db, const QStringList &bookIds, const QString &folder)
{
    QSqlQuery query(db);
    query.prepare(QStringLiteral("SELECT COUNT(*) FROM (SELECT 1 FROM unified_paragraph WHERE novel_id = :id"
                                 " AND image_id >= :from AND image_id < :to LIMIT 1)"));
    for (const QString &bookId : bookIds) {
        query.bindValue(QStringLiteral(":id"), bookId);
        // Every path under "<folder>/" and nothing else sorts in between.
        query.bindValue(QStringLiteral(":from"), folder + QLatin1Char('/'));
        query.bindValue(QStringLiteral(":to"), folder + QLatin1Char('0'));
        if (!query.exec() || !query.next())
            return -1;
        if (query.value(0).toInt() > 0)
            return 1;
    }
    QSet<QString> folders;
    if (!collectPageFolders(db, bookIds, &folders))
        return -1;
    return folders.contains(folder) ? 1 : 0;
}

// Whether a chapter row names the folder; asked only of a folder about to
// go, under its lock (another instance may have committed an import into
// it meanwhile). The table has no index to read the swept books' rows by.
bool namedByChapter(QSqlDatabase db, const QString &folder)
{
    QSqlQuery query(db);
    query.prepare(QStringLiteral("SELECT COUNT(*) FROM chapter_info WHERE path = :a OR path = :b"));
    query.bindValue(QStringLiteral(":a"), folder);
    query.bindValue(QStringLiteral(":b"), folder + QLatin1Char('/'));
    return !query.exec() || !query.next() || query.value(0).toInt() > 0;
}

}

void CbrParser::cleanupOrphanedArchiveData()
{
    StartupDeleteRule rule(DatabaseConnection::database());
    cleanupOrphanedArchiveData(rule);
}

void CbrParser::cleanupOrphanedArchiveData(StartupDeleteRule &rule)
{
    QSqlDatabase db = DatabaseConnection::database();
    QHash<QString, QStringList> archiveDirs;
    // The rule settling deletes by, so the two never disagree on a folder.
    if (!rule.isReadable() || !collectArchiveDirs(db, &archiveDirs))
        return;

    const QDir location(Paths::dataLocation());
    const QStringList names = location.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks,
                                                 QDir::Unsorted);
    for (const QString &name : names) {
        const QString dir = QDir::cleanPath(location.absoluteFilePath(name));
        const QString marker = dir + QLatin1Char('/') + QLatin1String(BookFolderStage::ArchiveMarkerName);
        const bool idName = isBookId(name);
        if (!archiveDirs.contains(dir) && !(idName && QFileInfo(marker).isFile()))
            continue;

        // Never waits: a lock path that is a FIFO would block the start.
        const std::unique_ptr<QLockFile> lock =
            BookFolderStage::lockFile(dir + QLatin1Char('/') + QLatin1String(BookFolderStage::ArchiveLockName));
        const std::unique_ptr<QLockFile> stageLock =
            lock ? BookFolderStage::lockFile(dir + QLatin1Char('/') + QLatin1String(BookFolderStage::LockName))
                 : nullptr;
        if (!stageLock)
            continue;   // an import is filling this folder
        QStringList owners = archiveDirs.value(dir);
        if (idName && !owners.contains(name))
            owners << name;
        const bool listed = std::any_of(owners.cbegin(), owners.cend(),
                                        [&](const QString &id) { return rule.isListed(id); });
        // A folder no row names keeps everything unless it proves it is no book's.
        if (!listed && !rule.unlistedMayGo(dir, name))
            continue;
        // Listed under the lock, so no import is adding a folder meanwhile.
        const QStringList candidates =
            QDir(dir).entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks, QDir::Unsorted);
        bool allRemoved = true;
        for (const QString &candidate : candidates) {
            if (!BookFolderStage::isArchivePagesName(candidate))
                continue;
            const QString path = dir + QLatin1Char('/') + candidate;
            const int pages = pagesInFolder(db, owners, path);
            if (pages < 0)
                return;
            if (pages > 0 || namedByChapter(db, path))
                continue;
            // A listed book's folder loses what its rows do not name: only
            // when those rows can be trusted.
            if (listed
                && !(rule.rowsTrusted(QStringLiteral("unified_paragraph"))
                     && rule.rowsTrusted(QStringLiteral("chapter_info"))))
                return;
            allRemoved = QDir(path).removeRecursively() && allRemoved;
        }
        if (allRemoved)
            QFile::remove(marker);
    }
}
