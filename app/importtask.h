#pragma once

#include <QPointer>
#include <QString>
#include <QVector>

class ApplicationCore;
class ChapterInfo;
class IFormatParser;
class NovelInfo;

// One book import, run on the core's background queue. The whole store step
// (content, book row, chapter list, cleared reading position) runs inside one
// transaction, so a failed import leaves the library as it was; a parser that
// keeps its own import transaction nests inside it as a savepoint.
class ImportTask
{
public:
    ImportTask(ApplicationCore *core, const QString &path);

    // On the background worker. Parsers with an import transaction have their
    // store step run on the main thread; the worker waits for it so the queue
    // stays in order.
    void run();

    // The store step on the calling thread. Owns and frees the parser, the
    // book and the chapters; emits the outcome unless the core is stopping.
    static void storeImportedBook(ApplicationCore *core, IFormatParser *parser,
                                  NovelInfo *novel, const QVector<ChapterInfo *> &chapters);

    // True once the core has begun to shut down: nothing more may be emitted.
    static bool coreStopping(ApplicationCore *core);

private:
    // The main-thread store step, or its clean-up once the core is gone.
    static void postStoreStep(QPointer<ApplicationCore> core, IFormatParser *parser,
                              NovelInfo *novel, const QVector<ChapterInfo *> &chapters);

    QPointer<ApplicationCore> m_guard;
    ApplicationCore *m_core;
    QString m_path;
};
