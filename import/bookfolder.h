#pragma once

#include <QByteArray>
#include <QLockFile>
#include <QSet>
#include <QString>
#include <QStringList>

#include <memory>

class StartupDeleteRule;

// The file work behind BookFolderStage: staging, settling, removal and the
// start-up delete rule handle a book's folder through these. A path is
// always taken as itself, never as what a link there points to.
namespace BookFolder {

// Names earlier versions left when an import stopped half-way.
inline constexpr const char *LegacyStaged[] = {"book.cbz.importing", "cover.png.importing", "images.importing"};
inline constexpr const char *LegacyBackup = ".import-backup";

enum class Kind { Missing, File, Dir, Link, Other };

QString join(const QString &dir, const QString &name);
// Entries an import keeps for itself: never part of an edition.
bool isControlName(const QString &name);
Kind kindOf(const QString &path);
bool exists(const QString &path);
QStringList entryNames(const QString &dir);
// Removes a path and, for a folder, everything below it. Links and other
// special files go themselves; nothing is followed and no permission changed.
bool removeEntry(const QString &path);
bool moveEntry(const QString &from, const QString &to);
// Moves a file or folder into the book's folder. Anything else there (a
// link, a FIFO) would lead outside it: it goes instead.
bool moveIn(const QString &from, const QString &to);
// Drops every link and special file below a staged folder before it is
// moved in: a book's files never lead out of its folder.
bool dropLinks(const QString &dir);
// A folder of the import's own, made when missing; false for anything else.
bool ensureDir(const QString &path);
// A small regular file's bytes; false for anything else.
bool readSmallFile(const QString &path, qint64 limit, QByteArray *bytes);
// Makes a new or removed entry of the folder last through a power loss.
bool syncFolder(const QString &dir);

// Empties a folder that belongs to no book. A removal's mark goes after
// everything else: a run stopped half-way leaves the proof that the rest
// may go. The locks go last: another import may take them at once, and then
// the folder stays.
bool removeFolder(const QString &dir, std::unique_ptr<QLockFile> lock, std::unique_ptr<QLockFile> archiveLock);
// Reports a step of a removal to BookFolderStage::removalStep.
void step(const char *name);

// The edition a stage holds, as its marker names it.
struct Edition
{
    QString token;
    QSet<QString> names;
};
// False when there is no marker, or one cut short (it is written before the
// commit, so none was made), or one this program did not write.
bool readEdition(const QString &stageDir, Edition *edition);
// Moves the staged edition in (bookfolderstage.cpp).
bool completeSwap(const QString &dir, const Edition &edition);
// Settles one book folder; its lock is held (bookfoldersettle.cpp).
bool settleFolder(StartupDeleteRule &rule, const QString &dir, const QString &bookId);

}
