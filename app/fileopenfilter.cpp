#include "fileopenfilter.h"
#include "applicationcore.h"

#include <QDebug>
#include <QDir>
#include <QFileOpenEvent>
#include <QTimer>
#include <QUrl>

bool FileOpenFilter::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() != QEvent::FileOpen)
        return QObject::eventFilter(watched, event);
    const QString file = static_cast<QFileOpenEvent *>(event)->file();
    if (file.isEmpty())
        return true;
    qInfo() << "[FileOpen] QFileOpenEvent:" << file;
    handleOpenRequest(file);
    return true;
}

QString commandLineBook(const QString &argument)
{
    if (argument.isEmpty() || argument.startsWith(QLatin1String("file://"))
        || QDir::isAbsolutePath(argument))
        return argument;
    // ".." is kept as spelt: cleaning "link/.." as text would name the file
    // beside the link, not the one beside its target that the shell opens.
    // "." and empty segments name the same file either way, and dropping them
    // keeps "./book.txt" and "book.txt" one book.
    QStringList segments;
    for (const QString &segment : argument.split(QLatin1Char('/'))) {
        if (!segment.isEmpty() && segment != QLatin1String("."))
            segments.append(segment);
    }
    QString here = QDir::currentPath();
    if (!here.endsWith(QLatin1Char('/')))
        here += QLatin1Char('/');
    return here + segments.join(QLatin1Char('/'));
}

void handleOpenRequest(const QString &pathOrUrl)
{
    QString localPath = pathOrUrl;
    if (localPath.startsWith(QLatin1String("file://")))
        localPath = QUrl(localPath, QUrl::TolerantMode).toLocalFile();
    // The user interface may not be up yet; give the event loop time to
    // create the core, and drop the request if it still does not exist.
    QTimer::singleShot(300, [localPath] {
        ApplicationCore *core = ApplicationCore::instance();
        if (!core)
            return;
        qInfo() << "[FileOpen] 外部打开:" << localPath;
        core->openExternalFile(localPath);
    });
}
