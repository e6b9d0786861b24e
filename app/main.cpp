#include "applicationcore.h"
#include "databaseconnection.h"
#include "fileopenfilter.h"
#include "logmanager.h"
#include "quilloraimageprovider.h"
#include "sailfishapp.h"
#include "translatorloader.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QQmlEngine>
#include <QQuickView>
#include <QScopedPointer>
#include <QStandardPaths>
#include <QStorageInfo>
#include <QTextCodec>

#include <langinfo.h>
#include <locale.h>

#include <memory>

namespace {

// Qt writes its compiled-QML cache in place: on a disk that runs full it
// leaves an emptied file, on which a later start crashes. Without room for
// it the QML is compiled afresh and nothing is cached.
void keepQmlCacheOffAFullDisk()
{
    const qint64 CacheRoom = 8 * 1024 * 1024;
    QString dir = QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
    while (!dir.isEmpty() && !QFileInfo::exists(dir) && !QDir(dir).isRoot())
        dir = QFileInfo(dir).path();
    const QStorageInfo storage(dir);
    if (storage.isValid() && storage.bytesAvailable() < CacheRoom) {
        qWarning() << "[Startup] 磁盘空间不足，不使用 QML 缓存:" << storage.bytesAvailable();
        qputenv("QML_DISABLE_DISK_CACHE", "1");
    }
}

}

int main(int argc, char *argv[])
{
    auto app = std::make_unique<QGuiApplication>(argc, argv);
    // Archive entry names (7z, RAR) are converted through LC_CTYPE; under a
    // non-UTF-8 codeset such as LANG=C a name like 第1页.jpg would be lost.
    const QByteArray codeset = QByteArray(nl_langinfo(CODESET)).toUpper().replace('-', "");
    if (codeset != "UTF8")
        setlocale(LC_CTYPE, "C.UTF-8");
    QCoreApplication::setOrganizationName(QStringLiteral("com.tivex"));
    QCoreApplication::setApplicationName(QStringLiteral("harbour-Quillora"));
    // Before anything reads the settings or the library.
    ApplicationCore::finishInterruptedReset();

    LogManager::install();
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));

    // A library file SQLite cannot open or read is shown as such in the
    // window; one it reads but the migration refuses ends the program here.
    if (!DatabaseConnection::openAndMigrate() && DatabaseConnection::openFailure().isEmpty()) {
        app.reset();
        return 1;
    }

    keepQmlCacheOffAFullDisk();
    qmlRegisterType<ApplicationCore>("com.quillora.applicationcore", 1, 0, "ApplicationCore");

    loadTranslator(*app);

    auto *fileOpenFilter = new FileOpenFilter(app.get());
    app->installEventFilter(fileOpenFilter);

    QScopedPointer<QQuickView> view(SailfishApp::createView());
    view->engine()->addImageProvider(QStringLiteral("quillora"), new QuilloraImageProvider);
    view->setSource(SailfishApp::pathTo(QStringLiteral("qml/harbour-quillora.qml")));
    view->show();

    const QStringList arguments = QCoreApplication::arguments();
    qInfo() << "[FileOpen] argc:" << arguments.size();
    for (int i = 0; i < arguments.size(); ++i)
        qInfo() << "[FileOpen] argv[" << i << "]:" << arguments.at(i);
    if (arguments.size() > 1) {
        const QString book = commandLineBook(arguments.at(1));
        qInfo() << "[FileOpen] 命令行参数:" << book;
        handleOpenRequest(book);
    }

    const int status = app->exec();
    // The core goes with the view: its tasks have ended and its kept writes
    // are in. The library closes before the application object's clean-up.
    view.reset();
    DatabaseConnection::close();
    app.reset();
    return status;
}
