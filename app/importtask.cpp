#include "importtask.h"

#include "applicationcore.h"
#include "bookfilecheck.h"
#include "bookfolderstage.h"
#include "chapterinfo.h"
#include "chapterservice.h"
#include "databaseconnection.h"
#include "fontregistry.h"
#include "iformatparser.h"
#include "novelinfo.h"
#include "novelservice.h"
#include "parserregistry.h"
#include "transaction.h"

#include <QCoreApplication>
#include <QDebug>
#include <QThread>
#include <QTimer>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace {

bool stopping(ApplicationCore *core)
{
    return ImportTask::coreStopping(core);
}

void deleteBook(NovelInfo *novel, const QVector<ChapterInfo *> &chapters)
{
    delete novel;
    qDeleteAll(chapters);   // null entries are skipped by delete
}

// Every path that does not reach the store step ends here.
void abandon(IFormatParser *parser, NovelInfo *novel, const QVector<ChapterInfo *> &chapters)
{
    deleteBook(novel, chapters);
    parser->finishImport(false);
    delete parser;
}

// The open book has its fonts back before anyone hears the outcome.
void emitFailed(ApplicationCore *core, FontImportScope &fonts, const QString &message)
{
    fonts.end();
    if (!stopping(core))
        emit core->novelImportFailed(message);
}

void emitProgress(ApplicationCore *core, const QString &message)
{
    if (!stopping(core))
        emit core->novelImportProgress(message);
}

// Lets the worker wait for the step it posted to the main thread.
struct Completion
{
    std::mutex mutex;
    std::condition_variable condition;
    bool done = false;

    void finish()
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            done = true;
        }
        condition.notify_all();
    }

    // Also returns when the core starts stopping: its destructor waits for
    // this worker on the main thread, where the step would have to run.
    void wait(ApplicationCore *core)
    {
        std::unique_lock<std::mutex> lock(mutex);
        while (!done && !stopping(core))
            condition.wait_for(lock, std::chrono::milliseconds(20));
    }
};

}

bool ImportTask::coreStopping(ApplicationCore *core)
{
    return core->backgroundTasks.stopping();
}

ImportTask::ImportTask(ApplicationCore *core, const QString &path)
    : m_guard(core)
    , m_core(core)
    , m_path(path)
{
}

void ImportTask::run()
{
    ApplicationCore *core = m_core;
    if (stopping(core))
        return;
    // Made before the parser, so it ends after the parser is deleted; shared
    // with the store step when that runs on the main thread.
    const auto fonts = std::make_shared<FontImportScope>();

    // Another program's reset deleted the library this one works on.
    if (!DatabaseConnection::libraryIsCurrent()) {
        emitFailed(core, *fonts, ApplicationCore::tr("书库已被重置，请重新启动应用"));
        return;
    }
    IFormatParser *parser = ParserRegistry::instance().findParser(m_path);
    if (!parser) {
        emitFailed(core, *fonts, ApplicationCore::tr("不支持的文件格式"));
        return;
    }
    if (stopping(core)) {
        abandon(parser, nullptr, {});
        return;
    }
    // What the file itself shows is said before its parser guesses at it.
    const QString refusal = BookFileCheck::refusal(m_path);
    if (!refusal.isEmpty()) {
        qWarning().noquote() << "[ImportTask] 拒绝导入:" << m_path << refusal;
        abandon(parser, nullptr, {});
        emitFailed(core, *fonts, refusal);
        return;
    }

    emitProgress(core, ApplicationCore::tr("正在解析小说信息...."));
    ParseResult info = parser->parseBookInfo(m_path);
    if (!info.success || !info.novel) {
        // The caller owns whatever a result carries.
        abandon(parser, info.novel, info.chapters);
        emitFailed(core, *fonts, BookFileCheck::explainFailure(m_path, info.errorMessage));
        return;
    }
    qDeleteAll(info.chapters);
    NovelInfo *novel = info.novel;
    if (stopping(core)) {
        abandon(parser, novel, {});
        return;
    }

    emitProgress(core, ApplicationCore::tr("正在解析章节信息列表...."));
    ParseResult list = parser->parseChapters(m_path, novel);
    if (list.novel != novel)
        delete list.novel;
    if (!list.success) {
        abandon(parser, novel, list.chapters);
        emitFailed(core, *fonts, BookFileCheck::explainFailure(m_path, list.errorMessage));
        return;
    }
    const QVector<ChapterInfo *> chapters = list.chapters;
    novel->setChaptersCount(chapters.size());

    // A book without chapters cannot be opened; refuse it before writing.
    bool anyChapter = false;
    for (const ChapterInfo *chapter : chapters)
        anyChapter = anyChapter || chapter;
    if (!anyChapter) {
        abandon(parser, novel, chapters);
        emitFailed(core, *fonts, ApplicationCore::tr("保存书籍索引失败"));
        return;
    }
    if (stopping(core)) {
        abandon(parser, novel, chapters);
        return;
    }

    if (!parser->hasImportTransaction()) {
        ApplicationCore::storeImportedBook(core, parser, novel, chapters, *fonts);
        return;
    }

    QCoreApplication *app = QCoreApplication::instance();
    if (!app) {
        abandon(parser, novel, chapters);
        return;
    }
    novel->moveToThread(app->thread());
    for (ChapterInfo *chapter : chapters) {
        if (chapter)
            chapter->moveToThread(app->thread());
    }
    auto completion = std::make_shared<Completion>();
    QPointer<ApplicationCore> guard = m_guard;
    QTimer::singleShot(0, app, [guard, parser, novel, chapters, completion, fonts] {
        ApplicationCore::postStoreStep(guard, parser, novel, chapters, *fonts);
        completion->finish();
    });
    completion->wait(core);
}

void ApplicationCore::postStoreStep(const QPointer<ApplicationCore> &core,
                                    IFormatParser *parser, NovelInfo *novel,
                                    const QVector<ChapterInfo *> &chapters, FontImportScope &fonts)
{
    if (!core || stopping(core)) {
        abandon(parser, novel, chapters);
        return;
    }
    storeImportedBook(core, parser, novel, chapters, fonts);
}

void ApplicationCore::storeImportedBook(ApplicationCore *core, IFormatParser *parser,
                                        NovelInfo *novel, const QVector<ChapterInfo *> &chapters,
                                        FontImportScope &fonts)
{
    QString failure;
    bool stored = false;
    {
        // Everything below commits together or not at all; the parser's own
        // transactions nest inside this one as savepoints.
        Transaction transaction(DatabaseConnection::database());
        bool parserFinished = false;

        const auto store = [&]() -> bool {
            if (!transaction.isActive()) {
                failure = ApplicationCore::tr("开启导入事务失败");
                return false;
            }
            if (stopping(core))
                return false;
            if (parser->hasImportTransaction() && !parser->beginImport()) {
                failure = ApplicationCore::tr("开启导入事务失败");
                return false;
            }
            if (stopping(core))
                return false;

            emitProgress(core, ApplicationCore::tr("正在构建排版数据...."));
            if (!parser->parseUnified(chapters, novel->id(), core->paragraphDao,
                                      core->chunkDao)) {
                failure = ApplicationCore::tr("构建排版数据失败");
                return false;
            }
            if (stopping(core))
                return false;

            int glyphs = 0;
            qint64 progress = 0;
            for (ChapterInfo *chapter : chapters) {
                if (!chapter)
                    continue;
                chapter->setStartGlyphIndex(glyphs);
                chapter->setStartProgressIndex(progress);
                glyphs += qMax(chapter->glyphCount(), 0);
                progress += qMax<qint64>(chapter->progressTotal(), 0);
            }
            novel->setTotalGlyphs(glyphs);
            novel->setTotalProgress(progress);

            const QString novelId = novel->id();
            // The chapter rows go in inside our transaction whatever the parser.
            if (!core->novelService->saveNovel(novel)
                || !core->chapterService->replaceChaptersInTransaction(chapters, novelId)
                || !core->novelService->removeReadProcess(novelId)) {
                failure = ApplicationCore::tr("保存书籍索引失败");
                return false;
            }
            if (stopping(core))
                return false;

            // Names the edition the rows will hold, for a start after a kill.
            BookFolderStage *stage = parser->folderStage();
            if (stage && stage->isActive()
                && !stage->prepareCommit(
                    BookFolderStage::newestParagraphId(DatabaseConnection::database(), novelId))) {
                failure = ApplicationCore::tr("提交导入事务失败");
                return false;
            }
            parserFinished = true;
            if (!parser->finishImport(true) || !transaction.commit()) {
                failure = ApplicationCore::tr("提交导入事务失败");
                return false;
            }
            if (stage && stage->isActive())
                stage->swapIn();
            // A book imported again may have other content.
            core->forgetContentStats(novelId);
            return true;
        };

        stored = store();
        deleteBook(novel, chapters);
        if (!parserFinished)
            parser->finishImport(false);
        delete parser;
        // The parser's savepoint is gone; now ours.
        if (!stored && transaction.isActive())
            transaction.rollback();
    }

    fonts.end();
    if (stopping(core))
        return;
    if (stored)
        emit core->novelImportSucceeded(ApplicationCore::tr("解析完成"));
    else if (!failure.isEmpty())
        emit core->novelImportFailed(failure);
}
