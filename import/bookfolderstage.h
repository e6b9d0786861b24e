#pragma once

#include <QLockFile>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

// How an import replaces a book's files. The new edition is written into a
// staging folder inside the book's data folder while the files the library
// reads stay untouched; the stored rows keep naming the final paths. Right
// before the import's transaction commits, a marker naming the edition (the
// id of one of its paragraph rows) goes into the staging folder; after the
// commit the staged files are moved in and every file of the old edition
// the new one does not have goes. A run that stops anywhere in between is
// settled at the next start by settleAll(): the rows tell which edition won.
// Staging is in bookfolderstage.cpp, settling in bookfoldersettle.cpp and
// removal in bookfolderremoval.cpp; what they may delete at start-up is
// StartupDeleteRule's to say, the file work they share is BookFolder's.
class StartupDeleteRule;

class BookFolderStage
{
public:
    BookFolderStage() = default;
    // Not swapped in: what was staged goes (and a folder this import made).
    ~BookFolderStage() { abandon(); }
    BookFolderStage(const BookFolderStage &) = delete;
    BookFolderStage &operator=(const BookFolderStage &) = delete;

    // Takes the book's import lock and starts an empty staging folder. False
    // when another import of the book is running or nothing can be written.
    bool begin(const QString &bookId);
    // After a failed begin(): whether another import holds the book's lock
    // (rather than the folder being unwritable or odd).
    bool heldElsewhere() const { return m_heldElsewhere; }
    bool isActive() const { return !m_dataDir.isEmpty(); }

    // "<data>/<id>/" and its staging twin, both with the final "/".
    QString dataDir() const { return m_dataDir; }
    QString stageDir() const;
    // The staging twin of a path inside the book folder, and back; other
    // paths are returned as they are.
    QString staged(const QString &finalPath) const;
    QString final(const QString &stagedPath) const;

    // Called inside the import's transaction before it commits; token is a
    // value only the rows of this edition hold. Without one (a book of no
    // paragraphs) a run stopped before the swap ends keeps the old files.
    bool prepareCommit(const QString &token);
    // After the commit: the staged files replace the old edition's.
    bool swapIn();
    // Runs after the files have been swapped in (drops cached handles).
    void setAfterSwap(std::function<void()> afterSwap) { m_afterSwap = std::move(afterSwap); }
    void abandon();

    // The id of the newest paragraph row stored for the book: the token.
    static QString newestParagraphId(QSqlDatabase db, const QString &bookId);

    // Once at start-up, before any import: settles every book folder that
    // an interrupted import left and clears what earlier imports left
    // behind. Folders no stored book names go by the rule of
    // StartupDeleteRule. Locked folders are skipped; links are never followed.
    static void settleAll(QSqlDatabase db);
    static void settleAll(QSqlDatabase db, StartupDeleteRule &rule);

    // Takes a lock file without waiting. The path must be a regular file or
    // nothing: a link, FIFO or empty folder there is removed first, anything
    // else leaves the lock untaken.
    static std::unique_ptr<QLockFile> lockFile(const QString &path, bool *heldElsewhere = nullptr);

    // Written by a removal into the book's folder, and synced, before its
    // rows go, so that the next start finishes the removal if it stops
    // half-way.
    static bool markRemoved(const QString &dir, const QString &bookId);

    // Removes a book whose folder is dir: under the book's locks the folder
    // is marked, removeRows deletes the rows (one transaction), and only
    // once that succeeded does the folder go, the mark after everything
    // else. False when the book stays whole: the folder is locked by an
    // import or cannot be marked, or removeRows failed. Also false when the
    // rows went but part of the folder is left; the next start removes it.
    static bool removeBook(const QString &dir, const QString &bookId, const std::function<bool()> &removeRows);

    // Called at each step of a removal with the step's name (tests stop the
    // process there); null in the program.
    static void (*removalStep)(const char *step);

    static constexpr const char *StageName = ".import-staging";
    static constexpr const char *OldName = ".import-old";
    static constexpr const char *LockName = ".import.lock";
    static constexpr const char *EditionName = ".import-edition";
    static constexpr const char *RemovedName = ".import-removed";
    // The comic-archive import's own lock and pending mark, and its page
    // folders ("images-<uuid>"; earlier versions also left "images.backup").
    static constexpr const char *ArchiveLockName = "archive-import.lock";
    static constexpr const char *ArchiveMarkerName = "archive-import.pending";
    static constexpr const char *ArchivePagesPrefix = "images-";
    static constexpr const char *ArchivePagesBackupName = "images.backup";
    static bool isArchivePagesName(const QString &name);

private:
    QString m_dataDir;
    bool m_createdDir = false;
    bool m_heldElsewhere = false;
    std::unique_ptr<QLockFile> m_lock;
    QStringList m_names;
    std::function<void()> m_afterSwap;
};
