#include "applicationcore.h"
#include "noveldao.h"
#include "novelinfo.h"
#include "testenvironment.h"

#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickView>
#include <QtTest>


// The QML stand-in shipped with the program loads without errors and lists
// the library through the core.
class TestQmlStandIn : public QObject
{
    Q_OBJECT

private slots:
    void loadsAndListsTheLibrary()
    {
        TestEnvironment env;
        QVERIFY(env.openDatabase());
        {
            NovelDao novels;
            NovelInfo novel;
            novel.setId(QStringLiteral("n1"));
            novel.setTitle(QStringLiteral("测试之书"));
            QVERIFY(novels.insert(&novel));
        }
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
    }
};

QTEST_MAIN(TestQmlStandIn)
#include "tst_qmlstandin.moc"
