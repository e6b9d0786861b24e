#include "applicationcore.h"
#include "bookfolderstage.h"
#include "chapterservice.h"
#include "novelservice.h"
#include "paths.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QVector>

namespace {

struct BookToRemove {
    QString id;
    QString dataDir;
};

}

bool ApplicationCore::removeLocation(const QString &path)
{
    // An empty QDir is the current directory.
    if (path.isEmpty()) {
        qWarning() << "[ApplicationCore::resetApplication] 路径为空，拒绝删除";
        return false;
    }
    QDir dir(path);
    if (!dir.exists())
        return true;
    return dir.removeRecursively();
}

void ApplicationCore::removeNovel(const QList<QObject *> &bookList)
{
    // The QML objects are read here, on the main thread; the task only gets strings.
    QVector<BookToRemove> books;
    books.reserve(bookList.size());
    for (QObject *object : bookList) {
        BookToRemove book;
        if (object) {
            book.id = object->property("id").toString();
            book.dataDir = object->property("dataDir").toString();
        }
        books.append(book);
    }
    if (books.isEmpty())
        return;
    backgroundTasks.post([this, books] {
        for (const BookToRemove &book : books) {
            if (backgroundTasks.stopping())
                return;
            qInfo() << "[ApplicationCore::removeNovel] 移除小说：" << book.id << "小说路径："
                    << book.dataDir;
            // Marked first: a removal stopped after the rows went is finished
            // at the next start, which otherwise keeps a folder no row names.
            const QString dir = NovelService::removableDataDir(book.dataDir, book.id, Paths::dataLocation());
            if (!dir.isEmpty())
                BookFolderStage::markRemoved(dir, book.id);
            novelService->removeReadProcess(book.id);
            novelService->removeNovel(book.id);
            chapterService->removeByNovelId(book.id);
            novelService->removeDataDir(book.dataDir, book.id);
            forgetContentStats(book.id);
        }
    });
}

void ApplicationCore::resetApplication()
{
    qInfo() << "[ApplicationCore::resetApplication] 开始重置应用";
    const QString configLocation = Paths::configLocation();
    const QString dataLocation = Paths::dataLocation();

    backgroundTasks.post([this, configLocation, dataLocation] {
        if (backgroundTasks.stopping())
            return;
        const bool configRemoved = removeLocation(configLocation);
        if (backgroundTasks.stopping())
            return;
        const bool dataRemoved = removeLocation(dataLocation);
        const bool success = configRemoved && dataRemoved;
        forgetContentStats(QString());
        if (backgroundTasks.stopping())
            return;
        qInfo() << "[ApplicationCore::resetApplication] 重置应用结果:" << success;
        emit applicationResetFinished(success);
    });
}
