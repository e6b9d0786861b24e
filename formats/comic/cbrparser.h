#pragma once

// Comic archives (RAR, 7z, tar) import.
class CbrParser
{
public:
    // Removes extraction folders that an interrupted archive import left
    // behind and that no book references. Runs on the main thread at start-up.
    static void cleanupOrphanedArchiveData();
};
