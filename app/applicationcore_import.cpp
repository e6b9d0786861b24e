#include "applicationcore.h"
#include "importtask.h"

#include <QDebug>

#include <memory>

void ApplicationCore::importNovel(const QString &path)
{
    qInfo() << "[ApplicationCore::importNovel] 导入小说，路径：" << path;
    // On the one background queue: an import never overlaps a removal, a
    // reset or another import.
    auto task = std::make_shared<ImportTask>(this, path);
    backgroundTasks.post([task] { task->run(); });
}
