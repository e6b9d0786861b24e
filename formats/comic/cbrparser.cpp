#include "cbrparser.h"

void CbrParser::cleanupOrphanedArchiveData()
{
    // Archive imports leave no pending markers until comic import exists.
}
