#include "applicationcore.h"
#include "bookfolderstage.h"
#include "chapterservice.h"
#include "databaseconnection.h"
#include "novelservice.h"
#include "paths.h"
#include "transaction.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QSqlQuery>
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
            if (book.id.isEmpty())
                continue;   // no row has an empty id
            const QString dir = NovelService::ownDataDir(book.dataDir, book.id);
            const auto rows = [this, &book] { return removeBookRows(book.id); };
            // The folder goes only with the rows: a book whose rows stay keeps
            // it. Each step logs its own failure.
            if (dir.isEmpty())
                rows();
            else
                BookFolderStage::removeBook(dir, book.id, rows);
            forgetContentStats(book.id);
        }
    });
}

bool ApplicationCore::removeBookRows(const QString &novelId)
{
    QSqlDatabase db = DatabaseConnection::database();
    // The folder is deleted right after this commit: it must outlast a power
    // loss, which the connection's usual syncing does not promise.
    QSqlQuery(db).exec(QStringLiteral("PRAGMA synchronous=FULL"));
    bool removed = false;
    {
        Transaction transaction(db);
        removed = transaction.isActive() && novelService->removeReadProcess(novelId)
                  && novelService->removeNovel(novelId);
        if (removed && BookFolderStage::removalStep)
            BookFolderStage::removalStep("rows");
        removed = removed && chapterService->removeByNovelId(novelId) && transaction.commit();
        if (!removed && transaction.isActive())
            transaction.rollback();
    }
    QSqlQuery(db).exec(QStringLiteral("PRAGMA synchronous=NORMAL"));
    if (!removed)
        qWarning() << "[ApplicationCore::removeNovel] 删除书籍记录失败，已回滚：" << novelId;
    return removed;
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
