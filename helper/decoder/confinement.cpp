#include "confinement.h"

namespace Confinement {

void apply()
{
}

}
