#include "novelservice.h"
#include "chapterdao.h"
#include "chapterinfo.h"
#include "databaseconnection.h"
#include "deferredwrites.h"
#include "keys.h"
#include "noveldao.h"
#include "novelinfo.h"
#include "paths.h"
#include "readprocessdao.h"
#include "readprocessinfo.h"
#include "transaction.h"

#include <QDebug>
#include <QFileInfo>

NovelService::NovelService(NovelDao *novelDao, ChapterDao *chapterDao,
                           ReadProcessDao *readProcessDao, QObject *parent)
    : QObject(parent)
    , m_novelDao(novelDao)
    , m_chapterDao(chapterDao)
    , m_readProcessDao(readProcessDao)
{
}

NovelInfo *NovelService::getNovelInfo(const QString &id)
{
    return m_novelDao->queryById(id);
}

QList<NovelInfo *> NovelService::getNovelList()
{
    return m_novelDao->queryList();
}

ReadProcessInfo *NovelService::getReadProcess(const QString &novelId)
{
    return qobject_cast<ReadProcessInfo *>(m_readProcessDao->queryByNovelId(novelId));
}

bool NovelService::removeReadProcess(const QString &novelId)
{
    return m_readProcessDao->removeByNovelId(novelId);
}

bool NovelService::removeNovel(const QString &id)
{
    return m_novelDao->remove(id);
}

QString NovelService::removableDataDir(const QString &dataDir, const QString &novelId,
                                       const QString &dataLocation)
{
    // A book's folder is named by its id (an MD5 in hexadecimal) and lies
    // directly in the data location; data_dir can be edited, and must never
    // name the fonts folder, another book's folder or anything outside.
    if (dataDir.isEmpty() || dataLocation.isEmpty() || !isBookId(novelId))
        return {};
    // Canonical forms resolve "..", symbolic links and relative paths.
    const QString root = QFileInfo(dataLocation).canonicalFilePath();
    const QFileInfo dir(QFileInfo(dataDir).canonicalFilePath());
    if (root.isEmpty() || dir.filePath().isEmpty())
        return {};
    if (dir.fileName() != novelId || dir.absolutePath() != root)
        return {};
    return dir.filePath();
}

QString NovelService::ownDataDir(const QString &path, const QString &novelId)
{
    if (path.isEmpty() || !QFileInfo::exists(path))
        return {};
    const QString dir = removableDataDir(path, novelId, Paths::dataLocation());
    if (dir.isEmpty())
        qWarning() << "[ApplicationCore::removeNovel] 数据目录不是该书自己的目录，保留:" << path;
    return dir;
}

void NovelService::doReading(const QString &novelId, const QString &chapterId, int chapterIndex,
                             int position, qlonglong progressIndex, float blockOffset)
{
    const QString now = currentTimeString();

    // Each write captures values only: while an import holds the write lock
    // it is kept and may run after this service is gone. Whether the reading
    // position is inserted or updated is decided when it runs.
    DeferredWrites &writes = DeferredWrites::instance();
    writes.submit(QStringLiteral("read_process_info:") + novelId, [=] {
        // Asked and written in one transaction: a position saved after the
        // book's removal would outlive it.
        Transaction transaction(DatabaseConnection::database());
        if (!transaction.isActive())
            return false;
        if (NovelDao().countExisting({novelId}) == 0) {
            qWarning() << "[NovelService::doReading] 书籍已不存在，不保存阅读进度:" << novelId;
            return false;
        }
        ReadProcessInfo process;
        process.setId(md5OfJoined({novelId}));
        process.setNovelId(novelId);
        process.setChapterId(chapterId);
        process.setChapterIndex(chapterIndex);
        process.setUpdateTime(now);
        process.setLastPosition(position);
        process.setLastProgressIndex(progressIndex);
        process.setLastBlockOffset(blockOffset);
        ReadProcessDao dao;
        bool saved = false;
        if (QObject *existing = dao.queryByNovelId(novelId)) {
            delete existing;
            saved = dao.update(&process);
        } else {
            process.setCreateTime(now);
            saved = dao.insert(&process);
        }
        return saved && transaction.commit();
    });

    writes.submit(QStringLiteral("chapter_info.status:") + chapterId, [=] {
        ChapterInfo chapter;
        chapter.setId(chapterId);
        chapter.setStatus(2);
        chapter.setUpdateTime(now);
        return ChapterDao().update(&chapter);
    });

    writes.submit(QStringLiteral("novel_info.update_time:") + novelId, [=] {
        NovelInfo novel;
        novel.setId(novelId);
        novel.setUpdateTime(now);
        return NovelDao().update(&novel, false);
    });
}

bool NovelService::saveNovel(NovelInfo *novel)
{
    if (!novel) {
        qWarning() << "解析小说基本信息失败，NovelInfo 为空";
        return false;
    }
    if (m_novelDao->countExisting({novel->id()}) == 0)
        return m_novelDao->insert(novel);
    novel->setUpdateTime(currentTimeString());
    return m_novelDao->update(novel, true);
}
