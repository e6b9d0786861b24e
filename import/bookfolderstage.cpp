#include "bookfolderstage.h"

#include "databaseconnection.h"
#include "paths.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <QSqlError>
#include <QSqlQuery>

#include <algorithm>
#include <cerrno>

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

// What a path is, the path itself and never what a link points to.
enum class Kind { Missing, File, Dir, Link, Other };

// Without a final "/", which would make the system follow a link.
QByteArray nativePath(const QString &path)
{
    QByteArray name = QFile::encodeName(path);
    while (name.size() > 1 && name.endsWith('/'))
        name.chop(1);
    return name;
}

Kind kindOf(const QString &path)
{
    struct stat info;
    if (::lstat(nativePath(path).constData(), &info) != 0)
        return errno == ENOENT ? Kind::Missing : Kind::Other;
    if (S_ISREG(info.st_mode))
        return Kind::File;
    if (S_ISDIR(info.st_mode))
        return Kind::Dir;
    return S_ISLNK(info.st_mode) ? Kind::Link : Kind::Other;
}

bool exists(const QString &path)
{
    return kindOf(path) != Kind::Missing;
}

QStringList entryNames(const QString &dir)
{
    return QDir(dir).entryList(AllEntries, QDir::Name);
}

// Removes a path and, for a folder, everything below it. Links and other
// special files go themselves; nothing is followed and no permission changed.
bool removeEntry(const QString &path)
{
    const QByteArray name = nativePath(path);
    switch (kindOf(path)) {
    case Kind::Missing:
        return true;
    case Kind::Dir: {
        bool ok = true;
        for (const QString &entry : entryNames(path))
            ok = removeEntry(join(path, entry)) && ok;
        return ::rmdir(name.constData()) == 0 && ok;
    }
    default:
        return ::unlink(name.constData()) == 0;
    }
}

bool moveEntry(const QString &from, const QString &to)
{
    return removeEntry(to) && QDir().rename(from, to);
}

// Moves a file or folder into the book's folder. Anything else there (a
// link, a FIFO) would lead outside it: it goes instead.
bool moveIn(const QString &from, const QString &to)
{
    const Kind kind = kindOf(from);
    if (kind != Kind::File && kind != Kind::Dir)
        return removeEntry(from);
    return QDir().rename(from, to);
}

// Drops every link and special file below a staged folder before it is
// moved in: a book's files never lead out of its folder.
bool dropLinks(const QString &dir)
{
    bool ok = true;
    for (const QString &name : entryNames(dir)) {
        const QString path = join(dir, name);
        const Kind kind = kindOf(path);
        if (kind == Kind::Dir)
            ok = dropLinks(path) && ok;
        else if (kind != Kind::File)
            ok = removeEntry(path) && ok;
    }
    return ok;
}

// A folder of the import's own, made when missing; false for anything else.
bool ensureDir(const QString &path)
{
    const Kind kind = kindOf(path);
    return kind == Kind::Dir || (kind == Kind::Missing && QDir().mkdir(path));
}

// A small regular file's bytes; false for anything else.
bool readSmallFile(const QString &path, qint64 limit, QByteArray *bytes)
{
    if (kindOf(path) != Kind::File)
        return false;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > limit)
        return false;
    *bytes = file.read(limit + 1);
    return bytes->size() <= limit;
}

struct Edition
{
    QString token;
    QSet<QString> names;
};

// False when there is no marker, or one cut short (it is written before the
// commit, so none was made), or one this program did not write.
bool readEdition(const QString &stageDir, Edition *edition)
{
    QByteArray bytes;
    if (!readSmallFile(join(stageDir, QLatin1String(BookFolderStage::EditionName)), 16 * 1024 * 1024, &bytes))
        return false;
    const QList<QByteArray> lines = bytes.split('\n');
    if (lines.size() < 2 || lines.first().isEmpty() || !lines.last().isEmpty())
        return false;
    edition->token = QString::fromUtf8(lines.first());
    for (int i = 1; i + 1 < lines.size(); ++i) {
        const QByteArray &name = lines.at(i);
        // Entries of the book's folder: never a path, nor the folder itself.
        if (name == "." || name == ".." || name.contains('/'))
            return false;
        if (!name.isEmpty())
            edition->names.insert(QString::fromUtf8(name));
    }
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

// Settles one book folder; its lock is held.
bool settleFolder(QSqlDatabase db, const QString &dir, const QString &bookId)
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
        const int used = readEdition(stage, &edition) ? rowsNameEdition(db, bookId, edition.token) : 0;
        if (used < 0)
            return false;   // decided at a later start
        if (!(used == 1 ? dropLinks(stage) && completeSwap(dir, edition) : dropStage(dir)))
            return false;
    } else if (!removeEntry(join(dir, QLatin1String(BookFolderStage::OldName)))) {
        return false;
    }
    return settleLegacy(dir);
}

int storedBook(QSqlDatabase db, const QString &bookId)
{
    QSqlQuery query(db);
    // Read from the table itself as well: a damaged index must not hide a book.
    query.prepare(QStringLiteral("SELECT (SELECT COUNT(*) FROM novel_info WHERE id = :a)"
                                 " + (SELECT COUNT(*) FROM novel_info NOT INDEXED WHERE id = :b)"));
    query.bindValue(QStringLiteral(":a"), bookId);
    query.bindValue(QStringLiteral(":b"), bookId);
    if (!query.exec() || !query.next())
        return -1;
    return query.value(0).toInt() > 0 ? 1 : 0;
}

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

void step(const char *name)
{
    if (BookFolderStage::removalStep)
        BookFolderStage::removalStep(name);
}

// Empties a folder that belongs to no book. A removal's mark goes after
// everything else: a run stopped half-way leaves the proof that the rest
// may go. The locks go last: another import may take them at once, and then
// the folder stays.
bool removeFolder(const QString &dir, std::unique_ptr<QLockFile> lock, std::unique_ptr<QLockFile> archiveLock)
{
    bool ok = true;
    for (const QString &name : entryNames(dir)) {
        if (name != QLatin1String(BookFolderStage::LockName) && name != QLatin1String(ArchiveLock)
            && name != QLatin1String(BookFolderStage::RemovedName)) {
            step("entry");
            ok = removeEntry(join(dir, name)) && ok;
        }
    }
    step("entry");
    if (!ok || !removeEntry(join(dir, QLatin1String(BookFolderStage::RemovedName))))
        return false;
    step("unmarked");
    lock.reset();
    archiveLock.reset();
    return QDir().rmdir(dir);
}

// Makes a new or removed entry of the folder last through a power loss.
bool syncFolder(const QString &dir)
{
    const int fd = ::open(nativePath(dir).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

// What an import leaves behind when it stops: its own entries (a lock of a
// live one is skipped) and those of earlier versions.
bool isLeftover(const QString &name)
{
    if (name == QLatin1String(BookFolderStage::StageName) || name == QLatin1String(BookFolderStage::OldName)
        || name == QLatin1String(BookFolderStage::LockName) || name == QLatin1String(ArchiveLock)
        || name == QLatin1String(BookFolderStage::RemovedName) || name == QLatin1String(LegacyBackup)
        || !previousBase(name).isEmpty())
        return true;
    for (const char *staged : LegacyStaged) {
        if (name == QLatin1String(staged))
            return true;
    }
    return false;
}

// How a folder no stored book names shows that it belongs to none.
enum class Orphan {
    No,        // it may hold a book's files: kept
    Fresh,     // a new book's import that never committed: its lock and stage only
    Removed,   // marked by a removal before the book's rows went
};

// The page folders a comic-archive import of earlier versions wrote.
bool isArchivePagesName(const QString &name)
{
    return name.startsWith(QLatin1String("images-"), Qt::CaseInsensitive)
           || name.compare(QLatin1String("images.backup"), Qt::CaseInsensitive) == 0;
}

Orphan orphanProof(QSqlDatabase db, const QString &dir, const QString &bookId)
{
    if (kindOf(dir) != Kind::Dir)
        return Orphan::No;
    QByteArray removed;
    if (readSmallFile(join(dir, QLatin1String(BookFolderStage::RemovedName)), 64, &removed))
        return removed == bookId.toLatin1() + '\n' ? Orphan::Removed : Orphan::No;
    // Pages written under a pending mark are that import's own.
    const bool archivePending = kindOf(join(dir, QLatin1String(ArchiveMarker))) == Kind::File;
    for (const QString &name : entryNames(dir)) {
        const Kind kind = kindOf(join(dir, name));
        bool own = name == QLatin1String(BookFolderStage::LockName) || name == QLatin1String(ArchiveLock)
                   || name == QLatin1String(ArchiveMarker) || name == QLatin1String(BookFolderStage::StageName)
                   || (archivePending && kind == Kind::Dir && isArchivePagesName(name));
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
        if (readEdition(stage, &edition) && rowsNameEdition(db, bookId, edition.token) != 0)
            return Orphan::No;
    }
    return Orphan::Fresh;
}

// A process killed while making its lock leaves the file empty: naming no
// owner, it would never turn stale. Nobody holds its native lock then.
void clearOwnerlessLock(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return;
    struct stat info;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size == 0
        && ::flock(fd, LOCK_EX | LOCK_NB) == 0)
        ::unlink(name.constData());
    ::close(fd);
}

}

std::unique_ptr<QLockFile> BookFolderStage::lockFile(const QString &path, bool *heldElsewhere)
{
    if (heldElsewhere)
        *heldElsewhere = false;
    // Opening a FIFO would wait for a writer, a link may lead anywhere.
    const Kind kind = kindOf(path);
    if (kind != Kind::File && kind != Kind::Missing) {
        const QByteArray name = nativePath(path);
        struct stat info;
        const bool removable = ::lstat(name.constData(), &info) == 0
                               && (S_ISLNK(info.st_mode) || S_ISFIFO(info.st_mode) || S_ISDIR(info.st_mode));
        if (!removable || (S_ISDIR(info.st_mode) ? ::rmdir(name.constData()) : ::unlink(name.constData())) != 0) {
            qWarning().noquote() << "[BookFolderStage] 导入锁不是普通文件，跳过:" << path;
            return nullptr;
        }
    }
    clearOwnerlessLock(path);
    std::unique_ptr<QLockFile> lock(new QLockFile(path));
    // A live owner's lock never turns stale, however long its import takes.
    lock->setStaleLockTime(0);
    if (!lock->tryLock(0)) {
        if (heldElsewhere)
            *heldElsewhere = lock->error() == QLockFile::LockFailedError;
        lock.reset();
    }
    return lock;
}

bool BookFolderStage::markRemoved(const QString &dir, const QString &bookId)
{
    const QByteArray name = QFile::encodeName(join(dir, QLatin1String(RemovedName)));
    const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const QByteArray text = bookId.toLatin1() + '\n';
    struct stat info;
    const bool written = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)
                         && ::write(fd, text.constData(), size_t(text.size())) == text.size()
                         && ::fsync(fd) == 0;
    ::close(fd);
    return written && syncFolder(dir);
}

void (*BookFolderStage::removalStep)(const char *step) = nullptr;

bool BookFolderStage::removeBook(const QString &dir, const QString &bookId, const std::function<bool()> &removeRows)
{
    const QString folder = join(dir, QString());
    step("locking");
    bool held = false;
    std::unique_ptr<QLockFile> lock = lockFile(folder + QLatin1String(LockName), &held);
    std::unique_ptr<QLockFile> archiveLock = lock ? lockFile(folder + QLatin1String(ArchiveLock), &held) : nullptr;
    if (!archiveLock) {
        qWarning().noquote() << (held ? "[BookFolderStage] 书籍正在导入，不能移除:" : "[BookFolderStage] 书籍目录无法加锁，不能移除:")
                             << dir;
        return false;
    }
    const QString marker = folder + QLatin1String(RemovedName);
    if (!markRemoved(folder, bookId)) {
        qWarning().noquote() << "[BookFolderStage] 无法写入移除标记，不能移除:" << dir;
        removeEntry(marker);
        return false;
    }
    step("marked");
    if (!removeRows()) {
        // A mark left by a kill here is cleared at the next start: the rows are there.
        removeEntry(marker);
        return false;
    }
    step("committed");
    if (removeFolder(folder, std::move(lock), std::move(archiveLock)))
        return true;
    qWarning().noquote() << "[BookFolderStage] 书籍目录未能删除完，下次启动时删除:" << dir;
    return false;
}

bool BookFolderStage::removeBookFolder(const QString &dir)
{
    const QString folder = join(dir, QString());
    std::unique_ptr<QLockFile> lock = lockFile(folder + QLatin1String(LockName));
    std::unique_ptr<QLockFile> archiveLock = lock ? lockFile(folder + QLatin1String(ArchiveLock)) : nullptr;
    return archiveLock && removeFolder(folder, std::move(lock), std::move(archiveLock));
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
    if ((exists(dir + QLatin1String(StageName)) || exists(dir + QLatin1String(OldName)))
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
    StartupDeleteRule rule(db);
    settleAll(db, rule);
}

void BookFolderStage::settleAll(QSqlDatabase db, StartupDeleteRule &rule)
{
    static const QRegularExpression bookIdName(QStringLiteral("^[0-9a-f]{32}$"));
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
        if (!bookIdName.match(name).hasMatch() || kindOf(QDir::cleanPath(dir)) != Kind::Dir)
            continue;
        // Most folders need nothing: only those are locked that do.
        if (rule.isListed(name)) {
            const QStringList entries = entryNames(dir);
            if (std::none_of(entries.cbegin(), entries.cend(), &isLeftover))
                continue;
        } else if (orphanProof(db, dir, name) == Orphan::No) {
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
        std::unique_ptr<QLockFile> archiveLock = lockFile(dir + QLatin1String(ArchiveLock));
        if (!archiveLock)
            continue;
        const int book = storedBook(db, name);
        if (book == 1) {
            // A removal that stopped before the rows went: the book stays.
            if (!removeEntry(dir + QLatin1String(RemovedName)) || !settleFolder(db, dir, name))
                qWarning().noquote() << "[BookFolderStage] 无法整理书籍目录:" << dir;
        } else if (book == 0 && rule.unlistedMayGo(dir, name)) {
            // Decided again under the locks: its folder belongs to no book.
            removeFolder(dir, std::move(lock), std::move(archiveLock));
        }
    }
}

StartupDeleteRule::StartupDeleteRule(QSqlDatabase db)
    : m_db(db)
    , m_readable(storedIds(db, &m_stored))
{
}

bool StartupDeleteRule::unlistedMayGo(const QString &dir, const QString &bookId)
{
    if (!m_readable || m_stored.contains(bookId) || orphanProof(m_db, dir, bookId) == Orphan::No)
        return false;
    // Only the book rows' absence makes the folder no book's.
    return !looksEmptied() && rowsTrusted(QStringLiteral("novel_info"));
}

bool StartupDeleteRule::looksEmptied()
{
    if (!m_stored.isEmpty())
        return false;
    if (m_emptied < 0) {
        static const QRegularExpression bookIdName(QStringLiteral("^[0-9a-fA-F]{32}$"));
        const QDir location(Paths::dataLocation());
        int unproven = 0;
        for (const QString &name : location.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks)) {
            if (bookIdName.match(name).hasMatch()
                && orphanProof(m_db, location.absoluteFilePath(name), name) == Orphan::No)
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
