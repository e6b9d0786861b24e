#pragma once

#include "applicationcore.h"
#include "keys.h"
#include "paths.h"
#include "testenvironment.h"

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

    std::unique_ptr<TestEnvironment> env;
    std::unique_ptr<ApplicationCore> core;
};
