#include "appconfig.h"
#include "applicationcore.h"
#include "chapterinfo.h"
#include "chinesebook.h"
#include "databaseconnection.h"
#include "fileopenfilter.h"
#include "filesizelimit.h"
#include "imageutil.h"
#include "importoutcome.h"
#include "keys.h"
#include "noveldao.h"
#include "novelinfo.h"
#include "openwatch.h"
#include "paths.h"
#include "quilloraimageprovider.h"
#include "testenvironment.h"

#include <QFileOpenEvent>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickItemGrabResult>
#include <QQuickView>
#include <QSignalSpy>
#include <QtTest>


namespace {

// Whether the page image item shows the rendered page under this key.
bool showsPage(const QObject *image, const QString &key)
{
    return image->property("status").toInt() == 1
        && image->property("source").toUrl().toString()
        == QStringLiteral("image://quillora/") + QUrl::toPercentEncoding(key);
}

}

// The QML stand-in shipped with the program loads without errors and lists
// the library through the core; a book's title is shown as text, the
// picture its markup names is never loaded.
class TestQmlStandIn : public QObject
{
    Q_OBJECT

private slots:
    void loadsAndListsTheLibrary()
    {
        TestEnvironment env;
        QVERIFY(env.openDatabase());
        const QString outside = env.root() + QStringLiteral("/outside");
        QImage red(40, 40, QImage::Format_RGB32);
        red.fill(Qt::red);
        QVERIFY(QDir().mkpath(outside) && red.save(outside + QStringLiteral("/red.png")));
        {
            NovelDao novels;
            NovelInfo novel;
            novel.setId(QStringLiteral("n1"));
            novel.setTitle(QStringLiteral("<img src=\"file://%1/red.png\"> 测试之书").arg(outside));
            novel.setAuthor(QStringLiteral("<b>A</b><img src=\"%1/red.png\">").arg(outside));
            QVERIFY(novels.insert(&novel));
        }
        OpenWatch watch(outside);
        qmlRegisterType<ApplicationCore>("com.quillora.applicationcore", 1, 0, "ApplicationCore");

        QQuickView view;
        QList<QQmlError> warnings;
        connect(view.engine(), &QQmlEngine::warnings, this,
                [&warnings](const QList<QQmlError> &list) { warnings += list; });
        view.setSource(QUrl::fromLocalFile(QStringLiteral(QUILLORA_SOURCE_ROOT) + QStringLiteral("/qml/harbour-quillora.qml")));
        QVERIFY2(view.errors().isEmpty(), qPrintable(view.errors().value(0).toString()));
        QVERIFY(view.rootObject());
        view.show();
        QTest::qWait(50);
        QVERIFY2(warnings.isEmpty(), qPrintable(warnings.value(0).toString()));

        auto *list = view.rootObject()->findChild<QQuickItem *>(QStringLiteral("library"));
        QVERIFY(list);
        QCOMPARE(list->property("count").toInt(), 1);
        QVERIFY(ApplicationCore::instance());
        QTest::qWait(200);
        QCOMPARE(watch.opened(), QStringList());

        // The reset asks once, saying what goes, and the question lapses.
        auto *reset = view.rootObject()->findChild<QQuickItem *>(QStringLiteral("resetButton"));
        QVERIFY(reset);
        const QPoint tap = reset->mapToScene(QPointF(5, 5)).toPoint();
        reset->findChild<QObject *>(QStringLiteral("resetLapse"))->setProperty("interval", 100);
        QTest::mouseClick(&view, Qt::LeftButton, {}, tap);
        QCOMPARE(reset->property("text").toString(), QStringLiteral("确认重置：删除所有书籍、阅读进度和设置"));
        QTRY_COMPARE(reset->property("text").toString(), QStringLiteral("重置应用"));
        // Asked twice, the library goes and the window works on a new one.
        for (int press = 0; press < 2; ++press)
            QTest::mouseClick(&view, Qt::LeftButton, {}, tap);
        QObject *status = view.rootObject()->findChild<QObject *>(QStringLiteral("importStatus"));
        QTRY_COMPARE(status->property("text").toString(), QStringLiteral("应用已重置，书库已清空"));
        QCOMPARE(list->property("count").toInt(), 0);
        const QString book = env.root() + QStringLiteral("/after.txt");
        QVERIFY(Paths::writeFile(book, "第一章\n正文\n"));
        QMetaObject::invokeMethod(view.rootObject(), "startImport", Q_ARG(QVariant, book), Q_ARG(QVariant, QString()));
        QTRY_COMPARE(list->property("count").toInt(), 1);
    }
    // A generated Chinese book is tapped open and read eight pages forward and
    // three back with the arrow keys; every page shown is the rendered image
    // of its key, and reopening the book shows the last page read. In
    // continuous mode the pages are those of the strip, across chapters. A
    // PDF book reads the same way, one drawn page image after the other.
    void readsPageByPage_data()
    {
        QTest::addColumn<bool>("continuous");
        QTest::addColumn<bool>("pdf");
        QTest::newRow("paged") << false << false;
        QTest::newRow("continuous") << true << false;
        QTest::newRow("PDF, paged") << false << true;
        QTest::newRow("PDF, continuous") << true << true;
    }
    void readsPageByPage()
    {
        QFETCH(bool, continuous);
        QFETCH(bool, pdf);
        TestEnvironment env;
        QVERIFY(env.openDatabase());
        qmlRegisterType<ApplicationCore>("com.quillora.applicationcore", 1, 0, "ApplicationCore");
        QQuickView view;
        view.engine()->addImageProvider(QStringLiteral("quillora"), new QuilloraImageProvider);
        view.setSource(QUrl::fromLocalFile(QStringLiteral(QUILLORA_SOURCE_ROOT)
                                           + QStringLiteral("/qml/harbour-quillora.qml")));
        QVERIFY(view.rootObject());
        view.show();
        view.requestActivate();
        QVERIFY(QTest::qWaitForWindowActive(&view));
        QQuickItem *root = view.rootObject();
        ApplicationCore *core = ApplicationCore::instance();
        QVERIFY(core);

        const QString path = pdf ? env.root() + QStringLiteral("/book.pdf") : ChineseBook::write(env.root(), 4, 1200);
        if (pdf)
            QVERIFY(QFile::copy(QStringLiteral(QUILLORA_TEST_DATA_DIR "/pdf/outline.pdf"), path));
        core->setAppConfigValue(QStringLiteral("READ_SETTING"), QStringLiteral("READ_MODE"),
                                continuous ? 1 : 0);
        QCOMPARE(importOutcome(*core, path), QStringLiteral("ok"));
        QVERIFY(QMetaObject::invokeMethod(root, "reloadLibrary"));
        QStringList chapters;
        for (QObject *chapter : core->getChaptersByNovelId(md5Hex(path))) {
            chapters << qobject_cast<ChapterInfo *>(chapter)->id();
            delete chapter;
        }

        auto *library = root->findChild<QQuickItem *>(QStringLiteral("library"));
        auto *image = root->findChild<QQuickItem *>(QStringLiteral("pageImage"));
        QVERIFY(library && image);
        QTRY_COMPARE(library->property("count").toInt(), 1);
        QTest::mouseClick(&view, Qt::LeftButton, {},
                          library->mapToScene(QPointF(40, 10)).toPoint());

        // What the page item shows, as the scene graph draws it.
        const auto shown = [&] {
            QSharedPointer<QQuickItemGrabResult> grab = image->grabToImage();
            QSignalSpy ready(grab.data(), &QQuickItemGrabResult::ready);
            return ready.wait(5000) ? ImageUtil::converted(grab->image(), QImage::Format_RGB32) : QImage();
        };
        QImage previous;
        const auto shows = [&](const QString &key) {
            if (image->property("source").toUrl().toString()
                    != QStringLiteral("image://quillora/") + QUrl::toPercentEncoding(key)
                || image->property("status").toInt() != 1)
                return false;
            const QImage page = ImageUtil::converted(core->imageForId(key), QImage::Format_RGB32);
            const QImage onScreen = shown();
            QImage blank(onScreen.size(), QImage::Format_RGB32);
            blank.fill(onScreen.pixel(0, 0));
            return !page.isNull() && onScreen == page && onScreen != previous && onScreen != blank;
        };
        QString chapter = chapters.first();
        int page = 0;
        QTRY_VERIFY_WITH_TIMEOUT(shows(RenderPool::makeKey(chapter, page)), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(core->isRenderWindowReady(0, 10), 20000);
        for (int turn = 0; turn < 11; ++turn) {
            previous = ImageUtil::converted(core->imageForId(RenderPool::makeKey(chapter, page)),
                                            QImage::Format_RGB32);
            const int step = turn < 8 ? 1 : -1;
            // On a slow machine the next chapter of the strip may still be laying out.
            if (continuous)
                QTRY_VERIFY_WITH_TIMEOUT(!core->getScrollPageKey(page + step).isEmpty(), 20000);
            const QString next = core->getScrollPageKey(page + step);
            page += step;
            if (continuous) {
                chapter = next.left(next.lastIndexOf(':'));
                page = next.mid(next.lastIndexOf(':') + 1).toInt();
            } else if (page >= core->getChapterPageCount(chapter)) {
                chapter = chapters.at(chapters.indexOf(chapter) + 1);
                page = 0;
            } else if (page < 0) {
                chapter = chapters.at(chapters.indexOf(chapter) - 1);
                page = core->getChapterPageCount(chapter) - 1;
            }
            QTest::keyClick(&view, step > 0 ? Qt::Key_Right : Qt::Key_Left);
            QTRY_VERIFY2(shows(RenderPool::makeKey(chapter, page)),
                         qPrintable(RenderPool::makeKey(chapter, page)));
        }
        QVERIFY(chapter != chapters.first());

        previous = QImage();
        QTest::keyClick(&view, Qt::Key_Escape);
        QTRY_VERIFY(!root->findChild<QQuickItem *>(QStringLiteral("reader"))->isVisible());
        QTest::mouseClick(&view, Qt::LeftButton, {},
                          library->mapToScene(QPointF(40, 10)).toPoint());
        // In continuous mode the strip is cut afresh from the saved chapter:
        // the same chapter, maybe another page index.
        const auto reopened = [&] {
            return continuous ? RenderPool::makeKey(root->property("readChapterId").toString(),
                                                    root->property("readPageIndex").toInt())
                              : RenderPool::makeKey(chapter, page);
        };
        QTRY_VERIFY_WITH_TIMEOUT(shows(reopened()), 20000);
        QCOMPARE(root->property("readChapterId").toString(), chapter);
        // Closed, the page's texture goes with the next frame; without one
        // the scene graph would keep it (and the page image) to the end.
        QTest::keyClick(&view, Qt::Key_Escape);
        QTRY_COMPARE(image->property("status").toInt(), 0);
        QSignalSpy swapped(&view, &QQuickWindow::frameSwapped);
        view.update();
        QVERIFY(swapped.wait(5000));
    }
    // With no room left on the disk a text book and a PDF are listed and
    // read, and an import fails with its message; a library file SQLite
    // cannot read is named in the window over an empty library.
    void fullDiskStillListsAndReads_data()
    {
        QTest::addColumn<bool>("full");
        QTest::newRow("no room on the disk") << true;
        QTest::newRow("library file not a database") << false;
    }
    void fullDiskStillListsAndReads()
    {
        QFETCH(bool, full);
        TestEnvironment env;
        const QStringList books{ChineseBook::write(env.root(), 2, 3000), env.root() + QStringLiteral("/book.pdf")};
        QVERIFY(QFile::copy(QStringLiteral(QUILLORA_TEST_DATA_DIR "/pdf/outline.pdf"), books.last()));
        QVERIFY(env.openDatabase());
        {
            ApplicationCore core;
            for (const QString &book : books)
                QCOMPARE(importOutcome(core, book), QStringLiteral("ok"));
        }
        TestEnvironment::closeDatabase();
        QFile file(DatabaseConnection::databaseFilePath());
        QVERIFY(full || (file.open(QIODevice::WriteOnly) && file.write(QByteArray(8192, 'x')) > 0));
        file.close();
        std::unique_ptr<FileSizeLimit> noRoom(full ? new FileSizeLimit : nullptr);
        QCOMPARE(env.openDatabase(), full);

        qmlRegisterType<ApplicationCore>("com.quillora.applicationcore", 1, 0, "ApplicationCore");
        QQuickView view;
        view.engine()->addImageProvider(QStringLiteral("quillora"), new QuilloraImageProvider);
        view.setSource(QUrl::fromLocalFile(QStringLiteral(QUILLORA_SOURCE_ROOT "/qml/harbour-quillora.qml")));
        QVERIFY(view.rootObject());
        QQuickItem *root = view.rootObject();
        ApplicationCore *core = ApplicationCore::instance();
        auto *error = root->findChild<QQuickItem *>(QStringLiteral("databaseError"));
        QObject *image = root->findChild<QObject *>(QStringLiteral("pageImage"));
        QVERIFY(core && error && image);
        QCOMPARE(root->findChild<QQuickItem *>(QStringLiteral("library"))->property("count").toInt(), full ? 2 : 0);
        QCOMPARE(error->isVisible(), !full);
        QCOMPARE(root->findChild<QQuickItem *>(QStringLiteral("shelfHeading"))->isVisible(), full);
        // The cause in the reader's words and the way out; SQLite's own text only in the log.
        const QString shown = error->property("text").toString();
        QVERIFY2(full || (shown.contains(QStringLiteral("书库文件已损坏")) && shown.contains(QStringLiteral("重置应用"))
                          && !shown.contains(QLatin1String("not a database"))),
                 qPrintable(shown));
        for (int i = 0; full && i < books.size(); ++i) {
            QVERIFY(QMetaObject::invokeMethod(root, "openBook", Q_ARG(QVariant, md5Hex(books.at(i)))));
            const QString chapter = root->property("chapterIds").toStringList().value(0);
            QTRY_VERIFY_WITH_TIMEOUT(showsPage(image, RenderPool::makeKey(chapter, 0)), 20000);
        }
        const QString outcome = importOutcome(*core, books.first());
        QVERIFY2(outcome != QLatin1String("ok") && outcome != QLatin1String("timeout"), qPrintable(outcome));
    }

    // A book handed over from outside (argument, file-open event, or a
    // request left in the settings) ends open on its page: imported when the
    // library lacks it, at the next start opened where it was left without
    // importing again. A damaged file shows its failure and stays out. Each
    // start takes the request off the settings.
    void opensABookGivenFromOutside_data()
    {
        QTest::addColumn<QStringList>("starts");
        QTest::addColumn<bool>("damaged");
        QTest::newRow("argument twice") << QStringList{"argument", "argument"} << false;
        QTest::newRow("event, then open request") << QStringList{"event", "PENDING_OPEN_BOOK"} << false;
        QTest::newRow("import request, then argument") << QStringList{"PENDING_IMPORT_PATH", "argument"} << false;
        QTest::newRow("damaged") << QStringList{"argument"} << true;
    }
    void opensABookGivenFromOutside()
    {
        QFETCH(QStringList, starts);
        QFETCH(bool, damaged);
        TestEnvironment env;
        QVERIFY(env.openDatabase());
        // The damaged book: an empty EPUB file.
        const QString path = damaged ? env.root() + QStringLiteral("/坏.epub") : ChineseBook::write(env.root(), 2, 3000);
        QVERIFY(QFile(path).open(QIODevice::Append));
        const QString group = QStringLiteral("BOOK_STATE"), novelId = md5Hex(path);
        QString chapter;
        for (const QString &road : starts) {
            if (road.startsWith(QLatin1String("PENDING_")))
                AppConfig().setValue(group, road, road == QLatin1String("PENDING_OPEN_BOOK") ? novelId : path);
            if (road == QLatin1String("PENDING_IMPORT_PATH"))
                AppConfig().setValue(group, QStringLiteral("PENDING_IMPORT_NOVELID"), novelId);
            qmlRegisterType<ApplicationCore>("com.quillora.applicationcore", 1, 0, "ApplicationCore");
            QQuickView view;
            view.engine()->addImageProvider(QStringLiteral("quillora"), new QuilloraImageProvider);
            view.setSource(QUrl::fromLocalFile(QStringLiteral(QUILLORA_SOURCE_ROOT "/qml/harbour-quillora.qml")));
            view.show();
            ApplicationCore *core = ApplicationCore::instance();
            QStringList outcomes;
            QObject receiver;
            connect(core, &ApplicationCore::novelImportSucceeded, &receiver, [&] { outcomes << "ok"; }, Qt::QueuedConnection);
            connect(core, &ApplicationCore::novelImportFailed, &receiver, [&](const QString &m) { outcomes << m; }, Qt::QueuedConnection);
            FileOpenFilter filter;
            qApp->installEventFilter(&filter);
            QFileOpenEvent event(path);
            if (road == QLatin1String("argument"))
                handleOpenRequest(path);
            else if (road == QLatin1String("event"))
                QCoreApplication::sendEvent(qApp, &event);
            QObject *image = view.rootObject()->findChild<QObject *>(QStringLiteral("pageImage"));
            if (chapter.isEmpty()) {
                QVERIFY(QTest::qWaitFor([&] { return !outcomes.isEmpty(); }, ImportTimeoutMs));
                QCOMPARE(outcomes.first() == QLatin1String("ok"), !damaged);
            }
            if (damaged) {
                QTRY_COMPARE(view.rootObject()->findChild<QObject *>(QStringLiteral("importStatus"))->property("text").toString(), outcomes.first());
                QCOMPARE(core->getNovelList().size(), 0);
            } else if (chapter.isEmpty()) {
                const QList<QObject *> chapters = core->getChaptersByNovelId(novelId);
                chapter = qobject_cast<ChapterInfo *>(chapters.value(0))->id();
                qDeleteAll(chapters);
                QTRY_VERIFY_WITH_TIMEOUT(showsPage(image, RenderPool::makeKey(chapter, 0)), 20000);
                view.requestActivate();
                QVERIFY(QTest::qWaitForWindowActive(&view));
                QTRY_VERIFY_WITH_TIMEOUT(core->getChapterPageCount(chapter) > 1, 20000);
                QTest::keyClick(&view, Qt::Key_Right);
                QTRY_VERIFY(showsPage(image, RenderPool::makeKey(chapter, 1)));
            } else {
                QTRY_VERIFY_WITH_TIMEOUT(showsPage(image, RenderPool::makeKey(chapter, 1)), 20000);
                // Imports run one at a time: once this one has failed, none
                // of the stand-in's is under way.
                QVERIFY(importOutcome(*core, env.root() + QStringLiteral("/none.txt")) != QLatin1String("ok"));
                QTRY_COMPARE(outcomes.size(), 1);
            }
            QCOMPARE(AppConfig().listKeys(group), QVariantMap());
        }
    }
};

QTEST_MAIN(TestQmlStandIn)
#include "tst_qmlstandin.moc"
