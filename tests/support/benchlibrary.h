#pragma once

#include "logmanager.h"
#include "testenvironment.h"

#include <memory>

// A benchmark's fresh library, with only warnings logged (through the
// program's own handler) so logging does not weigh on the figures; null
// when the database does not open.
inline std::unique_ptr<TestEnvironment> openBenchLibrary()
{
    qInstallMessageHandler(&LogManager::messageHandler);
    LogManager::setLevel(LogManager::Warning);
    std::unique_ptr<TestEnvironment> env(new TestEnvironment);
    if (!env->openDatabase())
        env.reset();
    return env;
}
