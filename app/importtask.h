#pragma once

#include <QPointer>
#include <QString>
#include <QVector>

class ApplicationCore;

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

    // True once the core has begun to shut down: nothing more may be emitted.
    static bool coreStopping(ApplicationCore *core);

private:
    QPointer<ApplicationCore> m_guard;
    ApplicationCore *m_core;
    QString m_path;
};
