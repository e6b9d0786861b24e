// EPUB books through the registry and the real import task: real books made
// by pandoc and calibre, and what a failed import leaves behind.

#include "applicationcore.h"
#include "chapterinfo.h"
#include "databaseconnection.h"
#include "epubfixture.h"
#include "iformatparser.h"
#include "keys.h"
#include "novelinfo.h"
#include "parserregistry.h"
#include "testenvironment.h"

#include <QDir>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QtTest>

#include <memory>

namespace {

// The core's import signals, queued onto the test's thread.
class Receiver : public QObject
{
public:
    explicit Receiver(ApplicationCore *core)
    {
        connect(core, &ApplicationCore::novelImportProgress, this,
                [this](const QString &m) { signals_ << QStringLiteral("progress ") + m; },
                Qt::QueuedConnection);
        connect(core, &ApplicationCore::novelImportSucceeded, this,
                [this](const QString &m) { signals_ << QStringLiteral("succeeded ") + m; ++finished; },
                Qt::QueuedConnection);
        connect(core, &ApplicationCore::novelImportFailed, this,
                [this](const QString &m) { signals_ << QStringLiteral("failed ") + m; ++finished; },
                Qt::QueuedConnection);
    }
    QStringList signals_;
    int finished = 0;
};

// Every row of every table.
QStringList snapshot()
{
    QStringList dump;
    QSqlQuery tables(DatabaseConnection::database());
    tables.exec(QStringLiteral("SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name"));
    QStringList names;
    while (tables.next())
        names << tables.value(0).toString();
    for (const QString &table : qAsConst(names)) {
        QSqlQuery rows(DatabaseConnection::database());
        rows.exec(QStringLiteral("SELECT * FROM ") + table + QStringLiteral(" ORDER BY rowid"));
        while (rows.next()) {
            QStringList values;
            for (int c = 0; c < rows.record().count(); ++c)
                values << rows.value(c).toString();
            dump << table + QLatin1Char('|') + values.join(QLatin1Char('|'));
        }
    }
    return dump;
}

QString dataFolder(const TestEnvironment &env, const QString &bookPath)
{
    return env.dataHome() + QStringLiteral("/com.tivex/harbour-Quillora/") + md5Hex(bookPath);
}

}

class TestEpubImport : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TestEnvironment> env;

    QStringList importAndWait(ApplicationCore &core, const QString &path)
    {
        Receiver receiver(&core);
        core.importNovel(path);
        if (!QTest::qWaitFor([&] { return receiver.finished > 0; }, 20000))
            return {QStringLiteral("timeout")};
        QTest::qWait(20);
        return receiver.signals_;
    }

    QString copyRealBook(const QString &name)
    {
        const QString path = env->root() + QLatin1Char('/') + name;
        QFile::copy(QStringLiteral(QUILLORA_TEST_DATA_DIR "/epub/") + name, path);
        return path;
    }

private slots:
    void init()
    {
        env.reset(new TestEnvironment);
    }

    void cleanup()
    {
        TestEnvironment::closeDatabase();
        env.reset();
    }

    // Books made from tests/data/epub/source.md, as found in the wild.
    void realBooks_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<bool>("cover");
        // "title|start|end|anchor|endAnchor" per chapter.
        QTest::addColumn<QStringList>("chapters");

        // The title page runs on to the first chapter's heading anchor.
        QTest::newRow("pandoc EPUB 2, NCX") << "pandoc-epub2.epub" << false << QStringList{
            "山路夜雨|0|1||第一章-山路", "第一章 山路|1|2|第一章-山路|第二章-夜雨",
            "第二章 夜雨|2|2|第二章-夜雨|庙中", "第二章 夜雨 - 庙中|2|3|庙中|第三章-归来",
            "第三章 归来|3|3|第三章-归来|"};
        // The nav lists no title page: its own title names it.
        QTest::newRow("pandoc EPUB 3, nav") << "pandoc-epub3.epub" << false << QStringList{
            "山路夜雨|0|1||第一章-山路", "第一章 山路|1|2|第一章-山路|第二章-夜雨",
            "第二章 夜雨|2|2|第二章-夜雨|庙中", "第二章 夜雨 - 庙中|2|3|庙中|第三章-归来",
            "第三章 归来|3|3|第三章-归来|"};
        QTest::newRow("calibre, split files") << "calibre.epub" << true << QStringList{
            "Cover|0|0||", "第一章 山路|1|1||", "第二章 夜雨|2|2||",
            "第二章 夜雨 - 庙中|3|3||", "第三章 归来|4|4||"};
    }

    void realBooks()
    {
        QFETCH(QString, file);
        QFETCH(bool, cover);
        QFETCH(QStringList, chapters);
        const QString path = copyRealBook(file);
        std::unique_ptr<IFormatParser> parser(ParserRegistry::instance().findParser(path));
        QVERIFY(parser);
        const ParseResult info = parser->parseBookInfo(path);
        QVERIFY(info.success);
        std::unique_ptr<NovelInfo> novel(info.novel);
        QCOMPARE(novel->title(), QStringLiteral("山路夜雨"));
        QCOMPARE(novel->author(), QStringLiteral("林川"));
        QCOMPARE(novel->language(), QStringLiteral("zh_CN"));
        QCOMPARE(!novel->coverPath().isEmpty(), cover);

        const ParseResult list = parser->parseChapters(path, novel.get());
        QStringList got;
        for (const ChapterInfo *chapter : list.chapters) {
            got << QStringLiteral("%1|%2|%3|%4|%5")
                       .arg(chapter->title(), chapter->property("epubStartIdx").toString(),
                            chapter->property("epubEndIdx").toString(),
                            chapter->property("epubAnchor").toString(),
                            chapter->property("epubEndAnchor").toString());
        }
        qDeleteAll(list.chapters);
        QCOMPARE(got, chapters);
    }

    // Until the content is imported, every EPUB import fails after the chapter
    // step and leaves the library and the data folders as they were.
    void importLeavesNoPartialBook_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<bool>("folderBefore");   // an earlier import's folder exists
        QTest::newRow("pandoc EPUB 3") << "pandoc-epub3.epub" << false;
        QTest::newRow("calibre") << "calibre.epub" << false;
        QTest::newRow("folder of an earlier import") << "calibre.epub" << true;
    }

    void importLeavesNoPartialBook()
    {
        QFETCH(QString, file);
        QFETCH(bool, folderBefore);
        QVERIFY(env->openDatabase());
        ApplicationCore core;

        // A book already in the library.
        const QString text = env->root() + QStringLiteral("/书.txt");
        QFile txt(text);
        QVERIFY(txt.open(QIODevice::WriteOnly));
        for (int i = 0; i < 50; ++i)
            txt.write(QStringLiteral("第%1章 夜路\n他走进了那座古老的城堡。\n").arg(i + 1).toUtf8());
        txt.close();
        QCOMPARE(importAndWait(core, text).last(), QStringLiteral("succeeded 解析完成"));
        const QStringList before = snapshot();

        const QString path = copyRealBook(file);
        const QString folder = dataFolder(*env, path);
        if (folderBefore)
            QVERIFY(QDir().mkpath(folder));
        QCOMPARE(importAndWait(core, path),
                 (QStringList{QStringLiteral("progress 正在解析小说信息...."),
                              QStringLiteral("progress 正在解析章节信息列表...."),
                              QStringLiteral("progress 正在构建排版数据...."),
                              QStringLiteral("failed 构建排版数据失败")}));
        QCOMPARE(snapshot(), before);
        QCOMPARE(QFileInfo::exists(folder), folderBefore);
    }

    void brokenBookFailsCleanly()
    {
        QVERIFY(env->openDatabase());
        ApplicationCore core;
        EpubFixture epub;
        epub.addItem(QStringLiteral("a"), QStringLiteral("a.xhtml"), QStringLiteral("application/xhtml+xml"), "x");
        const QString path = env->root() + QStringLiteral("/empty.epub");
        QVERIFY(epub.write(path));
        QCOMPARE(importAndWait(core, path).last(), QStringLiteral("failed 未解析到章节"));
        QVERIFY(snapshot().filter(QStringLiteral("novel_info|")).isEmpty());
        QVERIFY(!QFileInfo::exists(dataFolder(*env, path)));
    }
};

QTEST_MAIN(TestEpubImport)
#include "tst_epubimport.moc"
