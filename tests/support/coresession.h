#pragma once

#include "applicationcore.h"
#include "keys.h"
#include "paths.h"
#include "testenvironment.h"

#include <QFile>

#include <memory>

// A fresh library and core for every test function: open() from init(),
// close() from cleanup(). Header-only: the support library does not link
// the application core.
class CoreSession
{
protected:
    bool open()
    {
        env.reset(new TestEnvironment);
        if (!env->openDatabase())
            return false;
        core.reset(new ApplicationCore);
        return true;
    }
    void close()
    {
        core.reset();
        TestEnvironment::closeDatabase();
        env.reset();
    }
    // The data folder an import of path uses, with a trailing slash.
    static QString dataDir(const QString &path) { return Paths::dataLocation() + '/' + md5Hex(path) + '/'; }

    // A copy of tests/data/<relative> in the temporary folder, named `as`
    // (default: the file's own name); empty when it cannot be made.
    QString copyTestBook(const QString &relative, QString as = QString()) const
    {
        if (as.isEmpty())
            as = relative.section(QLatin1Char('/'), -1);
        const QString path = env->root() + QLatin1Char('/') + as;
        return QFile::copy(QStringLiteral(QUILLORA_TEST_DATA_DIR "/") + relative, path) ? path : QString();
    }

    std::unique_ptr<TestEnvironment> env;
    std::unique_ptr<ApplicationCore> core;
};
