#include "bookfolderstage.h"

#include "databaseconnection.h"
#include "paths.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSet>
#include <QSqlQuery>

#include <algorithm>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QDir::Filters AllEntries = QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot;

// Names earlier versions left when an import stopped half-way.
const char *const LegacyStaged[] = {"book.cbz.importing", "cover.png.importing", "images.importing"};
const char *const LegacyBackup = ".import-backup";
const char *const PreviousSuffix = ".previous";
// The comic-archive import keeps its own lock and marker in the folder.
const char *const ArchiveLock = "archive-import.lock";
const char *const ArchiveMarker = "archive-import.pending";

QString join(const QString &dir, const QString &name)
{
    return dir.endsWith(QLatin1Char('/')) ? dir + name : dir + QLatin1Char('/') + name;
}

// Entries an import keeps for itself: never part of an edition.
bool isControlName(const QString &name)
{
    return name.startsWith(QLatin1String(".import")) || name == QLatin1String(ArchiveLock)
           || name == QLatin1String(ArchiveMarker);
}

// A link goes itself, never what it points to.
bool removeEntry(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink())
        return true;
    if (info.isDir() && !info.isSymLink())
        return QDir(path).removeRecursively();
    return QFile::remove(path);
}

bool moveEntry(const QString &from, const QString &to)
{
    return removeEntry(to) && QDir().rename(from, to);
}

QStringList entryNames(const QString &dir)
{
    return QDir(dir).entryList(AllEntries, QDir::Name);
}

struct Edition
{
    QString token;
    QSet<QString> names;
};

bool readEdition(const QString &stageDir, Edition *edition)
{
    QFile file(join(stageDir, QLatin1String(BookFolderStage::EditionName)));
    if (!file.open(QIODevice::ReadOnly) || file.size() > 16 * 1024 * 1024)
        return false;
    const QList<QByteArray> lines = file.readAll().split('\n');
    if (lines.size() < 2 || lines.first().isEmpty() || !lines.last().isEmpty())
        return false;   // cut short
    edition->token = QString::fromUtf8(lines.first());
    for (int i = 1; i + 1 < lines.size(); ++i)
        edition->names.insert(QString::fromUtf8(lines.at(i)));
    return true;
}

// 1 when the stored rows are this edition's, 0 when not, -1 unknown.
int rowsNameEdition(QSqlDatabase db, const QString &bookId, const QString &token)
{
    QSqlQuery query(db);
    query.prepare(QStringLiteral("SELECT COUNT(*) FROM unified_paragraph WHERE id = :id AND novel_id = :novel"));
    query.bindValue(QStringLiteral(":id"), token);
    query.bindValue(QStringLiteral(":novel"), bookId);
    if (!query.exec() || !query.next())
        return -1;
    return query.value(0).toInt() > 0 ? 1 : 0;
}

// Moves the staged edition in. Safe to run again from any point it stopped:
// what is still staged replaces its namesake, what the edition names and is
// no longer staged has been moved in already, anything else is the old
// edition's and goes.
bool completeSwap(const QString &dir, const Edition &edition)
{
    const QString stage = join(dir, QLatin1String(BookFolderStage::StageName));
    const QString old = join(dir, QLatin1String(BookFolderStage::OldName));
    if (!QDir().mkpath(old))
        return false;
    bool ok = true;
    for (const QString &name : entryNames(dir)) {
        if (isControlName(name))
            continue;
        if (QFileInfo::exists(join(stage, name)) || QFileInfo(join(stage, name)).isSymLink()
            || !edition.names.contains(name))
            ok = moveEntry(join(dir, name), join(old, name)) && ok;
    }
    for (const QString &name : entryNames(stage)) {
        if (name != QLatin1String(BookFolderStage::EditionName))
            ok = QDir().rename(join(stage, name), join(dir, name)) && ok;
    }
    if (!ok)
        return false;
    // The marker goes last: until then another run finishes the job.
    return QDir(old).removeRecursively() && QDir(stage).removeRecursively();
}

// The rows name the old edition: what was staged goes.
bool dropStage(const QString &dir)
{
    const QString old = join(dir, QLatin1String(BookFolderStage::OldName));
    bool ok = true;
    // Only a swap moves files there, and no swap starts before the commit.
    for (const QString &name : entryNames(old)) {
        if (!QFileInfo::exists(join(dir, name)))
            ok = QDir().rename(join(old, name), join(dir, name)) && ok;
    }
    return removeEntry(old) && removeEntry(join(dir, QLatin1String(BookFolderStage::StageName))) && ok;
}

// Earlier versions: a kept ".previous" file or ".import-backup" folder was
// gone before their commit, so finding one means the rows are the old ones.
bool settleLegacy(const QString &dir)
{
    bool ok = true;
    const QString backup = join(dir, QLatin1String(LegacyBackup));
    if (QFileInfo(backup).isDir() && !QFileInfo(backup).isSymLink()) {
        for (const QString &name : entryNames(dir)) {
            if (!isControlName(name))
                ok = removeEntry(join(dir, name)) && ok;
        }
        for (const QString &name : entryNames(backup))
            ok = moveEntry(join(backup, name), join(dir, name)) && ok;
        ok = ok && removeEntry(backup);
    }
    for (const QString &name : entryNames(dir)) {
        if (name.endsWith(QLatin1String(PreviousSuffix)) && !isControlName(name))
            ok = moveEntry(join(dir, name), join(dir, name.chopped(int(qstrlen(PreviousSuffix))))) && ok;
    }
    for (const char *name : LegacyStaged)
        ok = removeEntry(join(dir, QLatin1String(name))) && ok;
    return ok;
}

// Settles one book folder; its lock is held.
bool settleFolder(QSqlDatabase db, const QString &dir, const QString &bookId)
{
    const QString stage = join(dir, QLatin1String(BookFolderStage::StageName));
    const QFileInfo stageInfo(stage);
    if (stageInfo.isSymLink())
        return removeEntry(stage);
    if (stageInfo.isDir()) {
        Edition edition;
        const int used = readEdition(stage, &edition) ? rowsNameEdition(db, bookId, edition.token) : 0;
        if (used < 0)
            return false;   // decided at a later start
        if (!(used == 1 ? completeSwap(dir, edition) : dropStage(dir)))
            return false;
    } else if (!removeEntry(join(dir, QLatin1String(BookFolderStage::OldName)))) {
        return false;
    }
    return settleLegacy(dir);
}

int storedBook(QSqlDatabase db, const QString &bookId)
{
    QSqlQuery query(db);
    query.prepare(QStringLiteral("SELECT COUNT(*) FROM novel_info WHERE id = :id"));
    query.bindValue(QStringLiteral(":id"), bookId);
    if (!query.exec() || !query.next())
        return -1;
    return query.value(0).toInt() > 0 ? 1 : 0;
}

// Empties a folder that belongs to no book, its locks last: another import
// may take them at once, and then the folder stays.
void removeFolder(const QString &dir, std::unique_ptr<QLockFile> lock, std::unique_ptr<QLockFile> archiveLock)
{
    for (const QString &name : entryNames(dir)) {
        if (name != QLatin1String(BookFolderStage::LockName) && name != QLatin1String(ArchiveLock))
            removeEntry(join(dir, name));
    }
    lock.reset();
    archiveLock.reset();
    QDir().rmdir(dir);
}

// What an import leaves behind when it stops: its own entries (a lock of a
// live one is skipped) and those of earlier versions.
bool isLeftover(const QString &name)
{
    if (name == QLatin1String(BookFolderStage::StageName) || name == QLatin1String(BookFolderStage::OldName)
        || name == QLatin1String(BookFolderStage::LockName) || name == QLatin1String(ArchiveLock)
        || name == QLatin1String(LegacyBackup) || name.endsWith(QLatin1String(PreviousSuffix)))
        return true;
    for (const char *staged : LegacyStaged) {
        if (name == QLatin1String(staged))
            return true;
    }
    return false;
}

// A process killed while making its lock leaves the file empty: naming no
// owner, it would never turn stale. Nobody holds its native lock then.
void clearOwnerlessLock(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return;
    struct stat info;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size == 0
        && ::flock(fd, LOCK_EX | LOCK_NB) == 0)
        ::unlink(name.constData());
    ::close(fd);
}

std::unique_ptr<QLockFile> tryLock(const QString &path)
{
    clearOwnerlessLock(path);
    std::unique_ptr<QLockFile> lock(new QLockFile(path));
    // A live owner's lock never turns stale, however long its import takes.
    lock->setStaleLockTime(0);
    if (!lock->tryLock(0))
        lock.reset();
    return lock;
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
    const QString dir = Paths::bookDataDir(bookId);
    const bool created = !QFileInfo::exists(dir);
    if (QFileInfo(QDir::cleanPath(dir)).isSymLink() || !QDir().mkpath(dir))
        return false;
    std::unique_ptr<QLockFile> lock = tryLock(dir + QLatin1String(LockName));
    if (!lock)
        return false;
    // Left by a run this start could not settle: settled now, under the lock.
    if (QFileInfo::exists(dir + QLatin1String(StageName))
        && !settleFolder(DatabaseConnection::database(), dir, bookId))
        return false;
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

void BookFolderStage::settleAll(QSqlDatabase db)
{
    static const QRegularExpression bookIdName(QStringLiteral("^[0-9a-f]{32}$"));
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("SELECT id FROM novel_info")))
        return;
    QSet<QString> stored;
    while (query.next())
        stored.insert(query.value(0).toString());
    query.finish();

    const QDir location(Paths::dataLocation());
    const QStringList names =
        location.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks | QDir::Hidden, QDir::Name);
    for (const QString &name : names) {
        if (!bookIdName.match(name).hasMatch())
            continue;
        const QString dir = location.absoluteFilePath(name) + QLatin1Char('/');
        // Most folders need nothing: only those are locked that do.
        const QStringList entries = stored.contains(name) ? entryNames(dir) : QStringList();
        if (stored.contains(name) && std::none_of(entries.cbegin(), entries.cend(), &isLeftover))
            continue;
        std::unique_ptr<QLockFile> lock = tryLock(dir + QLatin1String(LockName));
        if (!lock)
            continue;   // an import of this book is running
        std::unique_ptr<QLockFile> archiveLock = tryLock(dir + QLatin1String(ArchiveLock));
        if (!archiveLock)
            continue;
        if (!settleFolder(db, dir, name))
            qWarning().noquote() << "[BookFolderStage] 无法整理书籍目录:" << dir;
        // A fresh import that never committed: its folder belongs to no book.
        else if (storedBook(db, name) == 0)
            removeFolder(dir, std::move(lock), std::move(archiveLock));
    }
}
