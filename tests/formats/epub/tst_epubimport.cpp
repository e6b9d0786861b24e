// EPUB books through the registry and the real import task: real books made
// by pandoc and calibre, and what a failed import leaves behind.

#include "applicationcore.h"
#include "importoutcome.h"
#include "chapterinfo.h"
#include "databaseconnection.h"
#include "dbtestutils.h"
#include "epubfixture.h"
#include "iformatparser.h"
#include "keys.h"
#include "novelinfo.h"
#include "parserregistry.h"
#include "testenvironment.h"

#include <QDir>
#include <QSqlQuery>
#include <QtTest>

#include <memory>

class TestEpubImport : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TestEnvironment> env;

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

    // The real books import whole: every chapter holds its own text and only
    // its own, and the book already in the library stays as it was.
    void realBooksImport_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<bool>("folderBefore");   // an earlier import's folder exists
        // Per chapter: "phrase it holds|phrase of the next chapter it must not hold".
        QTest::addColumn<QStringList>("chapters");
        const QStringList text{"|他沿着山路", "他沿着山路|夜里下起了雨", "夜里下起了雨|庙里只有一盏灯",
                               "庙里只有一盏灯|天亮时", "天亮时他回到了城里|"};
        QTest::newRow("pandoc EPUB 3") << "pandoc-epub3.epub" << false << text;
        QTest::newRow("pandoc EPUB 2") << "pandoc-epub2.epub" << false << text;
        QTest::newRow("calibre, folder of an earlier import") << "calibre.epub" << true << QStringList(QString("|他沿着山路")) + text.mid(1);
    }

    void realBooksImport()
    {
        QFETCH(QString, file);
        QFETCH(bool, folderBefore);
        QFETCH(QStringList, chapters);
        QVERIFY(env->openDatabase());
        ApplicationCore core;

        const QString text = env->root() + QStringLiteral("/书.txt");
        QFile txt(text);
        QVERIFY(txt.open(QIODevice::WriteOnly));
        for (int i = 0; i < 50; ++i)
            txt.write(QStringLiteral("第%1章 夜路\n他走进了那座古老的城堡。\n").arg(i + 1).toUtf8());
        txt.close();
        QCOMPARE(importOutcome(core, text), QStringLiteral("ok"));
        const QStringList before = DbTestUtils::allRows();

        const QString path = copyRealBook(file);
        if (folderBefore)
            QVERIFY(QDir().mkpath(env->dataHome() + "/com.tivex/harbour-Quillora/" + md5Hex(path)));
        QCOMPARE(importOutcome(core, path), QStringLiteral("ok"));
        for (const QString &row : before)
            QVERIFY2(DbTestUtils::allRows().contains(row), qPrintable(row));

        QSqlQuery query(DatabaseConnection::database());
        query.prepare(QStringLiteral(
            "SELECT c.chapter_index, group_concat(k.text, '') FROM chapter_info c "
            "LEFT JOIN unified_paragraph p ON p.chapter_id = c.id "
            "LEFT JOIN unified_chunk k ON k.para_id = p.id WHERE c.novel_id = ? "
            "GROUP BY c.id ORDER BY c.chapter_index"));
        query.addBindValue(md5Hex(path));
        QVERIFY(query.exec());
        int count = 0;
        while (query.next()) {
            QVERIFY(count < chapters.size());
            const QStringList phrases = chapters.at(count++).split(QLatin1Char('|'));
            const QString body = query.value(1).toString();
            QVERIFY2(body.contains(phrases.at(0)), qPrintable(body));
            if (!phrases.at(1).isEmpty())
                QVERIFY2(!body.contains(phrases.at(1)), qPrintable(body));
        }
        QCOMPARE(count, chapters.size());
    }

    void bookWithoutChaptersFailsCleanly()
    {
        QVERIFY(env->openDatabase());
        ApplicationCore core;
        EpubFixture epub;
        epub.addItem("a", "a.xhtml", "application/xhtml+xml", "x");
        const QString path = env->root() + "/empty.epub";
        QVERIFY(epub.write(path));
        QCOMPARE(importOutcome(core, path), QStringLiteral("未解析到章节"));
        QVERIFY(DbTestUtils::allRows().filter(QStringLiteral("novel_info|")).isEmpty());
        QVERIFY(!QFileInfo::exists(env->dataHome() + "/com.tivex/harbour-Quillora/" + md5Hex(path)));
    }
};

QTEST_MAIN(TestEpubImport)
#include "tst_epubimport.moc"
