#include "applicationcore.h"
#include "chapterinfo.h"
#include "chinesebook.h"
#include "dbtestutils.h"
#include "imagefixtures.h"
#include "importoutcome.h"
#include "keys.h"
#include "noveldao.h"
#include "novelinfo.h"
#include "paragraphutils.h"
#include "unifiedchunkdao.h"
#include "unifiedparagraphdao.h"
#include "quilloraimageprovider.h"
#include "testenvironment.h"

#include <QAtomicInt>
#include <QSignalSpy>
#include <QtConcurrent>
#include <QtTest>

#include <memory>

// The reading view through the real core, pools, renderer and image provider
// over an imported Chinese book.
class TestReadingView : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestEnvironment> env;
    QString bookId;
    QString firstChapter;

    QString open(ApplicationCore &core, const QString &novelId, const QString &chapter,
                 int width = 540, int height = 960)
    {
        return core.openBookForReading(novelId, chapter, 0, -1.0f, 20, 0, width, height,
                                       QStringLiteral("#000000"), QStringLiteral("#ffffff"),
                                       QString());
    }

    // A two-chapter book whose first chapter holds text, a page and more of
    // blank lines and an image taller than half a page.
    void storePositionBook()
    {
        QImage picture(400, 700, QImage::Format_RGB32);
        picture.fill(Qt::darkGreen);
        Paragraph image;
        image.kind = Paragraph::Image;
        image.imageId = env->root() + QStringLiteral("/picture.png");
        image.imageWidth = 400;
        image.imageHeight = 700;
        QVERIFY(picture.save(image.imageId));
        Paragraph blank;
        blank.kind = Paragraph::EmptyLine;
        const auto text = [](int length) {
            Paragraph p;
            p.chunks.append(TextChunk());
            p.chunks[0].text = QString(length, QChar(0x6587));
            return p;
        };
        QVector<Paragraph> first{text(120), text(260), text(90), text(300), text(170)};
        first.insert(first.size(), 45, blank);
        first << text(140) << image << text(220) << text(310) << text(80) << text(260) << text(400);
        QVector<QVector<Paragraph>> chapters{first, {text(200), text(150)}};
        std::unique_ptr<NovelInfo> novel(DbTestUtils::newNovel(QStringLiteral("pos"), QStringLiteral("位置")));
        QVERIFY(NovelDao().insert(novel.get()));
        DbTestUtils::execSql(QStringLiteral("INSERT INTO chapter_info (id, novel_id, chapter_index, title) "
                                            "VALUES ('pos-1', 'pos', 0, '一'), ('pos-2', 'pos', 1, '二')"));
        for (int c = 0; c < 2; ++c) {
            finalizeParagraphs(chapters[c]);
            const QVector<QString> rows = UnifiedParagraphDao().insertParagraphs("pos", QStringLiteral("pos-%1").arg(c + 1), chapters[c]);
            QCOMPARE(rows.size(), chapters[c].size());
            for (int i = 0; i < rows.size(); ++i)
                QVERIFY(UnifiedChunkDao().insertChunks(rows[i], chapters[c].at(i).chunks));
        }
    }

private slots:
    void initTestCase()
    {
        env.reset(new TestEnvironment);
        QVERIFY(env->openDatabase());
        const QString path = ChineseBook::write(env->root(), 3, 1500);
        ApplicationCore core;
        QCOMPARE(importOutcome(core, path), QStringLiteral("ok"));
        bookId = md5Hex(path);
        const QList<QObject *> chapters = core.getChaptersByNovelId(bookId);
        QCOMPARE(chapters.size(), 3);
        firstChapter = qobject_cast<ChapterInfo *>(chapters.first())->id();
        qDeleteAll(chapters);
        storePositionBook();
    }

    // Every page of a chapter, saved as the reading screen saves it (its
    // start source) and opened again, comes back as the same page: in
    // continuous mode the page that a cut line opens, not the one above; a
    // page of blank lines alone, not the page after it; a page that an image
    // opens.
    void reopensOnThePageLeft_data()
    {
        QTest::addColumn<int>("mode");
        QTest::newRow("paged") << 0;
        QTest::newRow("continuous") << 1;
    }
    void reopensOnThePageLeft()
    {
        QFETCH(int, mode);
        ApplicationCore core;
        core.setAppConfigValue(QStringLiteral("READ_SETTING_pos"), QStringLiteral("READ_MODE"), mode);
        const QString chapter = QStringLiteral("pos-1");
        const auto openAt = [&](const QString &id, int glyph, float offset) {
            QSignalSpy located(&core, &ApplicationCore::poolStartPageLocated);
            if (core.openBookForReading("pos", id, glyph, offset, 20, 0, 540, 960, "#000000",
                                        "#ffffff", QString()).isEmpty()
                || !located.wait(10000))
                return QString();
            return RenderPool::makeKey(located.last().at(0).toString(), located.last().at(1).toInt());
        };
        // A page as the screen sees it: its lines' glyphs and positions.
        const auto lines = [&](const QString &key) {
            QStringList shown;
            const int colon = key.lastIndexOf(':');
            for (const QVariant &line : core.getPageLineSources(key.left(colon), key.mid(colon + 1).toInt())) {
                const QVariantMap map = line.toMap();
                shown << QStringLiteral("%1@%2").arg(map.value("glyphIndex").toInt()).arg(map.value("rawY").toFloat());
            }
            return shown.join(' ');
        };
        const auto laidOut = [&] { return core.getChapterPageCount(QStringLiteral("pos-2")) > 0; };
        QVERIFY(!openAt(chapter, 0, -1.0f).isEmpty());
        QTRY_VERIFY(laidOut());
        const int pages = core.getChapterPageCount(chapter);
        QVERIFY(pages > 5);
        for (int page = 0; page < pages; ++page) {
            const QString left = lines(RenderPool::makeKey(chapter, page));
            const QVariantMap start = core.getPageStartSource(chapter, page);
            const QString key = openAt(start.value("chapterId").toString(), start.value("glyphIndex").toInt(),
                                       start.value("blockOffset").toFloat());
            QTRY_VERIFY(laidOut());
            QCOMPARE(lines(key), left);
            QVERIFY(!openAt(chapter, 0, -1.0f).isEmpty());
            QTRY_VERIFY(laidOut() && core.getChapterPageCount(chapter) == pages);
        }
    }

    // The layout settings an open builds from its arguments and the settings.
    void layoutConfig_data()
    {
        QTest::addColumn<QString>("setting");  // READ_SETTING key=value, or empty
        QTest::addColumn<int>("fontSize");
        QTest::addColumn<QString>("bg");
        QTest::addColumn<QString>("field");
        QTest::addColumn<QVariant>("expected");

        QTest::newRow("font size below range") << "" << 1 << "#ffffff" << "font" << QVariant(4);
        QTest::newRow("font size above range") << "" << 500 << "#ffffff" << "font" << QVariant(200);
        QTest::newRow("dpi above range") << "PDF_DPI=9" << 18 << "#ffffff" << "scale" << QVariant(2.0f);
        QTest::newRow("line spacing floor") << "LINE_SPACING=0.3" << 18 << "#ffffff" << "lineHeight" << QVariant(0.5f);
        QTest::newRow("continuous: no top margin") << "READ_MODE=1" << 18 << "#ffffff" << "marginTop" << QVariant(0.0f);
        QTest::newRow("transparent page, white reader") << "" << 18 << "transparent" << "readerBg" << QVariant("#ffffff");
        QTest::newRow("reader takes the page colour") << "" << 18 << "#102030" << "readerBg" << QVariant("#102030");
    }
    void layoutConfig()
    {
        QFETCH(QString, setting);
        QFETCH(int, fontSize);
        QFETCH(QString, bg);
        QFETCH(QString, field);
        QFETCH(QVariant, expected);
        ApplicationCore core;
        const QString group = QStringLiteral("READ_SETTING");
        const QString key = setting.section(QLatin1Char('='), 0, 0);
        if (!setting.isEmpty())
            core.setAppConfigValue(group, key, setting.section(QLatin1Char('='), 1));
        const LayoutConfig c = core.readingConfig(bookId, fontSize, 0, 540, 960,
                                                  QStringLiteral("#000000"), bg, QString(), false);
        core.removeAppConfigKey(group, key);
        const QHash<QString, QVariant> fields{
            {"font", c.fontPixelSize}, {"scale", c.scale}, {"lineHeight", c.lineHeightFactor},
            {"marginTop", c.marginTop}, {"readerBg", c.readerBgColor.name()}};
        QCOMPARE(fields.value(field), expected);
    }

    // Refused opens give no token; a page turn moves the pools only with the
    // current session's token.
    void sessions_data()
    {
        QTest::addColumn<QString>("novelId");  // "book": the imported one
        QTest::addColumn<QString>("chapter");  // "first": its first chapter
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::addColumn<QString>("turnToken");  // "current", "previous" or a literal
        QTest::addColumn<bool>("opens");
        QTest::addColumn<bool>("turns");

        QTest::newRow("current token") << "book" << "first" << 540 << 960 << "current" << true << true;
        QTest::newRow("previous token") << "book" << "first" << 540 << 960 << "previous" << true << false;
        QTest::newRow("empty token") << "book" << "first" << 540 << 960 << "" << true << false;
        QTest::newRow("token with a letter") << "book" << "first" << 540 << 960 << "2a" << true << false;
        QTest::newRow("view too narrow") << "book" << "first" << 49 << 960 << "current" << false << false;
        QTest::newRow("view too tall") << "book" << "first" << 540 << 8193 << "current" << false << false;
        QTest::newRow("book id with a slash") << "x/y" << "first" << 540 << 960 << "current" << false << false;
        QTest::newRow("book id with dots") << ".." << "first" << 540 << 960 << "current" << false << false;
        QTest::newRow("unknown chapter") << "book" << "nope" << 540 << 960 << "current" << false << false;
    }
    void sessions()
    {
        QFETCH(QString, novelId);
        QFETCH(QString, chapter);
        QFETCH(int, width);
        QFETCH(int, height);
        QFETCH(QString, turnToken);
        QFETCH(bool, opens);
        QFETCH(bool, turns);
        ApplicationCore core;
        const QString previous = open(core, bookId, firstChapter);
        const QString token = open(core, novelId == QLatin1String("book") ? bookId : novelId,
                                   chapter == QLatin1String("first") ? firstChapter : chapter,
                                   width, height);
        QCOMPARE(!token.isEmpty(), opens);
        if (!opens)
            return;
        QTRY_VERIFY(core.isPageReady(firstChapter, 1));
        QCOMPARE(core.poolBackwardPageCount(), 0);
        const QString sent = turnToken == QLatin1String("current")
            ? token : (turnToken == QLatin1String("previous") ? previous : turnToken);
        core.poolReportPageTurn(firstChapter, 1, sent);
        QCOMPARE(core.poolBackwardPageCount(), turns ? 1 : 0);
    }

    // The provider serves the rendered page under its key, percent-encoded or
    // not, at its rendered size whatever size is asked for.
    void pageImages_data()
    {
        QTest::addColumn<QString>("id");  // %1: the first chapter's id
        QTest::addColumn<bool>("found");
        QTest::newRow("page key") << "%1:0" << true;
        QTest::newRow("encoded colon") << "%1%3A0" << true;
        QTest::newRow("page not laid out") << "%1:999" << false;
        QTest::newRow("not a key") << "nonsense" << false;
    }
    void pageImages()
    {
        QFETCH(QString, id);
        QFETCH(bool, found);
        ApplicationCore core;
        QSignalSpy rendered(&core, &ApplicationCore::poolPageRendered);
        QVERIFY(!open(core, bookId, firstChapter, 300, 400).isEmpty());
        QTRY_VERIFY(!rendered.isEmpty());
        QuilloraImageProvider provider;
        QSize size(-1, -1);
        const QImage image = provider.requestImage(id.arg(firstChapter), &size, QSize(10, 10));
        QCOMPARE(!image.isNull(), found);
        QCOMPARE(size, found ? QSize(300, 400) : QSize(0, 0));
    }

    // The core goes while layouts and renders are queued and while another
    // thread keeps asking for pages: nothing waits forever, nothing crashes,
    // and later requests find no core.
    void coreGoesWhileReading()
    {
        auto core = std::make_unique<ApplicationCore>();
        QSignalSpy rendered(core.get(), &ApplicationCore::poolPageRendered);
        QVERIFY(!open(*core, bookId, firstChapter).isEmpty());
        QTRY_VERIFY(!rendered.isEmpty());
        QuilloraImageProvider provider;
        QAtomicInt stop(0);
        QAtomicInt served(0);
        const QString key = firstChapter + QStringLiteral(":0");
        QFuture<void> asking = QtConcurrent::run([&] {
            while (!stop.loadAcquire())
                served.fetchAndAddRelease(provider.requestImage(key, nullptr, QSize()).isNull() ? 0 : 1);
        });
        // Asking for sure before the core goes, however slow the thread starts.
        QTRY_VERIFY(served.loadAcquire() > 0);
        core.reset();
        stop.storeRelease(1);
        asking.waitForFinished();
        QSize size(7, 7);
        QVERIFY(provider.requestImage(key, &size, QSize()).isNull());
        QCOMPARE(size, QSize(7, 7));
    }

    void cleanupTestCase()
    {
        env.reset();
    }
};

QTEST_MAIN(TestReadingView)
#include "tst_readingview.moc"
