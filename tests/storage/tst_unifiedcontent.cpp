#include "databaseconnection.h"
#include "dbtestutils.h"
#include "logcapture.h"
#include "testenvironment.h"
#include "transaction.h"
#include "unifiedchunkdao.h"
#include "unifiedparagraphdao.h"

#include <QRegularExpression>
#include <QSet>
#include <QSqlError>
#include <QSqlQuery>
#include <QtConcurrent>
#include <QtTest>

namespace {

TextChunk chunk(const QString &text)
{
    TextChunk c;
    c.text = text;
    return c;
}

// A chapter that uses every field of both records with values other than
// their defaults, plus a default paragraph and an image without chunks.
QVector<Paragraph> sampleChapter(const QString &tag)
{
    QVector<Paragraph> out;

    Paragraph heading;
    heading.kind = Paragraph::Heading;
    heading.headingLevel = 2;
    heading.alignment = 1;
    heading.textIndent = 1.5f;
    heading.marginLeft = 3.25f;
    heading.marginRight = 4.0f;
    heading.spaceBefore = 12.0f;
    heading.spaceAfter = 6.5f;
    heading.lineHeight = 1.2f;
    heading.bgColor = QStringLiteral("#fafafa");
    heading.documentBgColor = QStringLiteral("rgb(1,2,3)");
    TextChunk styled = chunk(tag + QStringLiteral(" 标题"));
    styled.bold = true;
    styled.italic = true;
    styled.underline = true;
    styled.strikethrough = true;
    styled.fontDelta = -2;
    styled.fontScale = 1.25f;
    styled.fontFamily = QStringLiteral("Noto Serif CJK SC");
    styled.color = QStringLiteral("red");
    styled.highlightColor = QStringLiteral("#ff0");
    styled.fontWeight = 700;
    styled.vertAlign = 1;
    styled.anchorHref = QStringLiteral("notes.xhtml#n1");
    heading.chunks = {styled, chunk(QStringLiteral(" second")), chunk(QStringLiteral("third"))};
    out.append(heading);

    out.append(Paragraph());   // the default paragraph, no chunks

    Paragraph image;
    image.kind = Paragraph::Image;
    image.imageId = QStringLiteral("zipraw://book.cbz::pages/001.jpg");
    image.imageWidth = 800;
    image.imageHeight = 1200;
    image.hCenter = true;
    image.vCenter = true;
    image.progressWeight = 1200;
    out.append(image);

    Paragraph cell;
    cell.kind = Paragraph::TableCell;
    cell.tableId = 0;
    cell.tableRow = 3;
    cell.tableColumn = 1;
    cell.tableColumnCount = 4;
    cell.tableHeader = true;
    cell.preformatted = true;
    cell.chunks = {chunk(QStringLiteral("  keep  spaces\n"))};
    out.append(cell);

    Paragraph note;
    note.kind = Paragraph::Note;
    note.footnoteId = QStringLiteral("fn-7");
    note.firstGlyphIndex = 123456;
    note.startProgressIndex = Q_INT64_C(5000000000);
    note.progressWeight = Q_INT64_C(4000000000);
    note.chunks = {chunk(tag)};
    out.append(note);
    return out;
}

}

class TestUnifiedContent : public QObject
{
    Q_OBJECT

private:
    TestEnvironment *m_env = nullptr;
    UnifiedParagraphDao m_paragraphs;
    UnifiedChunkDao m_chunks;

    static int count(const QString &sql)
    {
        QSqlQuery query(DatabaseConnection::database());
        if (!query.exec(sql) || !query.next())
            return -1;
        return query.value(0).toInt();
    }

    static bool exec(const QString &sql)
    {
        QSqlQuery query(DatabaseConnection::database());
        const bool ok = query.exec(sql);
        if (!ok)
            qWarning() << sql << query.lastError().text();
        return ok;
    }

    // The import contract: chunks, then paragraphs, then every chapter, all
    // inside one transaction.
    bool storeBook(const QString &novelId, const QMap<QString, QVector<Paragraph>> &chapters)
    {
        Transaction transaction(DatabaseConnection::database());
        if (!transaction.isActive() || !m_chunks.removeByNovelId(novelId)
            || !m_paragraphs.removeByNovelId(novelId))
            return false;
        for (auto it = chapters.cbegin(); it != chapters.cend(); ++it) {
            const QVector<QString> ids = m_paragraphs.insertParagraphsLocked(novelId, it.key(), it.value());
            if (ids.size() != it.value().size())
                return false;
            for (int i = 0; i < ids.size(); ++i) {
                if (!m_chunks.insertChunks(ids[i], it.value()[i].chunks))
                    return false;
            }
        }
        return transaction.commit();
    }

    // What the reading view does to get a chapter back.
    QVector<Paragraph> loadChapter(const QString &novelId, const QString &chapterId)
    {
        QVector<QString> ids;
        QVector<Paragraph> paragraphs = m_paragraphs.loadParagraphs(novelId, chapterId, &ids);
        if (paragraphs.isEmpty())
            return paragraphs;
        const QHash<QString, QVector<TextChunk>> chunks = m_chunks.loadChunks(novelId, chapterId);
        for (int i = 0; i < paragraphs.size(); ++i)
            paragraphs[i].chunks = chunks.value(ids[i]);
        return paragraphs;
    }

    void installCommitGuard()
    {
        // A deferred foreign-key violation is only detected by COMMIT, which
        // then fails and leaves the transaction open.
        QVERIFY(exec(QStringLiteral("PRAGMA foreign_keys = ON")));
        QVERIFY(exec(QStringLiteral("CREATE TEMP TABLE guard_parent (id INTEGER PRIMARY KEY)")));
        QVERIFY(exec(QStringLiteral("CREATE TEMP TABLE guard_child (pid INTEGER REFERENCES "
                                    "guard_parent(id) DEFERRABLE INITIALLY DEFERRED)")));
        QVERIFY(exec(QStringLiteral("CREATE TEMP TRIGGER guard AFTER INSERT ON unified_paragraph "
                                    "BEGIN INSERT INTO guard_child VALUES (1); END")));
    }

    void removeCommitGuard()
    {
        exec(QStringLiteral("DROP TRIGGER IF EXISTS temp.guard"));
        exec(QStringLiteral("DROP TABLE IF EXISTS temp.guard_child"));
        exec(QStringLiteral("DROP TABLE IF EXISTS temp.guard_parent"));
        exec(QStringLiteral("PRAGMA foreign_keys = OFF"));
    }

private slots:
    void init()
    {
        m_env = new TestEnvironment;
        QVERIFY(m_env->isValid());
        QVERIFY(m_env->openDatabase());
    }

    void cleanup()
    {
        QCOMPARE(Transaction::depth(DatabaseConnection::database()), 0);
        delete m_env;
        m_env = nullptr;
    }

    void storedChapterLoadsBackEqualAndInOrder()
    {
        const QVector<Paragraph> one = sampleChapter(QStringLiteral("one"));
        QVector<Paragraph> two;
        for (int i = 0; i < 300; ++i) {
            Paragraph p;
            p.firstGlyphIndex = i;
            p.chunks = {chunk(QString::number(i)), chunk(QStringLiteral("|%1").arg(299 - i))};
            two.append(p);
        }
        QVERIFY(storeBook(QStringLiteral("book"), {{QStringLiteral("c1"), one}, {QStringLiteral("c2"), two}}));

        QCOMPARE(loadChapter(QStringLiteral("book"), QStringLiteral("c1")), one);
        QCOMPARE(loadChapter(QStringLiteral("book"), QStringLiteral("c2")), two);
        QVERIFY(loadChapter(QStringLiteral("book"), QStringLiteral("nope")).isEmpty());
        QVERIFY(m_paragraphs.countByChapter(QStringLiteral("book"), QStringLiteral("c1")));
        QVERIFY(!m_paragraphs.countByChapter(QStringLiteral("book"), QStringLiteral("nope")));

        // Columns no record field carries keep their defaults; times are set.
        QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM unified_paragraph WHERE list_style <> 0")), 0);
        QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM unified_paragraph WHERE create_time IS NULL "
                                      "OR create_time <> update_time")), 0);
        QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM unified_chunk WHERE create_time IS NULL")), 0);
        QSqlQuery time(DatabaseConnection::database());
        QVERIFY(time.exec(QStringLiteral("SELECT create_time FROM unified_chunk LIMIT 1")) && time.next());
        QVERIFY(QRegularExpression(QStringLiteral("^\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}$"))
                    .match(time.value(0).toString()).hasMatch());
    }

    // Every column is named by the inserts, so a string never assigned is
    // stored as NULL (not the column's '' default) and read back as empty.
    void unassignedStringsStoreAsNull()
    {
        Paragraph p;
        p.chunks = {chunk(QStringLiteral("t"))};
        QVERIFY(storeBook(QStringLiteral("book"), {{QStringLiteral("c1"), {p}}}));
        QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM unified_paragraph WHERE image_id IS NULL "
                                      "AND bg_color IS NULL AND document_bg_color IS NULL AND footnote_id IS NULL "
                                      "AND table_id = -1 AND list_style = 0")), 1);
        QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM unified_chunk WHERE font_family IS NULL "
                                      "AND color IS NULL AND highlight_color IS NULL AND anchor_href IS NULL "
                                      "AND font_scale = 1.0 AND text = 't'")), 1);
        const QVector<Paragraph> loaded = loadChapter(QStringLiteral("book"), QStringLiteral("c1"));
        QCOMPARE(loaded, QVector<Paragraph>{p});
        QVERIFY(loaded[0].imageId.isEmpty() && loaded[0].chunks[0].anchorHref.isEmpty());
        const UnifiedContentStats stats = m_paragraphs.queryContentStats(QStringLiteral("book"));
        QCOMPARE(stats.textLength, qint64(1));
        QVERIFY(stats.imageSizes.isEmpty() && stats.unsizedImageCount == 0);
    }

    void restoreLeavesOnlySecondStore()
    {
        QVERIFY(storeBook(QStringLiteral("other"), {{QStringLiteral("x"), sampleChapter(QStringLiteral("o"))}}));
        QVERIFY(storeBook(QStringLiteral("book"), {{QStringLiteral("c1"), sampleChapter(QStringLiteral("a"))},
                                                   {QStringLiteral("c2"), sampleChapter(QStringLiteral("b"))}}));
        QVector<QString> firstIds;
        m_paragraphs.loadParagraphs(QStringLiteral("book"), QStringLiteral("c1"), &firstIds);

        const QVector<Paragraph> replacement = sampleChapter(QStringLiteral("new"));
        QVERIFY(storeBook(QStringLiteral("book"), {{QStringLiteral("c1"), replacement}}));

        QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM unified_paragraph WHERE novel_id = 'book'")),
                 replacement.size());
        QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM unified_chunk c JOIN unified_paragraph p "
                                      "ON c.para_id = p.id WHERE p.novel_id = 'book'")), 5);
        // No chunk of the first store is left behind, for any paragraph.
        QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM unified_chunk WHERE para_id NOT IN "
                                      "(SELECT id FROM unified_paragraph)")), 0);
        for (const QString &id : firstIds)
            QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM unified_paragraph WHERE id = '%1'").arg(id)), 0);
        QCOMPARE(loadChapter(QStringLiteral("book"), QStringLiteral("c1")), replacement);
        QVERIFY(loadChapter(QStringLiteral("book"), QStringLiteral("c2")).isEmpty());
        QCOMPARE(loadChapter(QStringLiteral("other"), QStringLiteral("x")), sampleChapter(QStringLiteral("o")));
    }

    void removalsFollowParagraphRows()
    {
        QVERIFY(storeBook(QStringLiteral("book"), {{QStringLiteral("c1"), sampleChapter(QStringLiteral("a"))},
                                                   {QStringLiteral("c2"), sampleChapter(QStringLiteral("b"))}}));
        QVERIFY(storeBook(QStringLiteral("other"), {{QStringLiteral("c1"), sampleChapter(QStringLiteral("o"))}}));

        QVERIFY(m_chunks.removeByChapter(QStringLiteral("book"), QStringLiteral("c1")));
        QVERIFY(m_paragraphs.removeByChapter(QStringLiteral("book"), QStringLiteral("c1")));
        QVERIFY(loadChapter(QStringLiteral("book"), QStringLiteral("c1")).isEmpty());
        QCOMPARE(loadChapter(QStringLiteral("book"), QStringLiteral("c2")), sampleChapter(QStringLiteral("b")));

        QVector<QString> ids;
        m_paragraphs.loadParagraphs(QStringLiteral("book"), QStringLiteral("c2"), &ids);
        QVERIFY(m_chunks.removeByParaId(ids.first()));
        QVERIFY(m_chunks.loadChunks(QStringLiteral("book"), QStringLiteral("c2")).value(ids.first()).isEmpty());

        // Paragraphs first would strand the chunks: they are found through them.
        QVERIFY(m_paragraphs.removeByNovelId(QStringLiteral("book")));
        QVERIFY(m_chunks.removeByNovelId(QStringLiteral("book")));
        QVERIFY(count(QStringLiteral("SELECT COUNT(*) FROM unified_chunk WHERE para_id NOT IN "
                                     "(SELECT id FROM unified_paragraph)")) > 0);

        QCOMPARE(loadChapter(QStringLiteral("other"), QStringLiteral("c1")), sampleChapter(QStringLiteral("o")));
    }

    void insertParagraphsLockedRefusals_data()
    {
        QTest::addColumn<QString>("novelId");
        QTest::addColumn<QString>("chapterId");
        QTest::addColumn<bool>("emptyList");

        QTest::newRow("empty list") << QStringLiteral("book") << QStringLiteral("c1") << true;
        QTest::newRow("empty novel id") << QString() << QStringLiteral("c1") << false;
        QTest::newRow("empty chapter id") << QStringLiteral("book") << QString() << false;
    }

    void insertParagraphsLockedRefusals()
    {
        QFETCH(QString, novelId);
        QFETCH(QString, chapterId);
        QFETCH(bool, emptyList);
        const QVector<Paragraph> old = sampleChapter(QStringLiteral("old"));
        QVERIFY(storeBook(QStringLiteral("book"), {{QStringLiteral("c1"), old}}));

        const QVector<Paragraph> input = emptyList ? QVector<Paragraph>() : sampleChapter(QStringLiteral("n"));
        QVERIFY(m_paragraphs.insertParagraphsLocked(novelId, chapterId, input).isEmpty());
        QCOMPARE(loadChapter(QStringLiteral("book"), QStringLiteral("c1")), old);
        QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM unified_paragraph")), old.size());
    }

    void newIdsAreDistinctUuids()
    {
        const QVector<QString> ids = m_paragraphs.insertParagraphs(
            QStringLiteral("book"), QStringLiteral("c1"), {Paragraph(), Paragraph()});
        QCOMPARE(ids.size(), 2);
        QVERIFY(ids[0] != ids[1]);
        // Random (version 4) UUIDs of the RFC 4122 variant, as QUuid makes them.
        const QRegularExpression uuid(QStringLiteral(
            "^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$"));
        for (const QString &id : ids)
            QVERIFY2(uuid.match(id).hasMatch(), qPrintable(id));

        QVector<TextChunk> chunks;
        for (int i = 0; i < 200; ++i)   // more than one batch of random bits
            chunks.append(chunk(QString::number(i)));
        QVERIFY(m_chunks.insertChunks(ids[0], chunks));
        QCOMPARE(count(QStringLiteral("SELECT COUNT(DISTINCT id) FROM unified_chunk")), 200);
        QSqlQuery stored(DatabaseConnection::database());
        QVERIFY(stored.exec(QStringLiteral("SELECT id, para_id FROM unified_chunk")));
        while (stored.next()) {
            QVERIFY2(uuid.match(stored.value(0).toString()).hasMatch(),
                     qPrintable(stored.value(0).toString()));
            QCOMPARE(stored.value(1).toString(), ids[0]);
        }
        QVector<QString> loadedIds;
        m_paragraphs.loadParagraphs(QStringLiteral("book"), QStringLiteral("c1"), &loadedIds);
        QCOMPARE(loadedIds, ids);
    }

    void insertChunksEdges_data()
    {
        QTest::addColumn<QString>("paraId");
        QTest::addColumn<QStringList>("texts");
        QTest::addColumn<bool>("nullText");
        QTest::addColumn<bool>("result");
        QTest::addColumn<int>("rows");

        QTest::newRow("empty list") << QStringLiteral("p1") << QStringList{} << false << true << 0;
        QTest::newRow("empty paragraph id") << QString() << QStringList{QStringLiteral("a")} << false << false << 0;
        QTest::newRow("empty id, empty list") << QString() << QStringList{} << false << false << 0;
        QTest::newRow("assigned empty text") << QStringLiteral("p1") << QStringList{QStringLiteral("")}
                                             << false << true << 1;
        QTest::newRow("null text") << QStringLiteral("p1") << QStringList{QStringLiteral("a")} << true << true << 2;
    }

    void insertChunksEdges()
    {
        QFETCH(QString, paraId);
        QFETCH(QStringList, texts);
        QFETCH(bool, nullText);
        QFETCH(bool, result);
        QFETCH(int, rows);

        QVector<TextChunk> chunks;
        for (const QString &t : texts)
            chunks.append(chunk(t));
        if (nullText)
            chunks.append(TextChunk());
        if (paraId.isEmpty())
            QTest::ignoreMessage(QtWarningMsg, "[UnifiedChunkDao] insertChunks 失败：paraId 为空");
        QCOMPARE(m_chunks.insertChunks(paraId, chunks), result);
        QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM unified_chunk")), rows);
        QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM unified_chunk WHERE text IS NULL")), 0);
    }

    // An importer that leaves a run's text unassigned must not fail the book.
    void nullChunkTextStoresAsEmpty()
    {
        QVector<Paragraph> chapter = sampleChapter(QStringLiteral("a"));
        chapter[0].chunks[1].text = QString();
        QVERIFY(storeBook(QStringLiteral("book"), {{QStringLiteral("c1"), chapter}}));
        const QVector<Paragraph> loaded = loadChapter(QStringLiteral("book"), QStringLiteral("c1"));
        QCOMPARE(loaded, chapter);
        QCOMPARE(loaded[0].chunks.size(), 3);
        QVERIFY(loaded[0].chunks[1].text.isEmpty());
    }

    // Chunk text is bound as UTF-8 straight to SQLite: every kind of
    // character a book holds must come back unchanged.
    void textRoundTrips_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("ascii") << QStringLiteral("The old castle.");
        QTest::newRow("cjk") << QStringLiteral("第一章　夜路，“他说”。");
        QTest::newRow("emoji, surrogate pairs") << QString::fromUtf8("\xF0\x9F\x98\x80 smile \xF0\xA0\x80\x80");
        QTest::newRow("combining and rtl") << QString::fromUtf8("e\xCC\x81 \xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D");
        QTest::newRow("utf-8 length edges") << QString(QChar(0x7FF)) + QChar(0x800) + QChar(0xFFFD) + QChar(0x80);
        QTest::newRow("byte-order mark inside") << QStringLiteral("a") + QChar(0xFEFF) + QStringLiteral("b");
        QTest::newRow("byte-order marks leading") << QString(QChar(0xFEFF)) + QChar(0xFEFF) + QStringLiteral("a");
        QTest::newRow("reversed mark leading") << QString(QChar(0xFFFE)) + QStringLiteral("a");
        QTest::newRow("long") << QStringLiteral("长").repeated(100000);
    }

    void textRoundTrips()
    {
        QFETCH(QString, text);
        QVector<Paragraph> chapter = sampleChapter(QStringLiteral("a"));
        chapter[0].chunks[0].text = text;
        chapter[0].chunks[0].fontFamily = text.left(20);
        QVERIFY(storeBook(QStringLiteral("book"), {{QStringLiteral("c1"), chapter}}));
        const QVector<Paragraph> loaded = loadChapter(QStringLiteral("book"), QStringLiteral("c1"));
        QCOMPARE(loaded.size(), chapter.size());
        QCOMPARE(loaded[0].chunks[0].text, text);
        QCOMPARE(loaded[0].chunks[0].fontFamily, text.left(20));
        QCOMPARE(loaded, chapter);
    }

    void loadChunksForImagesOnlyIsEmpty()
    {
        Paragraph image;
        image.kind = Paragraph::Image;
        image.imageId = QStringLiteral("pdf://a.pdf?page=1&dpi=150");
        QVERIFY(storeBook(QStringLiteral("book"), {{QStringLiteral("c1"), {image, image}}}));
        QVERIFY(m_chunks.loadChunks(QStringLiteral("book"), QStringLiteral("c1")).isEmpty());
        const QVector<Paragraph> loaded = loadChapter(QStringLiteral("book"), QStringLiteral("c1"));
        QCOMPARE(loaded.size(), 2);
        QVERIFY(loaded[0].chunks.isEmpty() && loaded[1].chunks.isEmpty());
    }

    void loadArgumentsAndIdList()
    {
        QVERIFY(storeBook(QStringLiteral("book"), {{QStringLiteral("c1"), sampleChapter(QStringLiteral("a"))}}));

        QVector<QString> ids{QStringLiteral("already here")};
        QVERIFY(m_paragraphs.loadParagraphs(QString(), QStringLiteral("c1"), &ids).isEmpty());
        QVERIFY(m_paragraphs.loadParagraphs(QStringLiteral("book"), QString(), &ids).isEmpty());
        QCOMPARE(ids.size(), 1);
        QVERIFY(m_chunks.loadChunks(QString(), QStringLiteral("c1")).isEmpty());
        QVERIFY(m_chunks.loadChunks(QStringLiteral("book"), QString()).isEmpty());

        const QVector<Paragraph> withoutIds = m_paragraphs.loadParagraphs(QStringLiteral("book"), QStringLiteral("c1"));
        const QVector<Paragraph> withIds = m_paragraphs.loadParagraphs(QStringLiteral("book"), QStringLiteral("c1"), &ids);
        QCOMPARE(withIds, withoutIds);
        QCOMPARE(ids.size(), 1 + withIds.size());
        QCOMPARE(ids.first(), QStringLiteral("already here"));
        for (const Paragraph &p : withIds)
            QVERIFY(p.chunks.isEmpty());
        // The chunk map is keyed by exactly those ids.
        const auto chunks = m_chunks.loadChunks(QStringLiteral("book"), QStringLiteral("c1"));
        for (auto it = chunks.cbegin(); it != chunks.cend(); ++it)
            QVERIFY(ids.contains(it.key()));
        QCOMPARE(chunks.size(), 3);   // heading, table cell, note
    }

    void contentStats()
    {
        QVector<Paragraph> chapter;
        for (const QSize &size : {QSize(800, 1200), QSize(640, 480), QSize(10, 20), QSize(0, 0), QSize(300, 0)}) {
            Paragraph image;
            image.kind = Paragraph::Image;
            image.imageId = QStringLiteral("img/%1x%2.png").arg(size.width()).arg(size.height());
            image.imageWidth = size.width();
            image.imageHeight = size.height();
            image.chunks = {chunk(QStringLiteral("caption never counts"))};
            image.progressWeight = 3;
            chapter.append(image);
        }
        Paragraph noSource;
        noSource.kind = Paragraph::Image;
        noSource.imageWidth = 5;
        noSource.imageHeight = 5;
        chapter.append(noSource);
        Paragraph text;
        text.chunks = {chunk(QStringLiteral("中文ab")), chunk(QStringLiteral("cd"))};
        chapter.append(text);
        Paragraph block;
        block.kind = Paragraph::PlainTextBlock;
        block.chunks = {chunk(QStringLiteral("x\ny\n"))};
        chapter.append(block);
        QVERIFY(storeBook(QStringLiteral("book"), {{QStringLiteral("c1"), chapter}}));
        QVERIFY(storeBook(QStringLiteral("other"), {{QStringLiteral("c1"), chapter}}));

        const UnifiedContentStats stats = m_paragraphs.queryContentStats(QStringLiteral("book"));
        QCOMPARE(stats.imageSizes, (QVector<QSize>{QSize(800, 1200), QSize(640, 480), QSize(10, 20)}));
        QCOMPARE(stats.unsizedImageCount, 2);
        QCOMPARE(stats.textLength, qint64(10));
        // The same from the book's progress total (text and image weights).
        DbTestUtils::execSql(QStringLiteral("INSERT INTO novel_info (id, title, total_progress) "
                                            "VALUES ('book', 'b', 25)"));
        const UnifiedContentStats totals = m_paragraphs.queryContentStatsFromTotals(QStringLiteral("book"));
        QCOMPARE(totals.imageSizes, stats.imageSizes);
        QCOMPARE(totals.unsizedImageCount, stats.unsizedImageCount);
        QCOMPARE(totals.textLength, stats.textLength);

        const UnifiedContentStats none = m_paragraphs.queryContentStats(QString());
        QVERIFY(none.imageSizes.isEmpty());
        QCOMPARE(none.unsizedImageCount, 0);
        QCOMPARE(none.textLength, qint64(0));
        QCOMPARE(m_paragraphs.queryContentStats(QStringLiteral("missing")).textLength, qint64(0));
    }

    // A commit that fails must not hand out ids of rows that do not exist.
    void insertParagraphsChecksCommit()
    {
        const QVector<Paragraph> old = sampleChapter(QStringLiteral("old"));
        QVERIFY(storeBook(QStringLiteral("book"), {{QStringLiteral("c1"), old}}));
        installCommitGuard();
        const QVector<QString> ids = m_paragraphs.insertParagraphs(
            QStringLiteral("book"), QStringLiteral("c1"), sampleChapter(QStringLiteral("new")));
        QVERIFY(ids.isEmpty());
        removeCommitGuard();

        // Rolled back as a whole: the delete of the old rows too.
        QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM unified_paragraph")), old.size());
        QCOMPARE(m_paragraphs.loadParagraphs(QStringLiteral("book"), QStringLiteral("c1")).size(), old.size());
        // And the connection is out of the transaction and usable again.
        QVERIFY(!m_paragraphs.insertParagraphs(QStringLiteral("book"), QStringLiteral("c1"),
                                               {Paragraph()}).isEmpty());
        QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM unified_paragraph")), 1);
    }

    // A refused removal of the old rows must fail the store as much as a
    // refused insert: the chapter would otherwise hold both versions.
    void insertParagraphsRollsBackFailedStatement_data()
    {
        QTest::addColumn<QString>("refused");
        QTest::newRow("third insert") << QStringLiteral("INSERT ON unified_paragraph WHEN NEW.para_index = 2");
        QTest::newRow("removal of the old rows") << QStringLiteral("DELETE ON unified_paragraph");
    }

    void insertParagraphsRollsBackFailedStatement()
    {
        QFETCH(QString, refused);
        const QVector<Paragraph> old = sampleChapter(QStringLiteral("old"));
        QVERIFY(storeBook(QStringLiteral("book"), {{QStringLiteral("c1"), old}}));
        QVERIFY(exec(QStringLiteral("CREATE TEMP TRIGGER refuse BEFORE %1 "
                                    "BEGIN SELECT RAISE(ABORT, 'refused'); END").arg(refused)));
        QVERIFY(m_paragraphs.insertParagraphs(QStringLiteral("book"), QStringLiteral("c1"),
                                              sampleChapter(QStringLiteral("new"))).isEmpty());
        QVERIFY(exec(QStringLiteral("DROP TRIGGER temp.refuse")));
        QCOMPARE(loadChapter(QStringLiteral("book"), QStringLiteral("c1")), old);

        QVERIFY(m_paragraphs.insertParagraphs(QString(), QStringLiteral("c1"), old).isEmpty());
        QVERIFY(m_paragraphs.insertParagraphs(QStringLiteral("book"), QString(), old).isEmpty());
        // An empty chapter is a successful no-op that keeps the old rows.
        QVERIFY(m_paragraphs.insertParagraphs(QStringLiteral("book"), QStringLiteral("c1"), {}).isEmpty());
        QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM unified_paragraph")), old.size());
    }

    void transactionsNest_data()
    {
        QTest::addColumn<bool>("outerIsQt");
        QTest::addColumn<bool>("commitOuter");
        QTest::addColumn<int>("rows");

        QTest::newRow("ours, committed") << false << true << 2;
        QTest::newRow("ours, rolled back") << false << false << 0;
        QTest::newRow("Qt's, committed") << true << true << 2;
        QTest::newRow("Qt's, rolled back") << true << false << 0;
    }

    void transactionsNest()
    {
        QFETCH(bool, outerIsQt);
        QFETCH(bool, commitOuter);
        QFETCH(int, rows);
        QSqlDatabase db = DatabaseConnection::database();
        QVERIFY(exec(QStringLiteral("PRAGMA cache_size = -1500")));

        QScopedPointer<Transaction> outer;
        if (outerIsQt)
            QVERIFY(db.transaction());
        else
            outer.reset(new Transaction(db));

        // A committed inner level stays part of the outer transaction.
        QCOMPARE(m_paragraphs.insertParagraphs(QStringLiteral("book"), QStringLiteral("c1"),
                                               {Paragraph(), Paragraph()}).size(), 2);
        {
            // An inner level rolled back drops only its own work.
            Transaction inner(db);
            QVERIFY(inner.isNested());
            QCOMPARE(m_paragraphs.insertParagraphsLocked(QStringLiteral("book"), QStringLiteral("c2"),
                                                         {Paragraph()}).size(), 1);
        }
        QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM unified_paragraph")), 2);

        if (outerIsQt)
            QVERIFY(commitOuter ? db.commit() : db.rollback());
        else
            QVERIFY(commitOuter ? outer->commit() : outer->rollback());
        QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM unified_paragraph")), rows);
        outer.reset();
        QCOMPARE(Transaction::depth(db), 0);
        QVERIFY2(db.transaction(), "the connection must be out of every transaction");
        QVERIFY(db.rollback());
        // The larger page cache of a running transaction is given back.
        QCOMPARE(count(QStringLiteral("PRAGMA cache_size")), -1500);
    }

    void failedOuterCommitRollsBackEverything()
    {
        installCommitGuard();
        {
            Transaction outer(DatabaseConnection::database());
            QVERIFY(!outer.isNested());
            QCOMPARE(m_paragraphs.insertParagraphs(QStringLiteral("book"), QStringLiteral("c1"),
                                                   {Paragraph()}).size(), 1);
            QVERIFY(!outer.commit());
            QVERIFY(!outer.isActive());
        }
        removeCommitGuard();
        QCOMPARE(count(QStringLiteral("SELECT COUNT(*) FROM unified_paragraph")), 0);
    }

    // What each operation writes to the log, on success and when its table
    // is gone. Texts and the order of their pieces are part of the format.
    void logLines_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<bool>("tablesGone");
        QTest::addColumn<bool>("result");
        QTest::addColumn<QStringList>("lines");   // "I " info, "W " warning; regular expressions

        const auto row = [](const char *name, const char *operation, bool gone, bool result,
                            const QStringList &lines) {
            QTest::newRow(name) << QString::fromLatin1(operation) << gone << result << lines;
        };
        row("paragraphs by book", "paragraphs.removeByNovelId", false, true,
            {QStringLiteral("I \\[UnifiedParagraphDao\\] 已删除 novelId= \"book\"  的段落数据")});
        row("paragraphs by chapter", "paragraphs.removeByChapter", false, true,
            {QStringLiteral("I \\[UnifiedParagraphDao\\] 已删除 chapterId= \"c1\"  的段落数据")});
        row("chunks by book", "chunks.removeByNovelId", false, true,
            {QStringLiteral("I \\[UnifiedChunkDao\\] 已删除 novelId= \"book\"  的chunk数据")});
        row("chunks by chapter", "chunks.removeByChapter", false, true,
            {QStringLiteral("I \\[UnifiedChunkDao\\] 已删除 chapterId= \"c1\"  的chunk数据")});
        row("chunks by paragraph", "chunks.removeByParaId", false, true, {});
        row("count", "paragraphs.countByChapter", false, true, {});

        row("paragraphs by book fails", "paragraphs.removeByNovelId", true, false,
            {QStringLiteral("W \\[UnifiedParagraphDao\\] 按小说删除失败: \".+\"")});
        row("paragraphs by chapter fails", "paragraphs.removeByChapter", true, false,
            {QStringLiteral("W \\[UnifiedParagraphDao\\] 按章节删除失败: \".+\"")});
        row("chunks by book fails", "chunks.removeByNovelId", true, false,
            {QStringLiteral("W \\[UnifiedChunkDao\\] 按小说删除失败: \".+\"")});
        row("chunks by chapter fails", "chunks.removeByChapter", true, false,
            {QStringLiteral("W \\[UnifiedChunkDao\\] 按章节删除失败: \".+\"")});
        row("chunks by paragraph fails", "chunks.removeByParaId", true, false,
            {QStringLiteral("W \\[UnifiedChunkDao\\] 按段落删除失败: \".+\"")});
        row("count fails quietly", "paragraphs.countByChapter", true, false, {});
        row("load paragraphs fails", "paragraphs.loadParagraphs", true, false,
            {QStringLiteral("W \\[UnifiedParagraphDao\\] 查询段落失败: \".+\"")});
        row("load chunks fails", "chunks.loadChunks", true, false,
            {QStringLiteral("W \\[UnifiedChunkDao\\] 查询文字块失败: \".+\"")});
        row("statistics fail", "paragraphs.queryContentStats", true, false,
            {QStringLiteral("W \\[UnifiedParagraphDao\\] 查询图片统计失败: \".+\""),
             QStringLiteral("W \\[UnifiedParagraphDao\\] 查询正文统计失败: \".+\"")});
        row("insert paragraphs fails", "paragraphs.insertParagraphsLocked", true, false,
            {QStringLiteral("W \\[UnifiedParagraphDao\\] 插入段落失败: \".+\"")});
        row("insert chunks fails", "chunks.insertChunks", true, false,
            {QStringLiteral("W \\[UnifiedChunkDao\\] 插入chunk失败: \".+\"")});

        row("load paragraphs without ids", "paragraphs.loadParagraphs(empty)", false, false,
            {QStringLiteral("W \\[UnifiedParagraphDao\\] loadParagraphs 失败：参数为空")});
        row("load chunks without ids", "chunks.loadChunks(empty)", false, false,
            {QStringLiteral("W \\[UnifiedChunkDao\\] loadChunks 失败：参数为空")});
        row("insert paragraphs without ids", "paragraphs.insertParagraphs(empty)", false, false,
            {QStringLiteral("W \\[UnifiedParagraphDao\\] insertParagraphs 失败：novelId 或 chapterId 为空")});
        row("insert chunks without paragraph", "chunks.insertChunks(empty)", false, false,
            {QStringLiteral("W \\[UnifiedChunkDao\\] insertChunks 失败：paraId 为空")});
        row("statistics without book", "paragraphs.queryContentStats(empty)", false, false, {});
    }

    void logLines()
    {
        QFETCH(QString, operation);
        QFETCH(bool, tablesGone);
        QFETCH(bool, result);
        QFETCH(QStringList, lines);

        QVector<QString> paraIds;
        QVERIFY(storeBook(QStringLiteral("book"), {{QStringLiteral("c1"), sampleChapter(QStringLiteral("a"))}}));
        m_paragraphs.loadParagraphs(QStringLiteral("book"), QStringLiteral("c1"), &paraIds);
        if (tablesGone) {
            QVERIFY(exec(QStringLiteral("DROP TABLE unified_chunk")));
            QVERIFY(exec(QStringLiteral("DROP TABLE unified_paragraph")));
        }

        const QString book = QStringLiteral("book");
        const QString chapter = QStringLiteral("c1");
        const QVector<Paragraph> paragraphs = sampleChapter(QStringLiteral("b"));
        bool ok = false;
        LogCapture log;
        if (operation == QLatin1String("paragraphs.removeByNovelId"))
            ok = m_paragraphs.removeByNovelId(book);
        else if (operation == QLatin1String("paragraphs.removeByChapter"))
            ok = m_paragraphs.removeByChapter(book, chapter);
        else if (operation == QLatin1String("chunks.removeByNovelId"))
            ok = m_chunks.removeByNovelId(book);
        else if (operation == QLatin1String("chunks.removeByChapter"))
            ok = m_chunks.removeByChapter(book, chapter);
        else if (operation == QLatin1String("chunks.removeByParaId"))
            ok = m_chunks.removeByParaId(paraIds.first());
        else if (operation == QLatin1String("paragraphs.countByChapter"))
            ok = m_paragraphs.countByChapter(book, chapter);
        else if (operation == QLatin1String("paragraphs.loadParagraphs"))
            ok = !m_paragraphs.loadParagraphs(book, chapter).isEmpty();
        else if (operation == QLatin1String("paragraphs.loadParagraphs(empty)"))
            ok = !m_paragraphs.loadParagraphs(book, QString()).isEmpty();
        else if (operation == QLatin1String("chunks.loadChunks"))
            ok = !m_chunks.loadChunks(book, chapter).isEmpty();
        else if (operation == QLatin1String("chunks.loadChunks(empty)"))
            ok = !m_chunks.loadChunks(QString(), chapter).isEmpty();
        else if (operation == QLatin1String("paragraphs.queryContentStats"))
            ok = m_paragraphs.queryContentStats(book).textLength > 0;
        else if (operation == QLatin1String("paragraphs.queryContentStats(empty)"))
            ok = m_paragraphs.queryContentStats(QString()).textLength > 0;
        else if (operation == QLatin1String("paragraphs.insertParagraphsLocked"))
            ok = !m_paragraphs.insertParagraphsLocked(book, chapter, paragraphs).isEmpty();
        else if (operation == QLatin1String("paragraphs.insertParagraphs(empty)"))
            ok = !m_paragraphs.insertParagraphs(QString(), chapter, paragraphs).isEmpty();
        else if (operation == QLatin1String("chunks.insertChunks"))
            ok = m_chunks.insertChunks(paraIds.first(), paragraphs.first().chunks);
        else if (operation == QLatin1String("chunks.insertChunks(empty)"))
            ok = m_chunks.insertChunks(QString(), paragraphs.first().chunks);
        else
            QFAIL(qPrintable(operation));
        QCOMPARE(ok, result);

        QStringList written;
        for (const QString &line : log.lines(QtInfoMsg))
            written << QStringLiteral("I ") + line;
        for (const QString &line : log.lines(QtWarningMsg))
            written << QStringLiteral("W ") + line;
        QCOMPARE(written.size(), lines.size());
        for (int i = 0; i < lines.size(); ++i) {
            const QRegularExpression expected(QLatin1Char('^') + lines.at(i) + QLatin1Char('$'));
            QVERIFY2(expected.match(written.at(i)).hasMatch(), qPrintable(written.at(i)));
        }
    }

    // A worker thread stores through its own connection; the main thread
    // reads the committed result.
    void storeFromWorkerThread()
    {
        const QVector<Paragraph> chapter = sampleChapter(QStringLiteral("worker"));
        QFuture<bool> stored = QtConcurrent::run([this, chapter]() {
            return storeBook(QStringLiteral("book"), {{QStringLiteral("c1"), chapter}});
        });
        QVERIFY(stored.result());
        QCOMPARE(loadChapter(QStringLiteral("book"), QStringLiteral("c1")), chapter);
    }
};

QTEST_GUILESS_MAIN(TestUnifiedContent)
#include "tst_unifiedcontent.moc"
