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
struct Receiver : QObject
{
    explicit Receiver(ApplicationCore *core)
    {
        const auto record = [this](const char *kind, bool last) {
            return [=](const QString &m) { signals_ << kind + m; finished += last; };
        };
        connect(core, &ApplicationCore::novelImportProgress, this, record("progress ", false), Qt::QueuedConnection);
        connect(core, &ApplicationCore::novelImportSucceeded, this, record("succeeded ", true), Qt::QueuedConnection);
        connect(core, &ApplicationCore::novelImportFailed, this, record("failed ", true), Qt::QueuedConnection);
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
    void init() { env.reset(new TestEnvironment); }

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

        // The title page runs on to the first chapter's heading anchor; the
        // nav lists no title page, so its own title names it.
        const QStringList pandoc{"山路夜雨|0|1||第一章-山路", "第一章 山路|1|2|第一章-山路|第二章-夜雨",
                                 "第二章 夜雨|2|2|第二章-夜雨|庙中", "第二章 夜雨 - 庙中|2|3|庙中|第三章-归来",
                                 "第三章 归来|3|3|第三章-归来|"};
        QTest::newRow("pandoc EPUB 2, NCX") << "pandoc-epub2.epub" << false << pandoc;
        QTest::newRow("pandoc EPUB 3, nav") << "pandoc-epub3.epub" << false << pandoc;
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
        for (const ChapterInfo *c : list.chapters) {
            got << QStringList{c->title(), c->property("epubStartIdx").toString(), c->property("epubEndIdx").toString(),
                               c->property("epubAnchor").toString(), c->property("epubEndAnchor").toString()}.join('|');
        }
        qDeleteAll(list.chapters);
        QCOMPARE(got, chapters);
    }

    // Until the content is imported, every EPUB import fails after the chapter
    // step and leaves the library and the data folders as they were.
    void importLeavesNoPartialBook_data()
    {
        QTest::addColumn<QString>("file");        // empty: a book without chapters
        QTest::addColumn<bool>("folderBefore");   // an earlier import's folder exists
        QTest::addColumn<QString>("failure");
        QTest::newRow("calibre") << "calibre.epub" << false << QStringLiteral("构建排版数据失败");
        QTest::newRow("folder of an earlier import") << "calibre.epub" << true << QStringLiteral("构建排版数据失败");
        QTest::newRow("no chapters") << "" << false << QStringLiteral("未解析到章节");
    }

    void importLeavesNoPartialBook()
    {
        QFETCH(QString, file);
        QFETCH(bool, folderBefore);
        QFETCH(QString, failure);
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

        QString path = env->root() + "/empty.epub";
        if (file.isEmpty()) {
            EpubFixture epub;
            epub.addItem("a", "a.xhtml", "application/xhtml+xml", "x");
            QVERIFY(epub.write(path));
        } else {
            path = copyRealBook(file);
        }
        const QString folder = env->dataHome() + "/com.tivex/harbour-Quillora/" + md5Hex(path);
        if (folderBefore)
            QVERIFY(QDir().mkpath(folder));
        QStringList expected{QStringLiteral("progress 正在解析小说信息...."), QStringLiteral("progress 正在解析章节信息列表....")};
        if (!file.isEmpty())
            expected << QStringLiteral("progress 正在构建排版数据....");
        QCOMPARE(importAndWait(core, path), expected << "failed " + failure);
        QCOMPARE(snapshot(), before);
        QCOMPARE(QFileInfo::exists(folder), folderBefore);
    }
};

QTEST_MAIN(TestEpubImport)
#include "tst_epubimport.moc"
