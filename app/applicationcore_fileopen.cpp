#include "applicationcore.h"
#include "appconfig.h"
#include "keys.h"
#include "novelinfo.h"
#include "novelservice.h"

#include <QDebug>
#include <QUrl>

void ApplicationCore::openExternalFile(const QString &path)
{
    QString localPath = path;
    if (localPath.startsWith(QLatin1String("file://")))
        localPath = QUrl(localPath, QUrl::TolerantMode).toLocalFile();
    qInfo() << "[ApplicationCore::openExternalFile] 外部触发:" << localPath;

    const QString novelId = bookIdForPath(localPath);

    NovelInfo *novel = novelService->getNovelInfo(novelId);
    const bool found = novel != nullptr;
    delete novel;

    const QString group = QStringLiteral("BOOK_STATE");
    if (found) {
        qInfo() << "[ApplicationCore::openExternalFile] 已存在，直接打开:" << novelId;
        appConfig->setValue(group, QStringLiteral("PENDING_OPEN_BOOK"), novelId);
        emit externalFileReady(novelId);
    } else {
        qInfo() << "[ApplicationCore::openExternalFile] 未导入，写入等待配置:" << localPath;
        appConfig->setValue(group, QStringLiteral("PENDING_IMPORT_PATH"), localPath);
        appConfig->setValue(group, QStringLiteral("PENDING_IMPORT_NOVELID"), novelId);
        emit externalFileNeedsImport(localPath, novelId);
    }
}
