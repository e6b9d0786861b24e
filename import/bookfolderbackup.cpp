#include "bookfolderbackup.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <unistd.h>

namespace {

const QDir::Filters AllEntries = QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot;

// Links (or copies) every file below from into to, folders made anew.
bool keepTree(const QString &from, const QString &to, const QString &skip)
{
    if (!QDir().mkpath(to))
        return false;
    for (const QFileInfo &entry : QDir(from).entryInfoList(AllEntries)) {
        const QString path = entry.absoluteFilePath();
        if (path == skip)
            continue;
        const QString target = to + QLatin1Char('/') + entry.fileName();
        if (entry.isDir() && !entry.isSymLink()) {
            if (!keepTree(path, target, skip))
                return false;
        } else if (::link(QFile::encodeName(path).constData(), QFile::encodeName(target).constData()) != 0
                   && !QFile::copy(path, target)) {
            return false;
        }
    }
    return true;
}

bool removeEntry(const QFileInfo &entry)
{
    if (entry.isDir() && !entry.isSymLink())
        return QDir(entry.absoluteFilePath()).removeRecursively();
    return QFile::remove(entry.absoluteFilePath());
}

}

bool BookFolderBackup::keep(const QString &dataDir)
{
    discard();
    const QString dir = QDir(dataDir).absolutePath();
    const QString backup = dir + QLatin1Char('/') + QLatin1String(FolderName);
    // Left by an import that never finished: the folder's own files are the
    // ones the library's rows name.
    if (QFileInfo::exists(backup) && !QDir(backup).removeRecursively())
        return false;
    if (!keepTree(dir, backup, backup)) {
        QDir(backup).removeRecursively();
        return false;
    }
    m_dataDir = dir;
    return true;
}

bool BookFolderBackup::restore()
{
    if (m_dataDir.isEmpty())
        return true;
    const QString backup = m_dataDir + QLatin1Char('/') + QLatin1String(FolderName);
    bool restored = true;
    for (const QFileInfo &entry : QDir(m_dataDir).entryInfoList(AllEntries)) {
        if (entry.absoluteFilePath() != backup)
            restored = removeEntry(entry) && restored;
    }
    for (const QFileInfo &entry : QDir(backup).entryInfoList(AllEntries)) {
        restored = QDir().rename(entry.absoluteFilePath(), m_dataDir + QLatin1Char('/') + entry.fileName())
                   && restored;
    }
    if (restored)
        QDir(backup).removeRecursively();
    else
        qWarning().noquote() << "[BookFolderBackup] 无法还原书籍目录:" << m_dataDir;
    m_dataDir.clear();
    return restored;
}

void BookFolderBackup::discard()
{
    if (m_dataDir.isEmpty())
        return;
    QDir(m_dataDir + QLatin1Char('/') + QLatin1String(FolderName)).removeRecursively();
    m_dataDir.clear();
}
