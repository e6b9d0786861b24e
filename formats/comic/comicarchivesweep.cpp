// Start-up sweep of what interrupted or superseded comic-archive imports
// left in the book data folders.

#include "cbrparser.h"

#include "databaseconnection.h"
#include "paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QRegularExpression>
#include <QSet>
#include <QSqlQuery>

namespace {

// Stored data folders end with "/", listed ones do not: compare one form.
QString normalisedDir(const QString &path)
{
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

bool collect(QSqlDatabase db, const char *sql, QSet<QString> &into,
             QString (*convert)(const QString &))
{
    QSqlQuery query(db);
    if (!query.exec(QString::fromLatin1(sql)))
        return false;
    while (query.next()) {
        const QString value = convert(query.value(0).toString());
        if (!value.isEmpty())
            into.insert(value);
    }
    return true;
}

QString folderOfImage(const QString &imageId)
{
    if (imageId.startsWith(QLatin1String("archive://")))
        return QString();
    return QDir::cleanPath(QFileInfo(imageId).absolutePath());
}

// Another instance may have committed an import into this folder after the
// sets were read; its chapter row names the folder.
bool referencedNow(QSqlDatabase db, const QString &folder)
{
    QSqlQuery query(db);
    query.prepare(QStringLiteral("SELECT COUNT(*) FROM chapter_info WHERE path = :a OR path = :b"));
    query.bindValue(QStringLiteral(":a"), folder);
    query.bindValue(QStringLiteral(":b"), folder + QLatin1Char('/'));
    return !query.exec() || !query.next() || query.value(0).toInt() > 0;
}

// A database that fails its check may hide what a folder holds.
int libraryState(QSqlDatabase db)
{
    QSqlQuery query(db);
    if (!DatabaseConnection::passesQuickCheck(db) || !query.exec(QStringLiteral("SELECT COUNT(*) FROM novel_info"))
        || !query.next())
        return -1;
    return query.value(0).toInt() > 0 ? 1 : 0;
}

// Nothing but what a comic import puts into the folder.
bool onlyImportEntries(const QString &dir)
{
    const QStringList names = QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString &name : names) {
        if (!name.startsWith(QLatin1String(".import")) && name != QLatin1String(CbrParser::LockFileName)
            && name != QLatin1String(CbrParser::MarkerFileName)
            && !name.startsWith(QLatin1String("images-"), Qt::CaseInsensitive)
            && name.compare(QLatin1String("images.backup"), Qt::CaseInsensitive) != 0)
            return false;
    }
    return true;
}

}

void CbrParser::cleanupOrphanedArchiveData()
{
    QSqlDatabase db = DatabaseConnection::database();
    QSet<QString> archiveDirs;
    QSet<QString> referenced;
    if (!collect(db, "SELECT data_dir FROM novel_info WHERE UPPER(file_type) IN ('CBR', 'CB7', 'CBT')",
                 archiveDirs, &normalisedDir)
        || !collect(db, "SELECT DISTINCT image_id FROM unified_paragraph WHERE image_id <> ''", referenced,
                    &folderOfImage)
        || !collect(db, "SELECT DISTINCT path FROM chapter_info WHERE path <> ''", referenced, &normalisedDir))
        return;

    static const QRegularExpression bookIdName(QStringLiteral("^[0-9a-fA-F]{32}$"));
    int library = -2;   // not checked yet
    const QDir location(Paths::dataLocation());
    const QStringList names = location.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks,
                                                 QDir::Unsorted);
    for (const QString &name : names) {
        const QString dir = QDir::cleanPath(location.absoluteFilePath(name));
        const QString marker = dir + QLatin1Char('/') + QLatin1String(MarkerFileName);
        if (!archiveDirs.contains(dir)
            && !(bookIdName.match(name).hasMatch() && QFileInfo(marker).isFile()))
            continue;

        // Never waits: a lock path that is a FIFO would block the start.
        const std::unique_ptr<QLockFile> lock =
            BookFolderStage::lockFile(dir + QLatin1Char('/') + QLatin1String(LockFileName));
        const std::unique_ptr<QLockFile> stageLock =
            lock ? BookFolderStage::lockFile(dir + QLatin1Char('/') + QLatin1String(BookFolderStage::LockName))
                 : nullptr;
        if (!stageLock)
            continue;   // an import is filling this folder
        // Listed under the lock, so no import is adding a folder meanwhile.
        const QStringList candidates = QDir(dir).entryList(
            {QStringLiteral("images-*"), QStringLiteral("images.backup")},
            QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks, QDir::Unsorted);
        bool allRemoved = true;
        for (const QString &candidate : candidates) {
            const QString path = dir + QLatin1Char('/') + candidate;
            if (referenced.contains(path) || referencedNow(db, path))
                continue;
            // What the rows do not name goes only when the rows can be trusted:
            // never on a damaged database, and on one that names no book only
            // from a folder that holds no book's files.
            if (library == -2)
                library = libraryState(db);
            if (library < 0)
                return;
            if (library == 0 && !onlyImportEntries(dir)) {
                allRemoved = false;
                break;
            }
            allRemoved = QDir(path).removeRecursively() && allRemoved;
        }
        if (allRemoved)
            QFile::remove(marker);
    }
}
