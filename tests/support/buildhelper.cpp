// Linked into every test and benchmark: the helper they start is the
// build's, which is not beside them.
#include "confinement.h"

namespace {
const bool named = (Confinement::useHelperForTests(QUILLORA_BUILD_HELPER), true);
}
