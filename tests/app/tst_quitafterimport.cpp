#include "childprocess.h"
#include "dbtestutils.h"
#include "testenvironment.h"

#include <QFile>
#include <QSettings>
#include <QSqlError>
#include <QSqlQuery>
#include <QtTest>

#include "databaseconnection.h"
#include "paths.h"

// The real program imports a large book and quits as soon as the outcome is
// reported, run after run: the commit leaves a long write-ahead log whose copy
// into the database is still under way when the program ends. The library must
// be whole after every exit and the book imported before untouched.
class TestQuitAfterImport : public QObject
{
    Q_OBJECT

private:
    static const int Runs = 8;
    static const qint64 BookBytes = 6 * 1000 * 1000;

    static QByteArray plainText()
    {
        const QByteArray line = QStringLiteral("夜里下起了雨，他在破庙里避雨。庙里只有一盏灯，灯下坐着一个老人。\n").toUtf8();
        QByteArray text;
        for (int chapter = 1; text.size() < BookBytes; ++chapter)
            text += QStringLiteral("第%1章 夜路\n").arg(chapter).toUtf8() + line.repeated(200);
        return text;
    }

    static QByteArray fb2()
    {
        const QByteArray paragraph = QStringLiteral("<p>夜里下起了雨，他在破庙里避雨。<emphasis>The rain fell all "
                                                    "night long.</emphasis> 庙里只有一盏灯，</p>\n").toUtf8();
        QByteArray book = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<FictionBook "
                          "xmlns=\"http://www.gribuser.ru/xml/fictionbook/2.0\"><description><title-info>"
                          "<book-title>长夜</book-title><lang>zh</lang></title-info></description><body>";
        for (int section = 1; book.size() < BookBytes; ++section)
            book += "<section><title><p>" + QByteArray::number(section) + "</p></title>" + paragraph.repeated(60)
                    + "</section>\n";
        return book + "</body></FictionBook>\n";
    }

    static QString writeFile(const TestEnvironment &env, const QString &name, const QByteArray &bytes)
    {
        const QString path = env.root() + QLatin1Char('/') + name;
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() ? path : QString();
    }

    // The program imports the book and quits from the outcome's handler.
    static ChildRun runImport(const TestEnvironment &env, const QString &path)
    {
        const QByteArray qml = QStringLiteral(
            "import QtQuick 2.6\n"
            "import com.quillora.applicationcore 1.0\n"
            "Item {\n"
            "  ApplicationCore {\n"
            "    id: core\n"
            "    onNovelImportSucceeded: { console.warn('IMPORT_RESULT ok'); core.quitApplication() }\n"
            "    onNovelImportFailed: { console.warn('IMPORT_RESULT ' + message); core.quitApplication() }\n"
            "  }\n"
            "  Timer { interval: 0; running: true; onTriggered: core.importNovel(\"%1\") }\n"
            "}\n").arg(path).toUtf8();
        return ChildProcess::runApp(env, QStringLiteral(APP_PATH), qml);
    }

    // What the library holds of the book imported first.
    static QStringList firstBook()
    {
        QSqlQuery query(DatabaseConnection::database());
        if (!query.exec(QStringLiteral("SELECT id FROM novel_info WHERE title = 'first'")) || !query.next())
            return {QStringLiteral("<no first book>")};
        const QString id = query.value(0).toString();
        query.finish();
        QStringList rows = DbTestUtils::chapterDump(id);
        rows << DbTestUtils::storedCells(QStringLiteral("SELECT * FROM novel_info WHERE id = :id"), id);
        return rows;
    }

    static QString integrity()
    {
        QSqlQuery query(DatabaseConnection::database());
        QStringList problems;
        if (!query.exec(QStringLiteral("PRAGMA integrity_check")))
            return query.lastError().text();
        while (query.next())
            problems << query.value(0).toString();
        return problems.join(QLatin1Char('\n'));
    }

private slots:
    void libraryWholeAfterQuittingAtOnce_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("book");
        QTest::newRow("plain text") << QStringLiteral("large.txt") << plainText();
        QTest::newRow("FB2") << QStringLiteral("large.fb2") << fb2();
    }

    void libraryWholeAfterQuittingAtOnce()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, book);
        for (int run = 0; run < Runs; ++run) {
            TestEnvironment env;
            {
                QSettings settings(Paths::settingsFile(), QSettings::NativeFormat);
                settings.setValue(QStringLiteral("APP_SETTING/LOG_LEVEL"), 2);
            }
            const QString first = writeFile(env, QStringLiteral("first.txt"),
                                            QStringLiteral("第1章 古堡\n他走进了那座古老的城堡。\n").toUtf8().repeated(20));
            const QString large = writeFile(env, name, book);
            QVERIFY(!first.isEmpty() && !large.isEmpty());

            ChildRun child = runImport(env, first);
            QVERIFY2(child.log.contains(QStringLiteral("IMPORT_RESULT ok")), qPrintable(child.log));
            QVERIFY(env.openDatabase());
            const QStringList before = firstBook();
            TestEnvironment::closeDatabase();

            child = runImport(env, large);
            const QString at = QStringLiteral("run %1: ").arg(run);
            QVERIFY2(child.status == QProcess::NormalExit && child.exitCode == 0,
                     qPrintable(at + QStringLiteral("exit %1\n").arg(child.exitCode) + child.log));
            QVERIFY2(child.log.contains(QStringLiteral("IMPORT_RESULT ok")), qPrintable(at + child.log));

            QVERIFY(env.openDatabase());
            QCOMPARE(integrity(), QStringLiteral("ok"));
            QCOMPARE(DbTestUtils::rowCount(QStringLiteral("novel_info")), 2);
            QCOMPARE(firstBook(), before);
            TestEnvironment::closeDatabase();
        }
    }
};

QTEST_GUILESS_MAIN(TestQuitAfterImport)
#include "tst_quitafterimport.moc"
