// An import registers the fonts of the book it imports; the book open for
// reading gets its own fonts back when the import ends, however it ends.

#include "chapterinfo.h"
#include "coresession.h"
#include "fontregistry.h"
#include "iformatparser.h"
#include "importoutcome.h"
#include "installedfonts.h"
#include "novelinfo.h"
#include "parserregistry.h"
#include "paths.h"

#include <QDir>
#include <QFont>
#include <QtTest>

#include <atomic>

namespace {

QByteArray s_font;
bool s_failAfterFonts = false;

// Registers one font for the book it imports, as the EPUB, FB2 and MOBI
// importers do, then succeeds or fails.
class FontImportingParser : public IFormatParser
{
public:
    ParseResult parseBookInfo(const QString &filePath) override
    {
        FontRegistry::instance().clearAll();
        FontRegistry::instance().setActiveBook(QStringLiteral("imported"));
        FontRegistry::instance().registerFontData(QStringLiteral("Imported"), 400, false, s_font);
        ParseResult result;
        result.errorMessage = QStringLiteral("坏书");
        if (s_failAfterFonts)
            return result;
        result.success = true;
        result.novel = new NovelInfo;
        result.novel->setId(md5Hex(filePath));
        result.novel->setTitle(QStringLiteral("书"));
        return result;
    }
    ParseResult parseChapters(const QString &, NovelInfo *novel) override
    {
        ParseResult result;
        result.success = true;
        auto *chapter = new ChapterInfo;
        chapter->setId(novel->id() + QStringLiteral("_0"));
        chapter->setNovelId(novel->id());
        chapter->setChapterIndex(0);
        result.chapters = {chapter};
        return result;
    }
    bool parseUnified(const QVector<ChapterInfo *> &, const QString &, UnifiedParagraphDao *,
                      UnifiedChunkDao *) override
    {
        return true;
    }
};

const ParserRegistration registration("fontbook", [] () -> IFormatParser * {
    return new FontImportingParser;
});

}

class TestImportFonts : public QObject, private CoreSession
{
    Q_OBJECT
private slots:
    void init() { QVERIFY(open()); }
    void cleanup() { close(); }

    void openBookKeepsItsFonts_data()
    {
        QTest::addColumn<bool>("bookOpen");
        QTest::addColumn<bool>("importFails");
        QTest::newRow("open book, import succeeds") << true << false;
        QTest::newRow("open book, import fails") << true << true;
        QTest::newRow("no open book") << false << false;
    }
    void openBookKeepsItsFonts()
    {
        QFETCH(bool, bookOpen);
        QFETCH(bool, importFails);
        s_font = installedFontData(QStringLiteral("DejaVuSans.ttf"));
        QVERIFY2(!s_font.isEmpty(), "fonts-dejavu-core is not installed");
        s_failAfterFonts = importFails;
        FontRegistry &registry = FontRegistry::instance();
        const QString openAlias = FontRegistry::aliasFamily(QStringLiteral("open"), QStringLiteral("Open"), 400, false);
        registry.openBook(QString(), QString());
        if (bookOpen) {
            // The open book's manifest, as an earlier import left it.
            const QString dir = QDir(Paths::dataLocation()).filePath(QStringLiteral("open"));
            FontManifestEntry entry;
            entry.alias = openAlias;
            entry.cssFamily = QStringLiteral("Open");
            entry.resourcePath = dir + QStringLiteral("/fonts/open.ttf");
            QVERIFY(QDir().mkpath(dir + QStringLiteral("/fonts")) && Paths::writeFile(entry.resourcePath, s_font));
            registry.setActiveBook(QStringLiteral("open"));
            QVERIFY(registry.saveManifest(dir, QString(), {entry}));
            QVERIFY(registry.openBook(QStringLiteral("open"), dir));
        }

        // What the reading view would find at the moment it hears the outcome,
        // noted on the emitting thread and compared below.
        std::atomic<int> substitutesAtOutcome{-1};
        const auto note = [&] { substitutesAtOutcome = QFont::substitutes(openAlias).size(); };
        QObject receiver;
        connect(core.get(), &ApplicationCore::novelImportSucceeded, &receiver, note, Qt::DirectConnection);
        connect(core.get(), &ApplicationCore::novelImportFailed, &receiver, note, Qt::DirectConnection);

        const QString path = env->root() + QStringLiteral("/book.fontbook");
        QFile(path).open(QIODevice::WriteOnly);
        QCOMPARE(importOutcome(*core, path), importFails ? QStringLiteral("坏书") : QStringLiteral("ok"));
        QCOMPARE(substitutesAtOutcome.load() == 0, !bookOpen);
        QCOMPARE(registry.activeBookId(), bookOpen ? QStringLiteral("open") : QString());
        QCOMPARE(QFont::substitutes(openAlias).isEmpty(), !bookOpen);
        QVERIFY(QFont::substitutes(FontRegistry::aliasFamily(QStringLiteral("imported"), QStringLiteral("Imported"),
                                                             400, false)).isEmpty());
    }
};

QTEST_MAIN(TestImportFonts)
#include "tst_importfonts.moc"
